// USB enumeration from sysfs: identities, strings and the nodes of each
// device's interfaces, read without opening any device node.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/Zor_UsbBackend.h"
#include "platform/linux/Zor_SysfsUtil.h"

namespace zor::platform {

namespace {

std::optional<std::string> RealPath(const std::string &path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return std::nullopt;
  return std::string(buf);
}

// A 16-bit value sysfs prints as hex ("16d0\n"); nullopt when absent or malformed.
std::optional<uint16_t> ReadHex16(const std::string &path) {
  std::string text;
  int err = 0;
  if (!ReadSysfsFile(path, text, err, 64)) return std::nullopt;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  if (text.empty() || text.size() > 4) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return static_cast<uint16_t>(value);
}

// A string descriptor; a missing or unreadable one reads as empty.
std::string ReadDeviceString(const std::string &path) {
  std::string text;
  int err = 0;
  if (!ReadSysfsFile(path, text, err, 1024)) return {};
  return CleanDeviceString(text);
}

// Nodes the device's interfaces offer: hidraw nodes of its HID functions
// (<iface>/<hid>/hidraw/hidrawN) and serial ports (<iface>/tty/ttyACMn for
// CDC, <iface>/ttyUSBn for USB-serial converters).
void CollectNodes(const std::string &devDir, const std::string &devRoot, TZor_UsbDeviceInfo &info) {
  for (const auto &iface : ListDirectory(devDir)) {
    if (iface.find(':') == std::string::npos) continue;
    const std::string ifaceDir = devDir + "/" + iface;
    if (!IsDirectory(ifaceDir)) continue;
    for (const auto &child : ListDirectory(ifaceDir)) {
      for (const auto &node : ListDirectory(ifaceDir + "/" + child + "/hidraw"))
        if (node.rfind("hidraw", 0) == 0) info.HidNodes.push_back(devRoot + "/" + node);
      if (child == "tty") {
        for (const auto &node : ListDirectory(ifaceDir + "/tty")) info.TtyNodes.push_back(devRoot + "/" + node);
      } else if (child.rfind("ttyUSB", 0) == 0) {
        info.TtyNodes.push_back(devRoot + "/" + child);
      }
    }
  }
  std::sort(info.HidNodes.begin(), info.HidNodes.end());
  std::sort(info.TtyNodes.begin(), info.TtyNodes.end());
}

// One device directory; nullopt when it is not a USB device or vanished.
std::optional<TZor_UsbDeviceInfo> ReadDevice(const std::string &entry, const std::string &realRoot,
                                             const std::string &devRoot) {
  auto dir = RealPath(entry);
  if (!dir) return std::nullopt;
  auto vid = ReadHex16(*dir + "/idVendor");
  auto pid = ReadHex16(*dir + "/idProduct");
  if (!vid || !pid) return std::nullopt;
  TZor_UsbDeviceInfo info;
  info.VendorID = *vid;
  info.ProductID = *pid;
  info.BcdDevice = ReadHex16(*dir + "/bcdDevice").value_or(0);
  info.DeviceIsHub = ReadHex16(*dir + "/bDeviceClass") == uint16_t{0x09};
  info.Manufacturer = ReadDeviceString(*dir + "/manufacturer");
  info.Product = ReadDeviceString(*dir + "/product");
  info.SerialNumber = ReadDeviceString(*dir + "/serial");
  CollectNodes(*dir, devRoot, info);
  // A string file missing because the device left meanwhile is not an
  // absent string: leave the device out.
  if (!IsDirectory(*dir)) return std::nullopt;
  // Named like the kernel's DEVPATH with "/sys" in front, wherever the root is.
  bool underRoot = dir->compare(0, realRoot.size(), realRoot) == 0 && (*dir)[realRoot.size()] == '/';
  info.SysPath = underRoot ? "/sys" + dir->substr(realRoot.size()) : *dir;
  return info;
}

}  // namespace

std::vector<TZor_UsbDeviceInfo> EnumerateSystemUsbDevices(const std::string &sysRoot, const std::string &devRoot,
                                                          std::string &errorText) {
  std::vector<TZor_UsbDeviceInfo> devices;
  const std::string listDir = sysRoot + "/bus/usb/devices";
  DIR *dir = ::opendir(listDir.c_str());
  if (!dir) {
    int err = errno;
    // A system without a USB bus (no host controller, a container) has no
    // USB devices; only a sysfs that cannot be read is an error.
    struct stat st {};
    if (err == ENOENT && ::stat(sysRoot.c_str(), &st) == 0 && ::stat((sysRoot + "/bus/usb").c_str(), &st) != 0)
      return devices;
    errorText = "cannot read the USB device list " + listDir + ": " + std::strerror(err);
    return devices;
  }
  ::closedir(dir);
  const std::string realRoot = RealPath(sysRoot).value_or(sysRoot);
  for (const auto &name : ListDirectory(listDir)) {
    if (name.find(':') != std::string::npos) continue;  // an interface, not a device
    if (auto info = ReadDevice(listDir + "/" + name, realRoot, devRoot)) devices.push_back(std::move(*info));
  }
  return devices;
}

}  // namespace zor::platform
