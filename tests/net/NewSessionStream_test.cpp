// A session that sent a stream-restarting command ignores data until the
// device's "buffer cleared" block arrives. When that block never came, the
// next session must not inherit the wait: its data start a new stream.
#include <gtest/gtest.h>

#include "NetSimFixture.h"
#include "device/Zor_ColdfireCommands.h"
#include "foundation/CircularBuffer.h"
#include "net/Zor_NetworkDevice.h"

using namespace zor;
using namespace zor::nettest;

namespace {

class TFlagProbe : public TZor_NetworkDevice {
 public:
  using TZor_NetworkDevice::FIgnoreDataUntilStreamInterrupted;
  using TZor_NetworkDevice::TZor_NetworkDevice;
};

bool VersionArrives(TZor_NetworkDevice &d) {
  d.GetReceiveBuffer().Clear();
  EXPECT_TRUE(d.DeviceWrite(CmdVersion())) << d.GetErrorMessage();
  return WaitUntil([&] { return d.GetReceiveBuffer().GetAmount() > 0; });
}

}  // namespace

TEST(NewSessionStream, WaitForARestartEndsWithTheSession) {
  TSimHost host(TSimFamily::Coldfire, "127.0.0.93");
  TFlagProbe d(-1, 0, nullptr, true, host.Ip);
  d.SetDeviceManagementPort(host.Link->GetControlPort());
  d.SetUserID(1);
  std::string error;
  ASSERT_TRUE(d.OpenPort(error)) << error;
  // The first answer after power-up carries the device's "buffer cleared"
  // mark; taking it here leaves the device with no such mark pending.
  ASSERT_TRUE(VersionArrives(d));

  // A restart was asked for, but its "buffer cleared" block never came.
  d.FIgnoreDataUntilStreamInterrupted = true;
  d.ClosePort();
  ASSERT_TRUE(d.OpenPort(error)) << error;
  EXPECT_FALSE(d.FIgnoreDataUntilStreamInterrupted);
  EXPECT_TRUE(VersionArrives(d)) << "the new session's data are kept";
  d.ClosePort();
  EXPECT_FALSE(host.Link->IsUserConnected(1));
}
