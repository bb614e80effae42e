#include "app/Zor_SimulatedDevices.h"

#include "app/Zor_FW_Main.h"

namespace zor {

void TZor_SimulatedDevices::Start(TMainForm &form, std::vector<std::string> &errors) {
  std::string error;
  // Serial numbers of their own, so the four are told apart in the list.
  session::TSimDeviceOptions options;
  for (bool esp : {false, true}) {
    options.Serial = esp ? 0x0000ABCE : 0x0000ABCD;
    if (auto host = session::TSimHost::Start(esp, options, form.FLogId, error)) {
      form.AddSimulatedAddress(host->GetAddress());
      FNetwork.push_back(std::move(host));
    } else {
      errors.push_back(error);
    }
  }
  for (auto kind : {session::TSimUsbKind::ColdfireHid, session::TSimUsbKind::EspCdc}) {
    options.Serial = kind == session::TSimUsbKind::EspCdc ? 0x00001002 : 0x00001001;
    if (auto usb = session::TSimUsbHost::Start(kind, options, form.FLogId, error))
      FUsb.push_back(std::move(usb));
    else
      errors.push_back(error);
  }
}

}  // namespace zor
