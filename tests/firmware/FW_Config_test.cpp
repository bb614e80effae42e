// Configuration read and write of the update engine: against the simulated
// devices over the network (both families, round trips), and against a
// scripted device for the write paths the simulator cannot reach (USB).
#include <gtest/gtest.h>

#include <map>

#include "device/Zor_ColdfireCommands.h"
#include "firmware/Zor_ConfigChecks.h"
#include "firmware/Zor_FW_Class.h"
#include "foundation/Zor_Utils.h"
#include "platform/Zor_SimHosts.h"
#include "tests/firmware/FW_TestEngine.h"
#include "tests/net/NetSimFixture.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

using nettest::TSimHost;

// The raw configuration block is what the programming path writes.
class TConfigEngine : public TTestEngine {
 public:
  using TZorFirmwareClass::FFlashVariablesBuffer;
  // Every message line, for the failure output of a test.
  std::string AllMessages() const {
    std::string all;
    for (const auto &m : Messages) all += m.first + "\n";
    return all;
  }
};

// The commands of one kind a scripted device received: those starting with `head`.
std::vector<std::string> Sent(const TZor_TestDevice &device, const std::string &head) {
  std::vector<std::string> out;
  for (const std::string &w : device.Writes())
    if (w.compare(0, head.size(), head) == 0) out.push_back(w);
  return out;
}

// The items a device keeps; the 32-bit feature word exists on ESP devices only.
void ExpectSameConfig(const TZor_FlashVariables &a, const TZor_FlashVariables &b, bool esp) {
  EXPECT_EQ(a.NickName, b.NickName);
  EXPECT_EQ(a.SerialNumber, b.SerialNumber);
  EXPECT_EQ(a.IPAddress, b.IPAddress);
  EXPECT_EQ(a.Subnetmask, b.Subnetmask);
  EXPECT_EQ(a.Gateway, b.Gateway);
  EXPECT_EQ(a.HardFeature, b.HardFeature);
  if (esp) {
    EXPECT_EQ(a.HardFeature32, b.HardFeature32);
  }
  EXPECT_EQ(a.CANRxID, b.CANRxID);
  EXPECT_EQ(a.CANTxID, b.CANTxID);
  EXPECT_EQ(a.Customer, b.Customer);
  EXPECT_EQ(a.ReservedInt9, b.ReservedInt9);
  EXPECT_EQ(a.ReservedString1, b.ReservedString1);
  EXPECT_EQ(a.PPI, b.PPI);
}

TEST(FWConfigNet, ColdfireReadChangeWriteReadBack) {
  TSimHost host(TSimFamily::Coldfire, "127.0.0.71", 112);
  TConfigEngine engine;
  auto owned = host.MakeDevice();
  TZor_NetworkDevice *device = owned.get();
  engine.SetOwnedDevice(std::move(owned));

  std::string err;
  ASSERT_EQ(engine.GetDeviceFirmwareVersionAndFlash(false, err), 0) << err;
  TZor_FlashVariables config = engine.GetFlashVariables();
  ASSERT_TRUE(config.updated);
  EXPECT_EQ(config.SerialNumber, 0x4321u);
  EXPECT_EQ(config.IPAddress, "127.0.0.71");
  EXPECT_EQ(config.HardFeature, 0x0007);
  EXPECT_FALSE(config.PasswordEnabled);
  EXPECT_FALSE(device->GetServerIsRunning());

  EXPECT_EQ(engine.SetFlashVariables(config, false), fwr_FlashUnchanged);
  EXPECT_EQ(ErrorText(fwr_FlashUnchanged), "Flash unchanged");

  std::string errors;
  AddConfigError(errors, ApplyNickName(config, "Bench 7"));
  AddConfigError(errors, ApplyAddress(config, adr_IPAddress, "127.0.0.75"));
  AddConfigError(errors, ApplyAddress(config, adr_Subnetmask, "255.255.0.0"));
  AddConfigError(errors, ApplyAddress(config, adr_Gateway, "127.0.0.254"));
  AddConfigError(errors, ApplyCANID(config, false, "1FFFFFFF", true));
  AddConfigError(errors, ApplyCANID(config, true, "456", false));
  ASSERT_EQ(errors, "");
  config.SetSerialNumber(0x00C0FFEE);
  config.ChangedFlags |= fch_SerialNumber;
  config.SetHardFeature(0x0005);
  ASSERT_EQ(engine.SetFlashVariables(config, false), 0) << engine.AllMessages();
  EXPECT_TRUE(engine.HasMessage("Firmware configuration transmitted", mtInfo));
  EXPECT_EQ(engine.GetFlashNewIP(), "127.0.0.75");  // where to find the device after a restart
  EXPECT_FALSE(device->GetServerIsRunning());

  ASSERT_EQ(engine.ReadConfig(), 0) << engine.AllMessages();
  const TZor_FlashVariables &back = engine.GetFlashVariables();
  ASSERT_TRUE(back.updated);
  ExpectSameConfig(back, config, false);
  EXPECT_EQ(back.CANRxID, 0x9FFFFFFFu);
  EXPECT_EQ(back.ChangedFlags, 0);
  EXPECT_FALSE(device->GetServerIsRunning());
}

TEST(FWConfigNet, EspReadChangeWriteReadBack) {
  TSimHost host(TSimFamily::Esp, "127.0.0.72", 114);
  TConfigEngine engine;
  auto owned = host.MakeDevice();
  TZor_NetworkDevice *device = owned.get();
  engine.SetOwnedDevice(std::move(owned));

  std::string err;
  ASSERT_EQ(engine.GetDeviceFirmwareVersionAndFlash(false, err), 0) << err;
  TZor_FlashVariables config = engine.GetFlashVariables();
  ASSERT_TRUE(config.updated);
  EXPECT_EQ(config.SerialNumber, 0x4321u);
  EXPECT_EQ(config.IPAddress, "127.0.0.72");
  EXPECT_EQ(config.HardFeature32, 0x00012345u);
  EXPECT_EQ(config.Password, 0xFFFFFFFFu);  // not reachable over the network
  EXPECT_FALSE(device->GetServerIsRunning());

  std::string errors;
  AddConfigError(errors, ApplyHostName(config, "Zor-Bench"));
  AddConfigError(errors, ApplyBaudRate(config, "9600"));
  AddConfigError(errors, ApplyStartSetting(config, {true, 1, 9}));
  AddConfigError(errors, ApplyCANID(config, false, "123", true));
  AddConfigError(errors, ApplyCANID(config, true, "7FF", false));
  AddConfigError(errors, ApplyPPIinterval(config, 6));
  AddConfigError(errors, ApplyPPIoffset(config, "99"));
  AddConfigError(errors, ApplyAddress(config, adr_Gateway, "127.0.0.1"));
  AddConfigError(errors, ApplyAddress(config, adr_IPAddress, "127.0.0.76"));
  ASSERT_EQ(errors, "");
  ApplyPPIuserDependend(config, true);
  config.Customer = 77;
  config.ReservedString1 = "rs1";
  config.ChangedFlags |= fch_Customer | fch_ReservedString1;
  ASSERT_EQ(engine.SetFlashVariables(config, false), 0) << engine.AllMessages();
  EXPECT_TRUE(engine.HasMessage("Writing successful", mtInfo));
  EXPECT_EQ(engine.GetFlashNewIP(), "127.0.0.76");  // static address: found again by it
  EXPECT_EQ(engine.GetFlashNewHost(), "");
  EXPECT_FALSE(device->GetServerIsRunning());

  ASSERT_EQ(engine.ReadConfig(), 0) << engine.AllMessages();
  const TZor_FlashVariables &back = engine.GetFlashVariables();
  ASSERT_TRUE(back.updated);
  ExpectSameConfig(back, config, true);
  EXPECT_EQ(back.GetHard24_31(), 0x19);
  EXPECT_EQ(back.GetESPBaudRate(), 9600u);
  EXPECT_EQ(back.CANRxID, 0x80000123u);
  EXPECT_FALSE(device->GetServerIsRunning());

  // Switching to DHCP tells where to look for the device afterwards.
  TZor_FlashVariables dhcp = back;
  ApplyStaticIP(dhcp, false);
  ASSERT_EQ(engine.SetFlashVariables(dhcp, false), 0);
  EXPECT_EQ(engine.GetFlashNewHost(), "Zor-Bench");
}

TEST(FWConfigNet, EspOldFirmwareReadsItemByItem) {
  TSimHost host(TSimFamily::Esp, "127.0.0.73", 108);
  TConfigEngine engine;
  engine.SetOwnedDevice(host.MakeDevice());
  std::string err;
  ASSERT_EQ(engine.GetDeviceFirmwareVersionAndFlash(false, err), 0) << err;
  const TZor_FlashVariables &config = engine.GetFlashVariables();
  ASSERT_TRUE(config.updated);
  EXPECT_EQ(config.SerialNumber, 0x4321u);
  EXPECT_EQ(config.Subnetmask, "255.255.255.0");
  EXPECT_EQ(config.Password, 0xFFFFFFFFu);
}

// Gives the engine a device object for the simulator at `host.Ip`.
TZor_NetworkDevice *Attach(TConfigEngine &engine, TSimHost &host) {
  auto owned = host.MakeDevice();
  TZor_NetworkDevice *device = owned.get();
  engine.SetOwnedDevice(std::move(owned));
  return device;
}

// The simulator is back on the network under `ip`. A ping to a loopback
// address nobody has claimed yet answers at once, so the engine may be done
// before the simulator; it claims the address once its control port is open.
bool BackUnder(TSimHost &host, const std::string &ip) {
  return nettest::WaitUntil(
      [&] { return host.Link->GetAddress() == ip && platform::SimHostIsUp(ip).value_or(false); }, 15000);
}

bool ConfigCommandSent(const TSimDevice &device) {
  for (const TSimCommandRecord &r : device.CommandLog())
    if (r.Bytes.compare(0, 2, "\x85\x22") == 0) return true;
  return false;
}

// A new address takes effect with the reset: the engine waits for the device
// under it, and a device object for that address reads the same configuration.
void MoveAndReadBack(TSimFamily family, const std::string &oldIp, const std::string &newIp) {
  const bool esp = family == TSimFamily::Esp;
  TSimHost host(family, oldIp);
  TConfigEngine engine;
  TZor_NetworkDevice *device = Attach(engine, host);
  std::string err;
  ASSERT_EQ(engine.GetDeviceFirmwareVersionAndFlash(false, err), 0) << err;
  TZor_FlashVariables config = engine.GetFlashVariables();
  ASSERT_TRUE(config.updated);
  ASSERT_EQ(ApplyAddress(config, adr_IPAddress, newIp), "");
  ASSERT_EQ(ApplyCANID(config, true, "321", false), "");

  ASSERT_EQ(engine.SetFlashVariables(config, true), 0) << engine.AllMessages();
  EXPECT_EQ(engine.GetFlashNewIP(), newIp);
  EXPECT_TRUE(engine.HasMessage("Waiting for device IP " + newIp + "...", mtInfo)) << engine.AllMessages();
  EXPECT_TRUE(engine.GetZustandNachReset());
  EXPECT_FALSE(device->GetServerIsRunning());
  EXPECT_EQ(ConfigCommandSent(*host.Device), !esp);

  ASSERT_TRUE(BackUnder(host, newIp));
  EXPECT_FALSE(platform::SimHostIsUp(oldIp).has_value());  // the old address is given back
  host.Ip = newIp;
  TZor_NetworkDevice *moved = Attach(engine, host);
  ASSERT_EQ(engine.ReadConfig(), 0) << engine.AllMessages();
  const TZor_FlashVariables &back = engine.GetFlashVariables();
  ASSERT_TRUE(back.updated);
  ExpectSameConfig(back, config, esp);
  EXPECT_EQ(back.IPAddress, newIp);
  EXPECT_FALSE(moved->GetServerIsRunning());
}

TEST(FWConfigNet, ColdfireComesBackUnderItsNewAddress) {
  MoveAndReadBack(TSimFamily::Coldfire, "127.0.0.81", "127.0.0.82");
}

TEST(FWConfigNet, EspWithStaticAddressComesBackUnderItsNewAddress) {
  MoveAndReadBack(TSimFamily::Esp, "127.0.0.83", "127.0.0.84");
}

// Firmware below 19 does not know the configuration command: the block goes
// through the staging area and the system code, over the network as well.
TEST(FWConfigNet, OldColdfireFirmwareProgramsTheBlock) {
  TSimHost host(TSimFamily::Coldfire, "127.0.0.85", 18);
  TConfigEngine engine;
  TZor_NetworkDevice *device = Attach(engine, host);
  std::string err;
  ASSERT_EQ(engine.GetDeviceFirmwareVersionAndFlash(true, err), 0) << err;
  ASSERT_EQ(engine.GetFirmwareVersion(), 18);
  TZor_FlashVariables config = engine.GetFlashVariables();
  ASSERT_TRUE(config.updated);
  ASSERT_EQ(ApplyNickName(config, "Old bench"), "");
  ASSERT_EQ(ApplyCANID(config, false, "1ABCDEF", true), "");

  ASSERT_EQ(engine.SetFlashVariables(config, true), 0) << engine.AllMessages();
  EXPECT_TRUE(engine.HasMessage("Programming successful", mtInfo)) << engine.AllMessages();
  EXPECT_TRUE(engine.HasMessage("Firmware configuration transmitted", mtInfo));
  EXPECT_FALSE(ConfigCommandSent(*host.Device));
  bool programmed = false;
  for (const TSimCommandRecord &r : host.Device->CommandLog())
    programmed |= r.Accepted && r.Note.rfind("programmed", 0) == 0;
  EXPECT_TRUE(programmed);
  EXPECT_FALSE(device->GetServerIsRunning());

  ASSERT_TRUE(BackUnder(host, host.Ip));
  Attach(engine, host);
  ASSERT_EQ(engine.ReadConfig(), 0) << engine.AllMessages();
  ExpectSameConfig(engine.GetFlashVariables(), config, false);
}

// A programming failure is reported as such, leaves the block as it was, and
// the device is reset and closed.
TEST(FWConfigNet, FailedProgrammingOfTheBlockIsNoSuccess) {
  TSimHost host(TSimFamily::Coldfire, "127.0.0.86", 18);
  TSimFaults faults;
  faults.ProgramStatus = 0x30;  // verify failed
  host.Device->SetFaults(faults);
  TConfigEngine engine;
  TZor_NetworkDevice *device = Attach(engine, host);
  ASSERT_EQ(engine.ReadConfig(), 0) << engine.AllMessages();
  TZor_FlashVariables config = engine.GetFlashVariables();
  const std::string oldNick = config.NickName;
  ASSERT_EQ(ApplyNickName(config, "Never"), "");

  // The version is unknown here: it is asked for before the method is chosen.
  EXPECT_EQ(engine.SetFlashVariables(config, false), fwr_ProgrammingFailed);
  EXPECT_TRUE(engine.HasMessage("Verify failed", mtErr)) << engine.AllMessages();
  EXPECT_FALSE(engine.HasMessage("Firmware configuration transmitted", mtInfo));
  EXPECT_TRUE(engine.HasMessage("Reset Zor device...", mtInfo));
  EXPECT_FALSE(ConfigCommandSent(*host.Device));
  EXPECT_FALSE(device->GetServerIsRunning());

  host.Device->SetFaults({});
  ASSERT_TRUE(BackUnder(host, host.Ip));
  Attach(engine, host);
  ASSERT_EQ(engine.ReadConfig(), 0) << engine.AllMessages();
  EXPECT_EQ(engine.GetFlashVariables().NickName, oldNick);
}

// No session is left on the device: every slot is free again.
bool NoSessionLeft(const TSimHost &host) {
  return nettest::WaitUntil([&] {
    for (int slot = 1; slot <= 4; ++slot)
      if (host.Link->IsUserConnected(slot)) return false;
    return true;
  });
}

// A failed version or configuration read gives up the session with DISCONN,
// so the device does not keep the slot (four such runs would lock it).
TEST(FWConfigNet, FailedReadsEndTheSessionOnTheDevice) {
  {
    TSimHost host(TSimFamily::Coldfire, "127.0.0.87");
    TConfigEngine engine;
    engine.SetOwnedDevice(host.MakeDevice(1, false, 300));
    host.SetFaults([](TSimLinkFaults &f) {
      f.NoAnswer = {2, srkCmd};
    });  // the version command and its repeat
    std::string err;
    EXPECT_NE(engine.GetDeviceFirmwareVersionAndFlash(false, err), 0);
    EXPECT_FALSE(engine.GetFlashVariables().updated);
    EXPECT_TRUE(NoSessionLeft(host));
  }
  TSimHost host(TSimFamily::Esp, "127.0.0.88");
  TConfigEngine engine;
  engine.SetOwnedDevice(host.MakeDevice(1, false, 300));
  host.SetFaults([](TSimLinkFaults &f) { f.NoAnswer = {-1, srkCmd}; });  // no storage read goes out
  std::string err;
  engine.GetDeviceFirmwareVersionAndFlash(false, err);
  EXPECT_TRUE(engine.HasMessage("Reading configuration failed", mtErr)) << engine.AllMessages();
  EXPECT_FALSE(engine.GetFlashVariables().updated);
  EXPECT_TRUE(NoSessionLeft(host));
  EXPECT_NE(engine.ReadConfig(), 0);
  EXPECT_TRUE(NoSessionLeft(host));
}

bool CommandSent(const TSimDevice &device, const std::string &head) {
  for (const TSimCommandRecord &r : device.CommandLog())
    if (r.Bytes.compare(0, head.size(), head) == 0) return true;
  return false;
}

// A refused login leaves no session: nothing is written, no reset is sent
// (the device would restart for nothing), the run ends at once.
TEST(FWConfigNet, RefusedLoginSendsNeitherConfigurationNorReset) {
  for (const TSimFamily family : {TSimFamily::Esp, TSimFamily::Coldfire}) {
    const bool esp = family == TSimFamily::Esp;
    SCOPED_TRACE(esp ? "ESP" : "ColdFire");
    TSimHost host(family, esp ? "127.0.0.89" : "127.0.0.90");
    TConfigEngine engine;
    Attach(engine, host);
    std::string err;
    ASSERT_EQ(engine.GetDeviceFirmwareVersionAndFlash(false, err), 0) << err;
    TZor_FlashVariables config = engine.GetFlashVariables();
    ASSERT_EQ(ApplyCANID(config, true, "321", false), "");
    TSimFaults faults;
    faults.RefuseLogin = true;
    host.Device->SetFaults(faults);
    engine.SetCryptPassword("wrong");
    const uint32_t start = platform::GetTicks();
    EXPECT_NE(engine.SetFlashVariables(config, true), 0);
    EXPECT_LT(platform::TicksSince(start), 5000u);
    EXPECT_FALSE(CommandSent(*host.Device, esp ? "\x85%" : "\x85\x22"));
    EXPECT_FALSE(CommandSent(*host.Device, CmdReset()));
    EXPECT_FALSE(CommandSent(*host.Device, CmdResetBoth()));
    EXPECT_FALSE(engine.HasMessage("Reset Zor device...", mtInfo)) << engine.AllMessages();
    EXPECT_TRUE(NoSessionLeft(host));
  }
}

// The device cuts the session in the middle of a write: nothing more goes
// out, no storage write and no reset, for there is no session to carry them.
TEST(FWConfigNet, CutSessionEndsTheWriteWithoutFurtherCommands) {
  TSimHost host(TSimFamily::Esp, "127.0.0.95");
  TConfigEngine engine;
  TZor_NetworkDevice *device = Attach(engine, host);
  ASSERT_EQ(engine.ReadConfig(), 0) << engine.AllMessages();
  TZor_FlashVariables config = engine.GetFlashVariables();
  ASSERT_EQ(ApplyCANID(config, true, "321", false), "");
  engine.OnMessageHook = [&](const std::string &text) {
    if (text != "Writing configuration...") return;
    host.Device->Restart();
    EXPECT_TRUE(nettest::WaitUntil([&] { return !device->IsSessionOpen(); }));
  };
  const uint32_t start = platform::GetTicks();
  EXPECT_NE(engine.SetFlashVariables(config, true), 0);
  EXPECT_LT(platform::TicksSince(start), 5000u);
  EXPECT_TRUE(engine.HasMessage("Writing CAN ID failed", mtErr)) << engine.AllMessages();
  EXPECT_FALSE(engine.HasMessage("Reset Zor device...", mtInfo));
  EXPECT_FALSE(CommandSent(*host.Device, "\x85%"));
  EXPECT_FALSE(CommandSent(*host.Device, CmdReset()));
  EXPECT_FALSE(CommandSent(*host.Device, CmdResetBoth()));
}

// A write that fails after the address item may or may not have moved the
// device: the new address is recorded, and the present one as well.
TEST(FWConfigNet, PartialWriteAfterAnAddressChangeKeepsBothAddresses) {
  {
    TSimHost host(TSimFamily::Esp, "127.0.0.91");
    TConfigEngine engine;
    Attach(engine, host);
    ASSERT_EQ(engine.ReadConfig(), 0) << engine.AllMessages();
    TZor_FlashVariables config = engine.GetFlashVariables();
    ASSERT_TRUE(config.IsHardESPstaticIP());
    ASSERT_EQ(ApplyAddress(config, adr_IPAddress, "127.0.0.092"), "");
    config.ReservedString1 = std::string(300, 'x');  // the device refuses so long a text
    config.ChangedFlags |= fch_ReservedString1;
    EXPECT_NE(engine.SetFlashVariables(config, true), 0);
    EXPECT_TRUE(engine.HasMessage("Writing ReservedString1 failed", mtErr));
    EXPECT_EQ(engine.GetFlashNewIP(), "127.0.0.92");
    EXPECT_EQ(engine.GetFlashOldIP(), "127.0.0.91");
    // The items before are written: the reset makes them take effect.
    EXPECT_TRUE(CommandSent(*host.Device, CmdReset()) || CommandSent(*host.Device, CmdResetBoth()));
    // The address item was written: the device is found under it.
    EXPECT_TRUE(engine.GetZustandNachReset()) << engine.AllMessages();
    EXPECT_TRUE(BackUnder(host, "127.0.0.92"));
  }
  // ColdFire: the block goes out but its answer is lost.
  TSimHost host(TSimFamily::Coldfire, "127.0.0.93");
  TConfigEngine engine;
  engine.SetOwnedDevice(host.MakeDevice(1, false, 300));
  std::string err;
  ASSERT_EQ(engine.GetDeviceFirmwareVersionAndFlash(false, err), 0) << err;
  TZor_FlashVariables config = engine.GetFlashVariables();
  ASSERT_EQ(ApplyAddress(config, adr_IPAddress, "127.0.0.94"), "");
  engine.OnMessageHook = [&](const std::string &text) {
    if (text.rfind("Connected to", 0) == 0)
      host.SetFaults([](TSimLinkFaults &f) { f.NoAnswer = {-1, srkCmd}; });
  };
  EXPECT_NE(engine.SetFlashVariables(config, false), 0);
  EXPECT_FALSE(engine.HasMessage("Firmware configuration transmitted", mtInfo));
  EXPECT_EQ(engine.GetFlashNewIP(), "127.0.0.94");
  EXPECT_EQ(engine.GetFlashOldIP(), "127.0.0.93");
  host.SetFaults([](TSimLinkFaults &f) { f.NoAnswer = {}; });
}

// The factory switch logs in with the device password, as an update and a
// configuration write do.
TEST(FWConfigNet, FactorySwitchLogsIn) {
  TSimHost host(TSimFamily::Esp, "127.0.0.96", -1, "secret");
  TConfigEngine engine;
  TZor_NetworkDevice *device = Attach(engine, host);
  std::string err;
  ASSERT_EQ(engine.GetDeviceFirmwareVersionAndFlash(false, err), 0) << err;
  engine.SetCryptPassword("secret");
  EXPECT_EQ(engine.SwitchFactoryPartition(), 0) << engine.AllMessages();
  EXPECT_TRUE(CommandSent(*host.Device, std::string("\x85\x12", 2) + "secret"));
  EXPECT_TRUE(CommandSent(*host.Device, CmdFactoryPartition()));
  EXPECT_FALSE(device->GetServerIsRunning());
}

// An ESP device that answers storage reads the way a transport hands the
// answers over: with the key of the item they answer. One item can be
// answered twice, as a device that repeats an answer does.
class TNVSDevice : public TZor_TestDevice {
 public:
  TNVSDevice() : TZor_TestDevice(Zor_HID, ptESP) {
    OnWrite = [this](const std::string &cmd) {
      if (cmd.size() != 4 || cmd[0] != '\x85' || cmd[1] != 'E') return;
      const char kind = cmd[2];
      const uint8_t n = static_cast<uint8_t>(cmd[3]);
      std::string value = kind == 's' ? Strings[n] : IntToBigEndianText32(Swap32(Integers[n]));
      if (!Keyed) {
        FeedTools(value);
        return;
      }
      StoreNVSAnswer(NVSAnswerKey(kind, n), value);
      if (kind == 'i' && n == RepeatedItem) StoreNVSAnswer(NVSAnswerKey(kind, n), value);
    };
  }
  std::map<uint8_t, uint32_t> Integers{{0, 0x4321}, {2, 0x0500000A}, {5, 0x00012345}, {9, 96}};
  std::map<uint8_t, std::string> Strings{{0, "zor-7"}, {1, std::string(1, '\0')}};
  int RepeatedItem = -1;
  bool Keyed = true;
};

void ExpectReadAsStored(const TConfigEngine &engine) {
  const TZor_FlashVariables &config = engine.GetFlashVariables();
  ASSERT_TRUE(config.updated) << engine.AllMessages();
  EXPECT_EQ(config.SerialNumber, 0x4321u);
  EXPECT_EQ(config.IPAddress, "10.0.0.5");
  EXPECT_EQ(config.HardFeature32, 0x00012345u);
  EXPECT_EQ(config.ReservedInt9, 96u);
  EXPECT_EQ(config.NickName, "zor-7");
}

// A repeated answer or one left from an earlier read does not shift the
// items: each is taken from the answer to its own request.
TEST(FWConfigScripted, EspItemsAreTakenFromTheirOwnAnswers) {
  platform::TZor_VirtualClock clock;
  platform::TZor_ClockGuard guard(clock);
  for (const int firmware : {114, 108}) {  // all requests at once; one after the other
    SCOPED_TRACE(firmware);
    TNVSDevice device;
    TConfigEngine engine;
    engine.SetBaseDevice(&device);
    engine.FFirmwareVersion = firmware;
    device.StoreNVSAnswer(NVSAnswerKey('i', 0), "late");  // a timed-out read of an earlier session
    device.RepeatedItem = 0;
    ASSERT_EQ(engine.ReadConfig(), 0) << engine.AllMessages();
    ExpectReadAsStored(engine);
    device.RepeatedItem = 2;
    ASSERT_EQ(engine.ReadConfig(), 0) << engine.AllMessages();
    ExpectReadAsStored(engine);

    // Older firmware gives no key: what is left in the tools buffer is cleared first.
    device.Keyed = false;
    device.FeedTools("stale");
    ASSERT_EQ(engine.ReadConfig(), 0) << engine.AllMessages();
    ExpectReadAsStored(engine);
  }
}

TEST(FWConfigScripted, NothingChangedOrNoDeviceTouchesNothing) {
  TConfigEngine engine;
  TZor_FlashVariables config;
  config.ChangedFlags = fch_NickName;
  EXPECT_EQ(engine.SetFlashVariables(config, false), fwr_InvalidParameter);
  EXPECT_EQ(engine.ReadConfig(), fwr_InvalidParameter);

  TZor_TestDevice device(Zor_HID, ptColdfire);
  engine.SetBaseDevice(&device);
  config.ChangedFlags = 0;
  EXPECT_EQ(engine.SetFlashVariables(config, true), fwr_FlashUnchanged);
  EXPECT_EQ(device.OpenCount, 0);
  EXPECT_TRUE(device.Writes().empty());
}

TEST(FWConfigScripted, EspWritesOnlyChangedItemsInOrder) {
  TZor_TestDevice device(Zor_HID, ptESP);
  TConfigEngine engine;
  engine.SetBaseDevice(&device);
  TZor_FlashVariables config;
  config.updated = true;
  ASSERT_EQ(ApplyCANID(config, false, "100", false), "");
  ASSERT_EQ(ApplyCANID(config, true, "200", true), "");
  ASSERT_EQ(engine.SetFlashVariables(config, false), 0) << engine.AllMessages();
  const auto writes = Sent(device, "\x85%");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], Bytes({0x85, '%', 'i', 6, 0x00, 0x02, 0x00, 0x80}));
  EXPECT_EQ(writes[1], Bytes({0x85, '%', 'i', 7, 0x00, 0x01, 0x00, 0x00}));
  EXPECT_FALSE(device.GetPortIsOpened());
  EXPECT_EQ(engine.GetFlashVariables().ChangedFlags, 0);

  // An empty host name travels as one 0x00; the password goes only with USB access.
  device.ClearWrites();
  TZor_FlashVariables names;
  names.NickName = "";
  names.SetPassword(0x1234);
  names.ChangedFlags = fch_NickName | fch_Password;
  names.PasswordEnabled = false;
  ASSERT_EQ(engine.SetFlashVariables(names, false), 0);
  const auto nameWrites = Sent(device, "\x85%");
  ASSERT_EQ(nameWrites.size(), 1u);
  EXPECT_EQ(nameWrites[0], Bytes({0x85, '%', 's', 0, 0x00}));
}

TEST(FWConfigScripted, FailedEspWriteIsNoSuccessAndClosesTheDevice) {
  TZor_TestDevice device(Zor_HID, ptESP);
  TConfigEngine engine;
  engine.SetBaseDevice(&device);
  TZor_FlashVariables config;
  config.updated = true;
  config.SetSerialNumber(5);
  config.ChangedFlags = fch_SerialNumber | fch_Customer;
  device.FailNextWrites(1);
  EXPECT_EQ(engine.SetFlashVariables(config, false), fwr_WriteError);
  EXPECT_TRUE(engine.HasMessage("Writing SerialNumber failed", mtErr));
  EXPECT_TRUE(Sent(device, "\x85%").empty());  // stops at the first failing item
  EXPECT_FALSE(engine.GetFlashVariables().updated);
  EXPECT_FALSE(device.GetPortIsOpened());
}

TEST(FWConfigScripted, ColdfireUsbReadRepairsFeatureWordAndRefusesShortBlocks) {
  TZor_TestDevice device(Zor_HID, ptColdfire);
  std::string answer(80, '\xFF');
  answer.replace(0, 4, std::string("Lab\0", 4));
  answer.replace(66, 2, std::string("\x01\x00", 2));  // not a valid feature word
  answer.replace(76, 4, "\x0A\x0B\x0C\x0D");
  const std::string readCmd = Bytes({0x85, 0x40, 0x00, 0x07, 0xF0, 0x00, 80});
  device.OnWrite = [&](const std::string &cmd) {
    if (cmd == readCmd) device.FeedTools(answer);
  };
  TConfigEngine engine;
  engine.SetBaseDevice(&device);
  ASSERT_EQ(engine.ReadConfig(), 0) << engine.AllMessages();
  const TZor_FlashVariables &config = engine.GetFlashVariables();
  ASSERT_TRUE(config.updated);
  EXPECT_EQ(config.NickName, "Lab");
  EXPECT_EQ(config.HardFeature, 0xFFFF);
  EXPECT_EQ(config.GetHardFeatureString(), "unknown");
  EXPECT_EQ(config.Password, 0x0A0B0C0Du);  // USB reaches the password
  EXPECT_TRUE(config.PasswordEnabled);
  EXPECT_EQ(engine.FFlashVariablesBuffer.substr(66, 2), "\xFF\xFF");
  EXPECT_FALSE(device.GetPortIsOpened());

  // Reads take all requested bytes or none: a short block is never taken.
  answer.resize(10);
  EXPECT_EQ(engine.ReadConfig(), fwr_ReadError);
  EXPECT_TRUE(engine.HasMessage("Error reading configuration: Read error, requested=80, received=0", mtErr))
      << engine.AllMessages();
  EXPECT_FALSE(engine.GetFlashVariables().updated);
  EXPECT_FALSE(device.GetPortIsOpened());
}

TEST(FWConfigScripted, ColdfireUsbCommandFromFirmware19) {
  TZor_TestDevice device(Zor_HID, ptColdfire);
  TConfigEngine engine;
  engine.SetBaseDevice(&device);
  engine.FFirmwareVersion = 19;
  TZor_FlashVariables config;
  config.NickName = "AB";
  config.SetPassword(0x01020304);
  config.ChangedFlags = fch_NickName | fch_Password;
  ASSERT_EQ(engine.SetFlashVariables(config, false), 0) << engine.AllMessages();
  const auto cmds = Sent(device, "\x85\x22");
  ASSERT_EQ(cmds.size(), 1u);
  ASSERT_EQ(cmds[0].size(), 82u);  // the whole block over USB, password included
  EXPECT_EQ(cmds[0].substr(2, 4), std::string("AB\0\xFF", 4));
  EXPECT_EQ(cmds[0].substr(78, 4), "\x01\x02\x03\x04");
  EXPECT_FALSE(device.GetPortIsOpened());

  // A failed command is reported as the failure it is.
  device.ClearWrites();
  device.FailNextWrites(2);
  EXPECT_NE(engine.SetFlashVariables(config, false), 0);
  EXPECT_FALSE(device.GetPortIsOpened());
}

TEST(FWConfigScripted, OldColdfireFirmwareTakesTheProgrammingPath) {
  platform::TZor_VirtualClock clock;
  platform::TZor_ClockGuard guard(clock);
  TZor_TestDevice device(Zor_HID, ptColdfire);
  // The programming status read after the system code ran: success.
  device.OnWrite = [&device](const std::string &cmd) {
    if (cmd.compare(0, 6, std::string("\x85\x40\x20\x00\xF6\x14", 6)) == 0)
      device.FeedTools(std::string(4, '\0'));
  };
  TConfigEngine engine;
  engine.SetBaseDevice(&device);
  engine.FFirmwareVersion = 18;
  TZor_FlashVariables config;
  config.NickName = "Old";
  config.ChangedFlags = fch_NickName;
  EXPECT_EQ(engine.SetFlashVariables(config, false), 0);
  EXPECT_TRUE(Sent(device, "\x85\x22").empty());
  const auto block = Sent(device, std::string("\x85\x20\x30\x07\xF0\x00", 6));
  ASSERT_EQ(block.size(), 1u);
  EXPECT_EQ(block[0].substr(6), engine.FFlashVariablesBuffer);
  EXPECT_EQ(block[0].substr(6, 4), std::string("Old\0", 4));
  EXPECT_FALSE(device.GetPortIsOpened());
}

}  // namespace
}  // namespace zor
