// The simulator's virtual COM port link seen from a raw port: blocks and
// records are read here by hand from the wire layout, not by the tool's
// receive paths.
#include "sim/SimCdcLink.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Zor_SimUsb.h"
#include "sim/SimColdfire.h"
#include "sim/SimEsp.h"
#include "sim/SimHidLink.h"
#include "tests/sim/SimTestUtil.h"

namespace zor {
namespace {

using platform::TZor_IoResult;
using platform::TZor_SysError;
using simtest::BE32;
using simtest::Bytes;
using TClock = std::chrono::steady_clock;

std::string Cmd(const std::string &bytes) { return std::string(1, char(bytes.size())) + bytes; }

uint32_t BE32At(const std::string &s, size_t p) {
  return uint32_t(uint8_t(s[p])) << 24 | uint32_t(uint8_t(s[p + 1])) << 16 |
         uint32_t(uint8_t(s[p + 2])) << 8 | uint8_t(s[p + 3]);
}

// Exactly `n` bytes from the port, or fewer when the deadline passes or the port fails.
std::string ReadN(platform::TZor_SerialPort &port, size_t n, int timeoutMs = 1000) {
  std::string out;
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < n && TClock::now() < deadline) {
    std::string part;
    const TZor_IoResult r = port.Read(part, n - out.size(), 20);
    if (r == TZor_IoResult::ioError) break;
    out += part;
  }
  return out;
}

struct TBlock {
  bool Valid = false;
  uint32_t Count = 0, Flags = 0, W5 = 0, W6 = 0;
  std::string Data;
  int User() const {
    if (W5 == 0 && W6 == 0) return 255;
    return int((W5 >> (W5 >= 0x70000000 ? 19 : 17)) & 3) + 1;
  }
  uint32_t Repeat() const { return W6 & 0x300FFFFF; }
};

TBlock ReadBlock(platform::TZor_SerialPort &port, int timeoutMs = 1000) {
  TBlock b;
  const std::string h = ReadN(port, 32, timeoutMs);
  if (h.size() != 32 || BE32At(h, 0) != 0xBFBFBFBF) return b;
  const uint32_t size = BE32At(h, 4);
  b.Count = BE32At(h, 8);
  const uint32_t offset = BE32At(h, 12);
  b.Flags = BE32At(h, 16);
  b.W5 = BE32At(h, 20);
  b.W6 = BE32At(h, 24);
  if (size < b.Count + offset || size > 1 << 16) return b;
  const std::string body = ReadN(port, size, timeoutMs);
  if (body.size() != size) return b;
  b.Data = body.substr(size ? offset & (size - 1) : 0, b.Count);
  b.Valid = true;
  return b;
}

simtest::TRecord ReadRecord(platform::TZor_SerialPort &port, int timeoutMs = 1000) {
  std::string rec = ReadN(port, 16, timeoutMs);
  if (rec.size() == 16 && uint8_t(rec[5]) <= 24) rec += ReadN(port, 8u * uint8_t(rec[5]), timeoutMs);
  return simtest::ParseRecord(rec);
}
uint32_t Ptr(const simtest::TRecord &r) { return r.S & 0x3FFFF; }
int User(const simtest::TRecord &r) { return int((r.S >> 20) & 0xF) + 1; }

// Time stamps (100 ms counts) carried in a block's frames.
std::vector<uint32_t> Stamps(const std::string &data) {
  std::vector<uint32_t> counts;
  for (const std::string &report : simtest::DecodeFrames(data))
    if (report.size() == 6 && uint8_t(report[0]) == 0x70 && report[1] == 0x16)
      counts.push_back(BE32At(report, 2));
  return counts;
}

class SimCdcLinkTest : public ::testing::Test {
 protected:
  void Make(TSimFamily family, TSimConfig config = {}, TSimCdcOptions options = {}) {
    config.Family = family;
    config.Timings.TimeStampIntervalMs = TimeStampMs;
    config.Timings.HeartbeatIntervalMs = 0;
    config.Timings.RestartSilentMs = 60;
    config.Timings.ResetDelayMs = 5;
    config.SerialNumber = 0x1A2B3C4D;
    options.TickMs = 2;
    Model = CreateSimDevice(config);
    if (family == TSimFamily::Esp) {
      TSimPersistent state = Model->GetPersistent();
      state.NvsIntegers[0] = 0x1A2B3C4D;  // an ESP keeps its serial number in storage
      Model->SetPersistent(state);
    }
    Link = std::make_unique<TSimCdcLink>(*Model, options);
  }
  std::unique_ptr<platform::TZor_SerialPort> PlugAndOpen() {
    std::string error;
    EXPECT_TRUE(Link->Plug(error)) << error;
    return Open();
  }
  std::unique_ptr<platform::TZor_SerialPort> Open() {
    TZor_SysError e;
    auto port = platform::OpenSerialPort(Link->TtyNode(), 115200, e);
    EXPECT_TRUE(port) << e.Code;
    return port;
  }
  static void Send(platform::TZor_SerialPort &port, const std::string &cmd) {
    size_t written = 0;
    ASSERT_EQ(port.Write(Cmd(cmd), 100, written), TZor_IoResult::ioOk);
  }
  // Waits for the presence calls to reach `count`.
  bool WaitPresence(size_t count, int ms = 2000) {
    for (int i = 0; i < ms / 5; ++i) {
      {
        std::lock_guard g(FLock);
        if (Presence.size() >= count) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  void TrackPresence() {
    Link->SetOnPresence([this](bool present) {
      std::lock_guard g(FLock);
      Presence.push_back(present);
    });
  }

  uint32_t TimeStampMs = 0;
  std::unique_ptr<TSimDevice> Model;
  std::unique_ptr<TSimCdcLink> Link;
  std::mutex FLock;
  std::vector<bool> Presence;
};

// ------------------------------------------------------------------ ColdFire

TEST_F(SimCdcLinkTest, ColdfireSlotsRegistrationToolsFlagAndTooManyUsers) {
  Make(TSimFamily::Coldfire);
  auto port = PlugAndOpen();
  ASSERT_TRUE(port);
  const platform::TZor_UsbDeviceInfo id = Link->Identity();
  EXPECT_EQ(id.VendorID, 0x16D0);
  EXPECT_EQ(id.ProductID, 0x0610);
  EXPECT_EQ(id.SerialNumber, "1A2B3C4D");
  EXPECT_EQ(id.TtyNodes, std::vector<std::string>{Link->TtyNode()});

  // Registration for slot 2: an empty block with the cleared flag, stamped for user 2.
  Send(*port, Bytes({0xBE, 0x01}));
  TBlock b = ReadBlock(*port);
  ASSERT_TRUE(b.Valid);
  EXPECT_EQ(b.Count, 0u);
  EXPECT_TRUE(b.Flags & 0x01);
  EXPECT_TRUE(b.Flags & 0x20);  // several users may share the device
  EXPECT_EQ(b.User(), 2);

  // A memory read of user 2 comes back as tools data of user 2.
  Send(*port, Bytes({0x85, 0x40}) + BE32(0x7F000) + char(8));
  b = ReadBlock(*port);
  ASSERT_TRUE(b.Valid);
  EXPECT_EQ(b.Flags & 0x03, 0x02u);
  EXPECT_EQ(b.User(), 2);
  EXPECT_EQ(b.Data, static_cast<TSimColdfire &>(*Model).PeekMemory(0x7F000, 8));

  // Switched to slot 3, a version request starts user 3's stream with a cleared buffer.
  Send(*port, Bytes({0x85, 0x2A}));
  Send(*port, Bytes({0x01}));
  b = ReadBlock(*port);
  ASSERT_TRUE(b.Valid);
  EXPECT_EQ(b.User(), 3);
  EXPECT_TRUE(b.Flags & 0x01);
  EXPECT_TRUE(b.Flags & 0x08);
  const auto reports = simtest::DecodeFrames(b.Data);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].substr(0, 2), Bytes({0x70, 0x01}));

  // Slots 1 and 4 fill up; a fifth registration is refused with a block for no user.
  Send(*port, Bytes({0xBE}));
  EXPECT_EQ(ReadBlock(*port).User(), 1);
  Send(*port, Bytes({0xBE}));
  EXPECT_EQ(ReadBlock(*port).User(), 4);
  Send(*port, Bytes({0xBE}));
  b = ReadBlock(*port);
  ASSERT_TRUE(b.Valid);
  EXPECT_EQ(b.User(), 255);
  ASSERT_EQ(b.Data.size(), 37u);
  EXPECT_EQ(b.Data.substr(2, 2), Bytes({0x7F, 0xFA}));
  EXPECT_NE(b.Data.find("Too Many"), std::string::npos);
  EXPECT_EQ(b.Data.substr(21), BE32(2) + BE32(2) + BE32(2) + BE32(2));

  // A stopped user's slot is free again.
  Send(*port, Bytes({0x85, 0x2A}));
  Send(*port, Bytes({0x85, 0x60}));
  Send(*port, Bytes({0xBE}));
  EXPECT_EQ(ReadBlock(*port).User(), 3);
  const std::vector<std::string> expected = {"register 2",       "switch 3", "register 1", "register 4",
                                             "register refused", "switch 3", "stop 3",     "register 3"};
  EXPECT_EQ(Link->LinkLog(), expected);
}

TEST_F(SimCdcLinkTest, ColdfireResumeFromARingAddressLosesAndRepeatsNothing) {
  TimeStampMs = 5;
  Make(TSimFamily::Coldfire);
  auto port = PlugAndOpen();
  ASSERT_TRUE(port);
  Send(*port, Bytes({0xBE, 0x00}));
  std::vector<uint32_t> counts;
  uint32_t repeat = 0;
  // The repeat address of each block is the previous one plus its byte count.
  for (int i = 0; i < 10; ++i) {
    const TBlock b = ReadBlock(*port);
    ASSERT_TRUE(b.Valid);
    ASSERT_TRUE(b.Flags & 0x08);
    if (i > 0) {
      EXPECT_EQ(b.Repeat(), repeat + b.Count);
    }
    repeat = b.Repeat();
    for (uint32_t c : Stamps(b.Data)) counts.push_back(c);
  }
  ASSERT_FALSE(counts.empty());

  Link->BreakStream(60);
  std::this_thread::sleep_for(std::chrono::milliseconds(90));
  // After the break the stream goes on with a gap.
  TBlock after = ReadBlock(*port);
  ASSERT_TRUE(after.Valid);
  EXPECT_NE(after.Repeat(), repeat + after.Count);

  // Resumed from the last address seen: every block follows on, every time stamp comes once.
  const uint32_t resumedFrom = repeat;
  Send(*port, Bytes({0x85, 0x74}) + BE32(repeat));
  for (int i = 0; i < 30; ++i) {
    const TBlock b = ReadBlock(*port);
    ASSERT_TRUE(b.Valid);
    EXPECT_EQ(b.Repeat(), repeat + b.Count) << "block " << i;
    repeat = b.Repeat();
    for (uint32_t c : Stamps(b.Data)) {
      EXPECT_EQ(c, counts.back() + 1);
      counts.push_back(c);
    }
  }
  // From a time stamp the device goes on after that stamp.
  const uint32_t seconds = counts[counts.size() / 2] / 10;
  Send(*port, Bytes({0x85, 0x72, int(seconds & 0xFF)}));
  // Blocks already on their way may come first; the replay starts right after the stamp.
  bool found = false;
  for (int i = 0; i < 60 && !found; ++i) {
    const auto c = Stamps(ReadBlock(*port).Data);
    found = !c.empty() && c[0] / 10 == seconds + 1 && c[0] % 10 == 0;
  }
  EXPECT_TRUE(found);
  char line[32];
  std::snprintf(line, sizeof line, "resume 1 0x%05X", unsigned(resumedFrom));
  const std::vector<std::string> expected = {"register 1", line,
                                             "resume 1 time " + std::to_string(seconds & 0xFF)};
  EXPECT_EQ(Link->LinkLog(), expected);
}

TEST_F(SimCdcLinkTest, ColdfireInItsBootLoaderIsTheHidBootLoaderAndComesBackAsSerialPort) {
  TSimConfig config;
  config.StartInBootLoader = true;
  Make(TSimFamily::Coldfire, config);
  TrackPresence();
  std::string error;
  ASSERT_TRUE(Link->Plug(error)) << error;
  platform::TZor_UsbDeviceInfo id = Link->Identity();
  EXPECT_EQ(id.ProductID, SimHidProductId);
  EXPECT_NE(id.Product.find("Bootloader"), std::string::npos);
  EXPECT_EQ(id.SerialNumber, "1A2B3C4D");
  ASSERT_EQ(id.HidNodes.size(), 1u);
  EXPECT_TRUE(Link->TtyNode().empty());
  TZor_SysError e;
  EXPECT_FALSE(Link->OpenPort(e));

  // The boot loader's reset, sent as a HID output report.
  auto hid = platform::OpenSimHidPort(id.HidNodes[0], e);
  ASSERT_TRUE(hid) << e.Code;
  std::string report(hid->OutputReportLength(), '\0');
  report.replace(1, 3, Bytes({2, 0x85, 'P'}));
  ASSERT_EQ(hid->Write(report, 100), TZor_IoResult::ioOk);
  ASSERT_TRUE(WaitPresence(2));
  {
    std::lock_guard g(FLock);
    EXPECT_EQ(Presence, (std::vector<bool>{false, true}));
  }
  id = Link->Identity();
  EXPECT_EQ(id.ProductID, SimColdfireCdcProductId);
  EXPECT_EQ(id.SerialNumber, "1A2B3C4D");
  const auto devices = platform::SimUsbDevices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].ProductID, SimColdfireCdcProductId);
  auto port = Open();
  ASSERT_TRUE(port);
  Send(*port, Bytes({0x01}));
  const TBlock b = ReadBlock(*port);
  ASSERT_TRUE(b.Valid);
  EXPECT_EQ(simtest::DecodeFrames(b.Data).at(0).substr(0, 2), Bytes({0x70, 0x01}));
}

// ------------------------------------------------------------------ ESP

TEST_F(SimCdcLinkTest, EspRegistrationAnswersAndRingAddressesPerUser) {
  TimeStampMs = 5;
  Make(TSimFamily::Esp);
  auto port = PlugAndOpen();
  ASSERT_TRUE(port);
  EXPECT_EQ(Link->Identity().ProductID, 0x0612);
  EXPECT_EQ(Link->Identity().SerialNumber, "1A2B3C4D");
  Send(*port, Bytes({0xBE, 0x00}));
  simtest::TRecord r = ReadRecord(*port);
  ASSERT_TRUE(r.Valid);
  EXPECT_EQ(r.Type, 0x73);
  EXPECT_EQ(r.W, 0xFF);
  EXPECT_EQ(User(r), 1);
  r = ReadRecord(*port);
  ASSERT_TRUE(r.Valid);
  EXPECT_EQ(r.Type, 0x70);
  EXPECT_EQ(r.W, 0x7001);
  EXPECT_EQ(User(r), 1);

  Send(*port, Bytes({0xBE, 0x02}));
  // Each user's addresses continue from its own previous record.
  std::map<int, uint32_t> next;
  std::map<int, int> seen;
  bool cleared3 = false, version3 = false;
  // User 1's time stamps may stand before user 3's first records when the reader is slow.
  const auto until = TClock::now() + std::chrono::seconds(10);
  while ((seen[3] < 3 || !version3) && TClock::now() < until) {
    r = ReadRecord(*port);
    ASSERT_TRUE(r.Valid);
    const int u = User(r);
    ASSERT_TRUE(u == 1 || u == 3) << u;
    if (u == 3 && seen[3] == 0) cleared3 = r.Type == 0x73 && r.W == 0xFF;
    // A time stamp may come between the two registration answers.
    if (u == 3 && r.Type == 0x70 && r.W == 0x7001) version3 = true;
    if (seen[u]++ > 0) {
      EXPECT_EQ(Ptr(r), next[u]);
    }
    next[u] = (Ptr(r) + 4 + 2 * r.Count) & 0x3FFFF;
  }
  EXPECT_TRUE(cleared3);
  EXPECT_TRUE(version3);
  EXPECT_GT(seen[3], 2);  // time stamps reach both users

  // A fifth user of a full device: the no-user status.
  Send(*port, Bytes({0xBE}));
  Send(*port, Bytes({0xBE}));
  Send(*port, Bytes({0xBE}));
  // Time stamps of four users stand before it when the reader is slow.
  bool refused = false;
  const auto deadline = TClock::now() + std::chrono::seconds(10);
  while (!refused && TClock::now() < deadline) {
    r = ReadRecord(*port);
    refused = r.Valid && r.Type == 0x73 && r.W == 0xFE;
  }
  EXPECT_TRUE(refused);
}

TEST_F(SimCdcLinkTest, EspResumeAfterAnUnpluggedBreakContinuesWithoutLoss) {
  TimeStampMs = 5;
  Make(TSimFamily::Esp);
  TrackPresence();
  auto port = PlugAndOpen();
  ASSERT_TRUE(port);
  Send(*port, Bytes({0xBE, 0x01}));  // user 2
  uint32_t next = 0;
  for (int i = 0; i < 8; ++i) {
    const simtest::TRecord r = ReadRecord(*port);
    ASSERT_TRUE(r.Valid);
    if (i > 0) {
      EXPECT_EQ(Ptr(r), next);
    }
    next = (Ptr(r) + 4 + 2 * r.Count) & 0x3FFFF;
  }

  Link->BreakStream(80, true);
  std::string none;
  EXPECT_EQ(port->Read(none, 10, 200), TZor_IoResult::ioError);
  EXPECT_EQ(port->GetLastError().Code, platform::ERR_DEVICE_NOT_CONNECTED);
  EXPECT_TRUE(platform::SimUsbDevices().empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  ASSERT_EQ(platform::SimUsbDevices().size(), 1u);
  ASSERT_TRUE(WaitPresence(2));
  {
    std::lock_guard g(FLock);
    EXPECT_EQ(Presence, (std::vector<bool>{false, true}));
  }
  port.reset();
  port = Open();
  ASSERT_TRUE(port);
  // The tool counts addresses modulo 2^19; the device takes them modulo 2^18.
  Send(*port, Bytes({0x85, 0x29}));
  Send(*port, Bytes({0x04, 0x73}) + BE32(next | 0x40000));
  for (int i = 0; i < 30; ++i) {
    const simtest::TRecord r = ReadRecord(*port);
    ASSERT_TRUE(r.Valid);
    ASSERT_EQ(User(r), 2);
    EXPECT_EQ(Ptr(r), next) << "record " << i;
    next = (Ptr(r) + 4 + 2 * r.Count) & 0x3FFFF;
  }
  const auto log = Link->LinkLog();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[1], "switch 2");
  EXPECT_EQ(log[2].substr(0, 9), "resume 2 ");
}

TEST_F(SimCdcLinkTest, EspRestartUnplugsFailsOpenPortsAndComesBackAfresh) {
  Make(TSimFamily::Esp);
  TrackPresence();
  std::mutex lock;
  std::vector<std::string> seen;
  const int listener =
      platform::AddSimUsbListener([&](const platform::TZor_UsbDeviceInfo &info, bool attached) {
        std::lock_guard g(lock);
        seen.push_back((attached ? "+" : "-") + info.SysPath);
      });
  auto port = PlugAndOpen();
  ASSERT_TRUE(port);
  const std::string sysPath = Link->SysPath();
  Send(*port, Bytes({0xBE, 0x00}));
  ASSERT_TRUE(ReadRecord(*port).Valid);
  Send(*port, Bytes({0x85, 'P'}));
  std::string r;
  const auto t0 = TClock::now();
  while (port->Read(r, 100, 10) != TZor_IoResult::ioError && TClock::now() - t0 < std::chrono::seconds(2)) {
  }
  EXPECT_EQ(port->GetLastError().Code, platform::ERR_DEVICE_NOT_CONNECTED);
  ASSERT_TRUE(WaitPresence(2));
  platform::RemoveSimUsbListener(listener);
  {
    std::lock_guard g(lock);
    EXPECT_EQ(seen, (std::vector<std::string>{"+" + sysPath, "-" + sysPath, "+" + sysPath}));
  }
  size_t written = 0;
  EXPECT_EQ(port->Write(Cmd(Bytes({0x01})), 100, written), TZor_IoResult::ioError);
  port.reset();
  port = Open();
  ASSERT_TRUE(port);
  Send(*port, Bytes({0xBE, 0x00}));
  const simtest::TRecord cleared = ReadRecord(*port);
  ASSERT_TRUE(cleared.Valid);
  EXPECT_EQ(cleared.W, 0xFF);
  EXPECT_EQ(Ptr(cleared), 0u);  // a restarted device counts from 0
}

// ------------------------------------------------------------------ pacing, bounds, served node

TEST_F(SimCdcLinkTest, OutputIsPacedAndAnUnreadRingStaysBounded) {
  TSimCdcOptions options;
  options.BytesPerMs = 50;
  options.MaxQueuedBytes = 16 * 1024;  // 4 KB per user
  Make(TSimFamily::Coldfire, {}, options);
  auto port = PlugAndOpen();
  ASSERT_TRUE(port);
  for (int i = 0; i < 100; ++i) Send(*port, Bytes({0x85, 0x40}) + BE32(0x7F000) + char(64));
  size_t total = 0;
  const auto t0 = TClock::now();
  for (;;) {
    std::string part;
    if (port->Read(part, 4096, 30) != TZor_IoResult::ioOk) break;
    total += part.size();
  }
  const double ms = std::chrono::duration<double, std::milli>(TClock::now() - t0).count() - 30;
  EXPECT_LE(total, 4 * 1024 + 200u);  // the oldest answers went
  EXPECT_GE(total, 3 * 1024u);
  EXPECT_GE(ms, (total - 200) / 50.0 * 0.9);
}

TEST_F(SimCdcLinkTest, ServesATtyNodeBothWays) {
  Make(TSimFamily::Esp);
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  std::thread server([&] { Link->ServeStream(master); });
  const std::string reg = Cmd(Bytes({0xBE, 0x00}));
  ASSERT_EQ(write(slave, reg.data(), reg.size()), ssize_t(reg.size()));
  std::string got;
  while (got.size() < 16) {
    pollfd f{slave, POLLIN, 0};
    if (poll(&f, 1, 1000) <= 0) break;
    char buf[64];
    const ssize_t n = read(slave, buf, 16 - got.size());
    if (n <= 0) break;
    got.append(buf, size_t(n));
  }
  const simtest::TRecord r = simtest::ParseRecord(got);
  EXPECT_TRUE(r.Valid);
  EXPECT_EQ(r.W, 0xFF);
  Link->Stop();
  server.join();
  close(slave);
  close(master);
}

}  // namespace
}  // namespace zor
