// The firmware update as a whole against a scripted USB device: refusal when
// others are connected, the timer patch of firmware 60..62, the exit steps
// (reset, close, "Disconnected from") after failures and exceptions, and the
// boot-loader outcomes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "device/Zor_ColdfireCommands.h"
#include "firmware/SRecord.h"
#include "foundation/Zor_Utils.h"
#include "tests/firmware/FW_TestEngine.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

// One S1 line with a correct checksum.
std::string S1(uint16_t address, const std::string &data) {
  std::string body = Bytes({int(data.size() + 3), address >> 8, address & 0xFF}) + data;
  unsigned sum = 0;
  for (unsigned char c : body) sum += c;
  return "S1" + BytesToHex(body + char(~sum & 0xFF)) + "\n";
}

class TTempFile {
 public:
  TTempFile(const std::string &name, const std::string &text)
      : FPath((std::filesystem::temp_directory_path() / (std::to_string(::getpid()) + name)).string()) {
    std::ofstream(FPath, std::ios::binary) << text;
  }
  ~TTempFile() { std::remove(FPath.c_str()); }
  const std::string &Path() const { return FPath; }

 private:
  std::string FPath;
};

const std::string cUserLine = S1(0x4000, std::string(16, '\x11'));
const std::string cBootLine = S1(0x0400, std::string(16, '\x22'));

class FWUpdate : public ::testing::Test {
 protected:
  void SetUp() override { Select(50); }
  // As the main window does before an update. A USB device that was not
  // found again after its reset is no longer current.
  void Select(int firmwareVersion) {
    FEngine.SetBaseDevice(&FDevice);
    FEngine.FFirmwareVersion = firmwareVersion;
    FEngine.FConnectedUserString = "checked";  // the users check has its own tests
  }
  bool Sent(const std::string &cmd) const {
    for (const auto &w : FDevice.Writes())
      if (w == cmd) return true;
    return false;
  }

  platform::TZor_VirtualClock FClock;
  platform::TZor_ClockGuard FGuard{FClock};
  TZor_LogCapture FLog;
  TZor_TestDevice FDevice;  // ColdFire on USB
  TTestEngine FEngine{FLog.Id()};
};

TEST_F(FWUpdate, RefusedWithoutDeviceOrWhenOthersAreConnected) {
  FEngine.SetBaseDevice(nullptr);
  EXPECT_EQ(FEngine.DoUpdate("x.s19", false, 0xFFFFFFFF), fwr_InvalidParameter);

  TTempFile good("good.s19", cUserLine);
  FEngine.SetBaseDevice(&FDevice);
  FEngine.FFirmwareVersion = 45;
  FDevice.OnWrite = [&](const std::string &cmd) {
    if (cmd == CmdStatusRequest(1))
      FDevice.FeedTools(Bytes({0, 0, 0, 2, 0, 0, 0, 0, 10, 0, 0, 1, 0, 0, 0, 0}));
  };
  EXPECT_EQ(FEngine.DoUpdate(good.Path(), false, 0xFFFFFFFF), fwr_TooManyUser);
  EXPECT_EQ(FEngine.IndexOf("Update Firmware..."), -1);
  EXPECT_EQ(FDevice.Writes().size(), 1u);  // only the question for the users
  EXPECT_FALSE(FDevice.GetPortIsOpened());
  ASSERT_FALSE(FEngine.Texts(mtErr).empty());
  EXPECT_EQ(FEngine.Texts(mtErr).back().rfind("Firmware update denied: other users connected: \r\n", 0), 0u);
}

// The kind of file is checked against the device's family before anything
// is sent: an ESP device takes a binary image that starts with the image
// magic (unless encrypted), a ColdFire device an S-record file.
TEST_F(FWUpdate, FileThatDoesNotSuitTheDeviceIsRefusedBeforeItIsTouched) {
  TTempFile binary("fw.bin", std::string("\xE9\x03\x02\x20\x10\x00\x08\x40", 8) + std::string(100, 'x'));
  TTempFile text("passwd", "root:x:0:0:root:/root:/bin/bash\n");
  TTempFile empty("empty.bin", "");
  TTempFile srec("fw.s19", cUserLine);
  TTempFile srecNamedBin("fw2.bin", cUserLine);
  TTempFile blowNoMagic("fw_Blow.bin", "\x17\x42 encrypted bytes");
  TTempFile blowS19("fw_Blow.S19", "\x17\x42 encrypted bytes");
  struct TCase {
    const std::string &File;
    bool Esp;
    bool Bootloader;
    int Result;
    const char *Message;
  };
  const TCase cases[] = {
      {binary.Path(), false, false, fwr_NotFirmwareFile, "is not an S-record file: a ColdFire device takes a .s19 file"},
      {binary.Path(), false, true, fwr_NotBootloaderFile, "is not an S-record file"},
      {text.Path(), false, false, fwr_NotFirmwareFile, "is not an S-record file"},
      {srec.Path(), true, false, fwr_NotEspImage, "is an S-record file: an ESP device takes a .bin image"},
      {srecNamedBin.Path(), true, false, fwr_NotEspImage, "is an S-record file"},
      {blowS19.Path(), true, false, fwr_NotEspImage, "is an S-record file"},
      {text.Path(), true, false, fwr_NotEspImage,
       "is not an ESP image: its first byte is 0x72, an ESP image starts with 0xE9"},
      {empty.Path(), true, false, fwr_NotEspImage, "is not an ESP image: the file is empty"},
      {"/no/such/file.bin", true, false, fwr_FileNotFound, "Error on opening file: /no/such/file.bin"},
  };
  TZor_TestDevice esp(Zor_CDC, ptESP);
  for (const TCase &c : cases) {
    TZor_TestDevice &device = c.Esp ? esp : FDevice;
    FEngine.Messages.clear();
    FEngine.SetBaseDevice(&device);
    FEngine.FConnectedUserString = "checked";
    EXPECT_EQ(FEngine.DoUpdate(c.File, c.Bootloader, 0xFFFFFFFF), c.Result) << c.File;
    const auto errors = FEngine.Texts(mtErr);
    ASSERT_EQ(errors.size(), 1u) << c.File;
    EXPECT_NE(errors[0].find(c.Message), std::string::npos) << errors[0];
    EXPECT_EQ(device.OpenCount, 0) << c.File;
    EXPECT_TRUE(device.Writes().empty()) << c.File;
  }
  // What suits the device passes; an encrypted image is left to the device.
  FEngine.SetBaseDevice(&esp);
  EXPECT_EQ(FEngine.CheckFirmwareFile(&esp, binary.Path(), false), fwr_NoError);
  EXPECT_EQ(FEngine.CheckFirmwareFile(&esp, blowNoMagic.Path(), false), fwr_NoError);
  EXPECT_EQ(FEngine.CheckFirmwareFile(&FDevice, srec.Path(), false), fwr_NoError);
  EXPECT_EQ(FEngine.CheckFirmwareFile(&FDevice, srecNamedBin.Path(), false), fwr_NoError);
}

TEST(EspImageHeader, MagicSegmentsAndEntry) {
  const auto h = ParseEspImageHeader(std::string("\xE9\x05\x02\x20\x74\x0A\x08\x40\x00", 9));
  ASSERT_TRUE(h);
  EXPECT_EQ(h->Segments, 5);
  EXPECT_EQ(h->Entry, 0x40080A74u);
  EXPECT_FALSE(ParseEspImageHeader(std::string("\xE9\x05\x02\x20\x74\x0A\x08", 7)));
  EXPECT_FALSE(ParseEspImageHeader(std::string("\xEA\x05\x02\x20\x74\x0A\x08\x40", 8)));
}

TEST_F(FWUpdate, TimerPatchOnlyForFirmware60To62) {
  TTempFile bad("bad.s19", "S1XYZ\n");
  for (int version : {59, 60, 61, 62, 63}) {
    FDevice.ClearWrites();
    Select(version);
    FEngine.DoUpdate(bad.Path(), false, 0x1234);
    const auto writes = FDevice.Writes();
    ASSERT_GE(writes.size(), 2u);
    const bool patched = writes[0].compare(0, 6, CmdWriteMemory(0x2000F700, "")) == 0;
    EXPECT_EQ(patched, version >= 60 && version <= 62) << version;
    if (patched) {
      EXPECT_EQ(writes[0].size(), 6u + 24u);
      EXPECT_EQ(writes[1], CmdRun());
    }
  }
}

TEST_F(FWUpdate, FailureAfterOpeningResetsAndClosesTheDevice) {
  TTempFile bad("bad.s19", cUserLine + "S1XYZ\n");
  EXPECT_EQ(FEngine.DoUpdate(bad.Path(), false, 0xFFFFFFFF), fwr_FormatError);
  EXPECT_TRUE(Sent(CmdReset()));
  const int reset = FEngine.IndexOf("Reset Zor device...");
  const int disconnected = FEngine.IndexOf("Disconnected from USB: test");
  ASSERT_GE(reset, 0);
  EXPECT_GT(disconnected, reset);
  EXPECT_FALSE(FDevice.GetPortIsOpened());
  EXPECT_FALSE(Sent(CmdStartProgramming()));
  EXPECT_EQ(FEngine.GetFirmwareVersion(), -1);  // version data is stale after an update
}

TEST_F(FWUpdate, ExceptionStillRunsTheExitSteps) {
  TTempFile good("good.s19", cUserLine);
  FEngine.OnMessageHook = [](const std::string &text) {
    if (text == "Transmitting user code...") throw std::runtime_error("front end failed");
  };
  EXPECT_THROW(FEngine.DoUpdate(good.Path(), false, 0xFFFFFFFF), std::runtime_error);
  EXPECT_TRUE(Sent(CmdReset()));
  EXPECT_GE(FEngine.IndexOf("Disconnected from USB: test"), 0);
  EXPECT_FALSE(FDevice.GetPortIsOpened());
}

TEST_F(FWUpdate, BootloaderIntoBootloaderNeedsRepower) {
  TTempFile boot("boot.s19", cBootLine);
  FEngine.Usb.IsBootLoader = true;
  EXPECT_EQ(FEngine.DoUpdate(boot.Path(), true, 0xFFFFFFFF), fwr_RePowerNeeded);
  EXPECT_TRUE(FEngine.HasMessage("Programming finished", mtInfo));
  EXPECT_TRUE(Sent(CmdStartProgramming()));
  // No checksum clearing before a boot loader, no reset afterwards.
  EXPECT_FALSE(Sent(CmdWriteMemory(0x30004000, std::string(64, '\xFF'))));
  EXPECT_FALSE(Sent(CmdReset()));
  EXPECT_FALSE(FDevice.GetPortIsOpened());
}

// A USB device of the maker that comes back after its reset.
class FWUpdateReset : public FWUpdate {
 protected:
  void SetUp() override {
    FEngine.Usb.Vid = 0xC1CA;
    FEngine.Usb.Pid = 0x0003;
    FEngine.Usb.SerialNumber = "S 1";
    FDevice.SetSerialNumberValue(0x1234);
    FEngine.SetUsbEnumerator([this](int, std::string &) {
      TZor_LocalDeviceList list;
      auto again = std::make_unique<TZor_TestDevice>();
      again->SetSerialNumberValue(0x1234);
      FAgain = again.get();
      list.push_back(std::move(again));
      return list;
    });
    Select(50);
  }
  void Detach() { FEngine.UsbDetached(FName); }
  void Attach() { FEngine.UsbAttached(FName); }

  const std::string FName = R"(\\?\HID#VID_C1CA&PID_0003#S_1#{guid})";
  TZor_TestDevice *FAgain = nullptr;
};

TEST_F(FWUpdateReset, FirmwareThatLeavesTheBootLoaderRunningFails) {
  TTempFile good("good.s19", cUserLine);
  FEngine.OnMessageHook = [&](const std::string &text) {
    if (text != "Waiting for device reset...") return;
    Detach();
    FEngine.Usb.IsBootLoader = true;  // it comes back as a boot loader
    Attach();
  };
  EXPECT_EQ(FEngine.DoUpdate(good.Path(), false, 0xFFFFFFFF), fwr_DownloadFailed);
  EXPECT_TRUE(FEngine.HasMessage("Programming finished", mtInfo));
  EXPECT_TRUE(FEngine.HasMessage("Firmware download failed: Zor device is in BOOT LOADER mode", mtErr));
  EXPECT_TRUE(FEngine.GetZustandNachReset());
  EXPECT_EQ(FEngine.GetBaseDevice(), FAgain);
  EXPECT_TRUE(Sent(CmdStartProgramming()));
  EXPECT_FALSE(Sent(CmdReset()));
}

TEST_F(FWUpdateReset, DetachWhileTheResetCommandLeavesStillCounts) {
  TTempFile bad("bad.s19", "S1XYZ\n");
  FDevice.OnWrite = [&](const std::string &cmd) {
    if (cmd == CmdReset()) FDevice.SetTransportPending(1);
  };
  // The device restarts while the engine still waits for its reset command
  // to leave the queue, before the wait for the restart is armed.
  FEngine.Services.OnProcess = [&] {
    if (FDevice.GetPendingCmdsCount() == 0) return;
    Detach();
    Attach();
    FDevice.SetTransportPending(0);
  };
  EXPECT_EQ(FEngine.DoUpdate(bad.Path(), false, 0xFFFFFFFF), fwr_FormatError);
  EXPECT_TRUE(FEngine.GetZustandNachReset());
  EXPECT_EQ(FEngine.GetBaseDevice(), FAgain);
}

}  // namespace
}  // namespace zor
