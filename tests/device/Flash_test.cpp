#include <gtest/gtest.h>

#include <cstring>

#include "device/Zor_BaseDevice.h"
#include "device/Zor_Report.h"
#include "foundation/Zor_Utils.h"
#include "platform/Zor_Sys.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

double DoubleAt(const std::string &bytes, size_t pos) {
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = (bits << 8) | static_cast<uint8_t>(bytes[pos + i]);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

std::string DoubleBytes(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  std::string out;
  for (int i = 0; i < 8; ++i) out += static_cast<char>((bits >> (8 * i)) & 0xFF);
  return out;
}

TZor_FormatSettings Locale(char sep) {
  TZor_FormatSettings fs;
  fs.DecimalSeparator = sep;
  return fs;
}

// ---- configuration block read -----------------------------------------------------

class FlashRead : public ::testing::Test {
 protected:
  FlashRead() { dev.SetFirmwareVersionNumber(40); }
  platform::TZor_VirtualClock clock{1000};
  platform::TZor_ClockGuard guard{clock};
  TZor_TestDevice dev{Zor_CDC, ptColdfire};
};

TEST_F(FlashRead, BlockArrivesAndGivesSerialNumber) {
  dev.ReadFlash();
  EXPECT_EQ(dev.GetStatusReadFlash(), 1);
  ASSERT_EQ(dev.Writes().size(), 1u);
  EXPECT_EQ(BytesToHex(dev.Writes()[0]), "85400007F0004C");
  dev.ReadFlash();
  EXPECT_EQ(dev.GetStatusReadFlash(), 2) << "nothing there yet: wait";
  std::string block(76, '\x55');
  block.replace(48, 4, "\x12\x34\x56\x78");
  dev.FeedTools(block);
  dev.ReadFlash();
  EXPECT_EQ(dev.GetStatusReadFlash(), 3);
  EXPECT_EQ(dev.GetFlashVariables(), block);
  EXPECT_EQ(dev.GetSerialNumberValue(), 0x12345678u);
  EXPECT_TRUE(dev.GetSerialNumberRead());
}

TEST_F(FlashRead, WaitGivesUpAfterOneSecondAndPartialAnswerRestarts) {
  dev.ReadFlash();
  dev.ReadFlash();
  clock.Advance(1200);
  dev.ReadFlash();
  EXPECT_EQ(dev.GetStatusReadFlash(), 0);
  dev.ReadFlash();
  dev.FeedTools(std::string(10, 'x'));
  dev.ReadFlash();
  EXPECT_EQ(dev.GetStatusReadFlash(), 0) << "a partial block is a failed read";
}

TEST_F(FlashRead, RefusedForOtherPeersKindsAndOldFirmware) {
  TZor_LogCapture log;
  TZor_TestDevice esp(Zor_CDC, ptESP, log.Id());
  esp.SetFirmwareVersionNumber(40);
  esp.ReadFlash();
  EXPECT_EQ(log.Count("TZor_BaseDevice.ReadFlash not supported for peer type ESP"), 1);
  TZor_TestDevice hid(Zor_HID, ptColdfire);
  hid.SetFirmwareVersionNumber(40);
  hid.ReadFlash();
  dev.SetFirmwareVersionNumber(18);
  dev.ReadFlash();
  EXPECT_TRUE(esp.Writes().empty() && hid.Writes().empty() && dev.Writes().empty());
  EXPECT_EQ(esp.GetStatusReadFlash(), 0);
}

// ---- calibration table --------------------------------------------------------------

TEST(Calibration, ScaledRoundedHalfToEvenBigEndian) {
  TZor_TestDevice dev(Zor_CDC, ptColdfire);
  dev.SetFormatSettings(Locale('.'));
  dev.SetCalibFactorFloatToInt(2);
  ASSERT_TRUE(dev.SetCalibrationDataString("1,5;1.25;-1;1.75"));
  ASSERT_EQ(dev.Writes().size(), 1u);
  const std::string cmd = dev.Writes()[0];
  ASSERT_EQ(cmd.size(), 6u + 96u);
  EXPECT_EQ(BytesToHex(cmd.substr(0, 6)),
            "8523"
            "0007E000");
  EXPECT_EQ(BytesToHex(cmd.substr(6, 16)),
            "00000003"
            "00000002"
            "FFFFFFFE"
            "00000004");
  EXPECT_EQ(cmd.substr(22), std::string(80, '\0'));
}

TEST(Calibration, EspGetsNvsBlockZero) {
  TZor_TestDevice dev(Zor_HID, ptESP);
  ASSERT_TRUE(dev.SetCalibrationDataString("1"));
  const std::string cmd = dev.Writes().at(0);
  EXPECT_EQ(cmd.substr(0, 4), std::string("\x85%b\0", 4));
  EXPECT_EQ(cmd.size(), 4u + 128u);
}

TEST(Calibration, RefusedTables) {
  TZor_TestDevice dev(Zor_CDC, ptColdfire);
  dev.SetCalibFactorFloatToInt(1000);
  std::string items;
  for (int i = 0; i < 25; ++i) items += "1;";
  EXPECT_FALSE(dev.SetCalibrationDataString(items));
  EXPECT_FALSE(dev.SetCalibrationDataString("2147484")) << "2,147,484,000 exceeds the signed 32-bit range";
  EXPECT_FALSE(dev.SetCalibrationDataString("1;abc"));
  EXPECT_FALSE(dev.SetCalibrationDataString("nan"));
  EXPECT_TRUE(dev.Writes().empty());
}

// ---- FHR table -------------------------------------------------------------------------

TEST(FHRTable, TextToSlicesWithEitherSeparator) {
  TZor_TestDevice dev(Zor_CDC, ptColdfire);
  dev.SetFormatSettings(Locale('.'));
  ASSERT_TRUE(dev.SetFHRDataString("10,5;2;1/0;3;1/4;5; 0 /7;8;x"));
  const std::vector<std::string> writes = dev.Writes();
  ASSERT_EQ(writes.size(), 4u);
  for (int k = 1; k <= 4; ++k) {
    EXPECT_EQ(writes[k - 1].size(), 6u + 128u);
    EXPECT_EQ(writes[k - 1].substr(2, 4), IntToBigEndianText32(0x7E000 + 128 * k));
    EXPECT_EQ(writes[k - 1][6], static_cast<char>(k));
  }
  const std::string &s1 = writes[0];
  EXPECT_EQ(DoubleAt(s1, 7), 10.5);
  EXPECT_EQ(DoubleAt(s1, 15), 2.0);
  EXPECT_EQ(s1[23], 1);
  EXPECT_EQ(s1[23 + 17], 0) << "A = 0 is never enabled";
  EXPECT_EQ(s1[23 + 34], 0) << "third part 0";
  EXPECT_EQ(s1[23 + 51], 1);
  EXPECT_EQ(s1.substr(6 + 103), std::string(25, '\0'));
}

TEST(FHRTable, RefusedTexts) {
  TZor_TestDevice dev(Zor_HID, ptESP);
  EXPECT_FALSE(dev.SetFHRDataString("1;2"));
  EXPECT_FALSE(dev.SetFHRDataString("1;x;1"));
  EXPECT_TRUE(dev.Writes().empty());
}

// Slice k as a device answers it: channel c gets A = 10 c + 1, B = 10 c, enabled.
std::string AnswerSlice(int k) {
  std::string slice(1, static_cast<char>(k));
  for (int i = 0; i < 6; ++i) {
    const int c = (k - 1) * 6 + i + 1;
    slice += DoubleBytes(10.0 * c + 1) + DoubleBytes(10.0 * c) + '\x01';
  }
  slice.resize(128, '\0');
  return slice;
}

TEST(FHRTable, ReadSliceBySliceThroughTheQueue) {
  TZor_TestDevice dev(Zor_HID, ptESP);
  dev.SetFormatSettings(Locale(','));
  TZor_ReportDevice reader(dev);
  dev.SetHasCommandList(true);  // commands go straight out
  ASSERT_TRUE(dev.ReadFHRData(&reader));
  std::string text;
  for (int k = 1; k <= 4; ++k) {
    ASSERT_EQ(dev.Writes().size(), static_cast<size_t>(k));
    EXPECT_EQ(dev.Writes().back(), std::string("\x85"
                                               "Eb") +
                                       static_cast<char>(k));
    dev.Check7902Report(AnswerSlice(k), text);
    if (k < 4) {
      EXPECT_TRUE(text.empty());
    }
  }
  ASSERT_EQ(text.rfind("7902; 11,000000000000;10,000000000000;1/21,", 0), 0u) << text;
  EXPECT_NE(text.find("/241,000000000000;240,000000000000;1"), std::string::npos);
  // The read has ended: a fifth request starts again at slice 1.
  ASSERT_TRUE(dev.ReadFHRData(&reader));
  EXPECT_EQ(dev.Writes().back(), std::string("\x85"
                                             "Eb\x01"));
}

TEST(FHRTable, SliceWithoutRunningReadIsOnlyStored) {
  TZor_TestDevice dev(Zor_CDC, ptColdfire);
  TZor_ReportDevice reader(dev);
  std::string text;
  dev.Check7902Report(AnswerSlice(3), text);  // no read running: stored, nothing asked
  EXPECT_TRUE(text.empty());
  EXPECT_TRUE(dev.Writes().empty());
}

TEST(FHRTable, EmptyAndRawResults) {
  TZor_TestDevice dev(Zor_CDC, ptColdfire);
  dev.SetFormatSettings(Locale('.'));
  std::string text;
  dev.Check7902Report(std::string(1, '\xFF'), text);
  std::string empty = "7902; 0;0;0";
  for (int i = 1; i < 24; ++i) empty += "/0;0;0";
  EXPECT_EQ(text, empty);
  dev.Check7902Report(std::string("\x07\0\0\0\0", 5), text);
  EXPECT_EQ(text, empty);
  dev.Check7902Report(std::string("\x07\x01\x02\x03\x04\x05", 6), text);
  EXPECT_EQ(text, "7902; 07010203 0405");
}

}  // namespace
}  // namespace zor
