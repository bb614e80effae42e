// The session layer against the in-process simulator: device making, an
// action prepared, an update with the version read after it, a device
// followed to its new address, the checks before an update, and the engine
// refusing an action started from inside another.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <utility>
#include <vector>

#include "foundation/LogUnit.h"
#include "net/Zor_NetworkDevice.h"
#include "session/Zor_ConfigView.h"
#include "session/Zor_Devices.h"
#include "session/Zor_Session.h"
#include "sim/SimDevice.h"
#include "sim/SimEsp.h"
#include "tests/support/Zor_TestDevice.h"
#include "usb/Zor_UsbDevice.h"

using namespace zor;
using namespace zor::session;
namespace fs = std::filesystem;

namespace {

class TTestServices : public TZor_AppServices {
 public:
  void ProcessMessages() override {
    ++Pumps;
    if (OnPump) OnPump();
  }
  bool Confirm(const std::string &text) override {
    Questions.push_back(text);
    return Answer;
  }
  void Notify(const std::string &text) override { Notices.push_back(text); }
  bool AskLogin(std::string &password) override {
    ++LoginsAsked;
    password = MakeLoginText(0);
    return true;
  }

  std::function<void()> OnPump;
  bool Answer = false;
  int Pumps = 0;
  int LoginsAsked = 0;
  std::vector<std::string> Questions;
  std::vector<std::string> Notices;
};

// Engine, services and session around one device; the simulator behind the
// device is declared first, so it outlives the engine.
struct TRig {
  explicit TRig(TDeviceKind kind = TDeviceKind::SimColdfire, TSimDeviceOptions options = {}) {
    std::string error;
    const TDeviceAddress address{kind, ""};
    Created = CreateTarget(address, options, LogId, Target, error);
    EXPECT_EQ(Created, 0) << error;
    Engine.SetAppServices(&Services);
    Engine.SetOnMessage(
        [this](void *, const std::string &text, TMessageType type) { Messages.emplace_back(text, type); });
    if (Target.Device) Engine.SetOwnedDevice(std::move(Target.Device));
  }
  ~TRig() { Engine.SetAppServices(nullptr); }

  bool Has(const std::string &part, TMessageType type) const {
    for (const auto &[text, t] : Messages)
      if (t == type && text.find(part) != std::string::npos) return true;
    return false;
  }
  std::string All() const {
    std::string all;
    for (const auto &m : Messages) all += m.first + "\n";
    return all;
  }

  int LogId = CreateLog();
  TTarget Target;
  int Created = -1;
  TTestServices Services;
  std::vector<std::pair<std::string, TMessageType>> Messages;
  TZorFirmwareClass Engine{LogId};
  TZor_Session Session{Engine, LogId};
};

class TTempDir {
 public:
  TTempDir() : FDir(fs::temp_directory_path() / ("zor_session_" + std::to_string(::getpid()))) {
    fs::create_directories(FDir);
  }
  ~TTempDir() {
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }
  std::string Write(const std::string &name, const std::string &content) const {
    const fs::path path = FDir / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

 private:
  fs::path FDir;
};

}  // namespace

TEST(SessionDevices, EveryAddressKindMakesItsDevice) {
  struct TCase {
    const char *Text;
    bool Sim, SimUsb;
    TZor_PeerType Peer;
  };
  const TCase cases[] = {{"sim:coldfire", true, false, ptColdfire},
                         {"sim:esp", true, false, ptESP},
                         {"sim:coldfire-usb", false, true, ptColdfire},
                         {"sim:coldfire-cdc", false, true, ptColdfire},
                         {"sim:esp-usb", false, true, ptESP}};
  TSimDeviceOptions options;
  options.Serial = 0x00C0FFEE;
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Text);
    TDeviceAddress address;
    std::string error;
    ASSERT_TRUE(ParseDeviceAddress(c.Text, address, error)) << error;
    TTarget target;
    ASSERT_EQ(CreateTarget(address, options, -1, target, error), 0) << error;
    ASSERT_TRUE(target.Device);
    EXPECT_EQ(target.Sim != nullptr, c.Sim);
    EXPECT_EQ(target.SimUsb != nullptr, c.SimUsb);
    if (c.SimUsb) {
      auto *usb = dynamic_cast<TZor_UsbDevice *>(target.Device.get());
      ASSERT_NE(usb, nullptr);
      EXPECT_EQ(usb->GetSerialNumber(), "00C0FFEE");
      EXPECT_EQ(usb->GetPeerType(), c.Peer);
    } else {
      auto *net = dynamic_cast<TZor_NetworkDevice *>(target.Device.get());
      ASSERT_NE(net, nullptr);
      EXPECT_EQ(net->GetDeviceIP(), target.Sim->GetAddress());
    }
    target.Device.reset();  // before the simulator behind it
  }

  TDeviceAddress address;
  std::string error;
  TTarget target;
  ASSERT_TRUE(ParseDeviceAddress("ip:10.0.0.7", address, error));
  ASSERT_EQ(CreateTarget(address, {}, -1, target, error), 0);
  EXPECT_EQ(dynamic_cast<TZor_NetworkDevice &>(*target.Device).GetDeviceIP(), "10.0.0.7");

  ASSERT_TRUE(ParseDeviceAddress("host:localhost", address, error));
  ASSERT_EQ(CreateTarget(address, {}, -1, target, error), 0) << error;
  auto &host = dynamic_cast<TZor_NetworkDevice &>(*target.Device);
  EXPECT_EQ(host.GetDeviceIP(), "127.0.0.1");
  EXPECT_EQ(host.GetDeviceHost(), "localhost");

  ASSERT_TRUE(ParseDeviceAddress("usb:NOSUCHDEV", address, error));
  TTarget none;
  EXPECT_EQ(CreateTarget(address, {}, -1, none, error), fwr_DeviceMissing);
  EXPECT_FALSE(none.Device);
  EXPECT_FALSE(error.empty());
}

TEST(SessionUpdate, PrepareUpdateAndVersionAfter) {
  TTempDir dir;
  std::string image(6000, '\x5A');
  image[0] = static_cast<char>(SimEspImageMagic);
  const std::string file = dir.Write("LUM2_fw.bin", image);
  TSimDeviceOptions options;
  options.UpdateFirmware = 115;
  TRig rig(TDeviceKind::SimEsp, options);
  ASSERT_EQ(rig.Created, 0);

  ASSERT_EQ(rig.Session.PrepareAction(), 0) << rig.All();
  EXPECT_EQ(rig.Engine.GetFirmwareVersion(), 114);
  EXPECT_TRUE(rig.Engine.GetFlashVariables().updated);
  EXPECT_EQ(rig.Services.LoginsAsked, 1);
  // The login is kept for the next action on the same device.
  ASSERT_EQ(rig.Session.CheckLogin(), 0);
  EXPECT_EQ(rig.Services.LoginsAsked, 1);

  ASSERT_EQ(rig.Session.CheckFileExists(file), 0);
  const int result = rig.Engine.DoUpdate(file, false, rig.Engine.GetFlashVariables().SerialNumber);
  EXPECT_EQ(rig.Session.ReportUpdateResult(result), 0) << rig.All();
  EXPECT_TRUE(rig.Has("Firmware update was successful", mtOk));
  std::string err;
  ASSERT_EQ(rig.Session.ReadVersionAfterUpdate(err), 0) << err << rig.All();
  EXPECT_EQ(rig.Engine.GetFirmwareVersion(), 115);
  EXPECT_TRUE(rig.Target.Sim->GetDevice().GetPersistent().UpdatePartitionActive);
}

TEST(SessionUpdate, FailedUpdateAndRepowerAreReportedAsUsersKnowThem) {
  TRig rig(TDeviceKind::Ip);
  EXPECT_EQ(rig.Session.ReportUpdateResult(fwr_ProgrammingFailed), fwr_ProgrammingFailed);
  EXPECT_TRUE(rig.Has("Error during firmware update: Programming failed", mtErrInfo));
  rig.Session.ReportUpdateResult(fwr_RePowerNeeded);
  ASSERT_EQ(rig.Services.Notices.size(), 1u);
  EXPECT_EQ(rig.Services.Notices[0], "Bootloader updated!\r\nPlease first repower device and then click ok.");
}

TEST(SessionConfig, DeviceFollowedToItsNewAddress) {
  TRig rig(TDeviceKind::SimColdfire);
  ASSERT_EQ(rig.Created, 0);
  ASSERT_EQ(rig.Session.PrepareAction(true), 0) << rig.All();
  const std::string newIp = "127.0.7." + std::to_string(2 + ::getpid() % 250);
  TZor_FlashVariables record = rig.Engine.GetFlashVariables();
  ASSERT_EQ(ApplyConfigSettings(record, {{"ip", newIp}}), "");
  ASSERT_EQ(rig.Engine.SetFlashVariables(record, true), 0) << rig.All();
  ASSERT_EQ(rig.Engine.GetFlashNewIP(), newIp);

  ASSERT_EQ(rig.Session.FollowMovedDevice(), 0) << rig.All();
  EXPECT_TRUE(rig.Session.DeviceMoved());
  EXPECT_EQ(dynamic_cast<TZor_NetworkDevice &>(*rig.Engine.GetBaseDevice()).GetDeviceIP(), newIp);
  std::string err;
  ASSERT_EQ(rig.Engine.GetDeviceFirmwareVersionAndFlash(true, err), 0) << err << rig.All();
  EXPECT_EQ(rig.Engine.GetFlashVariables().IPAddress, newIp);

  // A device that stays where it is needs no following.
  ASSERT_EQ(rig.Session.FollowMovedDevice(), 0);
  EXPECT_FALSE(rig.Session.DeviceMoved());
}

TEST(SessionChecks, FeatureWordOfAFileName) {
  EXPECT_EQ(GetHardFeatureFromFileName("ForceHard_0005_App.s19", -1), 0x0005);
  EXPECT_EQ(GetHardFeatureFromFileName("LUM_SU6.s19", -1), 0x0007);
  EXPECT_EQ(GetHardFeatureFromFileName("Pelq_su6.s19", -1), 0x0008);
  EXPECT_EQ(GetHardFeatureFromFileName("App.s19", -1), 0xFFFF);
  EXPECT_EQ(GetHardFeatureFromFileName("Pelq_Su6.s19", -1), 0x000C);
  EXPECT_EQ(GetHardFeatureFromFileName("LUM_sU6.s19", -1), 0x0003);
  EXPECT_EQ(GetHardFeatureFromFileName("LUM_SWC_UARTC.s19", -1), 0x0007);
  EXPECT_EQ(GetHardFeatureFromFileName("LUM_SWC.s19", -1), 0x0005);
  EXPECT_EQ(GetHardFeatureFromFileName("x_UARTC.s19", -1), 0x0002);
  EXPECT_EQ(GetHardFeatureFromFileName("lum_su6.s19", -1), 0xFFFF);  // the search is case-sensitive
  // Only the name counts, not the folder it sits in.
  EXPECT_EQ(GetHardFeatureFromFileName("/fw/LUM_SU6/App.s19", -1), 0xFFFF);
  EXPECT_EQ(GetHardFeatureFromFileName("/fw/ForceHard_0001_x/ForceHard_0042_App.s19", -1), 0x0042);
  // A word that is no hex number, or does not fit 16 bits, tells nothing.
  EXPECT_EQ(GetHardFeatureFromFileName("ForceHard_00G5_App.s19", -1), 0xFFFF);
  EXPECT_EQ(GetHardFeatureFromFileName("ForceHard__App.s19", -1), 0xFFFF);
  EXPECT_EQ(GetHardFeatureFromFileName("ForceHard_10005_App.s19", -1), 0xFFFF);
}

TEST(SessionChecks, FirmwareFileAgainstTheRecord) {
  TTempDir dir;
  TZor_TestDevice coldfire(Zor_HID, ptColdfire), esp(Zor_CDC, ptESP);
  TRig rig(TDeviceKind::Ip);
  rig.Engine.SetBaseDevice(&coldfire);
  TZor_FlashVariables record;

  EXPECT_EQ(
      rig.Session.CheckFirmwareFile((fs::temp_directory_path() / "zor_none" / "App.s19").string(), record),
      fwr_FileNotFound);
  EXPECT_TRUE(rig.Has("zor_none/App.s19 not found", mtErr));

  record.SetHardFeature(0xFFFF);
  EXPECT_EQ(rig.Session.CheckFirmwareFile(dir.Write("App.s19", "S9"), record), fwr_InvalidParameter);
  EXPECT_TRUE(rig.Has("Device Feature missing!\r\nDevice Version String: ", mtErr));
  EXPECT_TRUE(rig.Has("\r\nPlease contact Zor", mtErr));

  // An unknown record takes the word of the file name.
  ASSERT_EQ(rig.Session.CheckFirmwareFile(dir.Write("LUM_SU6.s19", "S9"), record), 0);
  EXPECT_EQ(record.HardFeature, 0x0007);
  EXPECT_TRUE(rig.Services.Questions.empty());

  // A different word on a ColdFire device needs a Yes.
  const std::string pelq = dir.Write("Pelq_su6.s19", "S9");
  EXPECT_EQ(rig.Session.CheckFirmwareFile(pelq, record), fwr_Canceled);
  ASSERT_EQ(rig.Services.Questions.size(), 1u);
  EXPECT_EQ(rig.Services.Questions[0].rfind("Selected firmware may not fit device features ", 0), 0u);
  EXPECT_NE(rig.Services.Questions[0].find("!\r\nContinue?"), std::string::npos);
  rig.Services.Answer = true;
  EXPECT_EQ(rig.Session.CheckFirmwareFile(pelq, record), 0);
  EXPECT_EQ(record.HardFeature, 0x0007);

  // LUM11 images and ESP devices are not asked about.
  rig.Services.Questions.clear();
  record.SetHardFeature(0x0001);
  EXPECT_EQ(rig.Session.CheckFirmwareFile(dir.Write("LUM11_SU6.s19", "S9"), record), 0);
  rig.Engine.SetBaseDevice(&esp);
  EXPECT_EQ(rig.Session.CheckFirmwareFile(dir.Write("Pelq_su6.bin", "x"), record), 0);
  EXPECT_TRUE(rig.Services.Questions.empty());
  rig.Engine.SetBaseDevice(nullptr);
}

TEST(SessionChecks, SerialNumberMustBeUniqueUnlessOnlyTheRecordLacksIt) {
  TZor_TestDevice coldfire(Zor_HID, ptColdfire), esp(Zor_CDC, ptESP);
  TRig rig(TDeviceKind::Ip);
  rig.Engine.SetBaseDevice(&coldfire);
  TZor_FlashVariables record;
  record.SetSerialNumber(0x1234);
  EXPECT_TRUE(rig.Session.CheckSerialNumber(record, false));
  record.SetSerialNumber(0xFFFFFFFF);
  EXPECT_TRUE(rig.Session.CheckSerialNumber(record, true));
  // The device does not tell a unique number either.
  EXPECT_FALSE(rig.Session.CheckSerialNumber(record, false));
  EXPECT_TRUE(rig.Has("Can't continue without unique serial number (FFFFFFFF).", mtErr));

  // On an ESP device 0 is "none", and the device's own (unread) number counts as unique.
  rig.Engine.SetBaseDevice(&esp);
  record.SetSerialNumber(0);
  EXPECT_TRUE(rig.Session.CheckSerialNumber(record, false));
  record.ChangedFlags |= fch_SerialNumber;
  EXPECT_FALSE(rig.Session.CheckSerialNumber(record, false));
  rig.Engine.SetBaseDevice(nullptr);
}

TEST(EngineBusy, ActionStartedDuringAnotherIsRefused) {
  TRig rig(TDeviceKind::SimColdfire);
  ASSERT_EQ(rig.Created, 0);
  std::vector<int> reentered;
  auto reenter = [&] {
    if (!rig.Engine.IsBusy()) return;
    std::string err;
    reentered.push_back(rig.Engine.ReadConfig());
    reentered.push_back(rig.Engine.GetDeviceFirmwareVersionAndFlash(true, err));
    reentered.push_back(rig.Engine.DoUpdate("x.s19", false, 0));
    reentered.push_back(rig.Engine.SetFlashVariables(rig.Engine.GetFlashVariables(), false));
  };
  rig.Services.OnPump = reenter;
  rig.Engine.SetOnProgress([&](void *, TProgressType, int64_t, const std::string &) { reenter(); });

  ASSERT_EQ(rig.Session.PrepareAction(true), 0) << rig.All();
  ASSERT_FALSE(reentered.empty());
  for (int result : reentered) EXPECT_EQ(result, fwr_CommandDenied);
  EXPECT_TRUE(rig.Has("ReadConfig: another action is still running", mtWarning));
  EXPECT_TRUE(rig.Engine.GetFlashVariables().updated);  // the refusals left the running read alone
  EXPECT_FALSE(rig.Engine.IsBusy());

  // Once it has ended the next action runs.
  rig.Services.OnPump = nullptr;
  EXPECT_EQ(rig.Engine.ReadConfig(), 0) << rig.All();
}
