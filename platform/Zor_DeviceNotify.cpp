#include "platform/Zor_DeviceNotify.h"

#include <charconv>
#include <cstring>
#include <fstream>

#include "platform/Zor_UEventMapper.h"
#include "platform/Zor_UsbEnum.h"

namespace zor::platform {

namespace {

// The kernel's events are a few KiB at most; anything larger is not one.
constexpr size_t MaxEventSize = 64 * 1024;
constexpr std::string_view UdevPrefix{"libudev\0", 8};

// KEY=value fields separated by NULs, the last one NUL-terminated too (a
// message cut short then fails instead of yielding a shortened value).
bool ParseFields(std::string_view block, std::map<std::string, std::string> &fields) {
  if (block.empty()) return true;
  if (block.back() != '\0') return false;
  block.remove_suffix(1);
  for (;;) {
    const size_t end = block.find('\0');
    const std::string_view field = block.substr(0, end);
    const size_t eq = field.find('=');
    if (eq == std::string_view::npos || eq == 0) return false;
    // A key repeated with another value could say one thing to us and
    // another to the next reader (the same value twice is harmless; umockdev
    // sends SUBSYSTEM twice).
    const auto [it, added] = fields.emplace(std::string(field.substr(0, eq)), std::string(field.substr(eq + 1)));
    if (!added && it->second != field.substr(eq + 1)) return false;
    if (end == std::string_view::npos) return true;
    block.remove_prefix(end + 1);
  }
}

bool AgreesWithHeader(const TZor_UEvent &event) {
  auto agrees = [&](const char *key, const std::string &value) {
    auto it = event.Fields.find(key);
    return it == event.Fields.end() || it->second == value;
  };
  return agrees("ACTION", event.Action) && agrees("DEVPATH", event.DevPath);
}

uint32_t ReadU32(std::string_view bytes, size_t offset) {
  uint32_t value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

std::optional<uint16_t> ParseHex16(std::string_view text) {
  uint16_t value = 0;
  const char *end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(text.data(), end, value, 16);
  if (text.empty() || text.size() > 4 || ec != std::errc() || stop != end) return std::nullopt;
  return value;
}

// DEVPATH is joined to the sysfs root and ends up in notification names:
// only a plain path below /devices, without '#' (the name separator).
bool IsPlainDevPath(const std::string &path) {
  if (path.rfind("/devices/", 0) != 0 || path.size() > 4096) return false;
  for (unsigned char c : path)
    if (c <= ' ' || c >= 0x7F || c == '#') return false;
  return path.find("/../") == std::string::npos && path.find("/./") == std::string::npos &&
         !path.ends_with("/..") && !path.ends_with("/.");
}

// Every USB device lies below a root hub directory "usbN".
bool IsBelowUsbDevice(std::string_view path) {
  for (size_t at = path.find("/usb"); at != std::string_view::npos; at = path.find("/usb", at + 1)) {
    size_t end = at + 4;
    while (end < path.size() && path[end] >= '0' && path[end] <= '9') ++end;
    if (end > at + 4 && end < path.size() && path[end] == '/') return true;
  }
  return false;
}

// "ttyACM0" (the kernel's form) or "/dev/ttyACM0" (udev's): the name in /dev.
std::optional<std::string> UsbPortName(std::string name) {
  if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
  if (name.rfind("ttyACM", 0) != 0 && name.rfind("ttyUSB", 0) != 0) return std::nullopt;
  const std::string number = name.substr(6);
  if (number.empty() || number.size() > 6 || number.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return name;
}

std::string UsbChangeName(const std::string &devPath, uint16_t vid, uint16_t pid, const std::string &serial) {
  return "/sys" + devPath + "#" + UsbIdentityName(vid, pid, serial);
}

}  // namespace

std::string TZor_UEvent::Get(const std::string &key) const {
  auto it = Fields.find(key);
  return it == Fields.end() ? std::string() : it->second;
}

std::optional<TZor_UEvent> ParseUEvent(std::string_view message) {
  if (message.size() > MaxEventSize || message.starts_with(UdevPrefix)) return std::nullopt;
  const size_t headEnd = message.find('\0');
  if (headEnd == std::string_view::npos) return std::nullopt;
  const std::string_view head = message.substr(0, headEnd);
  const size_t at = head.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == head.size()) return std::nullopt;
  TZor_UEvent event;
  event.Action = head.substr(0, at);
  event.DevPath = head.substr(at + 1);
  if (!ParseFields(message.substr(headEnd + 1), event.Fields) || !AgreesWithHeader(event))
    return std::nullopt;
  return event;
}

std::optional<TZor_UEvent> ParseUdevMessage(std::string_view message) {
  // prefix[8], magic (network order), header size, properties offset and
  // length (sender's order), four filter words.
  constexpr size_t HeaderSize = 40;
  constexpr uint8_t Magic[4] = {0xFE, 0xED, 0xCA, 0xFE};
  if (message.size() > MaxEventSize || message.size() < HeaderSize || !message.starts_with(UdevPrefix) ||
      std::memcmp(message.data() + 8, Magic, sizeof Magic) != 0)
    return std::nullopt;
  const size_t offset = ReadU32(message, 16), length = ReadU32(message, 20);
  if (offset < HeaderSize || offset > message.size() || length == 0 || length > message.size() - offset)
    return std::nullopt;
  TZor_UEvent event;
  if (!ParseFields(message.substr(offset, length), event.Fields)) return std::nullopt;
  event.Action = event.Get("ACTION");
  event.DevPath = event.Get("DEVPATH");
  if (event.Action.empty() || event.DevPath.empty()) return std::nullopt;
  return event;
}

void TZor_UEventMapper::Remember(const std::string &devPath, uint16_t vid, uint16_t pid,
                                 const std::string &serial) {
  FNames[devPath] = UsbChangeName(devPath, vid, pid, serial);
}

std::optional<TZor_DeviceChange> TZor_UEventMapper::Map(const TZor_UEvent &event) {
  if (!IsPlainDevPath(event.DevPath)) return std::nullopt;
  const std::string subsystem = event.Get("SUBSYSTEM");
  if (subsystem == "usb") {
    if (event.Get("DEVTYPE") != "usb_device") return std::nullopt;
    return MapUsbDevice(event);
  }
  if (subsystem != "tty" || !IsBelowUsbDevice(event.DevPath)) return std::nullopt;
  auto port = UsbPortName(event.Get("DEVNAME"));
  if (!port) return std::nullopt;
  if (event.Action == "add") return TZor_DeviceChange{TZor_DeviceChangeKind::dcPortAttached, "/dev/" + *port};
  if (event.Action == "remove")
    return TZor_DeviceChange{TZor_DeviceChangeKind::dcPortDetached, "/dev/" + *port};
  return std::nullopt;
}

std::optional<TZor_DeviceChange> TZor_UEventMapper::MapUsbDevice(const TZor_UEvent &event) {
  const std::string &devPath = event.DevPath;
  const bool add = event.Action == "add";
  if (!add && event.Action != "remove") return std::nullopt;
  const auto kind = add ? TZor_DeviceChangeKind::dcUsbAttached : TZor_DeviceChangeKind::dcUsbDetached;
  if (!add) {
    auto it = FNames.find(devPath);
    if (it != FNames.end()) {
      TZor_DeviceChange change{kind, std::move(it->second)};
      FNames.erase(it);
      return change;
    }
  }
  std::optional<uint16_t> vid, pid;
  std::string serial;
  if (add) {
    vid = ParseHex16(ReadAttribute(devPath, "idVendor"));
    pid = ParseHex16(ReadAttribute(devPath, "idProduct"));
    if (vid && pid) serial = CleanDeviceString(ReadAttribute(devPath, "serial"));
  }
  if (!vid || !pid) {
    // Gone before its directory could be read, or removed unseen: PRODUCT
    // carries "vid/pid/bcd" in hex; the serial number is lost.
    const std::string product = event.Get("PRODUCT");
    const size_t slash1 = product.find('/'), slash2 = product.find('/', slash1 + 1);
    if (slash1 == std::string::npos || slash2 == std::string::npos) return std::nullopt;
    vid = ParseHex16(std::string_view(product).substr(0, slash1));
    pid = ParseHex16(std::string_view(product).substr(slash1 + 1, slash2 - slash1 - 1));
    if (!vid || !pid) return std::nullopt;
  }
  TZor_DeviceChange change{kind, UsbChangeName(devPath, *vid, *pid, serial)};
  if (add) FNames[devPath] = change.Name;
  return change;
}

std::string TZor_UEventMapper::ReadAttribute(const std::string &devPath, const char *name) const {
  std::ifstream file(FSysRoot + devPath + "/" + name, std::ios::binary);
  char buffer[256];
  file.read(buffer, sizeof buffer);
  std::string value(buffer, static_cast<size_t>(file.gcount()));
  if (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

}  // namespace zor::platform
