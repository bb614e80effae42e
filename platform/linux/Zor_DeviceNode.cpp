#include "platform/linux/Zor_DeviceNode.h"

#include <algorithm>
#include <cerrno>
#include <climits>

namespace zor::platform {

TZor_Deadline DeadlineIn(uint32_t ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

int RemainingMs(TZor_Deadline deadline) {
  auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

TZor_SysError DeviceIoError(int err) {
  const bool gone = err == EIO || err == ENODEV || err == ENXIO || err == ENOENT;
  return gone ? TZor_SysError{ERR_DEVICE_NOT_CONNECTED, err} : FromErrno(err);
}

TZor_SysError DeviceOpenError(int err) {
  if (err == EACCES || err == EPERM) return {ERR_NO_PERMISSION, err};
  // A tty another program opened exclusively (TIOCEXCL).
  if (err == EBUSY) return {ERR_ACCESS_DENIED, err};
  return DeviceIoError(err);
}

}  // namespace zor::platform
