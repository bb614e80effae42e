// HID report I/O on one device node. Reports keep one layout on every
// system: byte 0 is the report ID (0 for a device without numbered
// reports), followed by the report's bytes; the backend adds or removes
// what its system does differently.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Zor_Sys.h"

namespace zor::platform {

class TZor_HidPort {
 public:
  virtual ~TZor_HidPort() = default;

  // Report lengths including the report-ID byte, from the report descriptor.
  virtual uint32_t InputReportLength() const = 0;
  virtual uint32_t OutputReportLength() const = 0;

  // One input report (InputReportLength bytes), waiting up to `timeoutMs`
  // (0: only a report that has already arrived). ioError with code 1167
  // when the device is gone.
  virtual TZor_IoResult Read(std::string &report, uint32_t timeoutMs) = 0;
  // One output report of OutputReportLength bytes, whole or not at all.
  virtual TZor_IoResult Write(const std::string &report, uint32_t timeoutMs) = 0;
  // Ends a Read waiting on another thread with ioCancelled; later reads
  // work again. Safe from any thread.
  virtual void CancelRead() = 0;

  // Reason of the last failed call.
  virtual TZor_SysError GetLastError() const = 0;
};

// Opens a HID node for this process alone. On failure nullptr and `error`:
// 5 when another program holds it, ERR_NO_PERMISSION when this user may not
// open it, 1167 when it is gone, 13 (invalid data) when its report lengths
// cannot be read. Nodes of simulated devices (Zor_SimUsb.h) open through
// the simulator.
std::unique_ptr<TZor_HidPort> OpenHidPort(const std::string &node, TZor_SysError &error);

}  // namespace zor::platform
