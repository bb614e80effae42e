// Turns uevents into device-change notifications. Kept apart from the
// netlink socket so the mapping can be fed datagrams directly.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Zor_DeviceNotify.h"

namespace zor::platform {

// The udev daemon's form of an event ("libudev\0" header, then KEY=value
// fields), as emulated device test beds deliver them; nothing for anything
// malformed. The result is checked like a kernel uevent.
std::optional<TZor_UEvent> ParseUdevMessage(std::string_view message);

class TZor_UEventMapper {
 public:
  // `sysRoot`: where the device directories named by DEVPATH live ("/sys").
  explicit TZor_UEventMapper(std::string sysRoot) : FSysRoot(std::move(sysRoot)) {}

  // A device present before events were watched: its removal then carries
  // its serial number, which a removal event no longer has.
  void Remember(const std::string &devPath, uint16_t vid, uint16_t pid, const std::string &serial);

  // The notification an event means, if any: USB devices coming and going
  // and serial ports of USB devices; everything else is nothing.
  std::optional<TZor_DeviceChange> Map(const TZor_UEvent &event);

 private:
  std::optional<TZor_DeviceChange> MapUsbDevice(const TZor_UEvent &event);
  std::string ReadAttribute(const std::string &devPath, const char *name) const;

  std::string FSysRoot;
  std::map<std::string, std::string> FNames;  // DEVPATH -> notification name
};

}  // namespace zor::platform
