// The maker's USB identities and the names that carry them. A USB device's
// path is its node followed by "#VID_xxxx&PID_xxxx#serial", so two equal
// paths mean the same node and the same device, and device-change
// notifications name a device the same way.
#pragma once

#include <cstdint>
#include <string>

namespace zor {

// ColdFire device on USB HID: C1CA:0003 (application), C1CA:0004 (boot
// loader), 16D0:0611 (either; the product string tells).
bool IsHidDeviceId(uint16_t vid, uint16_t pid);
// ColdFire device as a virtual COM port: 16D0:0610.
bool IsColdfireCdcDeviceId(uint16_t vid, uint16_t pid);
// ESP device as a virtual COM port: 303A:4001, 16D0:0612.
bool IsEspDeviceId(uint16_t vid, uint16_t pid);
// Any of the three.
bool IsZorUsbId(uint16_t vid, uint16_t pid);

// node + "#" + "VID_xxxx&PID_xxxx#" + serial (blanks as '_').
std::string MakeUsbDevicePath(const std::string &node, uint16_t vid, uint16_t pid, const std::string &serial);
// The node a device path opens: the text before the first '#' (the whole
// path when it has none).
std::string DeviceNodeOfPath(const std::string &devicePath);

// Vendor and product ID named in `name` by "VID_xxxx" and "PID_xxxx" (the
// first of each, four hexadecimal digits). False when either is missing or
// not hexadecimal; vid and pid are then 0.
bool UsbIdsOfName(const std::string &name, uint16_t &vid, uint16_t &pid);

}  // namespace zor
