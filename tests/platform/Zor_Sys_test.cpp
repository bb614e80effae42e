#include "platform/Zor_Sys.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>

using namespace zor::platform;

TEST(Event, ManualResetStaysSignalledUntilReset) {
  TZor_Event e;
  EXPECT_FALSE(e.WaitFor(0));
  e.Signal();
  EXPECT_TRUE(e.WaitFor(0));
  EXPECT_TRUE(e.WaitFor(0));  // manual reset: still signalled
  e.Reset();
  EXPECT_FALSE(e.IsSignaled());
}

TEST(Event, WaitWakesOnSignalFromAnotherThread) {
  TZor_Event e;
  uint32_t start = GetTicks();
  std::thread t([&] {
    SleepMs(20);
    e.Signal();
  });
  EXPECT_TRUE(e.WaitFor(5000));
  EXPECT_LT(TicksSince(start), 2000u);
  t.join();
}

TEST(Event, TimedWaitKeepsItsTiming) {
  TZor_Event e;
  uint32_t start = GetTicks();
  EXPECT_FALSE(e.WaitFor(50));
  uint32_t took = TicksSince(start);
  EXPECT_GE(took, 49u);
  EXPECT_LT(took, 1000u);
}

TEST(VirtualClock, SleepsAndUnsignalledWaitsAdvanceVirtualTime) {
  TZor_VirtualClock clock(0xFFFFFF00u);  // close to the wrap
  TZor_ClockGuard guard(clock);
  uint32_t start = GetTicks();
  SleepMs(0x200);
  EXPECT_EQ(TicksSince(start), 0x200u);
  TZor_Event e;
  EXPECT_FALSE(e.WaitFor(10000));
  EXPECT_EQ(TicksSince(start), 0x200u + 10000u);
  e.Signal();
  EXPECT_TRUE(e.WaitFor(10000));
  EXPECT_EQ(TicksSince(start), 0x200u + 10000u);  // a signalled wait takes no time
}

TEST(SysError, ErrnoMapsToTheCodesMessagesKeyOn) {
  EXPECT_EQ(FromErrno(ECONNRESET).Code, 10054u);
  EXPECT_EQ(FromErrno(ETIMEDOUT).Code, 10060u);
  EXPECT_EQ(FromErrno(ECONNREFUSED).Code, 10061u);
  EXPECT_EQ(FromErrno(EHOSTUNREACH).Code, 10065u);
  EXPECT_EQ(FromErrno(ENETUNREACH).Code, 10065u);
  EXPECT_EQ(FromErrno(ENOENT).Code, 2u);
  EXPECT_EQ(FromErrno(ENOENT).Native, ENOENT);
  EXPECT_FALSE(SystemErrorText(FromErrno(EINVAL)).empty());
}

// Codes the platform raises itself carry no errno: their text must not be the
// native text of the same number (13 is EACCES on Linux).
TEST(SysError, OwnCodesHaveTheirFixedTextNotTheNativeOne) {
  EXPECT_EQ(SystemErrorText({ERR_INVALID_DATA, 0}), "The data is invalid.");
  EXPECT_EQ(SystemErrorText({ERR_NO_PERMISSION, EACCES}),
            "permission denied: install the udev rules with: sudo cmake --install build --component udev (or see "
            "README)");
  EXPECT_EQ(SystemErrorText({ERR_OPERATION_ABORTED, 0}),
            "The I/O operation has been aborted because of either a thread exit or an application request.");
  // An unmapped code falls back to the native text of its errno.
  EXPECT_EQ(SystemErrorText(FromErrno(EINVAL)), std::strerror(EINVAL));
}

TEST(LocalTime, ThreadIdsDiffer) {
  uint32_t mine = CurrentThreadId(), other = 0;
  std::thread t([&] { other = CurrentThreadId(); });
  t.join();
  EXPECT_NE(mine, other);
  auto now = LocalNow();
  EXPECT_GE(now.Year, 2000);
  EXPECT_LT(now.Millisecond, 1000);
}
