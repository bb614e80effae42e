#include "sim/SimColdfire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "platform/Zor_Sys.h"
#include "sim/SimSystemCode.h"
#include "tests/sim/SimTestUtil.h"

namespace zor {
namespace {

using simtest::BE32;
using simtest::Bytes;

const uint32_t Staged = 0x30000000;

// The system code records the tool sends: the embedded resource's S3 records
// from 0x2000F700 upwards.
std::vector<std::pair<uint32_t, std::string>> ResourceSystemCode() {
  std::vector<std::pair<uint32_t, std::string>> records;
  const auto path = std::filesystem::path(__FILE__).parent_path() / "../../firmware/resources/SystemCode.s19";
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 14 || line.compare(0, 2, "S3") != 0) continue;
    const int count = std::stoi(line.substr(2, 2), nullptr, 16);
    const auto addr = static_cast<uint32_t>(std::stoul(line.substr(4, 8), nullptr, 16));
    std::string data;
    for (int i = 0; i < count - 5; ++i) data += char(std::stoi(line.substr(12 + 2 * i, 2), nullptr, 16));
    if (addr >= SimCodeAddr) records.emplace_back(addr, data);
  }
  return records;
}

class SimColdfireTest : public ::testing::Test {
 protected:
  void Make() {
    FDev = std::make_unique<TSimColdfire>(FConfig);
    FCap.Attach(*FDev);
  }
  TSimAnswer Cmd(const std::string &c) { return FDev->HandleCommand(c); }
  TSimAnswer Write(uint32_t addr, const std::string &data) {
    return Cmd(Bytes({0x85, 0x20}) + BE32(addr) + data);
  }
  std::string Read(uint32_t addr, int len) {
    FCap.Take();
    Cmd(Bytes({0x85, 0x40}) + BE32(addr) + char(len));
    std::string tools;
    for (const auto &out : FCap.Take())
      if (out.Kind == TSimOutputKind::Tools) tools += out.Bytes;
    return tools;
  }
  std::vector<std::string> Reports() {
    std::vector<std::string> reports;
    for (const auto &out : FCap.Take())
      if (out.Kind == TSimOutputKind::Report)
        for (auto &r : simtest::DecodeFrames(out.Bytes)) reports.push_back(r);
    return reports;
  }
  void Advance(uint32_t ms) {
    FClock.Advance(ms);
    FDev->Tick();
  }
  void WriteSystemCode() {
    auto records = ResourceSystemCode();
    if (records.empty())  // resource not generated: the programmer's own image
      for (size_t i = 0; i < SimSystemCodeImage().size(); i += 28)
        records.emplace_back(SimCodeAddr + i, SimSystemCodeImage().substr(i, 28));
    for (const auto &[addr, data] : records) ASSERT_EQ(Write(addr, data), TSimAnswer::Ok);
  }
  void Program(uint32_t from, uint32_t to, uint32_t dest, int command = '0') {
    WriteSystemCode();
    ASSERT_EQ(Write(SimParamSource, BE32(from)), TSimAnswer::Ok);
    ASSERT_EQ(Write(SimParamEnd, BE32(to)), TSimAnswer::Ok);
    ASSERT_EQ(Write(SimParamDest, BE32(dest)), TSimAnswer::Ok);
    ASSERT_EQ(Cmd(Bytes({0x85, command})), TSimAnswer::Ok);
  }
  uint32_t StatusWord() {
    const std::string s = Read(SimStatusAddr, 4);
    return s.size() == 4 ? simtest::LE32At(std::string(s.rbegin(), s.rend()), 0) : 0xDEADBEEF;
  }

  // A virtual clock that can also move on every reading, as a busy machine's does.
  struct TClock : platform::TZor_VirtualClock {
    using TZor_VirtualClock::TZor_VirtualClock;
    uint32_t Ticks() override {
      if (Creep) Advance(1);
      return TZor_VirtualClock::Ticks();
    }
    std::atomic<bool> Creep{false};
  };
  TClock FClock{5000};
  platform::TZor_ClockGuard FGuard{FClock};
  TSimConfig FConfig = [] {
    TSimConfig c;
    c.Timings.TimeStampIntervalMs = 0;
    c.UpdateFirmwareVersion = 113;
    return c;
  }();
  std::unique_ptr<TSimColdfire> FDev;
  simtest::TCapture FCap;
};

TEST_F(SimColdfireTest, ProgrammingRoundTripAndRestart) {
  Make();
  std::string image;
  for (int i = 0; i < 1000; ++i) image += char(i * 7 + 3);
  for (size_t off = 0; off < image.size(); off += 32)
    ASSERT_EQ(Write(Staged | (0x4000 + off), image.substr(off, 32)), TSimAnswer::Ok);
  Program(Staged | 0x4000, Staged | (0x4000 + 999), 0x4000);

  EXPECT_EQ(FDev->PeekMemory(0x4000, 1000), image);
  EXPECT_EQ(StatusWord(), uint32_t(simProgOk));
  EXPECT_FALSE(FDev->IsSilent());  // the reset comes after the acknowledgement
  EXPECT_EQ(FDev->GetFirmwareVersion(), 112);

  Advance(FConfig.Timings.ResetDelayMs);
  EXPECT_TRUE(FDev->IsSilent());
  EXPECT_EQ(Cmd(Bytes({0x01})), TSimAnswer::Silent);
  Advance(FConfig.Timings.RestartSilentMs);
  EXPECT_FALSE(FDev->IsSilent());
  EXPECT_EQ(FCap.Events, (std::vector{TSimEventKind::RestartBegin, TSimEventKind::RestartEnd}));
  EXPECT_FALSE(FDev->IsBootLoader());
  EXPECT_EQ(FDev->PeekMemory(0x4000, 1000), image);  // flash survives
  EXPECT_EQ(FDev->GetFirmwareVersion(), 113);
}

// The silence is measured from the moment the restart began, even when the
// clock moves between reading the time and starting the restart.
TEST_F(SimColdfireTest, RestartStaysSilentWhileTheClockMoves) {
  Make();
  ASSERT_EQ(Cmd(Bytes({0x85, '0'})), TSimAnswer::Ok);  // start: the device resets after its answer
  FClock.Creep = true;
  Advance(FConfig.Timings.ResetDelayMs);
  EXPECT_TRUE(FDev->IsSilent());
  EXPECT_EQ(FCap.Events, std::vector{TSimEventKind::RestartBegin});
  FClock.Creep = false;
  Advance(FConfig.Timings.RestartSilentMs);
  EXPECT_FALSE(FDev->IsSilent());
}

TEST_F(SimColdfireTest, SystemCodeResourceIsTheExpectedProgrammer) {
  const auto records = ResourceSystemCode();
  if (records.empty()) GTEST_SKIP() << "SystemCode.s19 not generated";
  std::string code;
  for (const auto &[addr, data] : records) {
    ASSERT_EQ(addr, SimCodeAddr + code.size());
    code += data;
  }
  EXPECT_EQ(code, SimSystemCodeImage());
}

TEST_F(SimColdfireTest, FailureStatusWordsLeaveFlashAlone) {
  Make();
  const std::string factory = FDev->PeekMemory(0x4000, 64);
  ASSERT_EQ(Write(Staged | 0x4000, std::string(64, 'x')), TSimAnswer::Ok);
  for (uint32_t status : {0x02u, 0x03u, 0x12u, 0x13u, 0x22u, 0x23u, 0x30u, 0x40u}) {
    TSimFaults faults;
    faults.ProgramStatus = status;
    FDev->SetFaults(faults);
    Program(Staged | 0x4000, Staged | 0x403F, 0x4000);
    EXPECT_EQ(StatusWord(), status);
    EXPECT_EQ(FDev->PeekMemory(0x4000, 64), factory);
  }
}

TEST_F(SimColdfireTest, DamagedOrMissingSystemCodeFailsVerify) {
  Make();
  const std::string factory = FDev->PeekMemory(0x4000, 64);
  ASSERT_EQ(Write(Staged | 0x4000, std::string(64, 'x')), TSimAnswer::Ok);
  // Nothing loaded at all.
  ASSERT_EQ(Write(SimParamSource, BE32(Staged | 0x4000) + BE32(Staged | 0x403F) + BE32(0x4000)),
            TSimAnswer::Ok);
  ASSERT_EQ(Cmd(Bytes({0x85, '0'})), TSimAnswer::Ok);
  EXPECT_EQ(StatusWord(), uint32_t(simProgVerifyFailed));
  // The programmer with one wrong byte near its end (an incomplete upload).
  WriteSystemCode();
  ASSERT_EQ(Write(0x2000FDE0, "?"), TSimAnswer::Ok);
  ASSERT_EQ(Cmd(Bytes({0x85, '0'})), TSimAnswer::Ok);
  EXPECT_EQ(StatusWord(), uint32_t(simProgVerifyFailed));
  // A range that is not staged.
  Program(0x4000, 0x403F, 0x4000);
  EXPECT_EQ(StatusWord(), uint32_t(simProgVerifyFailed));
  // A range that runs past the end of flash.
  Program(Staged | 0x4000, Staged | 0x403F, 0x7FFF0);
  EXPECT_EQ(StatusWord(), uint32_t(simProgVerifyFailed));
  EXPECT_EQ(FDev->PeekMemory(0x4000, 64), factory);
}

TEST_F(SimColdfireTest, BootLoaderProgramsWithoutRestartAndResetsIntoApplication) {
  FConfig.StartInBootLoader = true;
  Make();
  EXPECT_TRUE(FDev->IsBootLoader());
  EXPECT_EQ(Cmd(Bytes({0x81})), TSimAnswer::Refused);
  EXPECT_TRUE(Reports().empty());

  ASSERT_EQ(Write(Staged | 0x0000, std::string(32, 'b')), TSimAnswer::Ok);
  Program(Staged, Staged | 31, 0);
  Advance(5000);
  EXPECT_TRUE(FCap.Events.empty());
  EXPECT_EQ(StatusWord(), uint32_t(simProgOk));
  EXPECT_EQ(FDev->PeekMemory(0, 32), std::string(32, 'b'));
  EXPECT_EQ(FDev->GetFirmwareVersion(), 112);  // a boot loader upload is no firmware update

  ASSERT_EQ(Cmd(Bytes({0x85, 'P'})), TSimAnswer::Ok);
  Advance(FConfig.Timings.ResetDelayMs);
  Advance(FConfig.Timings.RestartSilentMs);
  EXPECT_FALSE(FDev->IsBootLoader());
  ASSERT_EQ(Cmd(Bytes({0x01})), TSimAnswer::Ok);
  const auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].substr(0, 24), Bytes({0x70, 0x01}) + "VERSION LUM: 112US CF ");
}

TEST_F(SimColdfireTest, DestroyedApplicationRestartsInBootLoader) {
  Make();
  for (int k = 0; k < 64; ++k)
    ASSERT_EQ(Write(Staged | (0x4000 + 128 * k), std::string(64, '\xFF')), TSimAnswer::Ok);
  Program(Staged | 0x4004, Staged | 0x4FFF, 0x4004);
  Advance(FConfig.Timings.ResetDelayMs);
  Advance(FConfig.Timings.RestartSilentMs);
  EXPECT_TRUE(FDev->IsBootLoader());
}

TEST_F(SimColdfireTest, OldBootLoaderHasNoRunCommand) {
  FConfig.StartInBootLoader = true;
  FConfig.OldBootLoader = true;
  Make();
  WriteSystemCode();
  EXPECT_EQ(Cmd(Bytes({0x85, '2'})), TSimAnswer::Refused);
  EXPECT_EQ(Cmd(Bytes({0x85, '0'})), TSimAnswer::Ok);
}

TEST_F(SimColdfireTest, RunCommandRecognisesTimerPatchRamRestoreAndProgrammer) {
  Make();
  EXPECT_EQ(Read(SimTimerRegister, 2), Bytes({0x01, 0x09}));
  ASSERT_EQ(
      Write(SimCodeAddr, Bytes({0x4E, 0x56, 0x00, 0x00, 0x41, 0xF9, 0x40, 0x15, 0x00, 0x00, 0x30, 0x10,
                                0x02, 0x80, 0x00, 0x00, 0xFF, 0xF6, 0x30, 0x80, 0x4E, 0x5E, 0x4E, 0x75})),
      TSimAnswer::Ok);
  ASSERT_EQ(Cmd(Bytes({0x85, '2'})), TSimAnswer::Ok);
  EXPECT_EQ(Read(SimTimerRegister, 2), Bytes({0x01, 0x00}));
  Advance(1000);
  EXPECT_TRUE(FCap.Events.empty());

  // The programmer started with the run command copies without restarting
  // (configuration of old firmware).
  const std::string block = TSimColdfire::FactoryConfigBlock(FConfig).replace(48, 4, BE32(0x11223344));
  ASSERT_EQ(Write(Staged | SimConfigAddr, block), TSimAnswer::Ok);
  Program(Staged | SimConfigAddr, Staged | (SimConfigAddr + 79), SimConfigAddr, '2');
  EXPECT_EQ(StatusWord(), uint32_t(simProgOk));
  EXPECT_EQ(FDev->GetSerialNumber(), 0x11223344u);
  Advance(1000);
  EXPECT_TRUE(FCap.Events.empty());

  TSimPersistent state = FDev->GetPersistent();
  state.Flash.replace(SimRestoreSource, 16, "RAM image kept..");
  FDev->SetPersistent(state);
  ASSERT_EQ(Write(SimRestoreAddr, Bytes({0x46, 0xFC, 0x27, 0x00, 0x20, 0x7C, 0x20, 0x00, 0x00, 0x00,
                                         0x22, 0x7C, 0x00, 0x05, 0x00, 0x00, 0x20, 0x3C, 0x00, 0x00,
                                         0xFE, 0x00, 0x20, 0xD9, 0x59, 0x80, 0x66, 0xFA, 0x60, 0xFE})),
            TSimAnswer::Ok);
  ASSERT_EQ(Write(SimCodeAddr, Bytes({0x4E, 0xF9, 0x20, 0x00, 0xFE, 0x00})), TSimAnswer::Ok);
  ASSERT_EQ(Cmd(Bytes({0x85, '2'})), TSimAnswer::Ok);
  EXPECT_EQ(Read(SimRamBase, 16), "RAM image kept..");
  Advance(FConfig.Timings.ResetDelayMs);
  EXPECT_EQ(FCap.Events, std::vector{TSimEventKind::RestartBegin});
}

TEST_F(SimColdfireTest, ConfigurationBlockAndCommand) {
  FConfig.FirmwareVersion = 19;
  Make();
  const std::string block = Read(SimConfigAddr, 76);
  ASSERT_EQ(block.size(), 76u);
  EXPECT_EQ(block.substr(48, 8), BE32(0xABCD) + Bytes({10, 0, 0, 7}));
  EXPECT_EQ(block.substr(64, 2), Bytes({0x04, 0x00}));

  std::string changed = block;
  changed.replace(52, 4, Bytes({192, 168, 1, 5}));
  ASSERT_EQ(Cmd(Bytes({0x85, 0x22}) + changed), TSimAnswer::Ok);
  EXPECT_EQ(Read(SimConfigAddr, 76), changed);
  EXPECT_EQ(FDev->GetIpAddress(), 0x0A000007u);  // taken at the next start
  FDev->Restart();
  Advance(FConfig.Timings.RestartSilentMs);
  EXPECT_EQ(FDev->GetIpAddress(), 0xC0A80105u);
  EXPECT_EQ(Cmd(Bytes({0x85, 0x22}) + changed.substr(0, 70)), TSimAnswer::Refused);

  FConfig.FirmwareVersion = 18;
  Make();
  EXPECT_EQ(Cmd(Bytes({0x85, 0x22}) + changed), TSimAnswer::Refused);
}

TEST_F(SimColdfireTest, ConnectedUsersStatus) {
  Make();
  FDev->SetUser(1, TSimUserKind::Usb);
  FDev->SetUser(2, TSimUserKind::Ip, 0xC0A80105);
  FDev->SetUser(4, TSimUserKind::Serial);
  FCap.Take();
  ASSERT_EQ(Cmd(Bytes({0x85, 0x42, 0x01})), TSimAnswer::Ok);
  const auto outs = FCap.Take();
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_EQ(outs[0].Kind, TSimOutputKind::Tools);
  EXPECT_EQ(outs[0].Bytes, Bytes({0, 0, 0, 2, 192, 168, 1, 5, 0, 0, 0, 0, 0, 0, 0, 4}));
}

TEST_F(SimColdfireTest, TimeStampsVersionAndStop) {
  FConfig.Timings.TimeStampIntervalMs = 1000;
  Make();
  FDev->Tick();
  auto outs = FCap.Take();
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_TRUE(outs[0].BufferCleared);
  EXPECT_EQ(outs[0].Bytes.substr(0, 9), Bytes({0x00, 0x08, 0x70, 0x16, 0, 0, 0, 1, 0x71}));
  Advance(1000);
  EXPECT_EQ(Reports(), std::vector<std::string>{Bytes({0x70, 0x16, 0, 0, 0, 11})});
  Advance(500);
  EXPECT_TRUE(Reports().empty());

  // Bit 7 of a single-byte command clears the device's buffer.
  ASSERT_EQ(Cmd(Bytes({0x81})), TSimAnswer::Ok);
  outs = FCap.Take();
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_TRUE(outs[0].BufferCleared);

  ASSERT_EQ(Cmd(Bytes({0x85, 0x60})), TSimAnswer::Ok);
  Advance(3000);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(SimColdfireTest, ConfigurationMemoryReports) {
  Make();
  const std::string slice = char(1) + std::string(127, 's');
  ASSERT_EQ(Cmd(Bytes({0x85, 0x23}) + BE32(0x7E080) + slice), TSimAnswer::Ok);
  EXPECT_EQ(Reports(), std::vector<std::string>{Bytes({0x79, 0x01})});
  ASSERT_EQ(Cmd(Bytes({0x03, 0x01})), TSimAnswer::Ok);
  ASSERT_EQ(Cmd(Bytes({0x03, 0x02})), TSimAnswer::Ok);
  EXPECT_EQ(Reports(), (std::vector<std::string>{Bytes({0x79, 0x02}) + slice, Bytes({0x79, 0x02, 0xFF})}));
  EXPECT_EQ(Cmd(Bytes({0x85, 0x23}) + BE32(0x7F000) + slice), TSimAnswer::Refused);
}

TEST_F(SimColdfireTest, GarbageNeverCrashes) {
  Make();
  for (const std::string &bad :
       {std::string(), Bytes({0x85}), Bytes({0x85, 0x20, 1, 2}),
        Bytes({0x85, 0x40}) + BE32(0x20000000) + char(0), Bytes({0x85, 0x40}) + BE32(0x2000FFFF) + char(8),
        Bytes({0x85, 0x20}) + BE32(0x1000) + "x", Bytes({0x85, 0x20}) + BE32(0x3007FFFF) + "xy",
        Bytes({0x85, 0x99}), Bytes({0x04}), Bytes({0x03, 0x07}), Bytes({0x85, 0x42, 0x07})}) {
    EXPECT_EQ(Cmd(bad), TSimAnswer::Refused) << bad.size();
    EXPECT_FALSE(FDev->CommandLog().back().Note.empty());
  }
  std::mt19937 rng(42);
  const char codes[] = {0x20, 0x22, 0x23, 0x40, 0x42, '0', '2', 0x12, 0x60};
  for (int i = 0; i < 3000; ++i) {
    std::string cmd(rng() % 300, '\0');
    for (auto &c : cmd) c = char(rng());
    if (cmd.size() > 1 && i % 2) cmd[0] = char(0x85), cmd[1] = codes[rng() % sizeof codes];
    FDev->HandleCommand(cmd);
    FDev->Tick();
  }
  Advance(10000);  // a pending reset starts now
  Advance(10000);  // and is over
  EXPECT_EQ(Read(SimConfigAddr + 48, 4).size(), 4u);
}

TEST_F(SimColdfireTest, CorruptedFrameFault) {
  Make();
  TSimFaults faults;
  faults.CorruptOutputs = 1;
  FDev->SetFaults(faults);
  Cmd(Bytes({0x01}));
  Cmd(Bytes({0x01}));
  const auto reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], "BAD");
  EXPECT_EQ(reports[1].substr(0, 9), Bytes({0x70, 0x01}) + "VERSION");
}

TEST_F(SimColdfireTest, NoRestartFaultAndCommandLogAcrossThreads) {
  Make();
  TSimFaults faults;
  faults.NoRestart = true;
  FDev->SetFaults(faults);
  ASSERT_EQ(Cmd(Bytes({0x85, 'P'})), TSimAnswer::Ok);
  Advance(1000);
  EXPECT_FALSE(FDev->IsSilent());

  FDev->ClearCommandLog();
  auto writer = [this](uint32_t base) {
    for (uint32_t i = 0; i < 300; ++i) FDev->HandleCommand(Bytes({0x85, 0x20}) + BE32(base + i) + "z", 2);
  };
  std::thread a(writer, 0x20000000), b(writer, 0x20001000);
  for (int i = 0; i < 50; ++i) EXPECT_LE(FDev->CommandLog().size(), 600u);  // read while they write
  a.join();
  b.join();
  EXPECT_EQ(FDev->CommandLog().size(), 600u);
  EXPECT_EQ(FDev->CommandLog().front().User, 2);
}

// A long-running device keeps only the newest commands; a test can ask for all.
TEST_F(SimColdfireTest, CommandLogIsABoundedRing) {
  Make();
  auto write = [this](uint32_t i) { return Cmd(Bytes({0x85, 0x20}) + BE32(0x20000000 + i) + "z"); };
  FDev->SetCommandLogLimit(100);
  for (uint32_t i = 0; i < 250; ++i) write(i);
  std::vector<TSimCommandRecord> log = FDev->CommandLog();
  ASSERT_EQ(log.size(), 100u);
  EXPECT_EQ(log.front().Bytes.substr(2, 4), BE32(0x20000000 + 150));  // the oldest went first
  EXPECT_EQ(log.back().Bytes.substr(2, 4), BE32(0x20000000 + 249));
  FDev->SetCommandLogLimit(10);
  EXPECT_EQ(FDev->CommandLog().size(), 10u);

  FDev->SetCommandLogLimit(0);
  FDev->ClearCommandLog();
  const size_t many = TSimDevice::DefaultCommandLogLimit + 10;
  for (uint32_t i = 0; i < many; ++i) write(i);
  EXPECT_EQ(FDev->CommandLog().size(), many);
}

}  // namespace
}  // namespace zor
