#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/Zor_Sys.h"
#include "platform/Zor_SysOs.h"

namespace zor::platform {

namespace os {

uint64_t MonotonicMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void SleepMs(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::tm BreakDownTime(std::time_t t, bool utc) {
  std::tm tm{};
  if (utc)
    ::gmtime_r(&t, &tm);
  else
    ::localtime_r(&t, &tm);
  return tm;
}

std::string NativeErrorText(int native) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not be `buf`.
  const char *text = ::strerror_r(native, buf, sizeof buf);
  return text ? text : "";
}

}  // namespace os

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

TZor_SysError FromErrno(int err) {
  uint32_t code;
  switch (err) {
  case ENOENT: code = ERR_FILE_NOT_FOUND; break;
  case EACCES:
  case EPERM: code = ERR_ACCESS_DENIED; break;
  case EBUSY: code = ERR_SHARING_VIOLATION; break;
  case ENODEV:
  case ENXIO: code = ERR_DEVICE_NOT_CONNECTED; break;
  case ETIMEDOUT: code = WSA_ETIMEDOUT; break;
  case ECONNRESET:
  case EPIPE: code = WSA_ECONNRESET; break;
  case ECONNREFUSED: code = WSA_ECONNREFUSED; break;
  case EHOSTUNREACH:
  case ENETUNREACH: code = WSA_EHOSTUNREACH; break;
  default: code = static_cast<uint32_t>(err); break;
  }
  return {code, err};
}

TZor_SysError LastSystemError() { return FromErrno(errno); }

}  // namespace zor::platform
