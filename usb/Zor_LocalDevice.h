// The maker's USB devices attached to this machine, as device objects: the
// HID devices, the devices that appear as virtual COM ports, and both
// together (HID first). Identities and strings come from the enumeration,
// which opens no device node.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/Zor_BaseDevice.h"

namespace zor {

// Owning list of device objects.
using TZor_LocalDeviceList = std::vector<std::unique_ptr<TZor_BaseDevice>>;

// Index of the first item that IsEqual to `item` (for USB devices: the same
// device path, letter case counting), or -1.
int IndexOfEqualItem(const TZor_LocalDeviceList &list, const TZor_BaseDevice *item);
bool Contains(const TZor_LocalDeviceList &list, const TZor_BaseDevice *item);
// Takes every item whose port is open out of `list`, last item first, and
// returns them in that order; empty when none was open.
TZor_LocalDeviceList ExtractOpenPortsList(TZor_LocalDeviceList &list);

// Every attached HID device of the maker that has a serial number. A device
// that the caller holds open (an item of `openDevices`, may be nullptr, with
// the same device path) is represented by a new object made from the open one.
// The objects are closed; `errorText` is empty on success.
TZor_LocalDeviceList Zor_EnumHIDDevices(int aLogId, std::string &errorText,
                                        const std::vector<TZor_BaseDevice *> *openDevices);
// Every attached ColdFire or ESP device that offers a serial port.
TZor_LocalDeviceList Zor_EnumCDCDevices(int aLogId, std::string &errorText);
// Both: HID devices first, then the virtual COM port devices. A failing side
// names itself in `errorText` ("HID: ...", "...; CDC: ...") and leaves the
// other side's devices listed.
TZor_LocalDeviceList Zor_EnumUsbDevices(int aLogId, std::string &errorText,
                                        const std::vector<TZor_BaseDevice *> *openDevices = nullptr);

}  // namespace zor
