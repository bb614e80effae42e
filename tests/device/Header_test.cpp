#include <gtest/gtest.h>

#include "device/Zor_Header.h"
#include "device/Zor_ProcessReport.h"

namespace zor {
namespace {

const TZor_LogTag cNoLog;

std::string VersionReport(const std::string &text) { return MakeReport(rid_Version, text); }

TEST(ClassicVersion, TakesApartEveryField) {
  TZor_VersionInfo v;
  ASSERT_TRUE(ExtractFirmware(
      VersionReport("VERSION LUM: 112US CF 2019-05-10 x / 190510.0A / 0000ABCD / 10.0.0.7 / y\r\n"), v,
      cNoLog));
  EXPECT_EQ(v.FVersion, 112);
  EXPECT_EQ(v.FHardFeature, 0x0007);
  EXPECT_EQ(v.FFirmwareDate, "2019-05-10");
  EXPECT_EQ(v.FFPGAVersion, "190510.0A");
  EXPECT_EQ(v.FVersionSerialNumber, 0x0000ABCDu);
  EXPECT_EQ(v.FVersionIP, "10.0.0.7");
  EXPECT_EQ(v.FVersionString, "LUM: 112US CF 2019-05-10 x / 190510.0A / 0000ABCD / 10.0.0.7 / y");
}

TEST(ClassicVersion, OlderFirmwareAndOtherProducts) {
  TZor_VersionInfo v;
  ASSERT_TRUE(
      ExtractFirmware(VersionReport("VERSION Tavik: 45F CF 2010-01-02 / 1.0 / zz / 00001234"), v, cNoLog));
  EXPECT_EQ(v.FHardFeature, 0x6001);
  EXPECT_EQ(v.FVersionSerialNumber, 0x1234u);  // first part from the third on that is hexadecimal
  EXPECT_EQ(v.FVersionIP, "");                 // only from version 50 on

  ASSERT_TRUE(
      ExtractFirmware(VersionReport("VERSION Other: 30 CF 2005-01-01 / a / 00001234 / b"), v, cNoLog));
  EXPECT_EQ(v.FHardFeature, 0x8000);
  EXPECT_EQ(v.FVersionSerialNumber, 0xFFFFFFFFu);  // below version 40
}

TEST(ClassicVersion, RefusedReports) {
  TZor_VersionInfo v;
  v.FVersion = 77;
  EXPECT_FALSE(ExtractFirmware(MakeReport(rid_Heartbeat, "VERSION LUM: 1"), v, cNoLog));
  EXPECT_EQ(v.FVersion, 77);  // wrong id: no change
  EXPECT_FALSE(ExtractFirmware(VersionReport("something else"), v, cNoLog));
  EXPECT_EQ(v.FVersion, -1);
  EXPECT_EQ(v.FVersionString, "something else");
  EXPECT_EQ(v.FHardFeature, 0x8000);
  EXPECT_FALSE(ExtractFirmware(VersionReport("VERSION LUM: CF 2019"), v, cNoLog));  // no number
  EXPECT_FALSE(ExtractFirmware("\x70", v, cNoLog));
}

TEST(ESPVersion, TakesApartEveryFieldAndRebuildsTheReport) {
  TZor_VersionInfo v;
  ASSERT_TRUE(ESPExtractFirmware(
      VersionReport(" 00A1 / 12AB34CD 2 / FW: LUM2-1.14 2023-10-05 / HW: 230815.0A / IP: 0501A8C0\n"), 0x21,
      v, cNoLog));
  EXPECT_EQ(v.FMajor, 1);
  EXPECT_EQ(v.FMinor, 14);
  EXPECT_EQ(v.FVersion, 114);
  EXPECT_EQ(v.FMajorMinorStr, "1.14");
  EXPECT_EQ(v.FFirmwareDate, "2023-10-05");
  EXPECT_EQ(v.FVersionUser, 2);
  EXPECT_EQ(v.FVersionSerialNumber, 0x12AB34CDu);
  EXPECT_EQ(v.FVersionIP, "192.168.1.5");
  EXPECT_EQ(v.FFPGAVersion, "230815.0A");
  EXPECT_EQ(v.FHardFeatureString, "00A1");
  EXPECT_EQ(v.FHardFeature, 0x21);

  const std::string rebuilt = BuildESPVersionReport(v);
  EXPECT_EQ(rebuilt,
            VersionReport("VERSION 00A1 / # 12AB34CD User 2 / LUM2-1.14 2023-10-05 / HW: 230815.0A / IP: "
                          "192.168.1.5"));
  uint8_t user = 0;
  EXPECT_TRUE(ExtractUserID(rebuilt, user, cNoLog));
  EXPECT_EQ(user, 2);
}

TEST(ESPVersion, MissingMinorOrBrokenPartsAreRefused) {
  TZor_VersionInfo v;
  EXPECT_FALSE(
      ESPExtractFirmware(VersionReport("00A1 / 12AB34CD 2 / FW: LUM2-1. x / HW: 1 / IP: 0"), 0, v, cNoLog));
  EXPECT_EQ(v.FMinor, -1);
  EXPECT_FALSE(ESPExtractFirmware(VersionReport("  \r\n"), 0, v, cNoLog));
  EXPECT_FALSE(ESPExtractFirmware(VersionReport("00A1 / zz"), 0, v, cNoLog));
  EXPECT_EQ(v.FVersionSerialNumber, 0xFFFFFFFFu);
  EXPECT_EQ(v.FVersionUser, 255);
  EXPECT_FALSE(ESPExtractFirmware(MakeReport(rid_Heartbeat, "00A1"), 0, v, cNoLog));
}

TEST(TextFileVersion, VersionDateAndFeature) {
  TZor_VersionInfo v;
  ASSERT_TRUE(ExtractFirmwareVersionDateTextReport("7001VERSION  Pelq: 60S CF 2015-03-04 / x", v, cNoLog));
  EXPECT_EQ(v.FVersion, 60);
  EXPECT_EQ(v.FHardFeature, 0x000C);
  EXPECT_EQ(v.FFirmwareDate, "2015-03-04");
  EXPECT_FALSE(ExtractFirmwareVersionDateTextReport("7001VERSION nothing", v, cNoLog));
  EXPECT_EQ(v.FVersion, -1);
  EXPECT_FALSE(ExtractFirmwareVersionDateTextReport("7016 1234", v, cNoLog));
}

TEST(VersionText, SerialNumberAndUser) {
  uint32_t serial = 0;
  EXPECT_TRUE(ExtractSerialNumber("VERSION LUM: 90 CF d / f / 00C0FFEE / 1.2.3.4", serial));
  EXPECT_EQ(serial, 0x00C0FFEEu);
  EXPECT_FALSE(ExtractSerialNumber("VERSION LUM: 90 CF d / f", serial));
  EXPECT_EQ(serial, 0xFFFFFFFFu);
  EXPECT_FALSE(ExtractSerialNumber("LUM: 90 / f / 00C0FFEE", serial));

  uint8_t user = 9;
  EXPECT_TRUE(ExtractUserID("VERSION LUM: 90 User3", user, cNoLog));
  EXPECT_EQ(user, 3);
  EXPECT_FALSE(ExtractUserID("VERSION LUM: 90 Userx", user, cNoLog));
  EXPECT_FALSE(ExtractUserID("VERSION LUM: 90 User", user, cNoLog));
  EXPECT_FALSE(ExtractUserID("User 2", user, cNoLog));
  EXPECT_EQ(user, 3);
}

TEST(MeasurementHeader, DecodesEveryField) {
  const TZorHeader h(0x2A31);
  EXPECT_TRUE(h.GetModeValid());
  EXPECT_EQ(h.GetMode(), 2);
  EXPECT_EQ(h.GetModeText(), "Frequency");
  EXPECT_TRUE(h.GetIntervalIndexValid());
  EXPECT_EQ(h.GetIntervalIndex(), 10);
  EXPECT_EQ(h.GetIntervalText(), "2s");
  EXPECT_EQ(h.GetGateTime(), 2000u);
  EXPECT_EQ(h.GetFilterIndex(), 0);
  EXPECT_EQ(h.GetPPItext(), "default");
  EXPECT_EQ(h.GetMeasFrequence(), 5);
  EXPECT_EQ(h.GetMeasFrequenceText(), "5000000");
  EXPECT_EQ(h.GetScramblingText(), "ON");
  EXPECT_EQ(h.GetScramblerIndex(), 3);
  EXPECT_EQ(h.GetScramblerText(), "used");
  EXPECT_EQ(h.GetDitheringText(), "OFF");
  EXPECT_EQ(h.GetMultiplierText(), "1E+5");
  EXPECT_EQ(h.GetBandText(), "Narrowband");
  EXPECT_FALSE(h.GetLost());
  EXPECT_TRUE(h.GetIsLUMData());
}

TEST(MeasurementHeader, InvalidExtendedAndBroadband) {
  const TZorHeader lost(0xFFFF);
  EXPECT_TRUE(lost.GetLost());
  EXPECT_FALSE(lost.GetModeValid());
  EXPECT_FALSE(lost.GetIntervalIndexValid());
  EXPECT_EQ(lost.GetModeText(), "");
  EXPECT_EQ(lost.GetIntervalText(), "");

  EXPECT_FALSE(TZorHeader(0x0002).GetIntervalIndexValid());  // extended bit with index 0
  EXPECT_FALSE(TZorHeader(0x0E00).GetIntervalIndexValid());  // index 14
  const TZorHeader extended(0x0502);                         // 5 + 13
  EXPECT_EQ(extended.GetIntervalText(), "1000s");
  EXPECT_EQ(extended.GetGateTime(), 1000000u);
  EXPECT_FALSE(TZorHeader(0x0702).GetIntervalIndexValid());  // 7 + 13 = 20

  TZorHeader bb(0x10C5);
  EXPECT_EQ(bb.GetBand(), "BB");
  EXPECT_EQ(bb.GetBandText(), "Broadband");
  EXPECT_EQ(bb.GetFilterIndex(), 0);
  EXPECT_EQ(bb.GetPPIindex(), 3);
  EXPECT_EQ(bb.GetMeasFrequence(), 0);
  EXPECT_EQ(bb.GetMultiplierText(), "1E+0");
  bb.SetHeader(0x1000);
  EXPECT_EQ(bb.GetMultiplierText(), "1E+3");
  EXPECT_EQ(bb.GetBandText(), "Narrowband");
}

TEST(MeasurementHeader, FromTextAndIntervalIndex) {
  EXPECT_EQ(TZorHeader(" 10801 ").GetHeader(), 10801);
  EXPECT_FALSE(TZorHeader("12x").GetModeValid());
  EXPECT_FALSE(TZorHeader("70000").GetModeValid());
  EXPECT_EQ(TZorHeader::IntervalMsToIndex(20000), 1);
  EXPECT_EQ(TZorHeader::IntervalMsToIndex(5000), 2);
  EXPECT_EQ(TZorHeader::IntervalMsToIndex(1000), 0);
  EXPECT_EQ(TZorHeader::IntervalMsToIndex(50000), -1);
  EXPECT_EQ(TZorHeader::IntervalMsToIndex(3), -1);
}

}  // namespace
}  // namespace zor
