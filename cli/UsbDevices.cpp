#include "cli/UsbDevices.h"

#include "foundation/Zor_Utils.h"

namespace zor::cli {

nlohmann::json UsbEntryJson(const TUsbEntry &e) {
  return {{"kind", e.Kind},
          {"family", e.Family},
          {"serial_number", e.SerialNumber},
          {"nick_name", e.NickName},
          {"mode", e.BootLoader ? "bootloader" : "application"},
          {"node", e.Node},
          {"product", e.Product},
          {"vid", IntToHex(e.Vid, 4)},
          {"pid", IntToHex(e.Pid, 4)}};
}

}  // namespace zor::cli
