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
