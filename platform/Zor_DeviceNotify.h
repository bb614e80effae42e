// Device-change notifications: USB devices and serial ports coming and
// going. The monitor offers a handle that becomes readable when something
// is pending and a Pump call that delivers it, so a command line drains it
// in its message processing and a window wraps the handle in a notifier.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Zor_Sys.h"

namespace zor::platform {

enum class TZor_DeviceChangeKind : uint8_t { dcUsbAttached, dcUsbDetached, dcPortAttached, dcPortDetached };

struct TZor_DeviceChange {
  TZor_DeviceChangeKind Kind = TZor_DeviceChangeKind::dcUsbAttached;
  // USB: the device's SysPath + "#" + UsbIdentityName(...); port: the node
  // ("/dev/ttyACM0").
  std::string Name;
};

// One kernel uevent: "action@devpath" followed by KEY=value fields.
struct TZor_UEvent {
  std::string Action;  // add, remove, bind, ...
  std::string DevPath;
  std::map<std::string, std::string> Fields;
  std::string Get(const std::string &key) const;
};

// Parses one uevent datagram; nothing for anything malformed.
std::optional<TZor_UEvent> ParseUEvent(std::string_view message);

class TZor_DeviceMonitor {
 public:
  using THandler = std::function<void(const TZor_DeviceChange &)>;
  virtual ~TZor_DeviceMonitor() = default;

  // Readable while notifications are pending.
  virtual TZor_NativeHandle PollHandle() const = 0;
  // Delivers every pending notification to the handler; never blocks.
  virtual void Pump() = 0;
};

// Watches the system's notifications and those of simulated devices
// (Zor_SimUsb.h). On failure nullptr and `error`.
std::unique_ptr<TZor_DeviceMonitor> CreateDeviceMonitor(TZor_DeviceMonitor::THandler handler, TZor_SysError &error);

}  // namespace zor::platform
