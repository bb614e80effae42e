#include "platform/Zor_Sys.h"

#include <atomic>
#include <chrono>

#include "platform/Zor_SysOs.h"

namespace zor::platform {

namespace {

class TRealClock : public TZor_Clock {
 public:
  uint32_t Ticks() override { return static_cast<uint32_t>(os::MonotonicMs()); }
  void Sleep(uint32_t ms) override { os::SleepMs(ms); }
};

TRealClock GRealClock;
std::atomic<TZor_Clock *> GClock{&GRealClock};

TZor_LocalTime FromTm(const std::tm &tm, int millisecond) {
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millisecond};
}

std::pair<std::time_t, int> WallNow() {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return {static_cast<std::time_t>(ms / 1000), static_cast<int>(ms % 1000)};
}

}  // namespace

TZor_Clock &Clock() { return *GClock.load(std::memory_order_acquire); }

void SetClock(TZor_Clock *clock) { GClock.store(clock ? clock : &GRealClock, std::memory_order_release); }

uint32_t TZor_VirtualClock::Ticks() {
  std::lock_guard<std::mutex> g(FLock);
  return FNow;
}

void TZor_VirtualClock::Advance(uint32_t ms) {
  std::lock_guard<std::mutex> g(FLock);
  FNow += ms;
}

void TZor_Event::Signal() {
  {
    std::lock_guard<std::mutex> g(FLock);
    FSignaled = true;
  }
  FCond.notify_all();
}

void TZor_Event::Reset() {
  std::lock_guard<std::mutex> g(FLock);
  FSignaled = false;
}

bool TZor_Event::IsSignaled() {
  std::lock_guard<std::mutex> g(FLock);
  return FSignaled;
}

bool TZor_Event::WaitFor(uint32_t ms) {
  TZor_Clock &clock = Clock();
  std::unique_lock<std::mutex> g(FLock);
  if (clock.IsVirtual()) {
    if (!FSignaled) {
      g.unlock();
      clock.Advance(ms);
      g.lock();
    }
    return FSignaled;
  }
  return FCond.wait_for(g, std::chrono::milliseconds(ms), [this] { return FSignaled; });
}

TZor_LocalTime ToLocalTime(std::time_t t, int millisecond) { return FromTm(os::BreakDownTime(t, false), millisecond); }

TZor_LocalTime LocalNow() {
  auto [t, ms] = WallNow();
  return ToLocalTime(t, ms);
}

TZor_LocalTime UtcNow() {
  auto [t, ms] = WallNow();
  return FromTm(os::BreakDownTime(t, true), ms);
}

std::string SystemErrorText(const TZor_SysError &error) {
  switch (error.Code) {
  case ERR_FILE_NOT_FOUND: return "The system cannot find the file specified.";
  case ERR_ACCESS_DENIED: return "Access is denied.";
  case ERR_INVALID_DATA: return "The data is invalid.";
  case ERR_WRITE_FAULT: return "The system cannot write to the specified device.";
  case ERR_INVALID_PARAMETER: return "The parameter is incorrect.";
  case ERR_SHARING_VIOLATION: return "The process cannot access the file because it is being used by another process.";
  case ERR_SEM_TIMEOUT: return "The semaphore timeout period has expired.";
  case ERR_NO_MORE_ITEMS: return "No more data is available.";
  case ERR_BAD_DEVICE: return "A device which does not exist was specified.";
  case ERR_OPERATION_ABORTED:
    return "The I/O operation has been aborted because of either a thread exit or an application request.";
  case ERR_IO_INCOMPLETE: return "Overlapped I/O event is not in a signaled state.";
  case ERR_DEVICE_NOT_CONNECTED: return "The device is not connected.";
  case ERR_NO_PERMISSION:
    return "permission denied: install the udev rules with: sudo cmake --install build --component udev (or see "
           "README)";
  case ERR_TIMEOUT: return "This operation returned because the timeout period expired.";
  case WSA_ECONNRESET: return "An existing connection was forcibly closed by the remote host.";
  case WSA_ETIMEDOUT: return "Connection timed out.";
  case WSA_ECONNREFUSED: return "No connection could be made because the target machine actively refused it.";
  case WSA_EHOSTUNREACH: return "A socket operation was attempted to an unreachable host.";
  case WSA_HOST_NOT_FOUND: return "No such host is known.";
  default: break;
  }
  return os::NativeErrorText(error.Native ? error.Native : static_cast<int>(error.Code));
}

}  // namespace zor::platform
