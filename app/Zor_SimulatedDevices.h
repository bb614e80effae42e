// The simulated devices of `Zor_FirmwareUpload --simulate`: a ColdFire and an
// ESP device on loopback addresses, and a ColdFire device on USB HID and an
// ESP device on a USB virtual COM port in the in-process USB registry. They
// must outlive the window, whose engine says goodbye to them when it is freed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "session/Zor_Devices.h"

namespace zor {

class TMainForm;

class TZor_SimulatedDevices {
 public:
  // Starts them and lists the network ones in `form` (for this run only).
  // The reasons of those that could not start go to `errors`.
  void Start(TMainForm &form, std::vector<std::string> &errors);

 private:
  std::vector<std::unique_ptr<session::TSimHost>> FNetwork;
  std::vector<std::unique_ptr<session::TSimUsbHost>> FUsb;
};

}  // namespace zor
