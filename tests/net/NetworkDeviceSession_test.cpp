// Sessions of the network device object: every session that is given up is
// ended with DISCONN or remembered, data connections start on a unit boundary,
// addresses are canonical, and no teardown holds the caller.
#include <gtest/gtest.h>

#include "NetSimFixture.h"
#include "device/Zor_ColdfireCommands.h"
#include "foundation/CircularBuffer.h"
#include "net/Zor_NetworkDevice.h"
#include "platform/Zor_SimHosts.h"

using namespace zor;
using namespace zor::nettest;

TEST(NetworkDeviceSession, AddressWithLeadingZerosAndBlanksIsCanonical) {
  TSimHost host(TSimFamily::Coldfire, "127.0.3.10");
  TZor_NetworkDevice d(-1, 0, nullptr, true, " 127.000.003.010 ");
  EXPECT_EQ(d.GetDeviceIP(), "127.0.3.10");
  d.SetDeviceManagementPort(host.Link->GetControlPort());
  EXPECT_EQ(d.GetDeviceIPAndPort(), "127.0.3.10:" + std::to_string(host.Link->GetControlPort()));
  d.SetUserID(1);
  d.SetAnswerTimeoutMs(1500);
  // Ping, CONNECT, the data server's peer check and commands all reach the device.
  std::string error;
  ASSERT_TRUE(d.OpenPort(error)) << error;
  EXPECT_TRUE(d.DeviceWrite(CmdVersion())) << d.GetErrorMessage();
  EXPECT_TRUE(d.CloseNetworkPort());
  EXPECT_FALSE(host.Link->IsUserConnected(1));
}

TEST(NetworkDeviceSession, StaleEntryWithUser255IsNotTakenForUser2) {
  TMissingGuard guard;
  TSimHost host(TSimFamily::Coldfire, "127.0.3.11");
  MissingDisconnects::Add("UserID=255Port=1234");
  MissingDisconnects::Add("UserID=2Port=4321");
  auto d = host.MakeDevice(2, true);  // tools mode: one CONNECT
  host.SetFaults([](TSimLinkFaults &f) { f.AnswerAb = {1, srkConnect}; });
  std::string error;
  EXPECT_FALSE(d->OpenPort(error));
  EXPECT_EQ(d->GetErrorCode(), Zor_TooManyUser);
  EXPECT_EQ(MissingDisconnects::Entries(), std::vector<std::string>{"UserID=255Port=1234"});
}

// The device accepts CONNECT but its data connection never becomes ours (it
// comes from another address): the open fails and the session is ended.
TEST(NetworkDeviceSession, ConnectOkWithoutDataConnectionEndsTheSession) {
  TMissingGuard guard;
  TSimHost host(TSimFamily::Coldfire, "127.0.3.12", -1, "", "0.0.0.0");
  ASSERT_TRUE(platform::ClaimSimHost(host.Ip, true));
  auto d = host.MakeDevice(1);
  std::string error;
  EXPECT_FALSE(d->OpenPort(error));
  EXPECT_EQ(d->GetErrorCode(), Zor_Err_RequestFailed);
  EXPECT_EQ(error, "No Data connection to " + host.Ip + ". Please check firewall settings");
  EXPECT_EQ(CountLog(host, "request CONNECT"), 1);
  EXPECT_EQ(CountLog(host, "request DISCONN"), 1);
  EXPECT_FALSE(host.Link->IsUserConnected(1));
  EXPECT_TRUE(MissingDisconnects::Entries().empty());
  EXPECT_FALSE(d->GetServerIsRunning());

  // The same with an unanswered DISCONN: the session is remembered.
  host.SetFaults([](TSimLinkFaults &f) { f.NoAnswer = {1, srkDisconn}; });
  d->SetAnswerTimeoutMs(200);
  EXPECT_FALSE(d->OpenPort(error));
  EXPECT_EQ(d->GetErrorCode(), Zor_Err_RequestFailed);
  EXPECT_EQ(MissingDisconnects::Entries(),
            std::vector<std::string>{MissingDisconnectEntry(255, d->GetServerPort())});
  platform::ReleaseSimHost(host.Ip);
}

// Every close of an open session sends DISCONN, also when the data connection
// was already cut; an undeliverable DISCONN is remembered.
TEST(NetworkDeviceSession, ClosePortEndsTheSessionOrRemembersIt) {
  TMissingGuard guard;
  TSimHost host(TSimFamily::Coldfire, "127.0.3.13");
  auto d = host.MakeDevice(1, false, 300);
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  EXPECT_TRUE(d->CloseDataConnection());
  EXPECT_FALSE(host.Link->IsUserConnected(1));

  ASSERT_TRUE(d->OpenPort(error)) << error;
  host.SetFaults([](TSimLinkFaults &f) { f.NoAnswer = {1, srkDisconn}; });
  EXPECT_FALSE(d->CloseNetworkPort());
  EXPECT_EQ(MissingDisconnects::Entries(),
            std::vector<std::string>{MissingDisconnectEntry(d->GetUserID(), d->GetServerPort())});
}

// A DISCONN the device leaves unanswered: the close gives up within the
// DISCONN bound, not the answer timeout of other requests, and remembers the
// session.
TEST(NetworkDeviceSession, UnansweredDisconnDoesNotHoldTheCaller) {
  TMissingGuard guard;
  TSimHost host(TSimFamily::Coldfire, "127.0.3.29");
  auto d = host.MakeDevice(1, false, 10000);
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  host.SetFaults([](TSimLinkFaults &f) { f.NoAnswer = {1, srkDisconn}; });
  const uint32_t start = platform::GetTicks();
  EXPECT_FALSE(d->CloseNetworkPort());
  EXPECT_LT(platform::TicksSince(start), 2000u + 500u);
  EXPECT_EQ(MissingDisconnects::Entries(),
            std::vector<std::string>{MissingDisconnectEntry(d->GetUserID(), d->GetServerPort())});
}

// Closing while a block transfer holds the management connection breaks the
// transfer off and still ends the session.
TEST(NetworkDeviceSession, ClosePortDuringABlockTransfer) {
  TMissingGuard guard;
  TSimHost host(TSimFamily::Esp, "127.0.3.14");
  auto d = host.MakeDevice(1);
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  ASSERT_TRUE(d->BlockTransferStart(3000, 0, false)) << d->GetErrorMessage();
  ASSERT_TRUE(d->BlockTransferContinue(std::string(1440, 'a')));
  uint32_t start = platform::GetTicks();
  EXPECT_TRUE(d->CloseNetworkPort()) << d->GetErrorMessage();
  EXPECT_LT(platform::TicksSince(start), 2000u);
  EXPECT_TRUE(WaitUntil([&] { return !host.Link->IsUserConnected(1); }));
  EXPECT_EQ(CountLog(host, "request DISCONN"), 1);
  EXPECT_TRUE(WaitUntil([&] { return CountLog(host, "block transfer broken off") == 1; }));
  EXPECT_TRUE(MissingDisconnects::Entries().empty());
  EXPECT_FALSE(d->BlockTransferContinue(std::string(1440, 'b')));
  EXPECT_EQ(d->GetErrorMessage(), "Can not continue block transfer: not connected to device");
}

// The device cuts the data connection and then does not answer the DISCONN
// the data thread sends: the owner's teardown does not wait for that answer.
TEST(NetworkDeviceSession, DeviceSideCloseDoesNotHoldTheOwner) {
  TMissingGuard guard;
  TSimHost host(TSimFamily::Coldfire, "127.0.3.22");
  auto d = host.MakeDevice(1, false, 8000);
  host.SetFaults([](TSimLinkFaults &f) {
    f.DropData = {1, srkAll};
    f.DropAfterBytes = 10;
    f.NoAnswer = {1, srkDisconn};
  });
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  ASSERT_TRUE(d->DeviceWrite(CmdVersion()));
  ASSERT_TRUE(WaitUntil([&] { return CountLog(host, "request DISCONN") == 1; }, 3000));
  uint32_t start = platform::GetTicks();
  d->ForceClose();
  d->ClosePort();
  d.reset();
  EXPECT_LT(platform::TicksSince(start), 2000u);
  // The data thread could not confirm its DISCONN: the session is remembered.
  EXPECT_EQ(MissingDisconnects::Entries().size(), 1u);
}

namespace {
// NVS read of integer item `n` (0x85 'E' 'i' n).
std::string ReadNvsInteger(uint8_t n) { return std::string("\x85""Ei", 3) + static_cast<char>(n); }
}  // namespace

// The device refuses the hardware-feature request of a new ESP data
// connection ("bu"): the request is over, and the engine's own NVS answers
// ('q' below firmware 109, 'x' from it on) reach the tools buffer as they are.
TEST(NetworkDeviceSession, RefusedHardFeatureRequestLeavesToolsAnswersAlone) {
  for (int firmware : {108, 114}) {
    SCOPED_TRACE(firmware);
    TSimHost host(TSimFamily::Esp, firmware == 108 ? "127.0.3.24" : "127.0.3.25", firmware);
    auto d = host.MakeDevice(1);
    host.SetFaults([](TSimLinkFaults &f) { f.AnswerBu = {1, srkCmd}; });
    std::string error;
    ASSERT_TRUE(d->OpenPort(error)) << error;
    ASSERT_TRUE(WaitUntil([&] { return CountLog(host, "fault: answer bu") == 1; }, 3000));
    EXPECT_TRUE(WaitUntil([&] { return d->GetCmdResponse() == crt_none; }));
    d->SetFirmwareVersionNumber(firmware);

    ASSERT_TRUE(d->DeviceWrite(ReadNvsInteger(0))) << d->GetErrorMessage();
    std::string answer = ReadNvs(*d, NVSAnswerKey('i', 0), 4);
    ASSERT_GE(answer.size(), 4u);
    EXPECT_EQ(answer.substr(answer.size() - 4), std::string("\x21\x43\0\0", 4));  // serial number 0x4321
    EXPECT_EQ(d->GetHardFeature32(), 0u);
    d->ClosePort();
  }
}

// An NVS read sent while the hardware-feature request is still out waits for
// its answer: each answer goes where it belongs.
TEST(NetworkDeviceSession, NvsReadWaitsForThePendingHardFeatureAnswer) {
  TSimHost host(TSimFamily::Esp, "127.0.3.26", 108);
  auto d = host.MakeDevice(1);
  d->SetFirmwareVersionNumber(108);
  host.SetFaults([](TSimLinkFaults &f) {
    f.SlowAnswer = {1, srkCmd};  // the feature request is answered late
    f.SlowAnswerMs = 300;
  });
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  ASSERT_TRUE(WaitUntil([&] { return d->GetPeerType() == ptESP; }, 3000));
  ASSERT_TRUE(d->DeviceWrite(ReadNvsInteger(0))) << d->GetErrorMessage();
  EXPECT_EQ(d->GetHardFeature32(), 0x00012345u);
  std::string answer = ReadNvs(*d, NVSAnswerKey('i', 0), 4);
  ASSERT_GE(answer.size(), 4u);
  EXPECT_EQ(answer.substr(answer.size() - 4), std::string("\x21\x43\0\0", 4));
  d->ClosePort();
}

// Every slot taken, and the remembered stale session is not the one holding
// it (its DISCONN is refused): the open fails as "too many users", not with
// the refusal of the clean-up.
TEST(NetworkDeviceSession, SlotsTakenStaysTooManyUserWhenTheCleanUpFails) {
  TMissingGuard guard;
  TSimHost host(TSimFamily::Coldfire, "127.0.3.27");
  auto holder = host.MakeDevice(1);
  std::string error;
  ASSERT_TRUE(holder->OpenPort(error)) << error;
  holder->ForceClose();  // the slot stays taken on the device
  MissingDisconnects::Add(MissingDisconnectEntry(1, 1));

  auto d = host.MakeDevice(1);
  EXPECT_FALSE(d->OpenPort(error));
  EXPECT_EQ(d->GetErrorCode(), Zor_TooManyUser);
  EXPECT_NE(error.find("UserID 1 already in use"), std::string::npos) << error;
  EXPECT_EQ(CountLog(host, "DISCONN for an unknown session refused"), 1);
}
