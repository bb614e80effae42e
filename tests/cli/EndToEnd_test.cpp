// zorfw end to end: the command line runs in this process against a simulated
// device on the network, and each case checks the exit status, the messages,
// the commands the device received and what the device holds afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cli/AppServices.h"
#include "cli/Commands.h"
#include "firmware/Uploader_Common.h"
#include "platform/Zor_Sys.h"
#include "sim/SimColdfire.h"
#include "sim/SimEsp.h"
#include "sim/SimNetLink.h"
#include "tests/cli/ZorfwSim.h"

using namespace zor;
namespace fs = std::filesystem;

namespace {

// Long enough for the engine's pings, 50 ms apart, to see the device go down
// on a loaded machine; short enough to keep the runs quick.
constexpr uint32_t cRestartMs = 600;
constexpr uint32_t cStaging = 0x30000000;
using clitest::cUserCode;
using clitest::EspImage;
using clitest::Pattern;
using clitest::SLine;
constexpr uint32_t cParamSource = 0x2000F604;
constexpr uint32_t cTimerPatchAddr = 0x2000F700;

const std::string cStartColdfire("\x85\x30", 2);
const std::string cRun("\x85\x32", 2);
const std::string cReset("\x85\x50", 2);
const std::string cFactory("\x85\x31", 2);

std::string BE32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

uint32_t BE32At(const std::string &s, size_t p) {
  return uint32_t(uint8_t(s[p])) << 24 | uint32_t(uint8_t(s[p + 1])) << 16 |
         uint32_t(uint8_t(s[p + 2])) << 8 | uint8_t(s[p + 3]);
}

// A ColdFire user-code image: `lines` S3 records of 32 bytes from 0x4000.
struct TUserImage {
  std::string Text;
  std::string Data;
  size_t Lines = 0;
};

TUserImage MakeUserImage(size_t lines, uint32_t seed = 5) {
  TUserImage image;
  image.Lines = lines;
  image.Data = Pattern(lines * 32, seed);
  image.Text = SLine(0, 0, "user") + "\r\n";
  for (size_t i = 0; i < lines; ++i)
    image.Text += SLine(3, cUserCode + uint32_t(32 * i), image.Data.substr(32 * i, 32)) + "\r\n";
  image.Text += SLine(7, cUserCode, "") + "\r\n";
  return image;
}

// A simulated device on a loopback address of its own that restarts quickly,
// with the network link the tests look into (user slots).
class TSim : public clitest::TSimTarget {
 public:
  explicit TSim(TSimConfig config, TSimFaults faults = {})
      : TSimTarget(WithQuickRestart(std::move(config)), faults) {}

  TSimColdfire &Coldfire() { return dynamic_cast<TSimColdfire &>(*Device); }
  std::vector<TSimCommandRecord> Log() const { return Device->CommandLog(); }
  // The device's side of a run, for failure output.
  std::string Notes() const {
    std::string out;
    for (const TSimCommandRecord &r : Log()) out += std::to_string(r.Ticks) + " " + r.Note + "\n";
    return out;
  }

 private:
  static TSimConfig WithQuickRestart(TSimConfig config) {
    config.Timings.RestartSilentMs = cRestartMs;
    return config;
  }
};

// Frequent time stamps: after clearing the device's buffer the tool drops
// report data until the device's next block says it was cleared, so a
// ColdFire device must send a block before it restarts.
constexpr uint32_t cTimeStampMs = 100;

TSimConfig ColdfireConfig(int firmware = 112) {
  TSimConfig config;
  config.Timings.TimeStampIntervalMs = cTimeStampMs;
  config.Family = TSimFamily::Coldfire;
  config.FirmwareVersion = firmware;
  config.UpdateFirmwareVersion = 120;
  return config;
}

TSimConfig EspConfig() {
  TSimConfig config;
  config.Family = TSimFamily::Esp;
  config.FirmwareVersion = 114;
  return config;
}

using cli::test::TRun;
TRun RunZorfw(std::vector<std::string> args) { return cli::test::RunCli(std::move(args)); }

std::vector<std::string> DeviceArgs(const std::string &command, const TSim &sim) {
  return {command, "--json", "--password", "00000000", sim.Target()};
}

TRun Update(const TSim &sim, const std::string &file) {
  std::vector<std::string> args = DeviceArgs("update", sim);
  args.push_back(file);
  return RunZorfw(args);
}

// A memory write (0x85 0x20 address data) from the command record.
struct TWrite {
  size_t Index = 0;
  uint32_t Address = 0;
  std::string Data;
};

std::vector<TWrite> Writes(const std::vector<TSimCommandRecord> &log) {
  std::vector<TWrite> writes;
  for (size_t i = 0; i < log.size(); ++i) {
    const std::string &b = log[i].Bytes;
    if (b.size() >= 6 && uint8_t(b[0]) == 0x85 && b[1] == 0x20)
      writes.push_back({i, BE32At(b, 2), b.substr(6)});
  }
  return writes;
}

// Index of the first command with exactly these bytes at or after `from`; -1 if none.
int FindCommand(const std::vector<TSimCommandRecord> &log, const std::string &bytes, size_t from = 0) {
  for (size_t i = from; i < log.size(); ++i)
    if (log[i].Bytes == bytes) return static_cast<int>(i);
  return -1;
}

int FindNote(const std::vector<TSimCommandRecord> &log, const std::string &prefix) {
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i].Note.rfind(prefix, 0) == 0) return static_cast<int>(i);
  return -1;
}

bool IsUserCodeWrite(const TWrite &w) { return (w.Address & 0xF0000000) == cStaging && w.Data.size() == 32; }
bool IsSystemCodeWrite(const TWrite &w) { return w.Address >= cTimerPatchAddr && w.Address < cStaging; }

class EndToEnd : public testing::Test {
 protected:
  void SetUp() override { cli::ClearInterrupt(); }
  void TearDown() override { cli::ClearInterrupt(); }

  std::string WriteFile(const std::string &name, const std::string &content) {
    const fs::path path = FDir / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  // One directory per test; parametrized names hold a '/'.
  fs::path FDir = [] {
    std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char &c : name)
      if (c == '/') c = '_';
    const fs::path dir = fs::temp_directory_path() / ("zorfw_e2e_" + std::to_string(::getpid()) + "_" + name);
    fs::create_directories(dir);
    return dir;
  }();

  ~EndToEnd() override {
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }
};

// ---------------------------------------------------------------- ColdFire

class ColdfireUpdate : public EndToEnd, public testing::WithParamInterface<int> {};

// Firmware 60..62 needs its timer interrupt disabled before the transfer.
TEST_P(ColdfireUpdate, ProgramsTheUserCodeThroughTheSystemCode) {
  const int firmware = GetParam();
  TSim sim(ColdfireConfig(firmware));
  ASSERT_TRUE(sim.Started());
  const TUserImage image = MakeUserImage(16);
  const TRun run = Update(sim, WriteFile("LUM_fw.s19", image.Text));
  ASSERT_EQ(run.Exit, 0) << run.Text();
  EXPECT_EQ(run.Result().value("firmware_after", 0), 120) << run.Text();
  EXPECT_TRUE(run.Has("info", "Programming finished"));
  EXPECT_TRUE(run.Has("ok", "Firmware update was successful"));
  EXPECT_TRUE(run.Has("info", "Transmitting user code finished: 0x000200 (512) Bytes"));
  EXPECT_TRUE(run.Has("info", "Verify finished: 0x000200 (512) Bytes as in the file"));
  EXPECT_TRUE(run.Result().value("verified", false));
  EXPECT_EQ(sim.Device->GetPersistent().Flash.substr(cUserCode, image.Data.size()), image.Data);

  const std::vector<TSimCommandRecord> log = sim.Log();
  const std::vector<TWrite> writes = Writes(log);
  std::vector<TWrite> clears, user, system, params;
  for (const TWrite &w : writes) {
    if (w.Data == std::string(64, '\xFF'))
      clears.push_back(w);
    else if (IsUserCodeWrite(w))
      user.push_back(w);
    else if (IsSystemCodeWrite(w) && !clears.empty())  // the timer patch comes first
      system.push_back(w);
    else if (w.Address >= cParamSource && w.Address <= cParamSource + 8)
      params.push_back(w);
  }
  // The checksum range is cleared at a stride of 128, before the image.
  ASSERT_EQ(clears.size(), 64u);
  for (size_t k = 0; k < clears.size(); ++k) EXPECT_EQ(clears[k].Address, cStaging + cUserCode + 128 * k);
  ASSERT_EQ(user.size(), image.Lines);
  EXPECT_GT(user.front().Index, clears.back().Index);
  for (size_t i = 0; i < user.size(); ++i) EXPECT_EQ(user[i].Address, cStaging + cUserCode + 32 * i);
  ASSERT_FALSE(system.empty());
  EXPECT_GT(system.front().Index, user.back().Index);
  // Source start, source end (inclusive) and destination, in this order.
  ASSERT_EQ(params.size(), 3u);
  EXPECT_GT(params[0].Index, system.back().Index);
  EXPECT_EQ(params[0].Address, cParamSource);
  EXPECT_EQ(params[1].Address, cParamSource + 4);
  EXPECT_EQ(params[2].Address, cParamSource + 8);
  EXPECT_EQ(params[0].Data, BE32(cStaging | cUserCode));
  EXPECT_EQ(params[1].Data, BE32(cStaging | (cUserCode + uint32_t(image.Data.size()) - 1)));
  EXPECT_EQ(params[2].Data, BE32(cUserCode));
  // The start command comes last; the device found a whole system code.
  const int start = FindCommand(log, cStartColdfire);
  ASSERT_GT(start, static_cast<int>(params[2].Index));
  EXPECT_EQ(log[start].Note, "programmed 0x00004000..0x000041FF");
  EXPECT_EQ(FindCommand(log, cReset, start), -1);

  // The timer patch goes into RAM and runs before anything else is written.
  const bool patched = writes.front().Address == cTimerPatchAddr;
  if (firmware >= 60 && firmware <= 62) {
    ASSERT_TRUE(patched);
    EXPECT_EQ(writes.front().Data.size(), 24u);
    const int patch = static_cast<int>(writes.front().Index);
    const int runCmd = FindCommand(log, cRun, patch);
    ASSERT_GT(runCmd, patch);
    EXPECT_LT(runCmd, static_cast<int>(clears.front().Index));
    EXPECT_EQ(log[runCmd].Note.rfind("timer patch", 0), 0u) << log[runCmd].Note;
  } else {
    EXPECT_FALSE(patched);
    EXPECT_EQ(FindCommand(log, cRun), -1);
  }
  EXPECT_TRUE(sim.AllUsersGone());
}

INSTANTIATE_TEST_SUITE_P(Firmware, ColdfireUpdate, testing::Values(60, 62, 63, 112));

// --------------------------------------------------------------------- ESP

class EspUpdate : public EndToEnd, public testing::WithParamInterface<bool> {};

// An encrypted (_Blow) image is decrypted by the device: the partition holds
// the plain image either way.
TEST_P(EspUpdate, ImageLandsInTheUpdatePartition) {
  const bool blow = GetParam();
  TSim sim(EspConfig());
  ASSERT_TRUE(sim.Started());
  const std::string plain = EspImage(20000, 3);
  std::string file = plain;
  if (blow) TSimEsp::Crypt(file);
  const TRun run = Update(sim, WriteFile(blow ? "LUM2_fw_Blow.bin" : "LUM2_fw.bin", file));
  ASSERT_EQ(run.Exit, 0) << run.Text() << sim.Notes();
  EXPECT_TRUE(run.Has("info", "Transmitting user code finished: 0x004E20 ("));
  EXPECT_TRUE(run.Has("ok", "Firmware update was successful"));
  EXPECT_TRUE(run.Result().value("verified", false));
  const TSimPersistent state = sim.Device->GetPersistent();
  EXPECT_TRUE(state.UpdatePartitionActive);
  EXPECT_TRUE(state.UpdateImageValid);
  EXPECT_TRUE(state.UpdateImage == plain);

  const std::vector<TSimCommandRecord> log = sim.Log();
  const int block = FindNote(log, "block start len=20000 addr=0 ");
  ASSERT_GE(block, 0);
  EXPECT_NE(log[block].Note.find(blow ? " crypted" : " plain"), std::string::npos) << log[block].Note;
  const int start = FindCommand(log, cStartColdfire + BE32(20000));
  ASSERT_GT(start, block);
  const int sw = FindCommand(log, cRun, start);
  ASSERT_GT(sw, start);
  EXPECT_EQ(log[sw].Note, "update partition");
  EXPECT_TRUE(sim.AllUsersGone());
}

INSTANTIATE_TEST_SUITE_P(Plain, EspUpdate, testing::Values(false));
INSTANTIATE_TEST_SUITE_P(Blow, EspUpdate, testing::Values(true));

TEST_F(EndToEnd, FactorySwitchLeavesTheUpdatePartition) {
  TSim sim(EspConfig());
  ASSERT_TRUE(sim.Started());
  TSimPersistent state = sim.Device->GetPersistent();
  state.UpdateImage = Pattern(1000, 1);
  state.UpdateImageValid = true;
  state.UpdatePartitionActive = true;
  sim.Device->SetPersistent(state);
  const TRun run = RunZorfw(DeviceArgs("factory", sim));
  ASSERT_EQ(run.Exit, 0) << run.Text();
  EXPECT_TRUE(run.Has("info", "Switched back to factory partition"));
  EXPECT_FALSE(sim.Device->GetPersistent().UpdatePartitionActive);
  const int sw = FindCommand(sim.Log(), cFactory);
  ASSERT_GE(sw, 0);
  EXPECT_EQ(sim.Log()[sw].Note, "factory partition");
  EXPECT_TRUE(sim.AllUsersGone());
}

// zorfw check shows what an ESP image header tells; a plain file that is not
// an ESP image is refused as the update would refuse it, before any device.
TEST_F(EndToEnd, CheckReadsTheEspImageHeader) {
  std::string image = EspImage(300, 4);
  image.replace(1, 7, std::string("\x03\x02\x20\x74\x0A\x08\x40", 7));
  TRun run = RunZorfw({"check", "--json", WriteFile("LUM2_fw.bin", image)});
  ASSERT_EQ(run.Exit, 0) << run.Output;
  nlohmann::json j = nlohmann::json::parse(run.Output);
  EXPECT_EQ(j.value("segments", 0), 3);
  EXPECT_EQ(j.value("entry", 0u), 0x40080A74u);

  run = RunZorfw({"check", WriteFile("passwd.bin", "root:x:0:0:root:/root:/bin/sh\n")});
  EXPECT_EQ(run.Exit, 10 - fwr_NotEspImage);
  EXPECT_NE(run.Output.find("not the ESP image magic 0xE9"), std::string::npos) << run.Output;
  // An encrypted image is the device's to open.
  run = RunZorfw({"check", "--json", WriteFile("LUM2_fw_Blow.bin", "\x17 encrypted")});
  EXPECT_EQ(run.Exit, 0) << run.Output;
  EXPECT_TRUE(nlohmann::json::parse(run.Output)["segments"].is_null());
}

// ------------------------------------------------------------------ cancel

// Ctrl-C at several points: the engine stops at its next check, starts
// nothing, resets the device and closes it; zorfw ends with status 1.
struct TCancelCase {
  const char *Name;
  bool Esp;
  std::function<bool(const std::vector<TSimCommandRecord> &)> Reached;
};

void PrintTo(const TCancelCase &c, std::ostream *os) { *os << c.Name; }

class Cancel : public EndToEnd, public testing::WithParamInterface<TCancelCase> {};

TEST_P(Cancel, StopsResetsAndCloses) {
  const TCancelCase &c = GetParam();
  TSim sim(c.Esp ? EspConfig() : ColdfireConfig());
  ASSERT_TRUE(sim.Started());
  const std::string before = c.Esp ? "" : sim.Device->GetPersistent().Flash.substr(cUserCode, 0x4000);
  const std::string file = c.Esp ? WriteFile("LUM2_fw.bin", EspImage(600000, 9))
                                 : WriteFile("LUM_fw.s19", MakeUserImage(512).Text);
  TRun run;
  std::thread zorfw([&] { run = Update(sim, file); });
  const uint32_t begin = platform::GetTicks();
  bool reached = false;
  while (!(reached = c.Reached(sim.Log())) && platform::TicksSince(begin) < 60000) platform::SleepMs(1);
  cli::RequestInterrupt();
  zorfw.join();
  ASSERT_TRUE(reached) << run.Text();
  const size_t cancelAt = sim.Log().size();

  EXPECT_EQ(run.Exit, 1) << run.Text();
  EXPECT_EQ(run.Result().value("result", 0), fwr_Canceled);
  EXPECT_TRUE(run.Has("info", "Canceled by user")) << run.Text();
  EXPECT_GT(run.Find("info", "Disconnected from ", true), run.Find("info", "Canceled by user"));
  const std::vector<TSimCommandRecord> log = sim.Log();
  EXPECT_GE(log.size(), cancelAt);
  // Nothing was programmed or switched; the reset came after the cancel.
  for (const TSimCommandRecord &r : log) {
    EXPECT_NE(r.Bytes.substr(0, 2), cStartColdfire) << r.Note;
    EXPECT_NE(r.Bytes, cRun) << r.Note;
  }
  EXPECT_GE(FindCommand(log, cReset), 0);
  if (c.Esp) {
    EXPECT_FALSE(sim.Device->GetPersistent().UpdatePartitionActive);
  } else {
    EXPECT_EQ(sim.Device->GetPersistent().Flash.substr(cUserCode, 0x4000), before);
    for (const TWrite &w : Writes(log)) EXPECT_NE(w.Address, cParamSource);
  }
  EXPECT_TRUE(sim.AllUsersGone());
}

bool DuringUserCode(const std::vector<TSimCommandRecord> &log) {
  for (const TWrite &w : Writes(log))
    if (IsUserCodeWrite(w)) return true;
  return false;
}
bool DuringSystemCode(const std::vector<TSimCommandRecord> &log) {
  for (const TWrite &w : Writes(log))
    if (IsSystemCodeWrite(w)) return true;
  return false;
}
bool DuringEspTransfer(const std::vector<TSimCommandRecord> &log) {
  return FindNote(log, "block start") >= 0;
}

INSTANTIATE_TEST_SUITE_P(Points, Cancel,
                         testing::Values(TCancelCase{"UserCode", false, DuringUserCode},
                                         TCancelCase{"SystemCode", false, DuringSystemCode},
                                         TCancelCase{"EspTransfer", true, DuringEspTransfer}),
                         [](const testing::TestParamInfo<TCancelCase> &i) {
                           return std::string(i.param.Name);
                         });

// ---------------------------------------------------------------- failures

// A failure ends with its own exit status and message; the device is reset
// when it was opened and left unfinished, and always closed.
struct TFailureCase {
  const char *Name;
  bool Esp;
  std::function<void(TSim &)> Setup;  // runs once the device is up
  std::string FileName;
  std::string Content;  // empty: no file is written
  int Result;
  const char *Level;
  const char *Message;
  bool Reset;       // the device got a reset command
  bool Programmed;  // the device got its start command
};

void PrintTo(const TFailureCase &c, std::ostream *os) { *os << c.Name; }

class Failure : public EndToEnd, public testing::WithParamInterface<TFailureCase> {};

TEST_P(Failure, EndsWithItsStatusAndClosesTheDevice) {
  const TFailureCase &c = GetParam();
  TSim sim(c.Esp ? EspConfig() : ColdfireConfig());
  ASSERT_TRUE(sim.Started());
  if (c.Setup) c.Setup(sim);
  const std::string file =
      c.Content.empty() ? (FDir / c.FileName).string() : WriteFile(c.FileName, c.Content);
  const TRun run = Update(sim, file);
  EXPECT_EQ(run.Exit, 10 - c.Result) << run.Text();
  EXPECT_EQ(run.Result().value("result", 0), c.Result);
  EXPECT_TRUE(run.Has(c.Level, c.Message)) << run.Text();
  const std::vector<TSimCommandRecord> log = sim.Log();
  EXPECT_EQ(FindCommand(log, cReset) >= 0, c.Reset) << run.Text() << sim.Notes();
  for (const TSimCommandRecord &r : log) EXPECT_NE(r.Bytes, cRun) << r.Note;
  if (!c.Esp) {
    EXPECT_EQ(FindCommand(log, cStartColdfire) >= 0, c.Programmed);
  }
  EXPECT_TRUE(sim.AllUsersGone());
}

void NoRestart(TSim &sim) {
  TSimFaults f = sim.Device->GetFaults();
  f.NoRestart = true;
  sim.Device->SetFaults(f);
}
// The flash programmer fails: the device restarts into its old firmware.
void ProgrammerFails(TSim &sim, uint32_t status) {
  TSimFaults f = sim.Device->GetFaults();
  f.ProgramStatus = status;
  sim.Device->SetFaults(f);
}
void ProgrammerReportsFailure(TSim &sim) { ProgrammerFails(sim, 0x23); }
// A status word that is no failure code: only the flash read back tells.
void ProgrammerWritesNothing(TSim &sim) { ProgrammerFails(sim, 0x55); }

void NeverReady(TSim &sim) {
  TSimFaults f = sim.Device->GetFaults();
  f.NeverReady = true;
  sim.Device->SetFaults(f);
}
// Another client holds a user slot of the device.
void OtherUser(TSim &sim) { sim.Device->SetUser(4, TSimUserKind::Ip, 0x0A000063); }

std::string BadLineImage() {
  std::string text = MakeUserImage(4).Text;
  const std::string bad = SLine(3, cUserCode + 128, std::string(32, 'x'));
  return text.insert(text.find("S7"), bad.substr(0, 10) + "XX" + bad.substr(12) + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Failure,
    testing::Values(TFailureCase{"MissingFile", false, nullptr, "no_such_file.s19", "", fwr_FileNotFound,
                                 "error", "File ", false, false},
                    TFailureCase{"BadLine", false, nullptr, "bad.s19", BadLineImage(), fwr_FormatError,
                                 "error", "No address value (000040XX) on position 5", true, false},
                    TFailureCase{"BootLoaderRecord", false, nullptr, "boot.s19",
                                 SLine(3, 0x3FF0, std::string(16, '\x11')) + "\r\n" + MakeUserImage(2).Text,
                                 fwr_NotFirmwareFile, "error", "Transmit canceled: ", true, false},
                    // The file does not suit the device: refused before the device is opened.
                    TFailureCase{"NotEspImage", true, nullptr, "passwd.bin", "root:x:0:0:root:/root:/bin/sh\n",
                                 fwr_NotEspImage, "error", "passwd.bin is not an ESP image", false, false},
                    TFailureCase{"S19ToEsp", true, nullptr, "fw.s19", MakeUserImage(2).Text, fwr_NotEspImage,
                                 "error", "fw.s19 is an S-record file", false, false},
                    TFailureCase{"BinToColdfire", false, nullptr, "LUM2_fw.bin", EspImage(3000, 2),
                                 fwr_NotFirmwareFile, "error", "LUM2_fw.bin is not an S-record file", false, false},
                    TFailureCase{"OtherUser", false, OtherUser, "fw.s19", MakeUserImage(2).Text,
                                 fwr_TooManyUser, "error",
                                 "Firmware update denied: other users connected: ", false, false},
                    // The device keeps running after programming: it is reset on a
                    // new session (and keeps running again).
                    TFailureCase{"NoRestart", false, NoRestart, "fw.s19", MakeUserImage(2).Text, fwr_NoReset,
                                 "error", "Programming failed: ", true, true},
                    // A programmer failure in application mode: verification fails it.
                    TFailureCase{"ProgrammerFailure", false, ProgrammerReportsFailure, "fw.s19",
                                 MakeUserImage(2).Text, fwr_ProgrammingFailed, "error",
                                 "Write All Blocks failed due to a bad erase sequence", false, true},
                    TFailureCase{"FlashNotWritten", false, ProgrammerWritesNothing, "fw.s19", MakeUserImage(2).Text,
                                 fwr_VerifyFailed, "error", "Verify failed at 0x00004000: device 0x", false, true},
                    TFailureCase{"NeverReady", true, NeverReady, "LUM2_fw.bin", EspImage(3000, 2),
                                 fwr_ProgrammingFailed, "error", "Programming failed: No response", true,
                                 false}),
    [](const testing::TestParamInfo<TFailureCase> &i) { return std::string(i.param.Name); });

// --no-verify: the same programmer failure goes unnoticed, and the result
// says so.
TEST_F(EndToEnd, NoVerifySaysNotVerified) {
  TSim sim(ColdfireConfig());
  ASSERT_TRUE(sim.Started());
  ProgrammerWritesNothing(sim);
  std::vector<std::string> args = DeviceArgs("update", sim);
  args.push_back("--no-verify");
  args.push_back(WriteFile("fw.s19", MakeUserImage(2).Text));
  const TRun run = RunZorfw(args);
  ASSERT_EQ(run.Exit, 0) << run.Text();
  EXPECT_TRUE(run.Has("ok", "Firmware update was successful, not verified")) << run.Text();
  EXPECT_FALSE(run.Result().value("verified", true));
  EXPECT_FALSE(run.Has("info", "Verifying flash..."));
  EXPECT_TRUE(sim.AllUsersGone());
}

}  // namespace
