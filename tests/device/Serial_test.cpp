#include <gtest/gtest.h>

#include "device/Zor_BaseDevice.h"
#include "device/Zor_Report.h"
#include "platform/Zor_Sys.h"
#include "tests/device/ReportTestData.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

using namespace testdata;

// The serial frame of a report: the text frame without its escape count.
std::string SerialFrame(const std::string &report, char end = '\xBF') {
  std::string f = BuildTextFrame(report).substr(1);
  f.back() = end;
  return f;
}

class SerialLine : public ::testing::Test {
 protected:
  std::string Step() {
    std::string report;
    last = reader.GetReport(report);
    return report;
  }
  platform::TZor_VirtualClock clock{1000};
  platform::TZor_ClockGuard guard{clock};
  TZor_TestDevice dev{Zor_Serial, ptColdfire};
  TZor_ReportDevice reader{dev};
  TZor_Result last = Zor_No_Err;
};

TEST_F(SerialLine, GoodFrameIsAcknowledgedWithItsEndByte) {
  dev.Feed(SerialFrame(Report(0x1201, std::string("\xBC\xBE", 2)), '\xBD'));
  EXPECT_EQ(Step(), Report(0x1201, std::string("\xBC\xBE", 2)));
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"\xBD"});
  EXPECT_EQ(dev.GetReportCounter(), 1u);
}

TEST_F(SerialLine, WrongLengthOrCheckIsRefusedWithNak) {
  std::string shortened = SerialFrame(Report(0x1201, "abc"));
  shortened.erase(3, 1);
  dev.Feed(shortened);
  EXPECT_EQ(Step(), "");
  std::string badCheck = SerialFrame(Report(0x1201, "abc"), '\xBD');
  badCheck[badCheck.size() - 2] ^= 0x01;
  dev.Feed(badCheck);
  EXPECT_EQ(Step(), "");
  EXPECT_EQ(dev.Writes(), (std::vector<std::string>{"\xBE", "\xBC"}));
}

TEST_F(SerialLine, RepeatedEndByteRepeatsTheAnswer) {
  dev.Feed(SerialFrame(Report(0x1201, "abc")));
  Step();
  dev.Feed("\xBF\xBD");  // our ACK was lost; then a stray end byte
  Step();
  EXPECT_EQ(dev.Writes(), (std::vector<std::string>{"\xBF", "\xBF", "\xBC"}));
}

TEST_F(SerialLine, WaitingCommandReplacesAckAndAckFollowsEcho) {
  reader.SendCommand(std::string("\x85\x42\x01", 3));
  dev.Feed(SerialFrame(Report(0x1201, "abc")));
  Step();
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"\x85"});
  EXPECT_EQ(reader.GetRxMode(), rxCommand);
  dev.Feed("\x85");
  Step();
  dev.Feed("\xBF\x42");  // a repeated end byte in between is ignored
  Step();
  dev.Feed("\x01");
  Step();
  EXPECT_EQ(dev.Writes(), (std::vector<std::string>{"\x85", "\x42", "\x01", "\xBF"}));
  EXPECT_EQ(reader.GetRxMode(), rxData);
  EXPECT_FALSE(reader.GetSerialBufferCleared()) << "an extended command does not clear the buffer";
}

TEST_F(SerialLine, EchoErrorRestartsCommand) {
  reader.SendCommand("\xC3\x01");
  dev.Feed(SerialFrame(Report(0x1201, "abc")));
  Step();
  dev.Feed("\xC3\x02");  // wrong echo of the second byte
  Step();
  dev.Feed("\xC3\x01");
  Step();
  EXPECT_EQ(dev.Writes(), (std::vector<std::string>{"\xC3", "\x01", "\xC3", "\x01", "\xBF"}));
  EXPECT_TRUE(reader.GetSerialBufferCleared());
  EXPECT_FALSE(reader.GetSerialBufferCleared());
}

TEST_F(SerialLine, SilencePollsAndDropsHalfFrame) {
  const std::string frame = SerialFrame(Report(0x1201, "abc"));
  dev.Feed(frame.substr(0, 3));
  Step();
  clock.Advance(500);
  Step();
  EXPECT_TRUE(dev.Writes().empty());
  clock.Advance(600);
  Step();
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"\xBC"});
  dev.Feed(frame);  // the device sends the frame again
  EXPECT_EQ(Step(), Report(0x1201, "abc"));
}

TEST_F(SerialLine, IllegalBEIsReportedAndFrameRefused) {
  std::string frame = SerialFrame(Report(0x1201, "abc"));
  frame.insert(3, "\xBE");
  dev.Feed(frame);
  EXPECT_EQ(Step(), "SerialGetReport: received illegal $BE");
  EXPECT_EQ(last, Zor_Err_BadFormat);
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"\xBE"}) << "the short frame gets a NAK";
}

TEST_F(SerialLine, WriteFailureGivesWriteError) {
  dev.FailNextWrites(1, Zor_Err_DataTransferInterrupted, "line down");
  dev.Feed(SerialFrame(Report(0x1201, "abc")));
  EXPECT_EQ(Step(), "line down");
  EXPECT_EQ(last, Zor_Err_DataTransferInterrupted);
  EXPECT_EQ(dev.GetErrorCode(), Zor_No_Err);
}

TEST_F(SerialLine, VersionReportSetsIdentityEveryTime) {
  const std::string version =
      Report(rid_Version, "VERSION LUM: 112US CF 2019-05-10 x / 190510.0A / 0000ABCD / 1");
  dev.Feed(SerialFrame(version) + SerialFrame(version));
  EXPECT_EQ(Step(), version);
  EXPECT_EQ(Step(), version);
  EXPECT_EQ(dev.GetSerialNumberValue(), 0xABCDu);
  EXPECT_EQ(dev.GetFirmwareVersionNumber(), 112);
}

TEST(SerialLineEsp, EspDeviceSwitchesToBinaryRecords) {
  TZor_TestDevice dev(Zor_Serial, ptESP);
  TZor_ReportDevice reader(dev);
  dev.Feed(Record(0x77, 0, 0, {5}));
  std::string report;
  reader.GetReport(report);
  EXPECT_EQ(Id(report), rid_Values77);
  EXPECT_TRUE(reader.GetDeviceProcessCommand() == &TZor_ReportDevice::BaseProcessCommand);
}

}  // namespace
}  // namespace zor
