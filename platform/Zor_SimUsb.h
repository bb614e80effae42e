// Registry of simulated USB devices: a device simulator running in this
// process plugs a device in, and enumeration, HID opens and device-change
// notifications see it as if it were attached.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Zor_Hid.h"
#include "platform/Zor_Serial.h"
#include "platform/Zor_UsbEnum.h"

namespace zor::platform {

using TZor_SimHidOpener = std::function<std::unique_ptr<TZor_HidPort>(TZor_SysError &error)>;
using TZor_SimSerialOpener = std::function<std::unique_ptr<TZor_SerialPort>(TZor_SysError &error)>;

// Plugs a simulated device in: `info` as enumeration lists it (its SysPath,
// HidNodes and TtyNodes must be "sim:" names unique in the process) and how
// its HID node or its serial port opens. Monitors get dcUsbAttached. False
// when the SysPath is taken.
bool PlugSimUsbDevice(const TZor_UsbDeviceInfo &info, TZor_SimHidOpener openHid,
                      TZor_SimSerialOpener openSerial = nullptr);
// Unplugs it (monitors get dcUsbDetached); open ports of it stay the
// simulator's business (they should fail with 1167).
void UnplugSimUsbDevice(const std::string &sysPath);
// Called on the plugging thread for every plug (attached true) and unplug;
// device monitors listen here. Returns an id for RemoveSimUsbListener.
using TZor_SimUsbListener = std::function<void(const TZor_UsbDeviceInfo &info, bool attached)>;
int AddSimUsbListener(TZor_SimUsbListener listener);
void RemoveSimUsbListener(int id);
// Simulated devices currently plugged in.
std::vector<TZor_UsbDeviceInfo> SimUsbDevices();
// Opens a "sim:" HID node; nullptr with 1167 when no such device is plugged in.
std::unique_ptr<TZor_HidPort> OpenSimHidPort(const std::string &node, TZor_SysError &error);
// Opens a "sim:" serial port node (OpenSerialPort does this for such names);
// nullptr with 1167 when no such device is plugged in.
std::unique_ptr<TZor_SerialPort> OpenSimSerialPort(const std::string &node, TZor_SysError &error);

}  // namespace zor::platform
