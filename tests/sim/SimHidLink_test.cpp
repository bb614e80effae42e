// The simulator's HID link against hand-made reports: the layouts here are
// written from the report description, not taken from the tool's decoder.
#include "sim/SimHidLink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <optional>
#include <thread>

#include "platform/Zor_SimUsb.h"
#include "sim/SimColdfire.h"
#include "sim/SimSystemCode.h"
#include "tests/sim/SimTestUtil.h"

namespace zor {
namespace {

using platform::TZor_IoResult;
using platform::TZor_SysError;
using simtest::BE32;
using simtest::Bytes;
using TClock = std::chrono::steady_clock;

constexpr size_t N = 65;  // input and output report length, ID byte included

// One output report: report number 0, then the frame bytes, zero-padded.
std::string OutReport(const std::string &frame) {
  std::string r(N, '\0');
  r.replace(1, frame.size(), frame);
  return r;
}

std::string Frame(const std::string &cmd) { return std::string(1, static_cast<char>(cmd.size())) + cmd; }

struct TInput {
  int L = -1;
  std::string Data;  // the valid data bytes
  uint32_t WriteCounter = 0, ReadCounter = 0;
  bool AllZeroFull = false;  // a full report whose every byte after L is zero
};

uint32_t BE32At(const std::string &s, size_t p) {
  return uint32_t(uint8_t(s[p])) << 24 | uint32_t(uint8_t(s[p + 1])) << 16 |
         uint32_t(uint8_t(s[p + 2])) << 8 | uint8_t(s[p + 3]);
}

// Reads an input report given with its report-ID byte.
TInput Parse(const std::string &r) {
  TInput in;
  if (r.size() != N || r[0] != 0) return in;
  in.L = uint8_t(r[1]);
  if (in.L >= 8 && in.L <= int(N) - 3) in.Data = r.substr(2, in.L - 8);
  in.WriteCounter = BE32At(r, N - 9);
  in.ReadCounter = BE32At(r, N - 5);
  in.AllZeroFull = in.L == int(N) - 3 && r.find_first_not_of('\0', 2) == std::string::npos;
  return in;
}

// A long read on another thread, and what `action` makes of it.
template <class F>
TZor_IoResult ReadEndedBy(platform::TZor_HidPort &port, F action) {
  std::atomic<TZor_IoResult> result{TZor_IoResult::ioOk};
  std::thread reader([&] {
    std::string r;
    result = port.Read(r, 5000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  action();
  reader.join();
  return result;
}

std::string MemoryRead(uint32_t addr, uint8_t len) { return Bytes({0x85, 0x40}) + BE32(addr) + char(len); }

class SimHidLinkTest : public ::testing::Test {
 protected:
  void Make(TSimConfig config = {}, TSimHidOptions options = {}) {
    config.Timings.TimeStampIntervalMs = TimeStamps;
    config.Timings.RestartSilentMs = 60;
    config.Timings.ResetDelayMs = 5;
    config.SerialNumber = 0x1A2B3C4D;
    options.TickMs = 2;
    Model = std::make_unique<TSimColdfire>(config);
    Link = std::make_unique<TSimHidLink>(*Model, options);
  }
  std::unique_ptr<platform::TZor_HidPort> PlugAndOpen() {
    std::string error;
    EXPECT_TRUE(Link->Plug(error)) << error;
    TZor_SysError e;
    auto port = platform::OpenSimHidPort(Link->HidNode(), e);
    EXPECT_TRUE(port) << e.Code;
    return port;
  }
  // Tools mode starts with an empty buffer and, unlike a stop, no report
  // saying so: the tool would take it for the start of its first answer.
  std::unique_ptr<platform::TZor_HidPort> OpenInToolsMode() {
    auto port = PlugAndOpen();
    if (!port) return port;
    EXPECT_EQ(port->Write(OutReport(Frame(Bytes({0x85, 0x10}))), 100), TZor_IoResult::ioOk);
    std::string none;
    EXPECT_EQ(port->Read(none, 20), TZor_IoResult::ioTimeout);
    return port;
  }
  void Send(platform::TZor_HidPort &port, const std::string &cmd) {
    ASSERT_EQ(port.Write(OutReport(Frame(cmd)), 100), TZor_IoResult::ioOk);
  }
  TInput Next(platform::TZor_HidPort &port, uint32_t timeoutMs = 500) {
    std::string r;
    if (port.Read(r, timeoutMs) != TZor_IoResult::ioOk) return {};
    return Parse(r);
  }
  // Reads reports until one carries data (the cleared report comes first).
  TInput NextData(platform::TZor_HidPort &port) {
    for (int i = 0; i < 5; ++i) {
      TInput in = Next(port);
      if (in.L < 0 || !in.AllZeroFull) return in;
    }
    return {};
  }
  void TearDown() override {
    Link.reset();
    Model.reset();
  }

  uint32_t TimeStamps = 0;
  std::unique_ptr<TSimColdfire> Model;
  std::unique_ptr<TSimHidLink> Link;
};

// ------------------------------------------------------------------ framing

TEST_F(SimHidLinkTest, CommandsReassembleAcrossReportsAndPadding) {
  Make();
  auto port = PlugAndOpen();
  ASSERT_TRUE(port);
  EXPECT_EQ(port->OutputReportLength(), N);
  EXPECT_EQ(port->InputReportLength(), N);

  // 0x85 0x20 + address + 64 data bytes: 71 framed bytes, two reports.
  const std::string data(64, '\x5A');
  const std::string write = Bytes({0x85, 0x20}) + BE32(SimStagingFlag | 0x4000) + data;
  const std::string framed = Frame(write);
  ASSERT_EQ(port->Write(OutReport(framed.substr(0, 64)), 100), TZor_IoResult::ioOk);
  // Half a command does nothing yet.
  EXPECT_EQ(Model->PeekMemory(SimStagingFlag | 0x4000, 64), std::string(64, '\xFF'));
  ASSERT_EQ(port->Write(OutReport(framed.substr(64)), 100), TZor_IoResult::ioOk);
  EXPECT_EQ(Model->PeekMemory(SimStagingFlag | 0x4000, 64), data);

  // Two commands in one report (a stream writer does not start each at a
  // report boundary), then one whose length byte ends the report.
  const std::string a = Bytes({0x85, 0x20}) + BE32(SimRamBase + 0x100) + "AB";
  const std::string b = Bytes({0x85, 0x20}) + BE32(SimRamBase + 0x200) + "CD";
  ASSERT_EQ(port->Write(OutReport(Frame(a) + Frame(b)), 100), TZor_IoResult::ioOk);
  const std::string c = Bytes({0x85, 0x20}) + BE32(SimRamBase + 0x300) + "EF";
  std::string tail(63, '\0');
  tail += static_cast<char>(c.size());
  ASSERT_EQ(port->Write(OutReport(tail), 100), TZor_IoResult::ioOk);
  ASSERT_EQ(port->Write(OutReport(c), 100), TZor_IoResult::ioOk);
  EXPECT_EQ(Model->PeekMemory(SimRamBase + 0x100, 2), "AB");
  EXPECT_EQ(Model->PeekMemory(SimRamBase + 0x200, 2), "CD");
  EXPECT_EQ(Model->PeekMemory(SimRamBase + 0x300, 2), "EF");
  const auto log = Model->CommandLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].Bytes, write);
  EXPECT_EQ(log[3].Bytes, c);

  // Only whole reports with report number 0 are taken.
  EXPECT_EQ(port->Write(OutReport("x").substr(1), 100), TZor_IoResult::ioError);
  std::string numbered = OutReport(Frame(a));
  numbered[0] = 1;
  EXPECT_EQ(port->Write(numbered, 100), TZor_IoResult::ioError);
  EXPECT_EQ(Model->CommandLog().size(), 4u);
}

TEST_F(SimHidLinkTest, AnswersSplitIntoReportsWithRunningCounters) {
  Make();
  auto port = OpenInToolsMode();
  ASSERT_TRUE(port);

  // 100 bytes: 54 in a full report, 46 in the next.
  Send(*port, MemoryRead(SimConfigAddr, 100));
  const std::string expected = Model->PeekMemory(SimConfigAddr, 100);
  TInput first = Next(*port), second = Next(*port);
  EXPECT_EQ(first.L, 62);
  EXPECT_EQ(second.L, 46 + 8);
  EXPECT_EQ(first.Data + second.Data, expected);
  EXPECT_EQ(first.WriteCounter, 100u);
  EXPECT_EQ(second.WriteCounter, 100u);
  EXPECT_EQ(first.ReadCounter, 54u);
  EXPECT_EQ(second.ReadCounter, 100u);

  // The counters run on from one answer to the next.
  Send(*port, MemoryRead(SimStatusAddr, 4));
  TInput status = Next(*port);
  EXPECT_EQ(status.L, 12);
  EXPECT_EQ(status.Data.size(), 4u);
  EXPECT_EQ(status.WriteCounter, 104u);
  EXPECT_EQ(status.ReadCounter, 104u);

  // An answer of exactly 54 bytes fills one report; nothing follows it.
  Send(*port, MemoryRead(SimConfigAddr, 54));
  EXPECT_EQ(Next(*port).L, 62);
  std::string none;
  EXPECT_EQ(port->Read(none, 20), TZor_IoResult::ioTimeout);
}

TEST_F(SimHidLinkTest, ToolsModeCarriesOnlyAnswersAndStopClearsWhatWasNotRead) {
  TimeStamps = 5;
  Make();
  auto port = PlugAndOpen();
  ASSERT_TRUE(port);
  // Power-up: a cleared report, then the time stamps.
  EXPECT_TRUE(Next(*port).AllZeroFull);
  EXPECT_GE(Next(*port).L, 9);

  // Tools mode drops what was queued and keeps the stream out.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Send(*port, Bytes({0x85, 0x10}));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Send(*port, MemoryRead(SimStatusAddr, 4));
  const TInput answer = Next(*port);
  EXPECT_EQ(answer.L, 12) << "not the answer: a report was left or came between";
  EXPECT_EQ(answer.ReadCounter, 4u);
  std::string none;
  EXPECT_EQ(port->Read(none, 20), TZor_IoResult::ioTimeout);

  Send(*port, Bytes({0x85, 0x11}));  // tools mode ends: the stream comes back
  EXPECT_GE(Next(*port).L, 9);

  // A stop drops what was not read; the next report that comes is preceded
  // by a full report of zero bytes saying so.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Send(*port, Bytes({0x85, 0x60}));
  EXPECT_EQ(port->Read(none, 30), TZor_IoResult::ioTimeout);
  Send(*port, Bytes({0x01}));
  const TInput cleared = Next(*port);
  EXPECT_TRUE(cleared.AllZeroFull);
  EXPECT_EQ(cleared.ReadCounter, 0u);
  const TInput version = Next(*port);
  EXPECT_GE(version.L, 9);
  EXPECT_EQ(version.ReadCounter, uint32_t(version.L - 8));
}

// Collects one message by the host's rule: bytes 1 to N-2 of each report
// until L bytes are held, the counters cut from the end. Returns the data and
// the read counter; nothing when a report is missing or the data are cut.
std::optional<std::string> CollectMessage(platform::TZor_HidPort &port, uint32_t &readCounter) {
  std::string r;
  if (port.Read(r, 500) != TZor_IoResult::ioOk) return std::nullopt;
  const size_t L = uint8_t(r[1]);
  if (L <= N - 3) {
    readCounter = BE32At(r, N - 5);
    return r.substr(2, L - 8);
  }
  std::string text = r.substr(1, N - 2);
  while (text.size() < L) {
    if (port.Read(r, 500) != TZor_IoResult::ioOk) return std::nullopt;
    text += r.substr(1, N - 2);
  }
  readCounter = BE32At(text, text.size() - 4);
  text.resize(text.size() - 8);
  if (text.size() < L - 7) return std::nullopt;
  return text.substr(1, L - 8);
}

TEST_F(SimHidLinkTest, ContinuedMessagesDecodeByTheCollectingRule) {
  TSimHidOptions options;
  options.ContinuedMessages = true;
  Make({}, options);
  auto port = OpenInToolsMode();
  ASSERT_TRUE(port);
  uint32_t total = 0;
  // 118 data bytes would make L = 126, two whole reports with no room for
  // the counters: that answer comes as 117 bytes and 1 byte.
  for (int len : {55, 100, 118, 200, 247, 255}) {
    SCOPED_TRACE(len);
    const uint32_t addr = SimUserCodeStart + 0x100;
    Send(*port, MemoryRead(addr, uint8_t(len)));
    std::string got;
    while (got.size() < size_t(len)) {
      uint32_t counter = 0;
      const std::optional<std::string> part = CollectMessage(*port, counter);
      ASSERT_TRUE(part && !part->empty());
      got += *part;
      total += uint32_t(part->size());
      EXPECT_EQ(counter, total);
    }
    EXPECT_EQ(got, Model->PeekMemory(addr, uint32_t(len)));
    std::string none;
    EXPECT_EQ(port->Read(none, 10), TZor_IoResult::ioTimeout);
  }
}

// ------------------------------------------------------------------ timing

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

TEST_F(SimHidLinkTest, ReportsArePacedOnePerMillisecondWithoutBusyWaiting) {
  Make();
  auto port = OpenInToolsMode();
  ASSERT_TRUE(port);

  const int reports = 60;
  const std::string cmd = Bytes({0x85, 0x20}) + BE32(SimRamBase + 0x400) + std::string(32, 'x');
  const double cpu0 = ThreadCpuMs();
  const auto t0 = TClock::now();
  for (int i = 0; i < reports; ++i) Send(*port, cmd);
  const double wallOut = std::chrono::duration<double, std::milli>(TClock::now() - t0).count();
  EXPECT_GE(wallOut, reports - 1);
  EXPECT_LT(wallOut, reports * 5 + 100) << "pacing drifts";

  // 60 answers of 54 bytes queue at once; the host still takes one per ms.
  for (int i = 0; i < reports; ++i) Send(*port, MemoryRead(SimConfigAddr, 54));
  const auto t1 = TClock::now();
  for (int i = 0; i < reports; ++i) ASSERT_EQ(Next(*port).L, 62);
  const double wallIn = std::chrono::duration<double, std::milli>(TClock::now() - t1).count();
  EXPECT_GE(wallIn, reports - 2);
  // Waiting sleeps: the thread's CPU time is a small part of the wall time.
  const double cpu = ThreadCpuMs() - cpu0;
  EXPECT_LT(cpu, 0.25 * (wallOut + wallIn + reports)) << "cpu " << cpu << " ms";
}

TEST_F(SimHidLinkTest, ReadsCancelFromAnotherThreadAndTheNodeIsExclusive) {
  Make();
  auto port = OpenInToolsMode();
  ASSERT_TRUE(port);

  const auto t0 = TClock::now();
  EXPECT_EQ(ReadEndedBy(*port, [&] { port->CancelRead(); }), TZor_IoResult::ioCancelled);
  EXPECT_LT(TClock::now() - t0, std::chrono::seconds(1));
  // A cancel is taken once; the port reads again afterwards.
  port->CancelRead();
  std::string r;
  EXPECT_EQ(port->Read(r, 1000), TZor_IoResult::ioCancelled);
  EXPECT_EQ(port->Read(r, 10), TZor_IoResult::ioTimeout);

  TZor_SysError e;
  EXPECT_FALSE(platform::OpenSimHidPort(Link->HidNode(), e));
  EXPECT_EQ(e.Code, platform::ERR_ACCESS_DENIED);
  // An answer left unread goes with the closed node.
  Send(*port, MemoryRead(SimStatusAddr, 4));
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  port.reset();
  port = platform::OpenSimHidPort(Link->HidNode(), e);
  ASSERT_TRUE(port);
  EXPECT_EQ(port->Read(r, 20), TZor_IoResult::ioTimeout);
}

// ------------------------------------------------------------------ presence

TEST_F(SimHidLinkTest, RestartUnplugsAndReplugsUnderTheIdentityOfItsMode) {
  TSimConfig config;
  config.StartInBootLoader = true;
  Make(config);
  std::mutex lock;
  std::vector<std::string> seen;  // registry notifications and presence calls, in order
  const int listener =
      platform::AddSimUsbListener([&](const platform::TZor_UsbDeviceInfo &info, bool attached) {
        std::lock_guard g(lock);
        seen.push_back((attached ? "+" : "-") + info.SysPath + " " + info.Product + " " + info.SerialNumber);
      });
  Link->SetOnPresence([&](bool present) {
    std::lock_guard g(lock);
    seen.push_back(present ? "back" : "away");
  });
  auto port = PlugAndOpen();
  ASSERT_TRUE(port);
  const std::string sysPath = Link->SysPath();
  ASSERT_EQ(sysPath.rfind("sim:usb", 0), 0u);

  Send(*port, Bytes({0x85, 'P'}));
  // Ports opened before the restart fail for good, even after the device is back.
  std::string r;
  const auto t0 = TClock::now();
  while (port->Read(r, 10) != TZor_IoResult::ioError && TClock::now() - t0 < std::chrono::seconds(2)) {
  }
  EXPECT_EQ(port->GetLastError().Code, platform::ERR_DEVICE_NOT_CONNECTED);
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard g(lock);
      if (!seen.empty() && seen.back() == "back") break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(port->Write(OutReport(Frame(Bytes({0x01}))), 100), TZor_IoResult::ioError);
  EXPECT_EQ(port->GetLastError().Code, platform::ERR_DEVICE_NOT_CONNECTED);
  platform::RemoveSimUsbListener(listener);

  std::lock_guard g(lock);
  const std::vector<std::string> expected = {"+" + sysPath + " Zor HID Bootloader 1A2B3C4D",
                                             "-" + sysPath + " Zor HID Bootloader 1A2B3C4D", "away",
                                             "+" + sysPath + " Zor HID 1A2B3C4D", "back"};
  EXPECT_EQ(seen, expected);
  // The device that came back opens afresh.
  port.reset();
  TZor_SysError e;
  auto again = platform::OpenSimHidPort(Link->HidNode(), e);
  ASSERT_TRUE(again) << e.Code;
  EXPECT_EQ(again->Write(OutReport(Frame(Bytes({0x01}))), 100), TZor_IoResult::ioOk);
}

TEST_F(SimHidLinkTest, UnplugFailsOpenPortsAndAnOutlivingPortFailsCleanly) {
  TSimConfig config;
  config.OldBootLoader = true;
  config.StartInBootLoader = true;
  Make(config);
  auto port = PlugAndOpen();
  ASSERT_TRUE(port);
  const auto devices = platform::SimUsbDevices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].SerialNumber, "V1.0");  // the old boot loader has no serial number
  EXPECT_EQ(devices[0].VendorID, SimHidVendorId);
  EXPECT_EQ(devices[0].ProductID, SimHidProductId);

  EXPECT_EQ(ReadEndedBy(*port, [&] { Link->Unplug(); }), TZor_IoResult::ioError);
  EXPECT_EQ(port->GetLastError().Code, platform::ERR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(platform::SimUsbDevices().empty());
  TZor_SysError e;
  EXPECT_FALSE(Link->OpenPort(e));
  EXPECT_EQ(e.Code, platform::ERR_DEVICE_NOT_CONNECTED);

  std::string error;
  ASSERT_TRUE(Link->Plug(error));
  Link.reset();  // the port outlives the link
  EXPECT_EQ(port->Write(OutReport(Frame(Bytes({0x01}))), 10), TZor_IoResult::ioError);
  EXPECT_TRUE(platform::SimUsbDevices().empty());
}

// ------------------------------------------------------------------ served node

class TPty {
 public:
  TPty() {
    EXPECT_EQ(openpty(&Master, &Slave, nullptr, nullptr, nullptr), 0);
    termios t{};
    tcgetattr(Slave, &t);
    cfmakeraw(&t);
    tcsetattr(Slave, TCSANOW, &t);
  }
  ~TPty() {
    if (Slave >= 0) close(Slave);
    close(Master);
  }
  // Reads exactly `n` bytes from the host's end; empty on timeout.
  std::string ReadHost(size_t n, int timeoutMs = 500) {
    std::string out;
    while (out.size() < n) {
      pollfd f{Slave, POLLIN, 0};
      if (poll(&f, 1, timeoutMs) <= 0) return {};
      char buf[256];
      const ssize_t got = read(Slave, buf, std::min(sizeof buf, n - out.size()));
      if (got <= 0) return {};
      out.append(buf, size_t(got));
    }
    return out;
  }
  int Master = -1, Slave = -1;
};

TEST_F(SimHidLinkTest, ServesANodeInHidrawFormAndDropsWhatAClosedHostLeft) {
  Make();
  TPty pty;
  std::thread server([&] { Link->ServeStream(pty.Master); });

  ASSERT_EQ(write(pty.Slave, OutReport(Frame(Bytes({0x85, 0x60}))).data(), N), ssize_t(N));
  // An output report written in two pieces still counts as one.
  const std::string read = OutReport(Frame(MemoryRead(SimConfigAddr, 8)));
  ASSERT_EQ(write(pty.Slave, read.data(), 10), 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(write(pty.Slave, read.data() + 10, N - 10), ssize_t(N - 10));
  // Input reports come without their report-ID byte: first the stop's cleared report.
  std::string cleared = pty.ReadHost(N - 1);
  ASSERT_EQ(cleared.size(), N - 1);
  EXPECT_TRUE(Parse('\0' + cleared).AllZeroFull);
  const TInput answer = Parse('\0' + pty.ReadHost(N - 1));
  EXPECT_EQ(answer.Data, Model->PeekMemory(SimConfigAddr, 8));

  // The host closes the node with an answer unread: a new open starts empty.
  ASSERT_EQ(write(pty.Slave, read.data(), N), ssize_t(N));
  pollfd waiting{pty.Slave, POLLIN, 0};
  ASSERT_EQ(poll(&waiting, 1, 1000), 1);
  close(pty.Slave);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  char name[64];
  ASSERT_EQ(ptsname_r(pty.Master, name, sizeof name), 0);
  pty.Slave = open(name, O_RDWR | O_NOCTTY);
  ASSERT_GE(pty.Slave, 0);
  EXPECT_TRUE(pty.ReadHost(1, 50).empty()) << "a stale answer waited for the next open";
  // And the node serves the new open.
  ASSERT_EQ(write(pty.Slave, read.data(), N), ssize_t(N));
  EXPECT_EQ(Parse('\0' + pty.ReadHost(N - 1)).Data, Model->PeekMemory(SimConfigAddr, 8));

  Link->Stop();
  server.join();
}

}  // namespace
}  // namespace zor
