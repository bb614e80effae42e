// zorfw end to end over virtual COM ports: simulated ESP and ColdFire devices
// plugged into the in-process USB registry are updated, switched back to the
// factory partition, cancelled and failed, and each case checks the exit
// status, the commands the device received, what it holds afterwards and
// that nothing of the tool is left holding it (no I/O thread, its port free).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "cli/AppServices.h"
#include "cli/Commands.h"
#include "cli/Devices.h"
#include "firmware/Uploader_Common.h"
#include "platform/Zor_Hid.h"
#include "platform/Zor_SimUsb.h"
#include "platform/Zor_Sys.h"
#include "platform/Zor_UsbEnum.h"
#include "sim/SimCdcLink.h"
#include "sim/SimDevice.h"
#include "sim/SimEsp.h"
#include "tests/cli/ZorfwSim.h"
#include "usb/Zor_UsbThread.h"

using namespace zor;
using namespace zor::cli;
using cli::test::RunCli;
using cli::test::TRun;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t cSerial = 0x00C0FFEE;
const std::string cSelector = "usb:00C0FFEE";
constexpr uint32_t cRestartMs = 300;
// The longest wait for an ESP device's return is a minute; a run that
// follows the notifications ends long before.
constexpr uint32_t cFollowedMs = 30000;

const std::string cStart("\x85\x30", 2);
const std::string cRun("\x85\x32", 2);
const std::string cReset("\x85\x50", 2);
const std::string cFactory("\x85\x31", 2);
const std::string cPiece("\x85\x26", 2);
const std::string cDecrypt("\x85\x27", 2);

std::string BE32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

int FindCommand(const std::vector<TSimCommandRecord> &log, const std::string &bytes, size_t from = 0) {
  for (size_t i = from; i < log.size(); ++i)
    if (log[i].Bytes == bytes) return static_cast<int>(i);
  return -1;
}

bool HasPrefix(const std::vector<TSimCommandRecord> &log, const std::string &prefix) {
  for (const TSimCommandRecord &r : log)
    if (r.Bytes.rfind(prefix, 0) == 0) return true;
  return false;
}

std::string Notes(TSimDevice &device) {
  std::string out;
  for (const TSimCommandRecord &r : device.CommandLog()) out += std::to_string(r.Ticks) + " " + r.Note + "\n";
  return out;
}

class ZorfwCdc : public testing::Test {
 protected:
  ZorfwCdc() {
    cli::ClearInterrupt();
    // Only the simulated devices are attached: the system's walk sees an empty tree.
    fs::create_directories(FRoot / "sys/bus/usb/devices");
    fs::create_directories(FRoot / "dev");
    platform::SetUsbRoots((FRoot / "sys").string(), (FRoot / "dev").string());
  }
  ~ZorfwCdc() override {
    cli::ClearInterrupt();
    FHost.reset();
    platform::SetUsbRoots("", "");
    std::error_code ec;
    fs::remove_all(FRoot, ec);
  }

  TSimDevice &Plug(TSimUsbKind kind, TSimDeviceOptions options = {}) {
    options.Serial = cSerial;
    options.RestartMs = cRestartMs;
    if (options.UpdateFirmware < 0 && kind == TSimUsbKind::ColdfireCdc) options.UpdateFirmware = 120;
    std::string error;
    FHost = TSimUsbHost::Start(kind, options, -1, error);
    if (!FHost) throw std::runtime_error("simulated device not plugged in: " + error);
    FHost->GetDevice().SetCommandLogLimit(0);
    return FHost->GetDevice();
  }

  std::string WriteFile(const std::string &name, const std::string &content) {
    const fs::path path = FRoot / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  // Nothing of the tool holds the device any more: its I/O threads are gone
  // and the port opens for somebody else (the device may still be restarting).
  // A device left in its boot loader is a HID device: its node must be free.
  void ExpectReleased() {
    const uint32_t start = platform::GetTicks();
    while (!UsbThreadList().IsEmpty() && platform::TicksSince(start) < 2000) platform::SleepMs(10);
    EXPECT_TRUE(UsbThreadList().IsEmpty());
    platform::TZor_SysError error;
    if (FHost->GetDevice().IsBootLoader()) {
      for (const platform::TZor_UsbDeviceInfo &info : platform::SimUsbDevices())
        for (const std::string &node : info.HidNodes)
          EXPECT_NE(platform::OpenHidPort(node, error), nullptr) << node << " still held: " << error.Code;
      return;
    }
    std::unique_ptr<platform::TZor_SerialPort> port;
    while (!(port = FHost->GetCdcLink()->OpenPort(error)) && platform::TicksSince(start) < 5000)
      platform::SleepMs(20);
    EXPECT_NE(port, nullptr) << "port still held, or the device never came back: " << error.Code;
  }

  TRun Run(const std::string &command, std::vector<std::string> more = {}) {
    std::vector<std::string> args{command, "--json", cSelector};
    args.insert(args.end(), more.begin(), more.end());
    return RunCli(args);
  }

  fs::path FRoot = fs::temp_directory_path() /
                   ("zorfw_cdc_" + std::to_string(::getpid()) + "_" +
                    [] {
                      std::string n = testing::UnitTest::GetInstance()->current_test_info()->name();
                      for (char &c : n)
                        if (c == '/') c = '_';
                      return n;
                    }());
  std::unique_ptr<TSimUsbHost> FHost;
};

// ---------------------------------------------------------------- ESP

class EspOverUsb : public ZorfwCdc, public testing::WithParamInterface<bool> {};

// The image goes out as 128-byte pieces with their offsets; an encrypted
// (_Blow) one is decrypted by the device on request before it is started.
// The partition holds the plain image either way, and the device is found
// again after its restart by the notifications, not after the full wait.
TEST_P(EspOverUsb, UpdateStreamsPiecesAndFollowsTheRestart) {
  const bool blow = GetParam();
  TSimDevice &device = Plug(TSimUsbKind::EspCdc);
  const std::string plain = clitest::EspImage(1000, 3);
  std::string file = plain;
  if (blow) TSimEsp::Crypt(file);
  const uint32_t begin = platform::GetTicks();
  const TRun run = Run("update", {WriteFile(blow ? "LUM2_fw_Blow.bin" : "LUM2_fw.bin", file)});
  ASSERT_EQ(run.Exit, 0) << run.Text() << Notes(device);
  EXPECT_LT(platform::TicksSince(begin), cFollowedMs);
  EXPECT_TRUE(run.Has("info", "...resetted")) << run.Text();
  EXPECT_TRUE(run.Has("info", "...announced")) << run.Text();
  EXPECT_TRUE(run.Has("info", "Transmitting user code finished: 0x0003E8 ("));
  EXPECT_TRUE(run.Has("ok", "Firmware update was successful"));

  const TSimPersistent state = device.GetPersistent();
  EXPECT_TRUE(state.UpdatePartitionActive);
  EXPECT_TRUE(state.UpdateImageValid);
  EXPECT_TRUE(state.UpdateImage == plain);

  const std::vector<TSimCommandRecord> log = device.CommandLog();
  uint32_t offset = 0;
  int last = -1;
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].Bytes.rfind(cPiece, 0) != 0) continue;
    const std::string &b = log[i].Bytes;
    ASSERT_GE(b.size(), 6u);
    EXPECT_EQ(b.substr(2, 4), BE32(offset));
    EXPECT_EQ(b.size() - 6, std::min<size_t>(128, file.size() - offset));
    offset += static_cast<uint32_t>(b.size() - 6);
    last = static_cast<int>(i);
  }
  EXPECT_EQ(offset, file.size());
  const int decrypt = FindCommand(log, cDecrypt + BE32(1000));
  const int start = FindCommand(log, cStart + BE32(1000));
  ASSERT_GT(start, last);
  if (blow)
    EXPECT_TRUE(decrypt > last && decrypt < start) << Notes(device);
  else
    EXPECT_LT(decrypt, 0);
  EXPECT_GT(FindCommand(log, cRun, static_cast<size_t>(start)), start);
  ExpectReleased();
}

INSTANTIATE_TEST_SUITE_P(Plain, EspOverUsb, testing::Values(false));
INSTANTIATE_TEST_SUITE_P(Blow, EspOverUsb, testing::Values(true));

TEST_F(ZorfwCdc, EspFactorySwitchOverUsb) {
  TSimDevice &device = Plug(TSimUsbKind::EspCdc);
  TSimPersistent state = device.GetPersistent();
  state.UpdateImage = clitest::Pattern(1000, 1);
  state.UpdateImageValid = true;
  state.UpdatePartitionActive = true;
  device.SetPersistent(state);
  const TRun run = Run("factory");
  ASSERT_EQ(run.Exit, 0) << run.Text() << Notes(device);
  EXPECT_TRUE(run.Has("info", "Switched back to factory partition"));
  EXPECT_FALSE(device.GetPersistent().UpdatePartitionActive);
  EXPECT_GE(FindCommand(device.CommandLog(), cFactory), 0);
  ExpectReleased();
}

// ---------------------------------------------------------------- ColdFire

TEST_F(ZorfwCdc, ColdfireUserCodeUpdateIsVerifiedOnTheRestartedDevice) {
  TSimDeviceOptions options;
  options.Firmware = 112;
  TSimDevice &device = Plug(TSimUsbKind::ColdfireCdc, options);
  const clitest::TColdfireImage image = clitest::ColdfireImage(2048, 9);
  const TRun run = Run("update", {WriteFile("user.s19", image.Text)});
  ASSERT_EQ(run.Exit, 0) << run.Text() << Notes(device);
  EXPECT_TRUE(run.Has("info", "...resetted")) << run.Text();
  EXPECT_TRUE(run.Has("info", "...announced")) << run.Text();
  EXPECT_EQ(run.Result()["verified"], true);
  EXPECT_EQ(run.Result()["firmware_after"], 120);
  EXPECT_EQ(device.GetPersistent().Flash.compare(clitest::cUserCode, image.Data.size(), image.Data), 0);
  ExpectReleased();
}

// A user code without a valid entry leaves the device in its boot loader,
// which comes back as a HID device under the same serial number: the update
// fails with -7. From the boot loader a valid image brings the application
// back on its virtual COM port; a boot loader sent to the boot loader asks
// for a re-power (-18).
TEST_F(ZorfwCdc, BootLoaderPathsAcrossTheDevicesIdentities) {
  TSimDevice &device = Plug(TSimUsbKind::ColdfireCdc);
  std::string data = clitest::Pattern(1024, 6);
  data.replace(4, 4, std::string(4, '\xFF'));
  std::string text;
  for (uint32_t at = 0; at < data.size(); at += 32)
    text += clitest::SLine(3, clitest::cUserCode + at, data.substr(at, 32)) + "\r\n";
  text += clitest::SLine(7, clitest::cUserCode, "") + "\r\n";
  TRun run = Run("update", {WriteFile("noentry.s19", text)});
  EXPECT_EQ(run.Exit, 10 - fwr_DownloadFailed) << run.Text() << Notes(device);
  EXPECT_TRUE(run.Has("error", "Firmware download failed: Zor device is in BOOT LOADER mode")) << run.Text();
  EXPECT_TRUE(device.IsBootLoader());
  ExpectReleased();

  const clitest::TColdfireImage image = clitest::ColdfireImage(1024, 7);
  run = Run("update", {WriteFile("user.s19", image.Text)});
  EXPECT_EQ(run.Exit, 0) << run.Text() << Notes(device);
  EXPECT_TRUE(run.Has("info", "Zor application ready")) << run.Text();
  EXPECT_FALSE(device.IsBootLoader());
  EXPECT_EQ(device.GetPersistent().Flash.compare(clitest::cUserCode, image.Data.size(), image.Data), 0);
  const TRun list = RunCli({"list", "--json"});
  ASSERT_EQ(list.Result().value("devices", nlohmann::json::array()).size(), 1u) << list.Output;
  EXPECT_EQ(list.Result()["devices"][0]["kind"], "virtual COM port") << list.Output;
  ExpectReleased();
  FHost.reset();

  TSimDeviceOptions inBootLoader;
  inBootLoader.BootLoader = true;
  TSimDevice &boot = Plug(TSimUsbKind::ColdfireCdc, inBootLoader);
  std::string loader;
  const std::string code = clitest::Pattern(512, 4);
  for (uint32_t at = 0; at < code.size(); at += 32) loader += clitest::SLine(3, at, code.substr(at, 32)) + "\r\n";
  loader += clitest::SLine(7, 0, "") + "\r\n";
  run = Run("update", {"--bootloader", WriteFile("boot.s19", loader)});
  EXPECT_EQ(run.Exit, 10 - fwr_RePowerNeeded) << run.Text() << Notes(boot);
  EXPECT_TRUE(run.Has("info", "Programming finished")) << run.Text();
  EXPECT_NE(run.Output.find("Please first repower device"), std::string::npos) << run.Text();
  EXPECT_EQ(boot.GetPersistent().Flash.compare(0, code.size(), code), 0);
  ExpectReleased();
}

// info, config and list on both kinds, and the simulated devices zorfw starts itself.
TEST_F(ZorfwCdc, InfoConfigAndListOnVirtualComPorts) {
  for (const TSimUsbKind kind : {TSimUsbKind::EspCdc, TSimUsbKind::ColdfireCdc}) {
    const bool esp = kind == TSimUsbKind::EspCdc;
    SCOPED_TRACE(esp ? "ESP" : "ColdFire");
    TSimDevice &device = Plug(kind);
    const TRun list = RunCli({"list", "--json"});
    ASSERT_EQ(list.Exit, 0) << list.Output;
    const auto listed = list.Result().value("devices", nlohmann::json::array());
    ASSERT_EQ(listed.size(), 1u) << list.Output;
    EXPECT_EQ(listed[0]["kind"], "virtual COM port");
    EXPECT_EQ(listed[0]["family"], esp ? "ESP" : "ColdFire");
    EXPECT_EQ(listed[0]["serial_number"], "00C0FFEE");

    const TRun info = Run("info");
    ASSERT_EQ(info.Exit, 0) << info.Text() << Notes(device);
    EXPECT_EQ(info.Result()["version"]["firmware_version"], esp ? 114 : 112) << info.Text();
    const TRun config = Run("config");
    EXPECT_EQ(config.Exit, 0) << config.Text() << Notes(device);
    ExpectReleased();
    FHost.reset();
  }
  for (const char *sim : {"sim:esp-usb", "sim:coldfire-cdc"}) {
    const TRun run = RunCli({"info", "--json", sim, "--sim-serial", "0x1234"});
    EXPECT_EQ(run.Exit, 0) << sim << "\n" << run.Text();
    EXPECT_TRUE(platform::SimUsbDevices().empty()) << sim;
  }
}

// ------------------------------------------------------------------ cancel

struct TCancelCase {
  const char *Name;
  TSimUsbKind Kind;
  std::string Prefix;  // the transfer is under way once a command starts so
};

void PrintTo(const TCancelCase &c, std::ostream *os) { *os << c.Name; }

class TransferOverUsb : public ZorfwCdc, public testing::WithParamInterface<TCancelCase> {
 protected:
  // Runs `zorfw update` with an image for the case's device on `zorfw` and
  // waits until the transfer is under way; false when it never gets there.
  bool StartTransfer(TSimDevice &device, TRun &run, std::thread &zorfw) {
    const TCancelCase &c = GetParam();
    const std::string file = c.Kind == TSimUsbKind::EspCdc
                                 ? WriteFile("LUM2_fw.bin", clitest::EspImage(400000, 9))
                                 : WriteFile("user.s19", clitest::ColdfireImage(0x4000, 9).Text);
    zorfw = std::thread([this, &run, file] { run = Run("update", {file}); });
    const uint32_t begin = platform::GetTicks();
    while (!HasPrefix(device.CommandLog(), c.Prefix)) {
      if (platform::TicksSince(begin) >= 60000) return false;
      platform::SleepMs(2);
    }
    return true;
  }
};

class CancelOverUsb : public TransferOverUsb {};

// Ctrl-C during the transfer: nothing is started or switched, the device is
// reset and released, and zorfw ends with status 1.
TEST_P(CancelOverUsb, StopsResetsAndReleases) {
  const TCancelCase &c = GetParam();
  const bool esp = c.Kind == TSimUsbKind::EspCdc;
  TSimDevice &device = Plug(c.Kind);
  const std::string before = esp ? "" : device.GetPersistent().Flash.substr(clitest::cUserCode, 0x4000);
  TRun run;
  std::thread zorfw;
  const bool reached = StartTransfer(device, run, zorfw);
  cli::RequestInterrupt();
  zorfw.join();
  ASSERT_TRUE(reached) << run.Text();
  EXPECT_EQ(run.Exit, 1) << run.Text();
  EXPECT_TRUE(run.Has("info", "Canceled by user")) << run.Text();
  const std::vector<TSimCommandRecord> log = device.CommandLog();
  for (const TSimCommandRecord &r : log) {
    EXPECT_NE(r.Bytes.substr(0, 2), cStart) << r.Note;
    EXPECT_NE(r.Bytes, cRun) << r.Note;
  }
  EXPECT_GE(FindCommand(log, cReset), 0) << Notes(device);
  if (esp)
    EXPECT_FALSE(device.GetPersistent().UpdatePartitionActive);
  else
    EXPECT_EQ(device.GetPersistent().Flash.substr(clitest::cUserCode, 0x4000), before);
  ExpectReleased();
}

INSTANTIATE_TEST_SUITE_P(Points, CancelOverUsb,
                         testing::Values(TCancelCase{"Esp", TSimUsbKind::EspCdc, cPiece},
                                         TCancelCase{"Coldfire", TSimUsbKind::ColdfireCdc,
                                                     std::string("\x85\x20\x30", 3)}),
                         [](const testing::TestParamInfo<TCancelCase> &i) { return std::string(i.param.Name); });

// ------------------------------------------------------------------ unplug

class UnplugOverUsb : public TransferOverUsb {};

// The cable pulled during the transfer: the update fails at once with the
// reason, nothing is taken for a success, no reset is waited for on a device
// that is gone, and nothing of the tool is left holding it.
TEST_P(UnplugOverUsb, FailsFastWithTheReason) {
  TSimDevice &device = Plug(GetParam().Kind);
  TRun run;
  std::thread zorfw;
  const bool reached = StartTransfer(device, run, zorfw);
  const uint32_t pulled = platform::GetTicks();
  FHost->GetCdcLink()->Unplug();
  zorfw.join();
  const uint32_t took = platform::TicksSince(pulled);
  ASSERT_TRUE(reached) << run.Text();
  EXPECT_LT(took, 5000u) << run.Text();
  EXPECT_NE(run.Exit, 0) << run.Text();
  EXPECT_FALSE(run.Has("ok", "Firmware update was successful")) << run.Text();
  const std::string gone = platform::SystemErrorText({platform::ERR_DEVICE_NOT_CONNECTED, 0});
  EXPECT_TRUE(run.Has("error", "Transmit canceled: ")) << run.Text();
  EXPECT_NE(run.Text().find(gone), std::string::npos) << gone << "\n" << run.Text();
  // Nothing is reset or waited for on a device that is gone.
  EXPECT_FALSE(run.Has("info", "Reset Zor device...")) << run.Text();
  for (const TSimCommandRecord &r : device.CommandLog()) EXPECT_NE(r.Bytes.substr(0, 2), cStart) << r.Note;
  const uint32_t start = platform::GetTicks();
  while (!UsbThreadList().IsEmpty() && platform::TicksSince(start) < 2000) platform::SleepMs(10);
  EXPECT_TRUE(UsbThreadList().IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Points, UnplugOverUsb,
    testing::Values(TCancelCase{"Esp", TSimUsbKind::EspCdc, cPiece},
                    TCancelCase{"Coldfire", TSimUsbKind::ColdfireCdc, std::string("\x85\x20\x30", 3)}),
    [](const testing::TestParamInfo<TCancelCase> &i) { return std::string(i.param.Name); });

// ---------------------------------------------------------------- failures

// A failure ends with its own status and message, is never reported as a
// success, and leaves the device released.
struct TFailureCase {
  const char *Name;
  TSimUsbKind Kind;
  std::vector<std::string> Faults;
  std::function<void(TSimDevice &)> Setup;
  bool EspFile;
  int Result;
  const char *Message;  // start of an error message
  bool Reset;           // the device got a reset command
};

void PrintTo(const TFailureCase &c, std::ostream *os) { *os << c.Name; }

class FailureOverUsb : public ZorfwCdc, public testing::WithParamInterface<TFailureCase> {};

TEST_P(FailureOverUsb, EndsWithItsStatusAndReleasesTheDevice) {
  const TFailureCase &c = GetParam();
  TSimDeviceOptions options;
  options.Faults = c.Faults;
  TSimDevice &device = Plug(c.Kind, options);
  if (c.Setup) c.Setup(device);
  const std::string file = c.EspFile ? WriteFile("LUM2_fw.bin", clitest::EspImage(3000, 2))
                                     : WriteFile("user.s19", clitest::ColdfireImage(512, 2).Text);
  const TRun run = Run("update", {file, "--yes"});
  EXPECT_EQ(run.Exit, 10 - c.Result) << run.Text() << Notes(device);
  EXPECT_EQ(run.Result().value("result", 0), c.Result);
  EXPECT_TRUE(run.Has("error", c.Message)) << run.Text();
  EXPECT_FALSE(run.Has("ok", "Firmware update was successful")) << run.Text();
  EXPECT_EQ(FindCommand(device.CommandLog(), cReset) >= 0, c.Reset) << Notes(device);
  EXPECT_FALSE(device.GetPersistent().UpdatePartitionActive);
  ExpectReleased();
}

void OtherUser(TSimDevice &device) { device.SetUser(4, TSimUserKind::Ip, 0x0A000063); }

INSTANTIATE_TEST_SUITE_P(
    Cases, FailureOverUsb,
    testing::Values(
        TFailureCase{"EspNeverReady", TSimUsbKind::EspCdc, {"never-ready"}, nullptr, true, fwr_ProgrammingFailed,
                     "Programming failed: No response", true},
        TFailureCase{"S19ToEsp", TSimUsbKind::EspCdc, {}, nullptr, false, fwr_NotEspImage,
                     "user.s19 is an S-record file", false},
        TFailureCase{"BinToColdfire", TSimUsbKind::ColdfireCdc, {}, nullptr, true, fwr_NotFirmwareFile,
                     "LUM2_fw.bin is not an S-record file", false},
        // The programmer fails: the device restarts into its old firmware.
        TFailureCase{"ProgrammerFailure", TSimUsbKind::ColdfireCdc, {"program-status=0x23"}, nullptr, false,
                     fwr_ProgrammingFailed, "Write All Blocks failed due to a bad erase sequence", false},
        // A status word that is no failure code: only the read back tells.
        TFailureCase{"FlashNotWritten", TSimUsbKind::ColdfireCdc, {"program-status=0x55"}, nullptr, false,
                     fwr_VerifyFailed, "Verify failed at 0x00004000: device 0x", false},
        // Another program holds a user slot; --yes would continue, but the
        // device does not restart after programming.
        TFailureCase{"NoRestart", TSimUsbKind::ColdfireCdc, {"no-restart"}, OtherUser, false, fwr_NoReset,
                     "Programming failed: ", true}),
    [](const testing::TestParamInfo<TFailureCase> &i) { return std::string(i.param.Name); });

}  // namespace
