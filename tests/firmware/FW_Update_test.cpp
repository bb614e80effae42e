// The firmware update as a whole against a scripted USB device: refusal when
// others are connected, the timer patch of firmware 60..62, the exit steps
// (reset, close, "Disconnected from") after failures and exceptions, and the
// boot-loader outcomes.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <atomic>
#include <stdexcept>

#include "device/Zor_ColdfireCommands.h"
#include "firmware/SRecord.h"
#include "foundation/Zor_Utils.h"
#include "net/IcmpPing.h"
#include "net/Zor_NetworkDevice.h"
#include "tests/firmware/FW_TestEngine.h"
#include "tests/net/NetSimFixture.h"
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

// ---- network device against the simulator ------------------------------------------------------

class FWUpdateNet : public ::testing::Test {
 protected:
  void SetUp() override {
    FEngine.SetBaseDevice(FDevice.get());
    FEngine.FFirmwareVersion = 112;
    FEngine.FConnectedUserString = "checked";
    // Echoes answer from the simulator's state unless the test drops them.
    SetIcmpEchoFunction([this](uint32_t, uint32_t, platform::TZor_EchoResult &r) {
      r.Replied = !FUnreachable && FDrop == 0 && !FHost.Device->IsSilent();
      if (FDrop > 0) --FDrop;
      if (!r.Replied) {
        r.Error.Code = 11010;
        platform::SleepMs(20);
      }
      return r.Replied;
    });
  }
  void TearDown() override { SetIcmpEchoFunction(nullptr); }
  void SetDeviceFaults(const std::function<void(TSimFaults &)> &change) {
    TSimFaults f = FHost.Device->GetFaults();
    change(f);
    FHost.Device->SetFaults(f);
  }
  int Count(const std::string &bytes) const {
    int n = 0;
    for (const TSimCommandRecord &r : FHost.Device->CommandLog()) n += r.Bytes == bytes;
    return n;
  }

  nettest::TSimHost FHost{TSimFamily::Coldfire, "127.0.0.76"};
  std::unique_ptr<TZor_NetworkDevice> FDevice = FHost.MakeDevice(1);
  TZor_LogCapture FLog;
  TTestEngine FEngine{FLog.Id()};
  std::atomic<int> FDrop{0};
  std::atomic<bool> FUnreachable{false};
  TTempFile FImage{"net.s19", cUserLine};
};

// The device fell silent after programming but never restarted. The wait
// has ended the session, so the reset goes out on a reopened one; when the
// device cannot be reached, there is neither a reset nor a second wait.
TEST_F(FWUpdateNet, NoRestartIsResetOnAReopenedSessionOrLeftAlone) {
  SetDeviceFaults([](TSimFaults &f) { f.NoRestart = true; });
  FEngine.OnMessageHook = [this](const std::string &text) {
    if (text == "Waiting for device reset...") FDrop = 3;
    if (text == "No reset, send command") FUnreachable = true;
  };
  const uint32_t start = platform::GetTicks();
  EXPECT_EQ(FEngine.DoUpdate(FImage.Path(), false, 0xFFFFFFFF), fwr_NoReset);
  EXPECT_LT(platform::TicksSince(start), 10000u);
  EXPECT_EQ(Count(CmdReset()), 0);
  EXPECT_EQ(FEngine.Texts(mtInfo).back(), "Disconnected from IP: 127.0.0.76");
  EXPECT_TRUE(FEngine.HasMessage("Programming failed: " + ErrorText(fwr_NoReset), mtErr));
  EXPECT_FALSE(FDevice->GetPortIsOpened());

  // Reachable: the reset goes out on a new session and the device restarts.
  FUnreachable = false;
  FEngine.Messages.clear();
  FEngine.OnMessageHook = [this](const std::string &text) {
    if (text == "Waiting for device reset..." && FEngine.IndexOf("No reset, send command") < 0) FDrop = 3;
    if (text == "No reset, send command") SetDeviceFaults([](TSimFaults &f) { f.NoRestart = false; });
  };
  EXPECT_EQ(FEngine.DoUpdate(FImage.Path(), false, 0xFFFFFFFF), 0);
  EXPECT_EQ(Count(CmdReset()), 1);
  EXPECT_TRUE(FEngine.HasMessage("Programming finished", mtInfo));
  EXPECT_TRUE(nettest::WaitUntil([this] { return !FHost.Link->IsUserConnected(1); }));
}

// After a restart into the application the image is read back: a
// programmer that failed leaves the old firmware running, which must not
// count as success. Its status word names the cause where the device still
// holds it; otherwise the first differing address does.
TEST_F(FWUpdateNet, ProgrammerFailureInApplicationModeIsNoSuccess) {
  const struct {
    uint32_t Status;
    const char *Text;
  } failures[] = {{0x12, "Erase All Blocks failed as flash is protected"},
                  {0x13, "Erase All Blocks failed due to a bad erase sequence"},
                  {0x22, "Write All Blocks failed as flash is protected"},
                  {0x23, "Write All Blocks failed due to a bad erase sequence"},
                  {0x40, "Checksum write failed"}};
  for (const auto &f : failures) {
    SetDeviceFaults([&](TSimFaults &faults) { faults.ProgramStatus = f.Status; });
    FEngine.Messages.clear();
    EXPECT_EQ(FEngine.DoUpdate(FImage.Path(), false, 0xFFFFFFFF), fwr_ProgrammingFailed) << f.Text;
    EXPECT_TRUE(FEngine.HasMessage(f.Text, mtErr)) << f.Text;
    EXPECT_FALSE(FEngine.GetUpdateVerified());
  }
  // A status word the table does not know: the flash itself tells.
  SetDeviceFaults([](TSimFaults &faults) { faults.ProgramStatus = 0x55; });
  FEngine.Messages.clear();
  EXPECT_EQ(FEngine.DoUpdate(FImage.Path(), false, 0xFFFFFFFF), fwr_VerifyFailed);
  const std::string held = IntToHex(uint8_t(FHost.Device->GetPersistent().Flash[0x4000]), 2);
  EXPECT_TRUE(FEngine.HasMessage("Verify failed at 0x00004000: device 0x" + held + ", file 0x11", mtErr));
  EXPECT_EQ(Count(CmdReset()), 0);  // the device restarted already
  EXPECT_TRUE(nettest::WaitUntil([this] { return !FHost.Link->IsUserConnected(1); }));

  // Without verification the same run passes, and says it was not verified.
  FEngine.SetVerifyUpdate(false);
  EXPECT_EQ(FEngine.DoUpdate(FImage.Path(), false, 0xFFFFFFFF), 0);
  EXPECT_FALSE(FEngine.GetUpdateVerified());

  // A programmer that worked: verified.
  FEngine.SetVerifyUpdate(true);
  SetDeviceFaults([](TSimFaults &faults) { faults.ProgramStatus = 0; });
  EXPECT_EQ(FEngine.DoUpdate(FImage.Path(), false, 0xFFFFFFFF), 0);
  EXPECT_TRUE(FEngine.GetUpdateVerified());
  EXPECT_TRUE(FEngine.HasMessage("Verify finished: 0x000010 (16) Bytes as in the file", mtInfo));
}

// The device refuses every command once the session is open, the reset
// included: the update fails without waiting for a restart, and the session
// is ended with DISCONN at once rather than left to the device's clean-up.
TEST_F(FWUpdateNet, RefusedUpdateEndsTheSessionOnTheDevice) {
  FEngine.OnMessageHook = [this](const std::string &text) {
    if (text.rfind("Connected to", 0) != 0) return;
    FHost.SetFaults([](TSimLinkFaults &f) {
      f.AnswerFe = {-1, srkCmd | srkBlock};
      f.FeText = "er";
    });
  };
  EXPECT_NE(FEngine.DoUpdate(FImage.Path(), false, 0xFFFFFFFF), 0);
  EXPECT_FALSE(FEngine.HasMessage("Waiting for device reset...", mtInfo));
  EXPECT_EQ(FEngine.Texts(mtInfo).back(), "Disconnected from IP: 127.0.0.76");
  EXPECT_FALSE(FDevice->GetPortIsOpened());
  EXPECT_TRUE(nettest::WaitUntil([this] { return !FHost.Link->IsUserConnected(1); }, 1000));
}

// Reads of up to 255 bytes, each serving the records after it; records out
// of order and gaps read again.
TEST_F(FWUpdateNet, ReadBackInLongReads) {
  std::string text;
  std::string data;
  for (int i = 0; i < 40; ++i) {
    const std::string line(16, char(0x30 + i));
    text += S1(uint16_t(0x4000 + 16 * i), line);
    data += line;
  }
  text += S1(0x3000 + 0x4000, std::string(8, '\x77'));  // far away
  text += S1(0x4008, std::string(4, '\x30'));            // again, same bytes
  TTempFile image("long.s19", text);
  EXPECT_EQ(FEngine.DoUpdate(image.Path(), false, 0xFFFFFFFF), 0);
  EXPECT_TRUE(FEngine.GetUpdateVerified());
  std::vector<std::string> reads;
  for (const TSimCommandRecord &r : FHost.Device->CommandLog())
    if (r.Note.rfind("read ", 0) == 0 && r.Note.find(" at 0x0000") != std::string::npos) reads.push_back(r.Note);
  const std::vector<std::string> expected = {"read 255 bytes at 0x00004000", "read 255 bytes at 0x000040FF",
                                             "read 255 bytes at 0x000041FE", "read 8 bytes at 0x00007000",
                                             "read 255 bytes at 0x00004008"};
  EXPECT_EQ(reads, expected);
}

}  // namespace
}  // namespace zor
