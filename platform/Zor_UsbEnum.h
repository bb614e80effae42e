// USB enumeration: every attached USB device with its identity, its strings
// and the device nodes its interfaces offer. Identities and strings are read
// from what the system already knows (sysfs on Linux) without opening any
// device node, so listing never disturbs a device another program holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zor::platform {

// One USB device as the system sees it.
struct TZor_UsbDeviceInfo {
  uint16_t VendorID = 0;
  uint16_t ProductID = 0;
  uint16_t BcdDevice = 0;
  bool DeviceIsHub = false;
  // String descriptors, cleaned (CleanDeviceString); empty when the device
  // has none or it cannot be read.
  std::string Manufacturer;
  std::string Product;
  std::string SerialNumber;
  // Where the system keeps the device (the sysfs directory on Linux, a
  // "sim:" name for a simulated device); stable while it stays attached.
  std::string SysPath;
  std::vector<std::string> HidNodes;  // HID report nodes of its interfaces (/dev/hidrawN)
  std::vector<std::string> TtyNodes;  // serial ports of its interfaces (/dev/ttyACMn)
};

// Lists every attached USB device, simulated ones (Zor_SimUsb.h) last. A
// device or node that vanishes during the walk is left out, never an error;
// `errorText` is set only when the walk itself cannot run.
std::vector<TZor_UsbDeviceInfo> EnumerateUsbDevices(std::string &errorText);

// Where the walk looks: the sysfs root ("/sys") and the device directory
// ("/dev"). Tests lay out a tree in a temporary directory; empty restores
// the defaults.
void SetUsbRoots(const std::string &sysRoot, const std::string &devRoot);

// A text from a device made safe for a terminal, JSON or a window: valid
// UTF-8, control characters replaced by '?', at most 126 characters.
std::string CleanDeviceString(const std::string &raw);

// The name by which device-change notifications and device paths carry a
// device's identity: "VID_16D0&PID_0611#" + serial number (blanks as '_').
std::string UsbIdentityName(uint16_t vid, uint16_t pid, const std::string &serialNumber);

}  // namespace zor::platform
