// Receive supervision of a network device against the simulator: a device
// that stops sending, one that cannot be reached, one that restarted and
// forgot the session; and the background thread the session check runs on.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "device/Zor_ColdfireCommands.h"
#include "net/IcmpPing.h"
#include "net/TCPThread.h"
#include "platform/Zor_SimHosts.h"
#include "tests/net/NetSimFixture.h"

using namespace zor;
using namespace zor::nettest;

namespace {

constexpr uint32_t ReceiveTimeoutMs = 250;

// An open stream-mode device that has measured once (a time stamp arrived)
// and whose simulated counterpart sends nothing unasked.
struct TSupervised {
  TSimHost Host;
  std::unique_ptr<TZor_NetworkDevice> Device;

  explicit TSupervised(const std::string &ip) : Host(TSimFamily::Coldfire, ip), Device(Host.MakeDevice(2)) {
    Device->SetReceiveTimeoutMs(ReceiveTimeoutMs);
    std::string error;
    EXPECT_TRUE(Device->OpenPort(error)) << error;
    // The first data tell the device object its user slot.
    EXPECT_TRUE(Device->DeviceWrite(CmdVersion()));
    EXPECT_TRUE(ReadUntil([&] { return Device->GetUserID() != 255; }, 2000));
    Device->SetReceivedSec(1);
  }

  // The simulator's occupied session slots.
  std::vector<int> Sessions() const {
    std::vector<int> slots;
    for (int slot = 1; slot <= 4; ++slot)
      if (Host.Link->IsUserConnected(slot)) slots.push_back(slot);
    return slots;
  }

  // Reads as the report processing does, until `condition` holds.
  template <class TCond>
  bool ReadUntil(TCond condition, uint32_t ms) {
    return WaitUntil(
        [&] {
          std::string text;
          Device->DeviceRead(1, text);
          return condition();
        },
        ms);
  }
};

}  // namespace

TEST(Supervise, SilentDeviceThatKeepsItsSessionIsReopenedAtTheSecondOk) {
  TSupervised s("127.0.62.1");
  const std::vector<int> sessions = s.Sessions();
  ASSERT_EQ(sessions.size(), 1u);
  TZor_NetworkDevice &d = *s.Device;

  // First check: the error is shown and the session check starts in the background.
  ASSERT_TRUE(s.ReadUntil([&] { return d.GetErrorCode() == Zor_Err_DataTransferInterrupted; }, 2000));
  EXPECT_EQ(d.GetErrorMessage(), "Network device: Data transfer interrupted. Please wait...");
  EXPECT_NE(d.GetTryState(), tryCleared);
  EXPECT_TRUE(d.GetErrorFlags() & 0x02);

  // The device answers "ok": the error is acknowledged and we wait once more.
  ASSERT_TRUE(s.ReadUntil([&] { return (d.GetErrorFlags() & 0x04) != 0; }, 3000));
  EXPECT_EQ(d.GetErrorCode(), Zor_No_Err);
  EXPECT_EQ(d.GetTryState(), tryCleared);
  EXPECT_FALSE(d.GetIsReconnected());

  // Still nothing: the next "ok" closes and reopens the device in its old slot.
  ASSERT_TRUE(s.ReadUntil([&] { return d.GetIsReconnected(); }, 4000));
  EXPECT_TRUE(d.GetPortIsOpened());
  EXPECT_EQ(d.GetErrorCode(), Zor_No_Err);
  EXPECT_EQ(s.Sessions(), sessions);
}

TEST(Supervise, UnreachableDeviceIsCountedNotClosedAndDataResetTheCount) {
  TSupervised s("127.0.62.2");
  TZor_NetworkDevice &d = *s.Device;
  platform::SetSimHostUp(s.Host.Ip, false);

  ASSERT_TRUE(s.ReadUntil([&] { return d.GetNoAnswerCounter() == 1; }, 5000));
  EXPECT_EQ(d.GetErrorCode(), Zor_Err_PingFailed);
  EXPECT_EQ(d.GetErrorMessage(), "Network device: Data transfer interrupted (1). Please wait...");

  // Every check grows the count by one; the fourth asks the user to look.
  ASSERT_TRUE(s.ReadUntil([&] { return d.GetNoAnswerCounter() >= 4; }, 15000));
  EXPECT_EQ(d.GetErrorMessage(),
            "Network device: Data transfer interrupted (4). Please check device and network.");
  EXPECT_TRUE(d.GetPortIsOpened());
  EXPECT_FALSE(d.GetIsReconnected());

  // The device is back and answers a command: the first data clear the error.
  platform::SetSimHostUp(s.Host.Ip, true);
  ASSERT_TRUE(WaitUntil([&] { return d.GetTryState() != tryRunning; }, 3000));
  ASSERT_TRUE(d.DeviceWrite(CmdVersion()));
  ASSERT_TRUE(s.ReadUntil([&] { return d.GetNoAnswerCounter() == 0; }, 3000));
  EXPECT_EQ(d.GetErrorCode(), Zor_No_Err);
}

TEST(Supervise, RestartedDeviceIsReopenedInTheSameSlot) {
  TSupervised s("127.0.62.3");
  TZor_NetworkDevice &d = *s.Device;
  const std::vector<int> sessions = s.Sessions();
  s.Host.Device->Restart();

  ASSERT_TRUE(s.ReadUntil([&] { return d.GetIsReconnected(); }, 6000));
  EXPECT_TRUE(d.GetPortIsOpened());
  EXPECT_EQ(s.Sessions(), sessions);
  EXPECT_EQ(d.GetErrorCode(), Zor_No_Err);
}

TEST(Supervise, FailedReopensAreOneReceiveTimeoutApart) {
  TSupervised s("127.0.3.21");
  TZor_NetworkDevice &d = *s.Device;
  ASSERT_TRUE(d.CloseDataConnection());
  std::atomic<int> pings{0};
  SetIcmpEchoFunction([&](uint32_t, uint32_t, platform::TZor_EchoResult &r) {
    ++pings;
    r.Error = {platform::ICMP_REQ_TIMED_OUT, 0};
    return false;
  });
  // Reads for three receive timeouts: every failed reopen moves the time of
  // the last data, so the attempts do not follow each read.
  s.ReadUntil([] { return false; }, 3 * ReceiveTimeoutMs);
  EXPECT_GE(pings, 1);
  EXPECT_LE(pings, 4);  // at most one per receive timeout in the window, and one at once
  EXPECT_EQ(d.GetErrorMessage(), "Network device lost, connection closed!");
  SetIcmpEchoFunction({});
  // The device answers again: the next attempt reopens it.
  EXPECT_TRUE(s.ReadUntil([&] { return d.GetIsReconnected(); }, 3000));
  EXPECT_TRUE(d.GetPortIsOpened());
}

// A session check that hangs (the device takes the TRYBABY but never answers)
// does not hold a reopen, and its late outcome is ignored.
TEST(Supervise, ReopenDoesNotWaitForTheRunningCheck) {
  TSupervised s("127.0.3.23");
  TZor_NetworkDevice &d = *s.Device;
  d.SetAnswerTimeoutMs(8000);
  s.Host.SetFaults([](TSimLinkFaults &f) { f.NoAnswer = {1, srkTry}; });
  ASSERT_TRUE(s.ReadUntil([&] { return CountLog(s.Host, "request TRYBABY") == 1; }, 3000));
  ASSERT_EQ(d.GetTryState(), tryRunning);
  // The data connection goes: the next check closes and reopens at once.
  ASSERT_TRUE(d.CloseDataConnection());
  platform::SleepMs(ReceiveTimeoutMs + 50);
  uint32_t start = platform::GetTicks();
  std::string text;
  d.DeviceRead(1, text);
  EXPECT_LT(platform::TicksSince(start), 2000u);
  EXPECT_TRUE(d.GetIsReconnected());
  EXPECT_TRUE(d.GetPortIsOpened());
  // The discarded check has been broken off; its outcome does not arrive.
  platform::SleepMs(100);
  EXPECT_EQ(d.GetTryState(), tryCleared);
}

TEST(Supervise, NoSupervisionWithoutMeasurementOrInToolsMode) {
  TSupervised s("127.0.62.4");
  TZor_NetworkDevice &d = *s.Device;

  // Tools mode (the device is reopened in it): an empty read returns at once
  // and nothing is started.
  d.SetContextTool(true);
  std::string text;
  platform::SleepMs(2 * ReceiveTimeoutMs);
  EXPECT_FALSE(d.DeviceRead(1, text));
  EXPECT_EQ(d.GetTryState(), tryCleared);
  EXPECT_EQ(d.GetErrorCode(), Zor_No_Err);
  d.SetContextTool(false);

  // No time stamp ever arrived: the link is fine, the measurement hardware is not.
  d.SetReceivedSec(0);
  uint8_t c = 0;
  ASSERT_TRUE(WaitUntil([&] { return !d.PeekChar(c) && d.GetErrorCode() == Zor_HardwareFault; }));
  EXPECT_EQ(d.GetErrorMessage(),
            "NetworkDevice does not send measurement data: Please check measurement hardware!");
  EXPECT_EQ(d.GetTryState(), tryCleared);
}

TEST(TCPThread, RunsItsRequestOnceAndDestructionWaitsForIt) {
  std::atomic<bool> release{false};
  std::atomic<int> runs{0};
  std::atomic<bool> finished{false};
  auto thread = std::make_unique<TTCPThread>(-1, "(Test)", [&] {
    ++runs;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    finished = true;
    return true;
  });
  EXPECT_FALSE(thread->GetTerminated());
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release = true;
  });
  thread.reset();  // must not return before the request ended
  EXPECT_TRUE(finished);
  EXPECT_EQ(runs, 1);
  releaser.join();
}

TEST(TCPThread, FailureAndExceptionEndTheThreadCleanly) {
  TTCPThread failing(-1, "(Fail)", [] { return false; });
  TTCPThread throwing(-1, "(Throw)", []() -> bool { throw std::runtime_error("socket gone"); });
  failing.WaitFor();
  throwing.WaitFor();
  EXPECT_TRUE(failing.GetTerminated());
  EXPECT_FALSE(failing.GetResult());
  EXPECT_TRUE(throwing.GetTerminated());
  EXPECT_FALSE(throwing.GetResult());
  EXPECT_EQ(failing.GetDbgTag(), "TTCPThread(Fail)");
}

TEST(TCPThread, FreedByItsOwnRequestDoesNotEndTheProcess) {
  std::unique_ptr<TTCPThread> self;
  std::mutex lock;
  std::condition_variable owned;
  bool ready = false;
  std::atomic<bool> freed{false};
  // Released with the request when the thread has run out.
  auto ranOut = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<void> token(nullptr, [ranOut](void *) { *ranOut = true; });
  self = std::make_unique<TTCPThread>(-1, "(Self)", [&, token] {
    {
      std::unique_lock<std::mutex> g(lock);
      owned.wait(g, [&] { return ready; });
    }
    self.reset();  // the owner goes away on the request's own thread
    freed = true;
    return true;
  });
  {
    std::lock_guard<std::mutex> g(lock);
    ready = true;
  }
  owned.notify_all();
  token.reset();
  EXPECT_TRUE(WaitUntil([&] { return freed.load(); }));
  EXPECT_TRUE(WaitUntil([&] { return ranOut->load(); }));
}
