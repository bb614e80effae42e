#include "usb/USBUtils.h"

#include "platform/Zor_UsbEnum.h"

namespace zor {

namespace {

struct TUsbId {
  uint16_t Vid, Pid;
};

template <size_t N>
bool IsOneOf(const TUsbId (&ids)[N], uint16_t vid, uint16_t pid) {
  for (const TUsbId &id : ids)
    if (id.Vid == vid && id.Pid == pid) return true;
  return false;
}

constexpr TUsbId cHidIds[] = {{0xC1CA, 0x0003}, {0xC1CA, 0x0004}, {0x16D0, 0x0611}};
constexpr TUsbId cColdfireCdcIds[] = {{0x16D0, 0x0610}};
constexpr TUsbId cEspIds[] = {{0x303A, 0x4001}, {0x16D0, 0x0612}};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The 4 hexadecimal digits after the first `key`; false when absent or not
// hexadecimal.
bool HexAfter(const std::string &name, const std::string &key, uint16_t &value) {
  const size_t pos = name.find(key);
  if (pos == std::string::npos || name.size() - pos - key.size() < 4) return false;
  unsigned result = 0;
  for (size_t i = pos + key.size(); i < pos + key.size() + 4; ++i) {
    const int digit = HexDigit(name[i]);
    if (digit < 0) return false;
    result = result * 16 + static_cast<unsigned>(digit);
  }
  value = static_cast<uint16_t>(result);
  return true;
}

}  // namespace

bool IsHidDeviceId(uint16_t vid, uint16_t pid) { return IsOneOf(cHidIds, vid, pid); }
bool IsColdfireCdcDeviceId(uint16_t vid, uint16_t pid) { return IsOneOf(cColdfireCdcIds, vid, pid); }
bool IsEspDeviceId(uint16_t vid, uint16_t pid) { return IsOneOf(cEspIds, vid, pid); }

bool IsZorUsbId(uint16_t vid, uint16_t pid) {
  return IsHidDeviceId(vid, pid) || IsColdfireCdcDeviceId(vid, pid) || IsEspDeviceId(vid, pid);
}

std::string MakeUsbDevicePath(const std::string &node, uint16_t vid, uint16_t pid,
                              const std::string &serial) {
  return node + "#" + platform::UsbIdentityName(vid, pid, serial);
}

std::string DeviceNodeOfPath(const std::string &devicePath) {
  return devicePath.substr(0, devicePath.find('#'));
}

bool UsbIdsOfName(const std::string &name, uint16_t &vid, uint16_t &pid) {
  vid = 0;
  pid = 0;
  uint16_t v = 0, p = 0;
  if (!HexAfter(name, "VID_", v) || !HexAfter(name, "PID_", p)) return false;
  vid = v;
  pid = p;
  return true;
}

}  // namespace zor
