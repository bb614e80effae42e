// zorfw over USB: simulated devices plugged into the in-process registry are
// listed, found by usb and usb:SERIAL, and updated end to end. The walk of
// the system's devices looks into an empty tree, so only they are attached.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/AppServices.h"
#include "cli/Devices.h"
#include "cli/UsbDevices.h"
#include "firmware/Uploader_Common.h"
#include "platform/Zor_Hid.h"
#include "platform/Zor_SimUsb.h"
#include "platform/Zor_UsbEnum.h"
#include "sim/SimDevice.h"
#include "sim/SimHidLink.h"
#include "tests/cli/ZorfwSim.h"

using namespace zor;
using namespace zor::cli;
using cli::test::RunCli;
using cli::test::TRun;
namespace fs = std::filesystem;

namespace {

const std::string cPermissionText = "permission denied: install the udev rules with";

class ZorfwUsb : public testing::Test {
 protected:
  ZorfwUsb() {
    fs::create_directories(FRoot / "sys/bus/usb/devices");
    fs::create_directories(FRoot / "dev");
    platform::SetUsbRoots((FRoot / "sys").string(), (FRoot / "dev").string());
  }
  ~ZorfwUsb() override {
    for (const std::string &sysPath : FFakes) platform::UnplugSimUsbDevice(sysPath);
    platform::SetUsbRoots("", "");
    std::error_code ec;
    fs::remove_all(FRoot, ec);
  }

  // A device the registry lists but whose node cannot be opened: `code` says why.
  void PlugFake(const std::string &serial, uint32_t code, uint16_t pid = 0x0611,
                const std::string &product = "Zor HID") {
    platform::TZor_UsbDeviceInfo info;
    info.VendorID = 0x16D0;
    info.ProductID = pid;
    info.Product = product;
    info.SerialNumber = serial;
    info.SysPath = "sim:usbfake" + std::to_string(FFakes.size());
    info.HidNodes = {"sim:hidfake" + std::to_string(FFakes.size())};
    ASSERT_TRUE(platform::PlugSimUsbDevice(info, [code](platform::TZor_SysError &error) {
      error = {code, 0};
      return std::unique_ptr<platform::TZor_HidPort>();
    }));
    FFakes.push_back(info.SysPath);
  }

  // A simulated ColdFire device that works, plugged in as USB HID.
  std::unique_ptr<TSimUsbHost> PlugDevice(uint32_t serial, TSimDeviceOptions options = {}) {
    options.Serial = serial;
    options.RestartMs = 300;
    std::string error;
    auto host = TSimUsbHost::Start(TSimUsbKind::ColdfireHid, options, -1, error);
    EXPECT_TRUE(host) << error;
    return host;
  }

  std::string WriteFile(const std::string &name, const std::string &content) {
    const fs::path path = FRoot / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  fs::path FRoot = fs::temp_directory_path() /
                   ("zorfw_usb_" + std::to_string(::getpid()) + "_" +
                    testing::UnitTest::GetInstance()->current_test_info()->name());
  std::vector<std::string> FFakes;
};

// Whether the device's HID node can be opened now: it is held by one user
// at a time, so a run that left it open shows here.
bool NodeIsFree(TSimUsbHost &host) {
  platform::TZor_SysError error;
  return platform::OpenHidPort(host.GetHidLink()->HidNode(), error) != nullptr;
}

std::vector<nlohmann::json> ListedDevices(const TRun &run) { return run.Result().value("devices", nlohmann::json::array()); }

// ---------------------------------------------------------------- list

TEST_F(ZorfwUsb, ListShowsEachDeviceAsTableAndJson) {
  auto device = PlugDevice(0x1001);
  ASSERT_TRUE(device);
  PlugFake("1A2B3C4D_Lab3", platform::ERR_ACCESS_DENIED, 0x0611, "Zor HID Bootloader");

  TRun json = RunCli({"list", "--json"});
  ASSERT_EQ(json.Exit, 0) << json.Output;
  const auto listed = ListedDevices(json);
  ASSERT_EQ(listed.size(), 2u) << json.Output;
  EXPECT_EQ(listed[0]["kind"], "HID");
  EXPECT_EQ(listed[0]["family"], "ColdFire");
  EXPECT_EQ(listed[0]["serial_number"], "00001001");
  EXPECT_EQ(listed[0]["mode"], "application");
  EXPECT_EQ(listed[0]["node"].get<std::string>().rfind("sim:hid", 0), 0u);
  EXPECT_EQ(listed[1]["serial_number"], "1A2B3C4D_Lab3");
  EXPECT_EQ(listed[1]["nick_name"], "Lab3");
  EXPECT_EQ(listed[1]["mode"], "bootloader");
  EXPECT_EQ(listed[1]["node"], "sim:hidfake0");
  // Listing does not open a device: nothing tells it is held.
  EXPECT_FALSE(listed[1].contains("probe_error"));

  TRun human = RunCli({"list"});
  ASSERT_EQ(human.Exit, 0);
  EXPECT_NE(human.Output.find("SERIAL NUMBER"), std::string::npos) << human.Output;
  EXPECT_NE(human.Output.find("00001001"), std::string::npos) << human.Output;
  EXPECT_NE(human.Output.find("bootloader"), std::string::npos) << human.Output;
}

TEST_F(ZorfwUsb, ListProbeReadsVersionsAndSaysWhyADeviceCannotBeOpened) {
  auto device = PlugDevice(0x1001);
  ASSERT_TRUE(device);
  PlugFake("00002002", platform::ERR_ACCESS_DENIED);
  PlugFake("00002003", platform::ERR_NO_PERMISSION);

  TRun run = RunCli({"list", "--json", "--probe"});
  ASSERT_EQ(run.Exit, 0) << run.Output;
  const auto listed = ListedDevices(run);
  ASSERT_EQ(listed.size(), 3u) << run.Output;
  EXPECT_EQ(listed[0]["firmware_version"], 112) << run.Output;
  EXPECT_EQ(listed[1]["probe_error"], "held by another program");
  EXPECT_EQ(listed[2]["probe_error"].get<std::string>().rfind(cPermissionText, 0), 0u) << run.Output;
  EXPECT_TRUE(NodeIsFree(*device));
}

TEST_F(ZorfwUsb, ListWithoutDevicesSucceedsAndAFailedWalkDoesNot) {
  TRun none = RunCli({"list"});
  EXPECT_EQ(none.Exit, 0);
  EXPECT_NE(none.Output.find("No USB device of the maker attached"), std::string::npos) << none.Output;

  platform::SetUsbRoots((FRoot / "missing").string(), (FRoot / "dev").string());
  TRun failed = RunCli({"list", "--json"});
  EXPECT_NE(failed.Exit, 0);
  EXPECT_FALSE(failed.Result().value("error", "").empty()) << failed.Output;
}

// ---------------------------------------------------------------- choosing a device

TEST_F(ZorfwUsb, SerialNumberNumberPartOrNickNameChooseTheDevice) {
  PlugFake("00001001_Lab3", platform::ERR_ACCESS_DENIED);
  PlugFake("00001002", platform::ERR_ACCESS_DENIED);
  PlugFake("00001003_Bench", platform::ERR_ACCESS_DENIED);
  PlugFake("00001004_Bench", platform::ERR_ACCESS_DENIED);
  std::string enumError;
  const auto devices = EnumMakerUsbDevices(-1, enumError);
  ASSERT_EQ(devices.size(), 4u) << enumError;

  std::string error;
  int failure = 0;
  auto serialOf = [&](const std::string &selector) {
    const int i = FindUsbDevice(devices, selector, error, failure);
    return i < 0 ? std::string() : devices[size_t(i)]->GetSerialNumber();
  };
  EXPECT_EQ(serialOf("00001001_Lab3"), "00001001_Lab3");
  EXPECT_EQ(serialOf("00001001"), "00001001_Lab3");
  EXPECT_EQ(serialOf("Lab3"), "00001001_Lab3");
  EXPECT_EQ(serialOf("00001002"), "00001002");

  // A nick name two devices share, a name nobody has, and no name at all
  // among several devices: refused with the candidates.
  EXPECT_EQ(serialOf("Bench"), "");
  EXPECT_EQ(failure, fwr_InvalidParameter);
  EXPECT_NE(error.find("00001003_Bench"), std::string::npos) << error;
  EXPECT_NE(error.find("00001004_Bench"), std::string::npos) << error;
  EXPECT_EQ(serialOf("lab"), "");
  EXPECT_EQ(failure, fwr_DeviceMissing);
  EXPECT_NE(error.find("00001002"), std::string::npos) << error;
  EXPECT_EQ(serialOf(""), "");
  EXPECT_EQ(failure, fwr_InvalidParameter);
  EXPECT_NE(error.find("several USB devices"), std::string::npos) << error;
}

TEST_F(ZorfwUsb, UsbAloneTakesTheOnlyDeviceAndRefusesNoneOrSeveral) {
  TRun none = RunCli({"info", "--json", "usb"});
  EXPECT_EQ(none.Exit, ExitCodeFromResult(fwr_DeviceMissing));
  EXPECT_NE(none.LastError().find("no USB device of the maker attached"), std::string::npos) << none.Output;
  EXPECT_NE(none.LastError().find("zorfw list"), std::string::npos);

  auto device = PlugDevice(0x1001);
  ASSERT_TRUE(device);
  TRun one = RunCli({"info", "--json", "usb"});
  ASSERT_EQ(one.Exit, 0) << one.Text();
  EXPECT_EQ(one.Result()["version"]["firmware_version"], 112);
  EXPECT_EQ(one.Result()["version"]["serial_number"], 0x1001);
  EXPECT_TRUE(NodeIsFree(*device));

  PlugFake("00002002", platform::ERR_ACCESS_DENIED);
  TRun several = RunCli({"info", "--json", "usb"});
  EXPECT_EQ(several.Exit, ExitCodeFromResult(fwr_InvalidParameter));
  EXPECT_NE(several.LastError().find("00001001"), std::string::npos) << several.Output;
  EXPECT_NE(several.LastError().find("00002002"), std::string::npos) << several.Output;
}

TEST_F(ZorfwUsb, ANodeThisUserMayNotOpenTellsHowToGrantAccess) {
  PlugFake("00003003", platform::ERR_NO_PERMISSION);
  TRun run = RunCli({"info", "--json", "usb:00003003"});
  EXPECT_EQ(run.Exit, ExitCodeFromResult(fwr_OpenError)) << run.Output;
  EXPECT_NE(run.Output.find(cPermissionText), std::string::npos) << run.Output;
  EXPECT_EQ(run.Output.find("No Zor device"), std::string::npos) << run.Output;
}

// ---------------------------------------------------------------- notifications

TEST_F(ZorfwUsb, PendingDeviceChangesReachTheEngineWhenMessagesRun) {
  TCliLogs logs;
  std::string error;
  ASSERT_TRUE(logs.Open(FRoot.string(), error)) << error;
  TZorFirmwareClass engine(logs.LogId);
  std::FILE *sink = std::tmpfile();
  TOutput output(sink, true, false);
  TCliServices services(engine, output, TServiceOptions{});
  ASSERT_TRUE(services.WatchDeviceChanges(error)) << error;

  PlugFake("00004004", platform::ERR_ACCESS_DENIED);
  platform::UnplugSimUsbDevice(FFakes.back());
  auto logText = [&] {
    std::ifstream in(FRoot / "zorfw.txt");
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string name = "sim:usbfake0#VID_16D0&PID_0611#00004004";
  // Nothing is delivered behind the engine's back, only when it lets
  // pending messages run.
  EXPECT_EQ(logText().find("USBAttached " + name), std::string::npos);
  services.ProcessMessages();
  const std::string log = logText();
  const size_t attached = log.find("TZorFirmwareClass.USBAttached " + name);
  const size_t detached = log.find("TZorFirmwareClass.USBDetached " + name);
  EXPECT_NE(attached, std::string::npos) << log;
  EXPECT_NE(detached, std::string::npos) << log;
  EXPECT_LT(attached, detached);
  std::fclose(sink);
}

// ---------------------------------------------------------------- update

TEST_F(ZorfwUsb, ColdfireUpdateFollowsTheDeviceThroughItsRestart) {
  TSimDeviceOptions options;
  options.Firmware = 112;
  options.UpdateFirmware = 120;
  auto device = PlugDevice(0x1001, options);
  ASSERT_TRUE(device);
  const clitest::TColdfireImage image = clitest::ColdfireImage(2048, 9);
  const std::string file = WriteFile("user.s19", image.Text);

  TRun run = RunCli({"update", "--json", "usb:00001001", file});
  ASSERT_EQ(run.Exit, 0) << run.Text();
  // The device left and came back as notifications said, not after the
  // full wait; the version read afterwards reached the device it became.
  EXPECT_TRUE(run.Has("info", "...resetted")) << run.Text();
  EXPECT_TRUE(run.Has("info", "...announced")) << run.Text();
  EXPECT_EQ(run.Result()["verified"], true);
  EXPECT_EQ(run.Result()["firmware_after"], 120);
  EXPECT_EQ(device->GetDevice().GetPersistent().Flash.compare(clitest::cUserCode, image.Data.size(), image.Data), 0);
  EXPECT_TRUE(NodeIsFree(*device));
}

TEST_F(ZorfwUsb, AFailedProgrammingIsNoSuccessAndLeavesTheDeviceClosed) {
  TSimDeviceOptions options;
  options.Faults = {"program-status=0x30"};
  // Below firmware 45 nobody asks for other users: straight to programming.
  options.Firmware = 40;
  auto device = PlugDevice(0x1001, options);
  ASSERT_TRUE(device);
  const std::string file = WriteFile("user.s19", clitest::ColdfireImage(512, 2).Text);

  TRun run = RunCli({"update", "--json", "usb", file});
  EXPECT_EQ(run.Exit, ExitCodeFromResult(fwr_ProgrammingFailed)) << run.Text();
  EXPECT_FALSE(run.Has("ok", "Firmware update was successful")) << run.Text();
  EXPECT_TRUE(NodeIsFree(*device));
}

TEST_F(ZorfwUsb, SimulatedUsbDeviceUpdatesInsideZorfw) {
  const clitest::TColdfireImage image = clitest::ColdfireImage(1024, 3);
  const std::string file = WriteFile("user.s19", image.Text);
  TRun run = RunCli({"update", "--json", "sim:coldfire-usb", file, "--sim-firmware", "60", "--sim-update-firmware",
                     "62", "--sim-restart-ms", "300"});
  ASSERT_EQ(run.Exit, 0) << run.Text();
  EXPECT_EQ(run.Result()["firmware_before"], 60);
  EXPECT_EQ(run.Result()["firmware_after"], 62);
  // Its simulator left with the run.
  EXPECT_TRUE(platform::SimUsbDevices().empty());
}

TEST_F(ZorfwUsb, BootLoaderUpdateGoesOverUsb) {
  auto device = PlugDevice(0x1001);
  ASSERT_TRUE(device);
  std::string text;
  const std::string data = clitest::Pattern(512, 4);
  for (uint32_t at = 0; at < data.size(); at += 32) text += clitest::SLine(3, at, data.substr(at, 32)) + "\r\n";
  text += clitest::SLine(7, 0, "") + "\r\n";
  const std::string file = WriteFile("boot.s19", text);

  TRun run = RunCli({"update", "--json", "--bootloader", "usb", file});
  EXPECT_FALSE(run.Has("error", "Update Bootloader")) << run.Text();
  EXPECT_TRUE(run.Has("info", "Transmitting bootloader code...")) << run.Text();
  EXPECT_EQ(device->GetDevice().GetPersistent().Flash.compare(0, data.size(), data), 0) << run.Text();
  EXPECT_TRUE(NodeIsFree(*device));
}

}  // namespace
