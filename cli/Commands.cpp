#include "cli/Commands.h"

#include "firmware/Uploader_Common.h"

namespace zor::cli {

int ExitCodeFromResult(int result) {
  if (result >= 0 && result <= 2) return result;
  if (result < 0 && result >= fwr_LowestCode) return 10 - result;
  return ExitInternal;
}

std::string ExitCodeTable() {
  std::string table =
      "Exit status:\n"
      "   0  success\n"
      "   1  canceled by user (Ctrl-C or SIGTERM: the device is reset and closed first; a second one ends at "
      "once)\n"
      "   2  nothing to change\n";
  for (int code = -1; code >= fwr_LowestCode; --code) {
    table += "  " + std::to_string(ExitCodeFromResult(code)) + "  " + ErrorText(code);
    if (code == fwr_OpenError) table += " (also a USB device held by another program, or no permission)";
    if (code == fwr_ReadError) table += " (also list: the walk of the USB devices failed)";
    if (code == fwr_DeviceMissing) table += " (also no such USB device attached)";
    table += "\n";
  }
  table += "  " + std::to_string(ExitVersionReadFailed) + "  " + VersionReadFailedText + "\n";
  table += "  " + std::to_string(ExitConfigReadFailed) + "  " + ConfigReadFailedText + "\n";
  table +=
      "  64  usage error (unknown option, bad DEVICE or --password, log directory)\n"
      "  70  internal error\n";
  return table;
}

}  // namespace zor::cli
