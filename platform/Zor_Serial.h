// Serial port I/O (a virtual COM port of a USB device): exclusive, raw
// 8N1 at the given baud rate, reads and writes with deadlines.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Zor_Sys.h"

namespace zor::platform {

class TZor_SerialPort {
 public:
  virtual ~TZor_SerialPort() = default;

  // Up to `maxBytes`, waiting up to `timeoutMs` for the first byte (0: only
  // what has already arrived). ioError with code 1167 when the port is gone.
  virtual TZor_IoResult Read(std::string &data, size_t maxBytes, uint32_t timeoutMs) = 0;
  // All of `data` within `timeoutMs`; ioTimeout leaves `written` short.
  virtual TZor_IoResult Write(const std::string &data, uint32_t timeoutMs, size_t &written) = 0;
  virtual bool SetBaudRate(uint32_t baud) = 0;
  // Ends a Read waiting on another thread with ioCancelled. Safe from any thread.
  virtual void CancelRead() = 0;
  virtual TZor_SysError GetLastError() const = 0;
};

// Opens a serial port exclusively; errors as OpenHidPort.
std::unique_ptr<TZor_SerialPort> OpenSerialPort(const std::string &node, uint32_t baud, TZor_SysError &error);

}  // namespace zor::platform
