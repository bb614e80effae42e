#include "platform/Zor_UsbEnum.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "platform/Zor_SimUsb.h"
#include "platform/Zor_UsbBackend.h"

namespace zor::platform {

namespace {

std::mutex gRootLock;
std::string gSysRoot = "/sys";
std::string gDevRoot = "/dev";

constexpr size_t MaxDeviceStringChars = 126;

// Length of the valid UTF-8 sequence at s[i] and its code point; 0 when
// the bytes there are not one (overlong forms and surrogates included).
size_t Utf8Sequence(const std::string &s, size_t i, uint32_t &cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  size_t len;
  uint32_t min;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, cp = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

std::string UsbSysRoot() {
  std::lock_guard lock(gRootLock);
  return gSysRoot;
}

std::string UsbDevRoot() {
  std::lock_guard lock(gRootLock);
  return gDevRoot;
}

void SetUsbRoots(const std::string &sysRoot, const std::string &devRoot) {
  std::lock_guard lock(gRootLock);
  gSysRoot = sysRoot.empty() ? "/sys" : sysRoot;
  gDevRoot = devRoot.empty() ? "/dev" : devRoot;
}

std::string CleanDeviceString(const std::string &raw) {
  size_t end = raw.size();
  while (end > 0 && (raw[end - 1] == '\n' || raw[end - 1] == '\r')) --end;
  const std::string s = raw.substr(0, end);
  std::string out;
  size_t chars = 0;
  for (size_t i = 0; i < s.size() && chars < MaxDeviceStringChars; ++chars) {
    uint32_t cp = 0;
    size_t len = Utf8Sequence(s, i, cp);
    bool control = cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp <= 0x9F);
    if (len == 0 || control) {
      out += '?';
      i += len ? len : 1;  // an invalid byte costs one '?' each
    } else {
      out.append(s, i, len);
      i += len;
    }
  }
  return out;
}

std::string UsbIdentityName(uint16_t vid, uint16_t pid, const std::string &serialNumber) {
  char head[32];
  std::snprintf(head, sizeof head, "VID_%04X&PID_%04X#", vid, pid);
  std::string serial = serialNumber;
  std::replace(serial.begin(), serial.end(), ' ', '_');
  return head + serial;
}

std::vector<TZor_UsbDeviceInfo> EnumerateUsbDevices(std::string &errorText) {
  errorText.clear();
  auto devices = EnumerateSystemUsbDevices(UsbSysRoot(), UsbDevRoot(), errorText);
  std::sort(devices.begin(), devices.end(),
            [](const TZor_UsbDeviceInfo &a, const TZor_UsbDeviceInfo &b) { return a.SysPath < b.SysPath; });
  auto simulated = SimUsbDevices();
  devices.insert(devices.end(), simulated.begin(), simulated.end());
  return devices;
}

}  // namespace zor::platform
