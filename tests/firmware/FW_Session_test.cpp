// Session services of the update engine against a scripted device: opening,
// the write retry, memory and status reads, waiting for queued commands, the
// version loop, the connected-users check and the serial-number rules; then
// version and users of a network device against the simulated device.
#include <gtest/gtest.h>

#include "device/Zor_ColdfireCommands.h"
#include "device/Zor_ProcessReport.h"
#include "tests/firmware/FW_TestEngine.h"
#include "tests/net/NetSimFixture.h"
#include "tests/support/Zor_TestDevice.h"
#include "usb/USBUtils.h"
#include "usb/Zor_UsbDevice.h"

namespace zor {
namespace {

class FWSession : public ::testing::Test {
 protected:
  platform::TZor_VirtualClock FClock;
  platform::TZor_ClockGuard FGuard{FClock};
  TZor_LogCapture FLog;
  TTestEngine FEngine{FLog.Id()};
};

class TRefusingDevice : public TZor_TestDevice {
 public:
  using TZor_TestDevice::TZor_TestDevice;
  bool OpenPort(std::string &errorMessage) override {
    errorMessage = "port busy";
    return false;
  }
};

TEST_F(FWSession, OpenDeviceReportsMissingAndRefusedDevices) {
  EXPECT_EQ(FEngine.OpenDevice(nullptr, true, true), fwr_DeviceMissing);
  EXPECT_TRUE(FEngine.HasMessage("Zor device missing", mtErr));

  TRefusingDevice dev;
  FEngine.SetBaseDevice(&dev);
  FEngine.FUsbName = "stale";
  EXPECT_EQ(FEngine.OpenDevice(&dev, true, false), fwr_OpenError);
  EXPECT_EQ(FEngine.GetDeviceResult(), fwr_OpenError);
  EXPECT_EQ(FEngine.GetOpenErrorMsg(), "port busy");
  EXPECT_TRUE(FEngine.FUsbName.empty());
  // Without showMessages the failure goes to the error log only.
  EXPECT_FALSE(FEngine.HasMessage("port busy", mtErr));
  EXPECT_EQ(FLog.Count("port busy"), 1);
}

TEST_F(FWSession, OpenDeviceNamesTheUsbDeviceAndPreparesIt) {
  TZor_TestDevice dev;
  FEngine.SetBaseDevice(&dev);
  FEngine.Usb.Vid = 0x1A2B;
  FEngine.Usb.Pid = 0x00C1;
  FEngine.Usb.SerialNumber = "AB 12";
  FEngine.Usb.DevicePath = "/dev/hidraw3";
  FEngine.Usb.IsBootLoader = true;
  FEngine.SetLowLevelLog(true);

  ASSERT_EQ(FEngine.OpenDevice(&dev, true, true), fwr_NoError);
  EXPECT_EQ(FEngine.FUsbName, "VID_1A2B&PID_00C1#AB_12");
  EXPECT_TRUE(dev.GetContextTool());
  EXPECT_TRUE(dev.GetOpt7019());
  EXPECT_TRUE(dev.GetLowLevelLog());
  EXPECT_EQ(FEngine.GetWaitState(), waitNotSet);
  EXPECT_TRUE(FEngine.HasMessage("Connected to USB: test in BOOT LOADER mode", mtInfo));
  EXPECT_EQ(
      FLog.Count("TZorFirmwareClass.OpenDevice.UsbName=VID_1A2B&PID_00C1#AB_12, DeviceName=/dev/hidraw3"), 1);
}

// The engine's own view of a USB device object, without the test override.
class TIdentityEngine : public TZorFirmwareClass {
 public:
  TIdentityEngine() : TZorFirmwareClass(-1) {}
  using TZorFirmwareClass::UsbIdentity;
};

TEST(FWSessionUsb, IdentityAndDisplayNameComeFromTheUsbDevice) {
  TIdentityEngine engine;
  const std::string serial = "V1.0_Lab 3";
  TZor_UsbDevice boot(-1, -1, nullptr, false, Zor_HID,
                      MakeUsbDevicePath("/dev/hidraw3", 0x16D0, 0x0611, serial), 0x16D0, 0x0611, serial,
                      "Zor HID Bootloader", "Zor");
  const TZor_UsbIdentity id = engine.UsbIdentity(&boot);
  EXPECT_TRUE(id.Valid);
  EXPECT_EQ(id.Vid, 0x16D0);
  EXPECT_EQ(id.Pid, 0x0611);
  EXPECT_EQ(id.SerialNumber, serial);
  EXPECT_EQ(id.SerialNumberPart, "V1.0");
  EXPECT_EQ(id.DevicePath, boot.GetDevicePath());
  EXPECT_EQ(id.PortDisplayName, boot.GetPortDisplayName());
  EXPECT_TRUE(id.IsBootLoader);
  EXPECT_TRUE(id.UsbStateValid);
  EXPECT_TRUE(engine.IsDeviceOldBootloader(&boot));
  EXPECT_EQ(TZorFirmwareClass::DeviceDisplayName(&boot), boot.GetPortDisplayName());

  TZor_UsbDevice app(-1, -1, nullptr, false, Zor_HID, MakeUsbDevicePath("/dev/hidraw4", 0xC1CA, 0x0003, ""),
                     0xC1CA, 0x0003, "");
  EXPECT_FALSE(engine.UsbIdentity(&app).IsBootLoader);
  EXPECT_FALSE(engine.UsbIdentity(&app).UsbStateValid);
}

TEST_F(FWSession, WriteTimeoutIsRepeatedOnceExceptResetOfNetworkDevice) {
  TZor_TestDevice usb;
  usb.FailNextWrites(1, Zor_Err_RequestTimeout);
  EXPECT_EQ(FEngine.WriteDevice(&usb, CmdReset()), fwr_NoError);
  EXPECT_EQ(usb.Writes().size(), 1u);  // the repeat went through
  EXPECT_TRUE(FEngine.HasMessage("Sending command timed out, repeat it once", mtInfo));
  EXPECT_GE(FEngine.Services.Processed, 1);

  TZor_TestDevice net(Zor_Remote);
  std::string error;
  ASSERT_TRUE(net.OpenPort(error));
  net.FailNextWrites(1, Zor_Err_RequestTimeout);
  EXPECT_EQ(FEngine.WriteDevice(&net, CmdReset()), fwr_Timeout);
  EXPECT_TRUE(net.Writes().empty());
  EXPECT_EQ(FLog.Count("TZorFirmwareClass.WriteDevice.Timeout: DO NOT repeat reset cmd"), 1);
  net.QuitError();
  net.FailNextWrites(2, Zor_Err_RequestTimeout);
  // Other commands to a network device are repeated; a second timeout stays -10.
  EXPECT_EQ(FEngine.WriteDevice(&net, CmdStop()), fwr_Timeout);
  EXPECT_EQ(FLog.Count("TZorFirmwareClass.WriteDevice.Timeout: Repeat once"), 2);
}

// A network device would send a command even without a session (closed,
// never opened, or cut by the device): the engine sends none then.
TEST_F(FWSession, NoCommandGoesOutWithoutASession) {
  TZor_TestDevice net(Zor_Remote, ptESP);
  FEngine.SetBaseDevice(&net);
  EXPECT_EQ(FEngine.WriteDevice(&net, CmdReset()), fwr_NoConnection);
  std::string data;
  FEngine.ReadDevice(&net, 0x7F000, data, 4);
  EXPECT_EQ(FEngine.GetDeviceResult(), fwr_NoConnection);
  std::string error;
  ASSERT_TRUE(net.OpenPort(error));
  EXPECT_EQ(FEngine.WriteDevice(&net, CmdStop()), fwr_NoError);
  net.ClosePort();
  EXPECT_EQ(FEngine.WriteDevice(&net, CmdStop()), fwr_NoConnection);
  EXPECT_EQ(net.Writes().size(), 1u);
  EXPECT_EQ(FLog.Count("TZorFirmwareClass.WriteDevice no session -> not sent"), 3);
}

TEST_F(FWSession, WriteFailuresMapToResultCodes) {
  TZor_TestDevice dev;
  const std::pair<TZor_Result, int> cases[] = {{Zor_Err_ConnectFailed, fwr_NoConnection},
                                               {Zor_Err_RequestDenied, fwr_CommandDenied},
                                               {Zor_WriteError, fwr_WriteError}};
  for (auto [code, expected] : cases) {
    dev.QuitError();
    dev.FailNextWrites(1, code);
    EXPECT_EQ(FEngine.WriteDevice(&dev, CmdStop()), expected) << code;
    EXPECT_EQ(FEngine.GetDeviceResult(), expected);
  }
  dev.FailNextWrites(1, Zor_WriteError);
  EXPECT_EQ(FEngine.WriteDevice(&dev, CmdReset()), fwr_Timeout);
  EXPECT_EQ(FLog.Count("TZorFirmwareClass.WriteDevice failed after reset cmd"), 1);
  // An error left over from an earlier failure does not spoil a good write.
  EXPECT_EQ(FEngine.WriteDevice(&dev, CmdStop()), fwr_NoError);
}

TEST_F(FWSession, ReadDeviceDeliversTheAnswerOrReportsShortReads) {
  TZor_TestDevice dev;
  std::string answer = Bytes({0x00, 0x00, 0x00, 0x30});
  dev.OnWrite = [&](const std::string &cmd) {
    if (cmd[1] == 0x40) dev.FeedTools(answer);
  };
  std::string data;
  FEngine.ReadDevice(&dev, 0x2000F614, data, 4);
  EXPECT_EQ(data, answer);
  EXPECT_EQ(FEngine.GetDeviceResult(), fwr_NoError);
  EXPECT_EQ(dev.Writes().back(), CmdReadMemory(0x2000F614, 4));

  answer = Bytes({0x01, 0x02});
  FEngine.ReadDevice(&dev, 0x7F000, data, 4);
  EXPECT_EQ(FEngine.GetDeviceResult(), fwr_ReadError);

  // Nothing comes: gives up after a second, not before.
  dev.OnWrite = nullptr;
  const uint32_t start = platform::GetTicks();
  FEngine.ReadDevice(&dev, 0x7F000, data, 4);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(FEngine.GetDeviceResult(), fwr_ReadError);
  EXPECT_GE(platform::TicksSince(start), 1000u);
  EXPECT_LT(platform::TicksSince(start), 1500u);

  dev.FailNextWrites(1);
  FEngine.ReadDevice(&dev, 0x7F000, data, 4);
  EXPECT_EQ(FEngine.GetDeviceResult(), fwr_WriteError);
  FEngine.ReadDevice(&dev, 0x7F000, data, 0);
  EXPECT_EQ(FEngine.GetDeviceResult(), fwr_InvalidParameter);
}

// A late answer to an earlier, timed-out read is still in the tools buffer
// when the next read goes out: it is not taken for the new answer.
TEST_F(FWSession, LateAnswersAreNotTakenByTheNextRead) {
  TZor_TestDevice dev;  // ColdFire on USB
  FEngine.SetBaseDevice(&dev);
  const std::string own = Bytes({0x00, 0x00, 0x00, 0x30});
  dev.OnWrite = [&](const std::string &cmd) {
    if (cmd[1] == 0x40) dev.FeedTools(own);
  };
  dev.FeedTools(Bytes({0x12, 0x34, 0x56, 0x78}));
  std::string data;
  FEngine.ReadDevice(&dev, 0x2000F614, data, 4);
  EXPECT_EQ(data, own);

  // The same for the connected-users table: the stale one shows a second user.
  FEngine.FFirmwareVersion = 45;
  dev.FeedTools(Bytes({0, 0, 0, 2, 0, 0, 0, 0, 10, 0, 0, 1, 0, 0, 0, 0}));
  dev.OnWrite = [&](const std::string &cmd) {
    if (cmd == CmdStatusRequest(1)) dev.FeedTools(Bytes({0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  };
  EXPECT_EQ(FEngine.CheckConnectedUser(), fwr_NoError);
  EXPECT_TRUE(FEngine.Services.Questions.empty());
}

TEST_F(FWSession, ReadStatusIsBoundedWhenTheRequestNeverLeaves) {
  TZor_TestDevice dev;
  dev.OnWrite = [&](const std::string &) { dev.SetTransportPending(3); };
  std::string data;
  const uint32_t start = platform::GetTicks();
  FEngine.ReadStatus(&dev, 0x01, data, 16);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(FEngine.GetDeviceResult(), fwr_ReadError);
  EXPECT_LT(platform::TicksSince(start), 5000u);
}

TEST_F(FWSession, WaitCmdsSendLetsMessagesRunAndGivesUpOnAStuckQueue) {
  TZor_TestDevice dev;
  dev.SetTransportPending(2);
  int seen = 0;
  // The queue drains while the front end handles its messages.
  FEngine.Services.OnProcess = [&] {
    if (++seen == 5) dev.SetTransportPending(0);
  };
  EXPECT_EQ(FEngine.WaitCmdsSend(&dev), fwr_NoError);
  EXPECT_EQ(seen, 5);

  FEngine.Services.OnProcess = nullptr;
  dev.SetTransportPending(10);
  const uint32_t start = platform::GetTicks();
  EXPECT_EQ(FEngine.WaitCmdsSend(&dev), fwr_Timeout);
  EXPECT_GE(platform::TicksSince(start), 2000u);  // 200 ms per pending command
  EXPECT_EQ(FLog.Count("WaitCmdsSend: Timeout commands left=10"), 1);

  dev.SetError(Zor_WriteError, "gone");
  EXPECT_EQ(FEngine.WaitCmdsSend(&dev), fwr_WriteError);
  EXPECT_EQ(FLog.Count("WaitCmdsSend failed Device error="), 1);
}

TEST_F(FWSession, VersionLoopKeepsWaitingAfterReferenceClockReports) {
  TZor_TestDevice dev;
  FEngine.SetBaseDevice(&dev);
  dev.OnWrite = [&](const std::string &cmd) {
    if (cmd == CmdVersion()) dev.Feed(BuildTextFrame(std::string("\x7F\xF9", 2) + "RefClk lost"));
  };
  std::string err;
  const uint32_t start = platform::GetTicks();
  EXPECT_EQ(FEngine.GetDeviceFirmwareVersion_intern(&dev, err), fwr_ReferenceClockError);
  EXPECT_EQ(err, "RefClk lost");
  EXPECT_TRUE(dev.GetReferenceClockError());
  EXPECT_GE(platform::TicksSince(start), 10000u);
  // Opened for the read, so closed again.
  EXPECT_EQ(dev.OpenCount, 1);
  EXPECT_EQ(dev.CloseCount, 1);
  EXPECT_EQ(FLog.Count("GetDeviceFirmwareVersion_intern: Reference Clock Error"), 1);
}

TEST_F(FWSession, VersionLoopStopsOnTooManyUsersAndSkipsBootLoaders) {
  TZor_TestDevice dev;
  FEngine.SetBaseDevice(&dev);
  dev.OnWrite = [&](const std::string &) { dev.Feed(BuildTextFrame(std::string("\x7F\xFA", 2))); };
  std::string err;
  EXPECT_EQ(FEngine.GetDeviceFirmwareVersion_intern(&dev, err), fwr_TooManyUser);

  FEngine.Usb.IsBootLoader = true;
  dev.ClearWrites();
  EXPECT_EQ(FEngine.GetDeviceFirmwareVersion_intern(&dev, err), fwr_NoError);
  EXPECT_EQ(FEngine.GetFirmwareVersion(), 1);
  EXPECT_TRUE(dev.Writes().empty());
}

// Failures name what happened: an unreadable version report is no timeout,
// a device with every slot taken is no open error.
TEST_F(FWSession, UnreadableVersionReportsAndFullDevicesAreNamed) {
  TZor_TestDevice cf;
  FEngine.SetBaseDevice(&cf);
  cf.OnWrite = [&](const std::string &cmd) {
    if (cmd == CmdVersion()) cf.Feed(BuildTextFrame(std::string("\x70\x01", 2) + "VERSION ???"));
  };
  std::string err;
  EXPECT_EQ(FEngine.GetDeviceFirmwareVersion_intern(&cf, err), fwr_ReadError);
  EXPECT_TRUE(FEngine.HasMessage("Invalid firmware version report", mtErr));
  EXPECT_EQ(FEngine.GetFirmwareVersion(), -1);
  EXPECT_TRUE(FEngine.Texts(mtOk).empty());

  // An ESP device's processor swallows the bad report and asks again: after
  // the wait it is still the report, not a timeout.
  TZor_TestDevice esp(Zor_HID, ptESP);
  FEngine.SetBaseDevice(&esp);
  esp.Feed(BuildMessageRecord("0001 / 00004321 1 / FW: nothing", rid_Version));
  FEngine.Messages.clear();
  EXPECT_EQ(FEngine.GetDeviceFirmwareVersion_intern(&esp, err), fwr_ReadError);
  EXPECT_TRUE(FEngine.HasMessage("Invalid firmware version report", mtErr));
  EXPECT_EQ(FLog.Count("GetDeviceFirmwareVersion_intern: Timeout"), 0);

  class TFullDevice : public TZor_TestDevice {
   public:
    bool OpenPort(std::string &errorMessage) override {
      SetError(Zor_TooManyUser, "Too many users");
      errorMessage = GetErrorMessage();
      return false;
    }
  } full;
  EXPECT_EQ(FEngine.OpenDevice(&full, false, false), fwr_TooManyUser);
  EXPECT_EQ(ErrorText(fwr_TooManyUser), "Too many user");
}

// The ESP feature word is the device's answer to its item-5 read; without
// that answer it is unknown, not 0.
TEST_F(FWSession, EspFeatureWordWithoutItsAnswerIsUnknown) {
  TZor_TestDevice esp(Zor_HID, ptESP);
  FEngine.SetBaseDevice(&esp);
  const std::string version = BuildMessageRecord(
      "0001 / 00004321 1 / FW: LUM2-1.14 2024-01-05 / HW: 230101.01 / IP: 0100007F", rid_Version);
  esp.Feed(version);
  std::string err;
  ASSERT_EQ(FEngine.GetDeviceFirmwareVersion_intern(&esp, err), fwr_NoError);
  EXPECT_EQ(FEngine.GetFirmwareVersion(), 114);
  EXPECT_EQ(FEngine.GetVersionFeature(), 0xFFFF);
  EXPECT_EQ(FEngine.GetVersionFeatureString(), "unknown");

  esp.SetHardFeature32(0x00012345);
  esp.Feed(version);
  ASSERT_EQ(FEngine.GetDeviceFirmwareVersion_intern(&esp, err), fwr_NoError);
  EXPECT_EQ(FEngine.GetVersionFeature(), 0x2345);
  EXPECT_EQ(FEngine.GetVersionFeatureString(), "0001");
}

TEST_F(FWSession, ConnectedUsersAreNamedCountedAndConfirmed) {
  TZor_TestDevice dev;  // ColdFire on USB
  FEngine.SetBaseDevice(&dev);
  FEngine.FFirmwareVersion = 45;
  dev.OnWrite = [&](const std::string &cmd) {
    if (cmd == CmdStatusRequest(1)) dev.FeedTools(Bytes({0, 0, 0, 2, 0, 0, 0, 0, 10, 0, 0, 1, 0, 0, 0, 0}));
  };
  EXPECT_EQ(FEngine.CheckConnectedUser(), fwr_TooManyUser);
  ASSERT_EQ(FEngine.Services.Questions.size(), 1u);
  EXPECT_EQ(FEngine.Services.Questions[0],
            "Other users connected: \r\nConnected users: \r\n          1:  usb (me)\r\n          2:  ---"
            "\r\n          3:  10.0.0.1\r\n          4:  ---\r\nDo you want to continue?");
  EXPECT_TRUE(FEngine.HasMessage("Connected users:   1: usb (me)  2: ---  3: 10.0.0.1  4: ---", mtInfo));
  // Opened for the check only, and in tools mode: in stream mode a HID
  // device's answer would share the stream with its reports.
  EXPECT_EQ(dev.OpenCount, 1);
  EXPECT_FALSE(dev.GetPortIsOpened());
  EXPECT_TRUE(dev.GetContextTool());

  FEngine.Services.Answer = true;
  EXPECT_EQ(FEngine.CheckConnectedUser(), fwr_NoError);

  // This tool alone needs no question.
  dev.OnWrite = [&](const std::string &) {
    dev.FeedTools(Bytes({0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  };
  FEngine.Services.Questions.clear();
  EXPECT_EQ(FEngine.CheckConnectedUser(), fwr_NoError);
  EXPECT_TRUE(FEngine.Services.Questions.empty());
}

TEST_F(FWSession, ConnectedUsersCheckDependsOnDeviceAndFirmware) {
  TZor_TestDevice cf;
  FEngine.SetBaseDevice(&cf);
  FEngine.FFirmwareVersion = 44;
  EXPECT_EQ(FEngine.CheckConnectedUser(), fwr_NoError);
  EXPECT_TRUE(cf.Writes().empty());

  TZor_TestDevice esp(Zor_Remote, ptESP);
  FEngine.SetBaseDevice(&esp);
  FEngine.FFirmwareVersion = 100;
  EXPECT_EQ(FEngine.CheckConnectedUser(), fwr_NoError);
  EXPECT_TRUE(esp.Writes().empty());

  // From 1.01 on the ESP is asked; a short answer from it is no reason to stop.
  FEngine.FFirmwareVersion = 101;
  EXPECT_EQ(FEngine.CheckConnectedUser(), fwr_NoError);
  EXPECT_EQ(esp.Writes().size(), 1u);
  EXPECT_TRUE(
      FEngine.HasMessage("Error reading connected user: Read error, requested=16, received=0", mtErr));
}

TEST_F(FWSession, SerialNumberAndAccessRules) {
  TZor_TestDevice cf;
  TZor_TestDevice esp(Zor_HID, ptESP);
  FEngine.SetBaseDevice(&cf);
  EXPECT_TRUE(FEngine.IsUniqueSerialNumber(0));
  EXPECT_FALSE(FEngine.IsUniqueSerialNumber(0xFFFFFFFF));
  EXPECT_FALSE(FEngine.CheckLogin());
  FEngine.SetBaseDevice(&esp);
  EXPECT_FALSE(FEngine.IsUniqueSerialNumber(0));
  EXPECT_TRUE(FEngine.IsUniqueSerialNumber(0xFFFFFFFF));

  TZor_TestDevice netCf(Zor_Remote, ptColdfire);
  FEngine.SetBaseDevice(&netCf);
  EXPECT_TRUE(FEngine.CheckLogin());
  FEngine.FFirmwareVersion = 18;
  EXPECT_EQ(FEngine.CheckRemoteAccess(), fwr_NetworkNotSupported);
  FEngine.FFirmwareVersion = 19;
  EXPECT_EQ(FEngine.CheckRemoteAccess(), fwr_NoError);
  FEngine.SetBaseDevice(nullptr);
  EXPECT_EQ(FEngine.CheckRemoteAccess(), fwr_InvalidParameter);
}

// ---- over the network, against the simulated device -------------------------------------

class FWSessionNet : public ::testing::Test {
 protected:
  TZor_LogCapture FLog;
  TTestEngine FEngine{FLog.Id()};
};

TEST_F(FWSessionNet, ReadsVersionAndConnectedUsersOfANetworkDevice) {
  nettest::TSimHost host(TSimFamily::Coldfire, "127.0.0.61", 112);
  std::unique_ptr<TZor_NetworkDevice> owned = host.MakeDevice();
  TZor_NetworkDevice *dev = owned.get();
  FEngine.SetOwnedDevice(std::move(owned));
  EXPECT_EQ(FEngine.GetVersionSerialNumber(), 0xFFFFFFFFu);

  std::string err;
  ASSERT_EQ(FEngine.GetDeviceFirmwareVersion_intern(dev, err), fwr_NoError) << err;
  EXPECT_EQ(FEngine.GetFirmwareVersion(), 112);
  EXPECT_EQ(FEngine.GetVersionSerialNumber(), 0x4321u);
  EXPECT_FALSE(FEngine.Texts(mtOk).empty());
  EXPECT_FALSE(dev->GetPortIsOpened());
  // Opening a network device shows a splash and always takes it away again.
  ASSERT_GE(FEngine.Services.Splash.size(), 2u);
  EXPECT_EQ(FEngine.Services.Splash[0],
            "show:Connecting to " + dev->GetDeviceIPAndPort() + ". Please wait...");
  EXPECT_EQ(FEngine.Services.Splash[1], "hide");

  // This tool is the only user: no question.
  EXPECT_EQ(FEngine.CheckConnectedUser(), fwr_NoError);
  EXPECT_NE(FEngine.GetConnectedUserString().find("(me)"), std::string::npos)
      << FEngine.GetConnectedUserString();
  EXPECT_TRUE(FEngine.Services.Questions.empty());
  EXPECT_FALSE(dev->GetPortIsOpened());
}

TEST_F(FWSessionNet, FailedOpenOfANetworkDeviceHidesTheSplash) {
  auto dev = std::make_unique<TZor_NetworkDevice>(-1, 0, nullptr, true, "127.0.0.62");
  dev->SetDeviceManagementPort(9);  // nobody listens there
  TZor_NetworkDevice *raw = dev.get();
  FEngine.SetOwnedDevice(std::move(dev));
  EXPECT_EQ(FEngine.OpenDevice(raw, false, true), fwr_OpenError);
  ASSERT_EQ(FEngine.Services.Splash.size(), 2u);
  EXPECT_EQ(FEngine.Services.Splash[1], "hide");
  EXPECT_FALSE(FEngine.Texts(mtErr).empty());
}

}  // namespace
}  // namespace zor
