// A write the transport refuses without naming a cause is still a failed
// write: the engine must never read a missing error code as success, neither
// on the first try nor on the repeat after a timeout.
#include <gtest/gtest.h>

#include <deque>

#include "device/Zor_ColdfireCommands.h"
#include "tests/firmware/FW_TestEngine.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

// Fails the next writes with the given codes, one code per write, in order.
class TFailingDevice : public TZor_TestDevice {
 public:
  using TZor_TestDevice::TZor_TestDevice;
  bool DeviceWrite(const std::string &command) override {
    if (FailCodes.empty()) return TZor_TestDevice::DeviceWrite(command);
    SetError(FailCodes.front(), "");
    FailCodes.pop_front();
    return false;
  }
  std::deque<TZor_Result> FailCodes;
};

class FWWriteFailure : public ::testing::Test {
 protected:
  platform::TZor_VirtualClock FClock;
  platform::TZor_ClockGuard FGuard{FClock};
  TTestEngine FEngine;
};

TEST_F(FWWriteFailure, FailedWriteWithoutErrorCodeIsAWriteError) {
  for (TZor_DeviceType type : {Zor_HID, Zor_Remote}) {
    TFailingDevice dev(type);
    std::string error;
    ASSERT_TRUE(dev.OpenPort(error));  // a network device sends only within a session
    dev.FailCodes = {Zor_No_Err};
    EXPECT_EQ(FEngine.WriteDevice(&dev, CmdStop()), fwr_WriteError) << static_cast<int>(type);
    EXPECT_EQ(FEngine.GetDeviceResult(), fwr_WriteError) << static_cast<int>(type);
    EXPECT_TRUE(dev.Writes().empty());
  }
}

TEST_F(FWWriteFailure, RepeatAfterTimeoutFailingWithoutErrorCodeIsAWriteError) {
  TFailingDevice dev;
  dev.FailCodes = {Zor_Err_RequestTimeout, Zor_No_Err};
  EXPECT_EQ(FEngine.WriteDevice(&dev, CmdStop()), fwr_WriteError);
  EXPECT_TRUE(FEngine.HasMessage("Sending command timed out, repeat it once", mtInfo));
  EXPECT_TRUE(dev.FailCodes.empty()) << "the repeat was sent";
  EXPECT_TRUE(dev.Writes().empty());
}

TEST_F(FWWriteFailure, ResetFailingWithoutErrorCodeIsNotTakenAsSent) {
  TFailingDevice dev;
  dev.FailCodes = {Zor_No_Err};
  EXPECT_NE(FEngine.WriteDevice(&dev, CmdReset()), fwr_NoError);
}

}  // namespace
}  // namespace zor
