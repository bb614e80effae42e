// Basic operating-system services: ticks, sleeps, events, thread ids, local
// time and system error texts. Everything above this layer reaches the OS
// only through here, so another backend can be added without touching the core.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

namespace zor::platform {

// Time source for every interval: 32-bit milliseconds of a monotonic clock
// (wrapping like the original tick counter) and sleeps. Tests install a
// virtual clock so long timeouts run instantly.
class TZor_Clock {
public:
  virtual ~TZor_Clock() = default;
  virtual uint32_t Ticks() = 0;
  virtual void Sleep(uint32_t ms) = 0;
  // A virtual clock does not let event waits block; they advance it instead.
  virtual bool IsVirtual() const { return false; }
  // Called by an event wait that found no signal on a virtual clock.
  virtual void Advance(uint32_t /*ms*/) {}
};

// The process-wide clock; the real monotonic one unless a test installed another.
TZor_Clock &Clock();
// Installs `clock` (not owned); nullptr restores the real clock.
void SetClock(TZor_Clock *clock);

inline uint32_t GetTicks() { return Clock().Ticks(); }
inline void SleepMs(uint32_t ms) { Clock().Sleep(ms); }
// Milliseconds from `start` to now, correct across the 32-bit wrap.
inline uint32_t TicksSince(uint32_t start) { return GetTicks() - start; }

// A clock that only moves when told to (or when something sleeps or waits).
class TZor_VirtualClock : public TZor_Clock {
public:
  explicit TZor_VirtualClock(uint32_t start = 0) : FNow(start) {}
  uint32_t Ticks() override;
  void Sleep(uint32_t ms) override { Advance(ms); }
  bool IsVirtual() const override { return true; }
  void Advance(uint32_t ms) override;

private:
  std::mutex FLock;
  uint32_t FNow;
};

// Installs a clock for the lifetime of the guard.
class TZor_ClockGuard {
public:
  explicit TZor_ClockGuard(TZor_Clock &clock) { SetClock(&clock); }
  ~TZor_ClockGuard() { SetClock(nullptr); }
  TZor_ClockGuard(const TZor_ClockGuard &) = delete;
  TZor_ClockGuard &operator=(const TZor_ClockGuard &) = delete;
};

// Manual-reset event: stays signalled until Reset.
class TZor_Event {
public:
  explicit TZor_Event(bool initiallySignaled = false) : FSignaled(initiallySignaled) {}
  void Signal();
  void Reset();
  bool IsSignaled();
  // Waits up to `ms` milliseconds; true if the event is signalled.
  bool WaitFor(uint32_t ms);

private:
  std::mutex FLock;
  std::condition_variable FCond;
  bool FSignaled;
};

uint32_t CurrentThreadId();

// An OS handle a front end can wait on (a descriptor on POSIX systems, a
// HANDLE or SOCKET elsewhere); only the platform layer interprets it.
using TZor_NativeHandle = std::intptr_t;
constexpr TZor_NativeHandle ZorInvalidHandle = -1;

// Outcome of a device read or write with a deadline.
enum class TZor_IoResult : uint8_t {
  ioOk,         // data moved
  ioTimeout,    // nothing within the deadline; the device stays usable
  ioCancelled,  // broken off by Cancel from another thread
  ioError,      // failed; GetLastError() says why (1167: the device is gone)
};

// Local wall-clock time; only for log columns and file names, never for intervals.
struct TZor_LocalTime {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
  bool operator==(const TZor_LocalTime &) const = default;
};
TZor_LocalTime LocalNow();
TZor_LocalTime ToLocalTime(std::time_t t, int millisecond = 0);
TZor_LocalTime UtcNow();

// System errors carry the Windows-equivalent code the core branches on and
// prints, together with the native errno.
struct TZor_SysError {
  uint32_t Code = 0;  // Windows-equivalent code (2, 5, 32, 121, 1167, 10054 ...)
  int Native = 0;     // errno
};

// Windows-equivalent codes used by the core.
enum : uint32_t {
  ERR_FILE_NOT_FOUND = 2,
  ERR_ACCESS_DENIED = 5,
  // Something read from a device cannot be used (e.g. its report lengths).
  ERR_INVALID_DATA = 13,
  ERR_WRITE_FAULT = 29,
  ERR_INVALID_PARAMETER = 87,
  ERR_SHARING_VIOLATION = 32,
  ERR_SEM_TIMEOUT = 121,
  ERR_NO_MORE_ITEMS = 259,
  ERR_BAD_DEVICE = 433,
  ERR_IO_INCOMPLETE = 996,
  ERR_DEVICE_NOT_CONNECTED = 1167,
  ERR_TIMEOUT = 1460,
  // A device node exists but this user may not open it (udev rules missing).
  ERR_NO_PERMISSION = 1314,
  // A wait broken off from another thread.
  ERR_OPERATION_ABORTED = 995,
  WSA_ECONNRESET = 10054,
  WSA_ETIMEDOUT = 10060,
  WSA_ECONNREFUSED = 10061,
  WSA_EHOSTUNREACH = 10065,
  WSA_HOST_NOT_FOUND = 11001,
};

// Maps an errno value to the Windows-equivalent code (unmapped values pass through).
TZor_SysError FromErrno(int err);
// The error of the last failed call on this thread.
TZor_SysError LastSystemError();
// Fixed text for a mapped code, the native text otherwise.
std::string SystemErrorText(const TZor_SysError &error);

}  // namespace zor::platform
