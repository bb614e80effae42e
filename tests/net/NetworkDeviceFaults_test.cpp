// The network device object when the device refuses, repeats, stays silent,
// vanishes or drops its data connection (faults injected by the simulator).
#include <gtest/gtest.h>

#include <algorithm>

#include "NetSimFixture.h"
#include "device/Zor_ColdfireCommands.h"
#include "foundation/CircularBuffer.h"
#include "net/Zor_NetworkDevice.h"
#include "platform/Zor_SimHosts.h"
#include "platform/Zor_Tcp.h"

using namespace zor;
using namespace zor::nettest;


TEST(NetworkDeviceFaults, BusyCommandsAreRepeatedRefusalsAreNot) {
  TSimHost host(TSimFamily::Coldfire, "127.0.0.71");
  auto d = host.MakeDevice(1);
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;

  host.SetFaults([](TSimLinkFaults &f) { f.AnswerBu = {2, srkCmd}; });
  EXPECT_TRUE(d->DeviceWrite(CmdVersion())) << d->GetErrorMessage();
  EXPECT_EQ(CountLog(host, "request CMD"), 3);

  host.SetFaults([](TSimLinkFaults &f) {
    f.AnswerFe = {-1, srkCmd};
    f.FeText = "fehler 7";
  });
  EXPECT_FALSE(d->DeviceWrite(CmdVersion()));
  EXPECT_EQ(d->GetErrorCode(), Zor_Err_RepeatRequest);
  EXPECT_EQ(d->GetErrorMessage(), "Command execution denied (busy), please repeat CMD");
  EXPECT_EQ(CountLog(host, "request CMD"), 7);  // four more sends

  host.SetFaults([](TSimLinkFaults &f) {
    f.AnswerFe = {};
    f.AnswerAb = {1, srkCmd};
  });
  EXPECT_FALSE(d->DeviceWrite(CmdVersion()));
  EXPECT_EQ(d->GetErrorCode(), Zor_Err_RequestDenied);
  EXPECT_EQ(CountLog(host, "request CMD"), 8);  // "ab" is a refusal: sent once
  host.SetFaults([](TSimLinkFaults &f) { f.AnswerAb = {}; });
  d->ClosePort();
}

TEST(NetworkDeviceFaults, ConnectRepeatsOnTaAndFeButNotOnASlowAnswer) {
  TSimHost host(TSimFamily::Coldfire, "127.0.0.72");
  {
    auto d = host.MakeDevice(1);
    host.SetFaults([](TSimLinkFaults &f) { f.AnswerTa = {1, srkConnect}; });
    std::string error;
    EXPECT_TRUE(d->OpenPort(error)) << error;
    EXPECT_EQ(CountLog(host, "request CONNECT"), 2);
    d->ClosePort();
  }
  {
    auto d = host.MakeDevice(1);
    host.SetFaults([](TSimLinkFaults &f) { f.AnswerFe = {-1, srkConnect}; });
    std::string error;
    EXPECT_FALSE(d->OpenPort(error));
    EXPECT_EQ(error, "Connect to " + d->GetDeviceIPAndPort() + " failed - command execution denied");
    EXPECT_EQ(CountLog(host, "request CONNECT"), 6);  // at most four in one open
    EXPECT_FALSE(d->GetServerIsRunning());
  }
  {
    auto d = host.MakeDevice(1);
    host.SetFaults([](TSimLinkFaults &f) {
      f.AnswerFe = {};
      f.SlowAnswer = {1, srkConnect};
      f.SlowAnswerMs = 300;
    });
    std::string error;
    EXPECT_FALSE(d->OpenPort(error));
    EXPECT_EQ(error, "CONNECT-Request timed out");
    EXPECT_EQ(CountLog(host, "request CONNECT"), 7);
  }
}

TEST(NetworkDeviceFaults, AllSlotsTakenWithoutStaleSession) {
  TMissingGuard guard;
  TSimHost host(TSimFamily::Coldfire, "127.0.0.73");
  MissingDisconnects::Add("UserID=2Port=1234");
  auto d = host.MakeDevice(255);
  host.SetFaults([](TSimLinkFaults &f) { f.AnswerAb = {1, srkConnect}; });
  std::string error;
  EXPECT_FALSE(d->OpenPort(error));
  EXPECT_EQ(d->GetErrorCode(), Zor_TooManyUser);
  EXPECT_EQ(error.rfind(
                "CONNECT-Request to " + d->GetDeviceIPAndPort() + " failed: Too many users. Connected: ", 0),
            0u)
      << error;
  EXPECT_EQ(MissingDisconnects::Entries(), std::vector<std::string>{"UserID=2Port=1234"});
}

TEST(NetworkDeviceFaults, StaleSessionOfThisComputerIsClosedWithItsOldPort) {
  TMissingGuard guard;
  TSimHost host(TSimFamily::Coldfire, "127.0.0.74");
  uint16_t oldPort;
  {
    // A session that never got its DISCONN (the device was about to restart).
    auto old = host.MakeDevice(1);
    std::string error;
    ASSERT_TRUE(old->OpenPort(error)) << error;
    oldPort = old->GetServerPort();
    old->ForceClose();
  }
  ASSERT_TRUE(host.Link->IsUserConnected(1));
  MissingDisconnects::Add(MissingDisconnectEntry(1, oldPort));

  auto d = host.MakeDevice(1);
  std::string error;
  EXPECT_TRUE(d->OpenPort(error)) << error;
  EXPECT_NE(d->GetServerPort(), oldPort);
  EXPECT_TRUE(MissingDisconnects::Entries().empty());
  EXPECT_EQ(CountLog(host, "slot 1 is taken"), 1);
  EXPECT_EQ(CountLog(host, "request DISCONN"), 1);
  EXPECT_EQ(d->GetUserID() == 1 || d->GetUserID() == 255, true);
  d->ClosePort();
}

TEST(NetworkDeviceFaults, UnansweredCommandThenVanishedDevice) {
  TMissingGuard guard;
  TSimHost host(TSimFamily::Coldfire, "127.0.0.75");
  auto d = host.MakeDevice(1, false, 300);
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;

  host.SetFaults([](TSimLinkFaults &f) { f.NoAnswer = {1, srkCmd}; });
  EXPECT_FALSE(d->DeviceWrite(CmdVersion()));
  EXPECT_EQ(d->GetErrorCode(), Zor_Err_RequestTimeout);
  EXPECT_NE(d->GetErrorMessage().find("timed out -> PingNeeded"), std::string::npos);

  // The next command pings first; the device no longer answers.
  platform::SetSimHostUp(host.Ip, false);
  EXPECT_FALSE(d->DeviceWrite(CmdVersion()));
  EXPECT_EQ(d->GetErrorCode(), Zor_Err_ConnectFailed);
  EXPECT_EQ(d->GetErrorMessage().rfind("No connection to network device " + host.Ip + ": ", 0), 0u)
      << d->GetErrorMessage();

  // Closing cannot send DISCONN: the session is remembered, the server stays.
  uint32_t start = platform::GetTicks();
  EXPECT_FALSE(d->CloseNetworkPort());
  EXPECT_EQ(MissingDisconnects::Entries(),
            std::vector<std::string>{MissingDisconnectEntry(d->GetUserID(), d->GetServerPort())});
  EXPECT_TRUE(d->GetServerIsRunning());
  d.reset();  // destruction does not wait for the vanished device
  EXPECT_LT(platform::TicksSince(start), 5000u);
  platform::SetSimHostUp(host.Ip, true);
}

TEST(NetworkDeviceFaults, CommandDuringBlockTransferLeavesTheTransferIntact) {
  TSimHost host(TSimFamily::Esp, "127.0.0.76");
  auto d = host.MakeDevice(1);
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  ASSERT_TRUE(d->BlockTransferStart(3000, 0, false)) << d->GetErrorMessage();
  ASSERT_TRUE(d->BlockTransferContinue(std::string(1500, 'a')));
  EXPECT_FALSE(d->DeviceWrite(CmdStatusRequest(1)));
  EXPECT_EQ(d->GetErrorMessage(), "Previous Request is running");
  EXPECT_TRUE(d->BlockTransferContinue(std::string(1500, 'b')));
  EXPECT_TRUE(d->BlockTransferStop()) << d->GetErrorMessage();
  // Afterwards commands go out again.
  EXPECT_TRUE(d->DeviceWrite(CmdStatusRequest(1))) << d->GetErrorMessage();
  d->ClosePort();
}

TEST(NetworkDeviceFaults, BlockStopReportsABrokenConnection) {
  TSimHost host(TSimFamily::Esp, "127.0.0.77");
  auto d = host.MakeDevice(1);
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  ASSERT_TRUE(d->BlockTransferStart(3000, 0, false)) << d->GetErrorMessage();
  ASSERT_TRUE(d->BlockTransferContinue(std::string(100, 'a')));
  host.Link->Stop();  // the device vanishes in the middle of the transfer
  EXPECT_FALSE(d->BlockTransferStop());
  EXPECT_NE(d->GetErrorCode(), Zor_No_Err);
  d->ForceClose();
}

TEST(NetworkDeviceFaults, DroppedDataConnectionClosesAndReopens) {
  TMissingGuard guard;
  TSimHost host(TSimFamily::Coldfire, "127.0.0.78");
  auto d = host.MakeDevice(1);
  host.SetFaults([](TSimLinkFaults &f) {
    f.DropData = {1, srkAll};
    f.DropAfterBytes = 10;
  });
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  ASSERT_TRUE(d->DeviceWrite(CmdVersion()));
  ASSERT_TRUE(WaitUntil([&] { return !d->GetPortIsOpened(); }, 3000));
  EXPECT_EQ(d->GetErrorCode(), Zor_Err_Disconnected);
  EXPECT_EQ(MissingDisconnects::Entries().size(), 1u);
  EXPECT_FALSE(d->GetServerIsRunning());

  ASSERT_TRUE(d->OpenPort(error)) << error;
  ASSERT_TRUE(d->DeviceWrite(CmdVersion()));
  EXPECT_TRUE(WaitUntil([&] { return d->GetReceiveBuffer().GetAmount() > 0; }, 3000));
  d->ClosePort();
}

TEST(NetworkDeviceFaults, ForeignPeerOnTheDataServerIsDropped) {
  TSimHost host(TSimFamily::Coldfire, "127.0.0.79");
  auto d = host.MakeDevice(1);
  std::string error;
  ASSERT_TRUE(d->OpenPort(error)) << error;
  platform::TZor_TcpClient intruder("127.0.0.1", d->GetServerPort());
  ASSERT_TRUE(intruder.Connect());
  intruder.Write(std::string(64, '\xBF'));
  std::string got;
  EXPECT_EQ(intruder.Read(got, 2000), platform::TZor_ReadResult::rrClosed);
  // The device's own data connection is untouched.
  ASSERT_TRUE(d->DeviceWrite(CmdVersion()));
  EXPECT_TRUE(WaitUntil([&] { return d->GetReceiveBuffer().GetAmount() > 0; }, 3000));
  EXPECT_EQ(d->GetPeerType(), ptColdfire);
  d->ClosePort();
}

TEST(NetworkDeviceFaults, LoginRefused) {
  TSimHost host(TSimFamily::Coldfire, "127.0.0.80", -1, "secret12");
  auto d = host.MakeDevice(1, true);
  d->SetCryptPassword("wrongpw1");
  std::string error;
  EXPECT_FALSE(d->OpenPort(error));
  EXPECT_EQ(error, "Login failed: invalid password");
  EXPECT_FALSE(d->GetServerIsRunning());
}
