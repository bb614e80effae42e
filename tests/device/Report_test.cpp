#include <gtest/gtest.h>

#include "device/Zor_BaseDevice.h"
#include "device/Zor_Report.h"
#include "platform/Zor_Sys.h"
#include "tests/device/ReportTestData.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

using namespace testdata;

// Runs GetReport until it returns nothing more; collects the reports delivered.
std::vector<std::string> Drain(TZor_ReportDevice &reader, int maxSteps = 100) {
  std::vector<std::string> reports;
  std::string report;
  for (int i = 0; i < maxSteps; ++i) {
    const size_t before = reports.size();
    EXPECT_EQ(reader.GetReport(report), Zor_No_Err) << report;
    if (!report.empty()) reports.push_back(report);
    if (reports.size() == before && reader.GetRxMode() == rxData && reader.GetDevice().GetBufferAmount() == 0)
      break;
  }
  return reports;
}

std::string Frame(uint16_t id, const std::string &payload = "ab") {
  return BuildTextFrame(Report(id, payload));
}

// ---- command queue working with the report loop ---------------------------------

TEST(ReportCommands, OneCommandPerReportStepInOrder) {
  TZor_TestDevice dev(Zor_HID, ptColdfire);
  TZor_ReportDevice reader(dev);
  ASSERT_EQ(reader.SendCommand("\x41"), Zor_No_Err);
  ASSERT_EQ(reader.SendCommand("\x42"), Zor_No_Err);
  EXPECT_TRUE(dev.Writes().empty());
  EXPECT_EQ(reader.GetPendingCmdsCount(), 2u);
  dev.Feed(Frame(0x1201) + Frame(0x1202) + Frame(0x1203));

  std::string report;
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);
  EXPECT_EQ(Id(report), 0x1201);
  EXPECT_EQ(reader.GetRxMode(), rxCommand);
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);  // sends, reads nothing
  EXPECT_TRUE(report.empty());
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"\x41"});
  reader.GetReport(report);
  EXPECT_EQ(Id(report), 0x1202);
  reader.GetReport(report);
  EXPECT_EQ(dev.Writes(), (std::vector<std::string>{"\x41", "\x42"}));
  reader.GetReport(report);
  EXPECT_EQ(Id(report), 0x1203);
  EXPECT_EQ(reader.GetRxMode(), rxData);
  EXPECT_EQ(reader.GetPendingCmdsCount(), 0u);
}

TEST(ReportCommands, HeldWhileResponseAwaited) {
  TZor_TestDevice dev(Zor_HID, ptESP);
  TZor_ReportDevice reader(dev);
  dev.SetCmdResponse(crt_interval);
  reader.SendCommand("\x26");
  for (int i = 0; i < 3; ++i) dev.Feed(Record(0x77, 0, 0, {1}));
  std::string report;
  for (int i = 0; i < 4; ++i) reader.GetReport(report);
  EXPECT_TRUE(dev.Writes().empty());
  EXPECT_EQ(reader.GetPendingCmdsCount(), 1u);
  dev.SetCmdResponse(crt_none);
  reader.GetReport(report);  // the report step after the one that held it
  reader.GetReport(report);
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"\x26"});
}

TEST(ReportCommands, ColdfirePauseLastsUntil7901Report) {
  platform::TZor_VirtualClock clock(1000);
  platform::TZor_ClockGuard guard(clock);
  TZor_TestDevice dev(Zor_HID, ptColdfire);
  TZor_ReportDevice reader(dev);
  dev.SetDelayNextCmdMs(20);
  clock.Advance(50);
  reader.SendCommand("\x02");
  dev.Feed(Frame(0x1201) + Frame(0x1202));
  EXPECT_EQ(Drain(reader).size(), 2u);
  EXPECT_TRUE(dev.Writes().empty()) << "the pause runs until the device's 0x7901 report";
  dev.Feed(Frame(rid_NVSBlock0, std::string(8, '\x11')));
  Drain(reader);
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"\x02"});
}

TEST(ReportCommands, FailedWriteReportsDeviceError) {
  TZor_TestDevice dev(Zor_HID, ptColdfire);
  TZor_ReportDevice reader(dev);
  reader.SendCommand("\x41");
  dev.Feed(Frame(0x1201));
  std::string report;
  reader.GetReport(report);
  dev.FailNextWrites(1, Zor_WriteError, "write failed");
  EXPECT_EQ(reader.GetReport(report), Zor_WriteError);
  EXPECT_EQ(report, "write failed");
  EXPECT_EQ(dev.GetErrorCode(), Zor_No_Err);
}

// ---- text frames ----------------------------------------------------------------------

TEST(ReportFrames, FirstBadFrameOfFreshReaderIsSwallowedThenReported) {
  TZor_TestDevice dev(Zor_HID, ptColdfire);
  TZor_ReportDevice reader(dev);
  std::string bad = Frame(0x1201, "xyz");
  bad[bad.size() - 2] ^= 0x01;  // check byte (never escaped here)
  dev.Feed(bad + Frame(0x1202) + bad + Frame(0x1203));
  std::string report;
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);
  EXPECT_TRUE(report.empty());
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);
  EXPECT_EQ(Id(report), 0x1202);
  EXPECT_EQ(reader.GetReport(report), Zor_Err_BadFormat);
  EXPECT_EQ(report, "GetReport: CheckSum error");
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);
  EXPECT_EQ(Id(report), 0x1203);
}

TEST(ReportFrames, IllegalBEAndRawEndBytesResynchronise) {
  TZor_TestDevice dev(Zor_CDC, ptColdfire);
  TZor_ReportDevice reader(dev);
  std::string good = Frame(0x1202, "abcdef");
  std::string withBE = good;
  withBE[4] = '\xBE';
  std::string cut = good.substr(0, 5) + "\xBF";  // frame broken off by lost bytes
  dev.Feed(Frame(0x1201) + withBE + good + cut + good);
  std::string report;
  reader.GetReport(report);
  EXPECT_EQ(Id(report), 0x1201);
  EXPECT_EQ(reader.GetReport(report), Zor_Err_BadFormat);
  EXPECT_EQ(report, "GetReport: received illegal $BE");
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);
  EXPECT_EQ(Id(report), 0x1202);
  EXPECT_EQ(reader.GetReport(report), Zor_Err_BadFormat);
  EXPECT_EQ(report, "GetReport: unexpected end character received");
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);
  EXPECT_EQ(report, Report(0x1202, "abcdef"));
}

TEST(ReportFrames, EndByteArrivingLaterIsSkipped) {
  TZor_TestDevice dev(Zor_HID, ptColdfire);
  TZor_ReportDevice reader(dev);
  const std::string f1 = Frame(0x1201, std::string("\xBC\xBF\xBD", 3));
  dev.Feed(f1.substr(0, f1.size() - 1));
  std::string report;
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);
  EXPECT_EQ(report, Report(0x1201, std::string("\xBC\xBF\xBD", 3)));
  dev.Feed("\xBF" + Frame(0x1202));
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);
  EXPECT_EQ(Id(report), 0x1202);
}

TEST(ReportFrames, DeviceErrorIsReturnedWhenNothingComplete) {
  TZor_TestDevice dev(Zor_HID, ptColdfire);
  TZor_ReportDevice reader(dev);
  dev.SetLinkLost(true);
  std::string report;
  EXPECT_EQ(reader.GetReport(report), Zor_DeviceNotConnected);
  EXPECT_EQ(report, "device not connected");
}

// ---- version handling ----------------------------------------------------------------

TEST(ReportVersion, ClassicVersionSetsIdentityOnceUntilAskedAgain) {
  TZor_TestDevice dev(Zor_HID, ptColdfire);
  TZor_ReportDevice reader(dev);
  const std::string text = "VERSION LUM: 112US CF 2019-05-10 x / 190510.0A / 0000ABCD / 10.0.0.7 / y";
  const std::string frame = BuildTextFrame(Report(rid_Version, text));
  dev.Feed(frame + frame);
  std::string report;
  reader.GetReport(report);
  EXPECT_EQ(report, Report(rid_Version, text));
  EXPECT_EQ(dev.GetSerialNumberValue(), 0x0000ABCDu);
  EXPECT_EQ(dev.GetFirmwareVersionNumber(), 112);
  EXPECT_EQ(dev.GetHardFeature(), 0x0007);
  EXPECT_EQ(dev.GetFPGAVersion(), "190510.0A");
  EXPECT_EQ(reader.GetFirmwareDate(), "2019-05-10");
  reader.GetReport(report);
  EXPECT_TRUE(report.empty()) << "a repeated version report is not delivered";

  reader.SendCommand("\x01");  // asking again takes the next version report
  dev.Feed(frame);
  EXPECT_EQ(Drain(reader), std::vector<std::string>{Report(rid_Version, text)});
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"\x01"});
}

TEST(ReportVersion, EspVersionRecordSetsIdentityAndIsRebuilt) {
  TZor_TestDevice dev(Zor_HID, ptESP);
  TZor_ReportDevice reader(dev);
  reader.SendCommand("\x01");
  dev.Feed(EspVersionRecord(14) + EspVersionRecord(14));
  std::string report;
  reader.GetReport(report);
  EXPECT_EQ(Id(report), rid_Version);
  EXPECT_NE(report.find(
                "VERSION 00A1 / # 12AB34CD User 2 / LUM2-1.14 2023-10-05 / HW: 230815.0A / IP: 192.168.1.5"),
            std::string::npos)
      << report;
  EXPECT_EQ(reader.GetPendingCmdsCount(), 0u) << "the waiting version command is answered already";
  EXPECT_EQ(dev.GetSerialNumberValue(), 0x12AB34CDu);
  EXPECT_EQ(dev.GetFirmwareVersionNumber(), 114);
  EXPECT_EQ(dev.GetUserID(), 2);
  EXPECT_EQ(reader.GetFWVersionNumberString(), "1.14");
  reader.GetReport(report);
  EXPECT_TRUE(report.empty());
}

TEST(ReportVersion, InvalidEspVersionAsksAgain) {
  TZor_TestDevice dev(Zor_HID, ptESP);
  TZor_ReportDevice reader(dev);
  dev.Feed(TextRecord(0x70, 0x7001, "00A1 / 12AB34CD 2 / FW: LUM2-1.x / HW: 1 / IP: 0"));
  std::string report;
  reader.GetReport(report);
  EXPECT_TRUE(report.empty());
  reader.GetReport(report);
  EXPECT_EQ(dev.Writes(), std::vector<std::string>{"\x01"});
}

// ---- binary records: FPGA time, heartbeat --------------------------------------------

class ReportEsp : public ::testing::Test {
 protected:
  void Start(int minor) {
    dev.Feed(EspVersionRecord(minor));
    std::string report;
    reader.GetReport(report);
    ASSERT_EQ(Id(report), rid_Version);
  }
  platform::TZor_VirtualClock clock{1000};
  platform::TZor_ClockGuard guard{clock};
  TZor_TestDevice dev{Zor_HID, ptESP};
  TZor_ReportDevice reader{dev};
};

TEST_F(ReportEsp, OldFirmwareChecksContinuityAndMakesTimeStamps) {
  Start(10);
  for (uint16_t w : {100, 200, 300, 500}) dev.Feed(Measurement(w));
  const std::string meas = Report(0x2600, std::string("\x2A\0\0\0\0\0\0\0", 8));
  const std::vector<std::string> expected = {
      TimeStamp(1),
      meas,
      TimeStamp(2),
      meas,
      TimeStamp(3),
      meas,
      Report(rid_FPGATimeError, "FPGA time Error, expected=400 found=500"),
      TimeStamp(5),
      meas};
  EXPECT_EQ(Drain(reader), expected);
}

TEST_F(ReportEsp, FpgaTimeWrapsAt20000) {
  Start(10);
  dev.Feed(Measurement(19900) + Measurement(0) + Measurement(100));
  for (const std::string &r : Drain(reader)) EXPECT_NE(Id(r), rid_FPGATimeError);
}

TEST_F(ReportEsp, NewFirmwareStampsIntervalEndWithoutTimeStamps) {
  Start(14);
  dev.Feed(Measurement(99) + Measurement(199) + Record(0x70, 0x7F51, 0) + Measurement(150) +
           Record(0x27, 199, 0));
  const std::vector<std::string> got = Drain(reader);
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(Id(got[0]), 0x2600);
  EXPECT_EQ(Id(got[1]), 0x2600);
  EXPECT_EQ(Id(got[2]), rid_ReSync);
  EXPECT_EQ(got[3], Report(rid_FPGATimeError, "FPGA time Error, expected=100 found=150")) << "start check";
  EXPECT_EQ(Id(got[4]), 0x2600);
  EXPECT_EQ(Id(got[5]), 0x2700) << "a mode change starts the check anew";
}

TEST_F(ReportEsp, MeasurementsBeforeVersionAreDropped) {
  dev.Feed(Measurement(100) + Record(0x72, 0, 7));
  EXPECT_EQ(Drain(reader), std::vector<std::string>{TimeStamp(7)});
}

TEST_F(ReportEsp, FirstUnalignedTimeStampIsDropped) {
  Start(14);
  dev.Feed(Record(0x72, 37, 5) + Record(0x72, 100, 6));
  EXPECT_EQ(Drain(reader), std::vector<std::string>{TimeStamp(6)});
  EXPECT_EQ(reader.GetDeviceMs(), 600);
}

TEST_F(ReportEsp, HeartbeatAlarmsOnceWhenNoMeasurementArrives) {
  Start(14);
  const std::string heartbeat = Report(rid_Heartbeat, ";00000001;00000002");
  const std::string alarm =
      Report(rid_NoMeasurementData, "Device does not send measurement data: Please check reference!");
  dev.Feed(Heartbeat());
  EXPECT_EQ(Drain(reader), std::vector<std::string>{heartbeat});
  clock.Advance(6000);
  dev.Feed(Heartbeat());
  EXPECT_EQ(Drain(reader), (std::vector<std::string>{alarm, heartbeat}));
  clock.Advance(6000);
  dev.Feed(Heartbeat());
  EXPECT_EQ(Drain(reader), std::vector<std::string>{heartbeat}) << "one alarm until data come again";
  dev.Feed(Measurement(100));
  Drain(reader);
  clock.Advance(6000);
  dev.Feed(Heartbeat());
  EXPECT_EQ(Drain(reader), (std::vector<std::string>{alarm, heartbeat}));
}

TEST_F(ReportEsp, ClockNeverStartedAsksForRepower) {
  Start(14);
  dev.Feed(Record(0x72, 0, 0));
  Drain(reader);
  clock.Advance(6000);
  dev.Feed(Heartbeat());
  const std::vector<std::string> got = Drain(reader);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got[0],
            Report(rid_NoMeasurementData,
                   "Device does not send measurement data: Please check reference clock and re-power!"));
}

TEST_F(ReportEsp, ReferenceClockErrorSuppressesAlarm) {
  Start(14);
  dev.Feed(Record(0x70, rid_RefClockError, 0));
  clock.Advance(6000);
  dev.Feed(Heartbeat());
  for (const std::string &r : Drain(reader)) EXPECT_NE(Id(r), rid_NoMeasurementData);
}

TEST_F(ReportEsp, GarbageBeforeARecordIsSkipped) {
  Start(14);
  dev.Feed("garbage" + Record(0x77, 0, 0, {5}));
  std::string report;
  EXPECT_EQ(reader.GetReport(report), Zor_Err_BadFormat);
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);
  EXPECT_EQ(Id(report), rid_Values77);
}

TEST_F(ReportEsp, RecoveredStreamReportsFirstThenDelivers) {
  Start(14);
  dev.Feed(Record(0x77, 0, 0, {5}));
  dev.SetError(Zor_No_Err_Recovered, "recovered");
  std::string report;
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err_Recovered);
  EXPECT_EQ(report, "recovered");
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);
  EXPECT_EQ(Id(report), rid_Values77);
}

// ---- device clock ------------------------------------------------------------------------

TEST(ReportClock, TimeStampsAndMeasurementIntervals) {
  TZor_TestDevice dev(Zor_HID, ptColdfire);
  TZor_ReportDevice reader(dev);
  EXPECT_EQ(reader.GetDeviceMs(), -1);
  reader.CheckTimestamps(Report(0x2600));
  EXPECT_EQ(reader.GetDeviceMs(), -1) << "unknown until a time stamp";
  reader.CheckTimestamps(Report(0x7015, std::string("\0\0\0\x0A", 4)));
  EXPECT_EQ(reader.GetDeviceMs(), 10000);
  reader.CheckTimestamps(Report(0x2600));  // first measurement after the stamp
  reader.CheckTimestamps(Report(0xA600));  // lost bit set, 100 ms
  reader.CheckTimestamps(Report(0x2900));  // 1 s
  EXPECT_EQ(reader.GetDeviceMs(), 11100);
  reader.ReSync();
  EXPECT_EQ(reader.GetDeviceMs(), 0);
}

// ---- loop choice ---------------------------------------------------------------------------

TEST(ReportLoops, ChosenByDeviceKind) {
  struct Case {
    TZor_DeviceType type;
    TZor_PeerType peer;
    TZor_ReportDevice::TGetReportFunc loop;
  };
  for (const Case &c : {Case{Zor_HID, ptColdfire, &TZor_ReportDevice::USBGetReport},
                        Case{Zor_CDC, ptESP, &TZor_ReportDevice::GetESPReport},
                        Case{Zor_Serial, ptColdfire, &TZor_ReportDevice::SerialGetReport},
                        Case{Zor_TCP_Device, ptUnknown, &TZor_ReportDevice::TCPGetReport},
                        Case{Zor_TxtFile, ptUnknown, &TZor_ReportDevice::FileGetTextReport}}) {
    TZor_TestDevice dev(c.type, c.peer);
    TZor_ReportDevice reader(dev);
    EXPECT_TRUE(reader.GetDeviceGetReport() == c.loop) << DeviceTypeToText(c.type);
  }
  TZor_TestDevice dev(Zor_FPGAUSB, ptUnknown);
  TZor_ReportDevice reader(dev);
  std::string report;
  EXPECT_EQ(reader.GetReport(report), Zor_DLL_internalError);
}

TEST(ReportLoops, UsbLoopHandsOverWhenDeviceTurnsOutEsp) {
  TZor_TestDevice dev(Zor_HID, ptColdfire);
  TZor_ReportDevice reader(dev);
  dev.SetLivePeerType(ptESP);
  dev.Feed(Record(0x77, 0, 0, {5}));
  std::string report;
  reader.GetReport(report);
  EXPECT_EQ(Id(report), rid_Values77);
  EXPECT_TRUE(reader.GetDeviceGetReport() == &TZor_ReportDevice::GetESPReport);
}

TEST(ReportLoops, TcpRelayedReportsAndResync) {
  TZor_TestDevice dev(Zor_TCP_Device, ptUnknown);
  TZor_ReportDevice reader(dev);
  dev.Feed(
      "\x01"
      "4\x02"
      "\x12\x34xy"
      "zz\x01"
      "3\x02"
      "\x70\x16\x01");
  std::string report;
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);
  EXPECT_EQ(report, "\x12\x34xy");
  EXPECT_EQ(reader.GetReport(report), Zor_Err_BadFormat);
  EXPECT_EQ(report.rfind("GetReport: Format error, no TCP string: ", 0), 0u);
  EXPECT_EQ(reader.GetReport(report), Zor_No_Err);
  EXPECT_EQ(report, "\x70\x16\x01");
}

TEST(ReportLoops, TextFileLines) {
  TZor_TestDevice dev(Zor_TxtFile, ptUnknown);
  TZor_ReportDevice reader(dev);
  dev.Feed("7001VERSION LUM: 112US CF 2019-05-10 x\r\n7016 25\n2600 1.5;2.5\nxyz\n");
  std::string report;
  reader.GetReport(report);
  EXPECT_EQ(Id(report), rid_Version);
  EXPECT_EQ(dev.GetFirmwareVersionNumber(), 112);
  reader.GetReport(report);
  EXPECT_EQ(report, TimeStamp(25));
  reader.GetReport(report);
  EXPECT_EQ(report, Report(0x2600, "1.5;2.5"));
  EXPECT_EQ(reader.GetDeviceMs(), 2500);
  EXPECT_EQ(reader.GetReport(report), Zor_Err_BadFormat);
}

TEST(ReportLoops, CommandsToRecordedFilesAreDropped) {
  TZor_TestDevice dev(Zor_TxtFile, ptUnknown);
  TZor_ReportDevice reader(dev);
  reader.SendCommand("\x01");
  dev.Feed("7016 1\n");
  std::string report;
  reader.GetReport(report);
  reader.GetReport(report);
  EXPECT_EQ(reader.GetPendingCmdsCount(), 0u);
  EXPECT_TRUE(dev.Writes().empty());
}

}  // namespace
}  // namespace zor
