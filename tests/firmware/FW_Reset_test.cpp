// Reset and reconnection in virtual time: the USB wait driven by injected
// device-change notifications (with and without a COM port, notifications
// that come before the wait is armed, foreign devices), the search of the
// device by serial number, and the ping loops of a network device.
#include <gtest/gtest.h>

#include <map>

#include "device/Zor_ColdfireCommands.h"
#include "net/IcmpPing.h"
#include "net/NetUtils.h"
#include "net/Zor_NetworkDevice.h"
#include "tests/firmware/FW_TestEngine.h"
#include "tests/net/NetSimFixture.h"
#include "tests/support/Zor_TestDevice.h"
#include "usb/USBUtils.h"
#include "usb/Zor_UsbDevice.h"

namespace zor {
namespace {

class TResetEngine : public TTestEngine {
 public:
  using TTestEngine::TTestEngine;
  using TZorFirmwareClass::DoReset;
  using TZorFirmwareClass::FFlashNewHost;
  using TZorFirmwareClass::FFlashNewIP;
  using TZorFirmwareClass::FFlashOldIP;
  using TZorFirmwareClass::GetNewUsbItem;
  using TZorFirmwareClass::IsZorUsbName;
  using TZorFirmwareClass::WaitDeviceReady;
};

constexpr uint32_t cSerial = 0x00012345;
const std::string cUsbName = "VID_16D0&PID_0610#ZOR_1";
const std::string cForeignName = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4#VID_046D&PID_C077#5&1";
const std::string cSysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
const std::string cPort = "/dev/ttyACM10";

class FWResetUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    FEngine.Usb.Vid = 0x16D0;
    FEngine.Usb.Pid = 0x0610;
    FEngine.Usb.SerialNumber = "ZOR 1";
    FEngine.Usb.DevicePath = MakeUsbDevicePath(cPort, 0x16D0, 0x0610, "ZOR 1");
    FDevice.SetSerialNumberValue(cSerial);
    FEngine.SetBaseDevice(&FDevice);
    // The device comes back as a new object among the enumerated ones.
    FEngine.SetUsbEnumerator([this](int, std::string &) {
      ++FEnumerations;
      TZor_LocalDeviceList list;
      auto other = std::make_unique<TZor_TestDevice>(Zor_CDC, ptColdfire);
      other->SetSerialNumberValue(0x999);
      list.push_back(std::move(other));
      if (FComesBack) {
        auto back = std::make_unique<TZor_TestDevice>(Zor_CDC, ptColdfire);
        back->SetSerialNumberValue(cSerial);
        FBack = back.get();
        list.push_back(std::move(back));
      }
      return list;
    });
    ASSERT_EQ(FEngine.OpenDevice(&FDevice, true, false), 0);
    ASSERT_EQ(FEngine.FUsbName, "VID_16D0&PID_0610#ZOR_1");
  }
  // Delivers `notes` when the engine processes messages for the n-th time.
  void Script(std::map<int, std::vector<std::function<void()>>> notes) {
    FEngine.Services.OnProcess = [this, notes] {
      auto it = notes.find(FEngine.Services.Processed);
      if (it != notes.end())
        for (const auto &note : it->second) note();
    };
  }
  std::function<void()> UsbOut() {
    return [this] { FEngine.UsbDetached(cSysPath + "#" + cUsbName); };
  }
  std::function<void()> UsbIn() {
    return [this] { FEngine.UsbAttached(cSysPath + "#" + cUsbName); };
  }
  std::function<void()> PortOut() {
    return [this] { FEngine.PortDetached(cPort); };
  }
  std::function<void()> PortIn() {
    return [this] { FEngine.PortAttached(cPort); };
  }

  platform::TZor_VirtualClock FClock;
  platform::TZor_ClockGuard FGuard{FClock};
  TZor_LogCapture FLog;
  TZor_TestDevice FDevice{Zor_CDC, ptColdfire};
  TResetEngine FEngine{FLog.Id()};
  TZor_TestDevice *FBack = nullptr;
  bool FComesBack = true;
  int FEnumerations = 0;
};

TEST_F(FWResetUsb, DeviceWithoutPortNotificationWaitsTheFullTime) {
  Script({{3, {UsbOut()}}, {8, {UsbIn()}}});
  TZor_BaseDevice *device = &FDevice;
  const uint32_t start = platform::GetTicks();
  EXPECT_EQ(FEngine.DoReset(device, cSerial), 0);
  EXPECT_EQ(FDevice.Writes().back(), CmdReset());
  EXPECT_GE(platform::TicksSince(start), 5000u);
  EXPECT_EQ(FEngine.GetWaitState(), waitAttached);
  ASSERT_NE(FBack, nullptr);
  EXPECT_EQ(device, FBack);
  EXPECT_EQ(FEngine.GetBaseDevice(), FBack);
  EXPECT_TRUE(FEngine.GetZustandNachReset());
  EXPECT_TRUE(FEngine.HasMessage("...resetted", mtInfo));
  EXPECT_TRUE(FEngine.HasMessage("...announced", mtInfo));
}

TEST_F(FWResetUsb, InterfaceAndPortBackEndTheWaitEarly) {
  Script({{3, {UsbOut(), PortOut()}}, {6, {PortIn()}}, {9, {UsbIn()}}});
  TZor_BaseDevice *device = &FDevice;
  const uint32_t start = platform::GetTicks();
  EXPECT_EQ(FEngine.DoReset(device, cSerial), 0);
  EXPECT_LT(platform::TicksSince(start), 2000u);
  EXPECT_EQ(FLog.Count("WaitEvent: signaled, ms="), 1);
  EXPECT_EQ(FEngine.GetWaitStatePort(), waitAttached);
  EXPECT_EQ(FEngine.GetBaseDevice(), FBack);
}

TEST_F(FWResetUsb, DeviceThatNeverLeavesIsNoReset) {
  // Foreign devices come and go meanwhile; they change nothing.
  Script(
      {{3, {[this] { FEngine.UsbDetached(cForeignName); }, [this] { FEngine.UsbAttached(cForeignName); }}}});
  TZor_BaseDevice *device = &FDevice;
  const uint32_t start = platform::GetTicks();
  EXPECT_EQ(FEngine.DoReset(device, cSerial), fwr_NoReset);
  EXPECT_GE(platform::TicksSince(start), 5000u);
  EXPECT_LT(platform::TicksSince(start), 6000u);
  EXPECT_EQ(FEngine.GetWaitState(), waitDetachAttach);
  EXPECT_FALSE(FEngine.HasMessage("...announced", mtInfo));
  EXPECT_FALSE(FEngine.GetZustandNachReset());

  // An ESP device is given a minute.
  TZor_TestDevice esp{Zor_CDC, ptESP};
  esp.SetSerialNumberValue(cSerial);
  FEngine.SetBaseDevice(&esp);
  device = &esp;
  const uint32_t espStart = platform::GetTicks();
  EXPECT_EQ(FEngine.DoReset(device, cSerial), fwr_NoReset);
  EXPECT_GE(platform::TicksSince(espStart), 60000u);
}

TEST_F(FWResetUsb, SiblingWithSimilarNamesIsNotTheOpenedDevice) {
  // Serial ZOR_12 begins like ZOR_1, and ttyACM1 is a prefix of ttyACM10.
  Script({{3,
           {[this] { FEngine.UsbDetached(cSysPath + ".1#" + cUsbName + "2"); },
            [this] { FEngine.PortDetached("/dev/ttyACM1"); }}}});
  TZor_BaseDevice *device = &FDevice;
  EXPECT_EQ(FEngine.DoReset(device, cSerial), fwr_NoReset);
  EXPECT_EQ(FEngine.GetWaitState(), waitDetachAttach);
  EXPECT_EQ(FEngine.GetWaitStatePort(), waitDetachAttach);
  EXPECT_FALSE(FEngine.HasMessage("...resetted", mtInfo));
}

TEST_F(FWResetUsb, RemovalBeforeTheWaitIsNotLost) {
  // The device leaves and returns while the reset command is still queued.
  FDevice.SetTransportPending(1);
  Script({{1, {UsbOut(), UsbIn(), PortOut(), PortIn(), [this] { FDevice.SetTransportPending(0); }}}});
  TZor_BaseDevice *device = &FDevice;
  const uint32_t start = platform::GetTicks();
  EXPECT_EQ(FEngine.DoReset(device, cSerial), 0);
  EXPECT_LT(platform::TicksSince(start), 2000u);
  EXPECT_EQ(FEngine.GetBaseDevice(), FBack);
}

TEST_F(FWResetUsb, DeviceLeftButNotFoundAgain) {
  FComesBack = false;
  FEngine.Services.Answer = true;  // "installation has finished"
  Script({{3, {UsbOut()}}});
  TZor_BaseDevice *device = &FDevice;
  EXPECT_EQ(FEngine.DoReset(device, cSerial), fwr_DeviceMissing);
  EXPECT_EQ(FEngine.GetBaseDevice(), nullptr);
  EXPECT_EQ(FLog.Count("No Zor device found"), 1);
}

TEST_F(FWResetUsb, DeviceStillInstallingIsAskedAbout) {
  // Gone and not back within the wait: the user says when the system has
  // installed it. Yes looks for it; No gives up without looking.
  const std::string question = "Device will be installed. Please confirm when installation has finished";
  for (const bool yes : {true, false}) {
    SCOPED_TRACE(yes ? "yes" : "no");
    ASSERT_EQ(FEngine.OpenDevice(FEngine.GetBaseDevice(), true, false), 0);
    FEngine.Services.Questions.clear();
    FEngine.Services.Answer = yes;
    FEngine.Services.Processed = 0;
    FEnumerations = 0;
    FEngine.SetZustandNachReset(false);
    Script({{3, {UsbOut()}}});
    TZor_BaseDevice *device = FEngine.GetBaseDevice();
    EXPECT_EQ(FEngine.DoReset(device, cSerial), yes ? 0 : fwr_DeviceMissing);
    ASSERT_EQ(FEngine.Services.Questions.size(), 1u);
    EXPECT_EQ(FEngine.Services.Questions[0], question);
    EXPECT_EQ(FEnumerations, yes ? 1 : 0);
    EXPECT_EQ(FEngine.GetZustandNachReset(), yes);
    if (yes) {
      EXPECT_EQ(FEngine.GetBaseDevice(), FBack);
    }
  }
}

TEST_F(FWResetUsb, FailedResetCommandClosesAndReturnsTheError) {
  FDevice.FailNextWrites(2);
  TZor_BaseDevice *device = &FDevice;
  // A reset that cannot be written counts as a timeout.
  EXPECT_EQ(FEngine.DoReset(device, cSerial), fwr_Timeout);
  EXPECT_TRUE(FEngine.HasMessage("Reset failed: " + ErrorText(fwr_Timeout), mtErr));
  EXPECT_FALSE(FDevice.GetPortIsOpened());
  EXPECT_EQ(FEnumerations, 0);
}

TEST_F(FWResetUsb, DeviceFoundAgainIsANewObjectOfTheEnumeratedDevice) {
  const std::string path = MakeUsbDevicePath("/dev/hidraw5", 0x16D0, 0x0611, "00012345");
  FEngine.SetUsbEnumerator([&](int, std::string &) {
    TZor_LocalDeviceList list;
    for (const char *serial : {"00000999", "00012345"})
      list.push_back(std::make_unique<TZor_UsbDevice>(
          -1, -1, nullptr, false, Zor_HID, MakeUsbDevicePath("/dev/hidraw5", 0x16D0, 0x0611, serial), 0x16D0,
          0x0611, serial, "Zor HID"));
    return list;
  });
  const std::unique_ptr<TZor_BaseDevice> found = FEngine.GetNewUsbItem(cSerial);
  ASSERT_NE(found, nullptr);
  ASSERT_EQ(FEngine.GetUsbDeviceCount(), 2);
  EXPECT_NE(found.get(), FEngine.GetUsbDevice(1));
  EXPECT_EQ(found->GetDevicePath(), path);
  EXPECT_EQ(found->GetDevType(), Zor_HID);
  EXPECT_EQ(found->GetSerialNumberValue(), cSerial);
  EXPECT_EQ(FEngine.GetNewUsbItem(0x4711), nullptr);
}

TEST(FWResetNames, MakerIdentitiesOnly) {
  EXPECT_TRUE(TResetEngine::IsZorUsbName("\\\\?\\hid#VID_C1CA&PID_0004#7&1a2b#{4d1e55b2}"));
  EXPECT_TRUE(TResetEngine::IsZorUsbName("USB\\VID_303A&PID_4001\\1"));
  EXPECT_FALSE(TResetEngine::IsZorUsbName("VID_16D0&PID_0001#1"));
  EXPECT_FALSE(TResetEngine::IsZorUsbName("VID_16D0&PID_06"));
  EXPECT_FALSE(TResetEngine::IsZorUsbName("VID_16DX&PID_0610"));
  EXPECT_FALSE(TResetEngine::IsZorUsbName(""));
}

// ---- network device ---------------------------------------------------------------------------

class FWResetNet : public ::testing::Test {
 protected:
  void SetUp() override {
    FEngine.SetBaseDevice(&FDevice);
    SetIcmpEchoFunction([this](uint32_t address, uint32_t, platform::TZor_EchoResult &r) {
      const std::string ip = IntToIPv4Text(address);
      ++FPings[ip];
      const bool up = FAnswer(ip, FPings[ip]);
      r.Replied = up;
      r.Status = 0;
      if (!up) r.Error.Code = 11010;
      return up;
    });
  }
  void TearDown() override {
    SetIcmpEchoFunction(nullptr);
    SetHostResolver(nullptr);
  }
  static std::string IntToIPv4Text(uint32_t address) {
    return std::to_string(address & 0xFF) + "." + std::to_string((address >> 8) & 0xFF) + "." +
           std::to_string((address >> 16) & 0xFF) + "." + std::to_string(address >> 24);
  }

  platform::TZor_VirtualClock FClock;
  platform::TZor_ClockGuard FGuard{FClock};
  TZor_NetworkDevice FDevice{-1, 0, nullptr, false, "127.0.0.9"};
  TResetEngine FEngine;
  std::map<std::string, int> FPings;
  std::function<bool(const std::string &, int)> FAnswer;
};

TEST_F(FWResetNet, DeviceGoesDownAndComesBack) {
  FAnswer = [](const std::string &, int n) { return n < 4 || n > 6; };
  EXPECT_EQ(FEngine.WaitDeviceReady(0xFFFFFFFF, false), 0);
  // Three missed echoes, the answer, and the ping before the session check
  // (nothing holds the old session at this address).
  EXPECT_EQ(FPings["127.0.0.9"], 8);
  EXPECT_TRUE(FEngine.GetZustandNachReset());
}

TEST_F(FWResetNet, DeviceThatKeepsAnswering) {
  FAnswer = [](const std::string &, int) { return true; };
  EXPECT_EQ(FEngine.WaitDeviceReady(0xFFFFFFFF, false), fwr_NoReset);
  EXPECT_EQ(FPings["127.0.0.9"], 350);
  // The reset command had already failed: the device counts as reset.
  EXPECT_EQ(FEngine.WaitDeviceReady(0xFFFFFFFF, true), 0);
}

TEST_F(FWResetNet, DeviceThatNeverComesBack) {
  FAnswer = [](const std::string &, int) { return false; };
  // It went down and did not come back at its address: that is no "No reset".
  EXPECT_EQ(FEngine.WaitDeviceReady(0xFFFFFFFF, false), fwr_DeviceMissing);
  EXPECT_EQ(FPings["127.0.0.9"], 3 + 30);
  EXPECT_TRUE(FEngine.HasMessage("The device went down but did not answer again at 127.0.0.9", mtErr));

  FEngine.FFlashNewIP = "127.0.0.10";
  EXPECT_EQ(FEngine.WaitDeviceReady(0xFFFFFFFF, false), fwr_DeviceMissing);
  EXPECT_TRUE(FEngine.HasMessage("The device went down but did not answer again at 127.0.0.10", mtErr));
}

// Back at its old address after one lost echo without its session, but the
// device takes a new address: it is looked for there.
TEST_F(FWResetNet, QuickRestartToANewAddressIsLookedForThere) {
  FEngine.FFlashNewIP = "127.0.0.10";
  FAnswer = [](const std::string &ip, int n) { return ip != "127.0.0.9" || n != 1; };
  EXPECT_EQ(FEngine.WaitDeviceReady(0xFFFFFFFF, false), 0);
  EXPECT_EQ(FPings["127.0.0.10"], 1);
  EXPECT_TRUE(FEngine.HasMessage("Waiting for device IP 127.0.0.10...", mtInfo));
}

// A configuration write failed after the address change was sent: the
// device is looked for at the new address, then at its present one, and the
// address it answered at is the one to follow.
TEST_F(FWResetNet, UncertainAddressChangeFindsTheDeviceWhereItIs) {
  FEngine.FFlashNewIP = "127.0.0.10";
  FEngine.FFlashOldIP = "127.0.0.9";
  FAnswer = [](const std::string &ip, int n) { return ip == "127.0.0.9" && n > 3 + 2; };
  EXPECT_EQ(FEngine.WaitDeviceReady(0xFFFFFFFF, false), 0);
  EXPECT_EQ(FPings["127.0.0.10"], 30);
  EXPECT_TRUE(FEngine.HasMessage("Waiting for device IP 127.0.0.9...", mtInfo));
  EXPECT_EQ(FEngine.GetFlashNewIP(), "127.0.0.9");

  // Moved after all: found at the new address, which stays the one to follow.
  FPings.clear();
  FEngine.Messages.clear();
  FEngine.FFlashNewIP = "127.0.0.10";
  FAnswer = [](const std::string &ip, int) { return ip == "127.0.0.10"; };
  EXPECT_EQ(FEngine.WaitDeviceReady(0xFFFFFFFF, false), 0);
  EXPECT_EQ(FPings["127.0.0.10"], 1);
  EXPECT_FALSE(FEngine.HasMessage("Waiting for device IP 127.0.0.9...", mtInfo));
  EXPECT_EQ(FEngine.GetFlashNewIP(), "127.0.0.10");

  // Nowhere: both addresses are named.
  FAnswer = [](const std::string &, int) { return false; };
  EXPECT_EQ(FEngine.WaitDeviceReady(0xFFFFFFFF, false), fwr_DeviceMissing);
  EXPECT_TRUE(FEngine.HasMessage("The device went down but did not answer again at 127.0.0.10, 127.0.0.9",
                                 mtErr));
}

TEST_F(FWResetNet, NewHostNameIsTriedAddressByAddress) {
  SetHostResolver([](const std::string &host, std::vector<std::string> &ips, platform::TZor_SysError &) {
    if (host != "lum-new") return false;
    ips = {"127.0.0.21", "127.0.0.22"};
    return true;
  });
  FEngine.FFlashNewHost = "lum-new";
  FAnswer = [](const std::string &ip, int) { return ip == "127.0.0.22"; };
  EXPECT_EQ(FEngine.WaitDeviceReady(0xFFFFFFFF, false), 0);
  EXPECT_EQ(FPings["127.0.0.9"], 3);
  EXPECT_EQ(FPings["127.0.0.21"], 30);
  EXPECT_EQ(FPings["127.0.0.22"], 1);
  EXPECT_EQ(FEngine.GetFlashNewIP(), "127.0.0.22");
  EXPECT_TRUE(FEngine.HasMessage("Waiting for device IP 127.0.0.21...", mtInfo));
}

// ---- network device against the simulator: is the restart real? ------------------------------

class FWResetNetSim : public ::testing::Test {
 protected:
  void SetUp() override {
    FEngine.SetBaseDevice(FDevice.get());
    ASSERT_EQ(FEngine.OpenDevice(FDevice.get(), true, false), 0) << FEngine.GetOpenErrorMsg();
  }
  void TearDown() override { SetIcmpEchoFunction(nullptr); }
  // Echoes answer from the simulator's state; `lost` decides which are lost
  // on the way. A lost or unanswered echo takes a (short) timeout.
  void Echo(std::function<bool(int n)> lost, std::function<void(int n)> before = nullptr) {
    SetIcmpEchoFunction([this, lost, before](uint32_t, uint32_t, platform::TZor_EchoResult &r) {
      ++FPings;
      if (before) before(FPings);
      r.Replied = !lost(FPings) && !FHost.Device->IsSilent();
      if (!r.Replied) {
        r.Error.Code = 11010;
        platform::SleepMs(20);
      }
      return r.Replied;
    });
  }

  nettest::TSimHost FHost{TSimFamily::Coldfire, "127.0.0.74"};
  std::unique_ptr<TZor_NetworkDevice> FDevice = FHost.MakeDevice(1, true);
  TZor_LogCapture FLog;
  TResetEngine FEngine{FLog.Id()};
  int FPings = 0;
};

// One lost echo and an answer: the device still holds the session, so the
// wait goes on until the device really restarts.
TEST_F(FWResetNetSim, SingleLostEchoIsNoRestart) {
  Echo([](int n) { return n == 3; },
       [this](int n) {
         if (n == 8) FHost.Device->Restart();
       });
  EXPECT_EQ(FEngine.WaitDeviceReady(0xFFFFFFFF, false), 0);
  EXPECT_GT(FPings, 8);
  EXPECT_EQ(FLog.Count("old session still open"), 1);
  EXPECT_EQ(FLog.Count("old session gone"), 1);
  EXPECT_TRUE(FEngine.GetZustandNachReset());
}

// Silent for three echoes but never restarted: the old session is still
// there, which is no restart.
TEST_F(FWResetNetSim, SilenceWithoutRestartIsNoReset) {
  Echo([](int n) { return n >= 2 && n <= 4; });
  EXPECT_EQ(FEngine.WaitDeviceReady(0xFFFFFFFF, false), fwr_NoReset);
  EXPECT_EQ(FLog.Count("reset failed: old session still open"), 1);
  EXPECT_FALSE(FEngine.GetZustandNachReset());
  // The session was ended with DISCONN.
  EXPECT_TRUE(nettest::WaitUntil([this] { return !FHost.Link->IsUserConnected(1); }));
}

// A reset the device refuses, or one that finds no session to go out on,
// never reached the device: the session is ended with DISCONN and there is
// no wait for a restart that will not come.
TEST_F(FWResetNetSim, ResetThatNeverWentOutEndsTheSessionWithoutWaiting) {
  Echo([](int) { return false; });
  FHost.SetFaults([](TSimLinkFaults &f) {
    f.AnswerFe = {-1, srkCmd};
    f.FeText = "er";
  });
  TZor_BaseDevice *device = FDevice.get();
  EXPECT_EQ(FEngine.DoReset(device, 0xFFFFFFFF), fwr_CommandDenied);
  EXPECT_FALSE(FEngine.HasMessage("Waiting for device reset...", mtInfo));
  EXPECT_TRUE(FEngine.HasMessage("Reset failed: " + ErrorText(fwr_CommandDenied), mtErr));
  // Faster than the device's own clean-up of a lost session.
  EXPECT_TRUE(nettest::WaitUntil([this] { return !FHost.Link->IsUserConnected(1); }, 1000));

  FHost.SetFaults([](TSimLinkFaults &f) { f.AnswerFe = {}; });
  EXPECT_EQ(FEngine.DoReset(device, 0xFFFFFFFF), fwr_NoConnection);
  EXPECT_FALSE(FEngine.HasMessage("Waiting for device reset...", mtInfo));
  EXPECT_FALSE(FEngine.GetZustandNachReset());
}

}  // namespace
}  // namespace zor
