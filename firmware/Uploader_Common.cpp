#include "firmware/Uploader_Common.h"

#include <array>

namespace zor {

namespace {

// Indexed by -code for the failures.
const std::array<const char *, 21> kFailureTexts = {
    "",
    "File not found",
    "Open error",
    "Write error",
    "Format error in S-Record",
    "Read error",
    "Programming failed",
    "Download failed",
    "Invalid parameter",
    "Zor device missing",
    "Timeout",
    "No connection",
    "Command denied",
    "Access via network not supported, Firmwareversion >=19 needed",
    "Not a bootloader file",
    "Not a firmware file",
    "No reset, please reset Zor device manually",
    "Too many user",
    "Re-Power needed",
    "Reference clock error",
    "Hardware fault",
};

}  // namespace

std::string ErrorText(int code) {
  switch (code) {
    case fwr_NoError: return "No error";
    case fwr_Canceled: return "Canceled by user";
    case fwr_FlashUnchanged: return "Flash unchanged";
    default: break;
  }
  if (code < 0 && code >= fwr_LowestCode) return kFailureTexts[static_cast<size_t>(-code)];
  return "Unknown: " + std::to_string(code);
}

std::string MessageTypeToText(TMessageType mType) {
  switch (mType) {
    case mtInfo: return "Info";
    case mtOk: return "Ok";
    case mtErr: return "Error";
    case mtErrInfo: return "ErrorInfo";
    case mtWarning: return "Warning";
  }
  return std::to_string(static_cast<int>(mType));
}

}  // namespace zor
