#include <gtest/gtest.h>

#include "firmware/Zor_ConfigChecks.h"

namespace zor {
namespace {

TEST(ConfigChecksTest, Addresses) {
  TZor_FlashVariables r;
  std::string errors;
  AddConfigError(errors, ApplyAddress(r, adr_IPAddress, "192.168.1"));
  AddConfigError(errors, ApplyAddress(r, adr_Subnetmask, ""));
  AddConfigError(errors, ApplyAddress(r, adr_Gateway, "192.168.1.1"));
  EXPECT_EQ(errors, "Invalid input IP address: 192.168.1, Missing input Subnetmask");
  EXPECT_EQ(r.IPAddress, "");
  EXPECT_EQ(r.ChangedFlags, fch_Gateway);
  EXPECT_EQ(r.Gateway, "192.168.1.1");
  EXPECT_EQ(r.Gateway_ESPFormat, 0x0101A8C0u);
  EXPECT_EQ(r.Gateway_CFFormat, 0xC0A80101u);

  EXPECT_EQ(ApplyAddress(r, adr_Gateway, "1.2.3.256"), "Invalid input Standard gateway: 1.2.3.256");
  EXPECT_EQ(r.Gateway, "192.168.1.1");
  EXPECT_EQ(ApplyAddress(r, adr_IPAddress, "10.1.2.3"), "");
  EXPECT_EQ(ApplyAddress(r, adr_Subnetmask, "255.0.0.0"), "");
  EXPECT_EQ(r.ChangedFlags, fch_Gateway | fch_IPAddress | fch_Subnetmask);
}

TEST(ConfigChecksTest, CanIdentifiers) {
  TZor_FlashVariables r;
  EXPECT_EQ(ApplyCANID(r, false, "1FFFFFFF", true), "");
  EXPECT_EQ(r.CANRxID, 0x9FFFFFFFu);
  EXPECT_EQ(r.CANRxID_CFFormat, 0xFFFFFF9Fu);
  EXPECT_EQ(r.ChangedFlags, fch_CANRxID);
  EXPECT_EQ(ApplyCANID(r, true, "123", true), "");
  EXPECT_EQ(r.CANTxID, 0x80000123u);
  // The typed bit 31 never overrides the format box.
  EXPECT_EQ(ApplyCANID(r, true, "ffffffff", false), "");
  EXPECT_EQ(r.CANTxID, 0x7FFFFFFFu);

  EXPECT_EQ(ApplyCANID(r, false, "123456789", false), "Invalid input CAN Receive ID: 123456789");
  EXPECT_EQ(ApplyCANID(r, false, "", false), "Missing input CAN Receive ID");
  EXPECT_EQ(ApplyCANID(r, true, "12G", false), "Invalid input CAN Transmit ID: 12G");
  EXPECT_EQ(ApplyCANID(r, true, "", true), "Missing input CAN Transmit ID");
  EXPECT_EQ(r.CANRxID, 0x9FFFFFFFu);
}

TEST(ConfigChecksTest, BaudRate) {
  TZor_FlashVariables r;
  EXPECT_EQ(ApplyBaudRate(r, "115250"), "Invalid input baud rate: 115250");
  EXPECT_EQ(r.ChangedFlags, 0);
  EXPECT_EQ(ApplyBaudRate(r, "9600"), "");
  EXPECT_EQ(r.ReservedInt9, 96u);
  EXPECT_EQ(r.ChangedFlags, fch_ReservedInt9);
  EXPECT_EQ(ApplyBaudRate(r, ""), "Missing input baud rate");
  EXPECT_EQ(ApplyBaudRate(r, "-9600"), "Invalid input baud rate: -9600");
  EXPECT_EQ(ApplyBaudRate(r, "99999999900"), "Invalid input baud rate: 99999999900");
  EXPECT_EQ(r.ReservedInt9, 96u);
}

TEST(ConfigChecksTest, PpiOffsetAgainstInterval) {
  TZor_FlashVariables r;
  ASSERT_EQ(ApplyPPIinterval(r, 6), "");  // 100 ms
  EXPECT_EQ(ApplyPPIoffset(r, "99"), "");
  EXPECT_EQ(r.GetPPIoffset(), 99);
  EXPECT_EQ(ApplyPPIoffset(r, "100"), "PPI offset too large");
  EXPECT_EQ(r.GetPPIoffset(), 99);

  ASSERT_EQ(ApplyPPIinterval(r, 0), "");  // no PPI: only 0 fits
  EXPECT_EQ(ApplyPPIoffset(r, "1"), "PPI offset too large");
  EXPECT_EQ(ApplyPPIoffset(r, "0"), "");
  ASSERT_EQ(ApplyPPIinterval(r, 13), "");  // 20 s, but the offset stays below 19999
  EXPECT_EQ(ApplyPPIoffset(r, "19998"), "");
  EXPECT_EQ(ApplyPPIoffset(r, "19999"), "PPI offset too large");

  EXPECT_EQ(ApplyPPIoffset(r, "1e3"), "Invalid input PPI offset: 1e3");
  EXPECT_EQ(ApplyPPIoffset(r, ""), "Missing input PPI offset");
  EXPECT_NE(ApplyPPIinterval(r, 14), "");
  EXPECT_EQ(r.GetPPIintervalIndex(), 13);
  ApplyPPIuserDependend(r, true);
  EXPECT_EQ(r.PPI, 0x000DCE1Eu);  // 13 << 16 | 0x8000 | 19998
}

TEST(ConfigChecksTest, StartSettingCodes) {
  EXPECT_EQ(StartSettingCode(0, 0), 127);
  EXPECT_EQ(StartSettingCode(0, 3), 3);
  EXPECT_EQ(StartSettingCode(1, 9), 0x19);
  EXPECT_FALSE(StartSettingCode(6, 0));
  EXPECT_FALSE(StartSettingCode(0, 14));
  for (uint8_t mode = 0; mode < ReportModeTexts.size(); ++mode)
    for (uint8_t interval = 0; interval < ReportIntervalTexts.size(); ++interval) {
      auto back = DecodeStartSetting(*StartSettingCode(mode, interval));
      ASSERT_TRUE(back);
      EXPECT_TRUE(back->UserDefined);
      EXPECT_EQ(back->Mode, mode);
      EXPECT_EQ(back->Interval, interval);
    }
  EXPECT_FALSE(DecodeStartSetting(0)->UserDefined);
  // Codes a device may hold but no list can show.
  EXPECT_FALSE(DecodeStartSetting(0x0E));
  EXPECT_FALSE(DecodeStartSetting(0x60));

  TZor_FlashVariables r;
  r.HardFeature32 = 0x00000061;
  EXPECT_EQ(ApplyStartSetting(r, {true, 1, 9}), "");
  EXPECT_EQ(r.HardFeature32, 0x19000061u);
  EXPECT_EQ(r.ChangedFlags, fch_HardFeature);
  EXPECT_EQ(ApplyStartSetting(r, {false, 3, 3}), "");
  EXPECT_EQ(r.HardFeature32, 0x00000061u);
  EXPECT_NE(ApplyStartSetting(r, {true, 9, 0}), "");
  EXPECT_EQ(ApplyRefError(r, 2), "");
  EXPECT_EQ(r.GetHardRefError(), 2);
  EXPECT_NE(ApplyRefError(r, 3), "");
}

TEST(ConfigChecksTest, NamesAndAddressMode) {
  TZor_FlashVariables r;
  EXPECT_EQ(ApplyNickName(r, "Lab A"), "");
  EXPECT_EQ(r.NickName, "Lab A");
  EXPECT_EQ(r.ChangedFlags, fch_NickName);
  EXPECT_EQ(ApplyNickName(r, ""), "");  // clearing is allowed (the window asks first)
  EXPECT_NE(ApplyNickName(r, "a,b"), "");
  EXPECT_NE(ApplyNickName(r, "a:b"), "");
  EXPECT_NE(ApplyNickName(r, std::string(41, 'n')), "");
  EXPECT_EQ(ApplyNickName(r, std::string(40, 'n')), "");

  TZor_FlashVariables e;
  EXPECT_EQ(ApplyHostName(e, ""), "Missing input LUM2 host name");
  EXPECT_EQ(ApplyHostName(e, "Zor_LUM2"), "Invalid input LUM2 host name: Zor_LUM2");
  EXPECT_EQ(e.ChangedFlags, 0);
  EXPECT_EQ(ApplyHostName(e, "Zor-LUM2-7"), "");
  EXPECT_EQ(e.NickName, "Zor-LUM2-7");

  e.HardFeature = 0x0021;
  e.HardFeature32 = 0x19000021;
  ApplyStaticIP(e, true);
  EXPECT_EQ(e.HardFeature32, 0x19000061u);
  EXPECT_TRUE(e.IsChanged(fch_HardFeature));
  ApplyStaticIP(e, false);
  EXPECT_EQ(e.HardFeature, 0x0021);
}

}  // namespace
}  // namespace zor
