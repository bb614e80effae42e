// The maker's attached USB devices: described, named in messages and
// picked by serial number or nick name.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "usb/Zor_LocalDevice.h"
#include "usb/Zor_UsbDevice.h"

namespace zor::session {

// One attached device as the front ends list it. Texts that come from the
// device are cleaned for a terminal, JSON or a window.
struct TUsbEntry {
  std::string Kind;    // "HID" or "virtual COM port"
  std::string Family;  // "ColdFire" or "ESP"
  std::string SerialNumber;
  std::string NickName;
  bool BootLoader = false;
  std::string Node;  // the device node it uses
  std::string Product;
  uint16_t Vid = 0;
  uint16_t Pid = 0;
};
TUsbEntry DescribeUsbDevice(TZor_UsbDevice &device);
// "00001001 (HID, /dev/hidraw3)": how errors name a device.
std::string UsbEntryLabel(const TUsbEntry &entry);

// The maker's devices attached now; `errorText` as the enumeration gives it.
std::vector<std::unique_ptr<TZor_UsbDevice>> EnumMakerUsbDevices(int logId, std::string &errorText);

// The device `selector` names: its serial number, the number part before
// '_' or its nick name; an empty selector takes the only attached device.
// Its index, or -1 with the reason in `error` and the engine's result code
// for it in `failure`.
int FindUsbDevice(const std::vector<std::unique_ptr<TZor_UsbDevice>> &devices, const std::string &selector,
                  std::string &error, int &failure);

}  // namespace zor::session
