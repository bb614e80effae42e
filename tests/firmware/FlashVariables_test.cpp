#include <gtest/gtest.h>

#include <set>

#include "firmware/Zor_FlashVariables.h"

namespace zor {
namespace {

// A block as a device keeps it: nick name "ABC", serial 0x01020304, 192.168.1.10/255.255.255.0
// via 192.168.1.1, port 1024, features 0x0007, CAN 0x80000123 / 0x456, password 0x11223344.
std::string SampleBlock() {
  std::string b = "ABC";
  b += '\0';
  b.resize(40, '\xFF');
  b += "\x10\x20\x30\x40\x50\x60\x70\x80";  // uninterpreted, must survive a write
  b += std::string("\x01\x02\x03\x04", 4);
  b += "\xC0\xA8\x01\x0A";
  b += std::string("\xFF\xFF\xFF\x00", 4);
  b += "\xC0\xA8\x01\x01";
  b += std::string("\x04\x00\x00\x07", 4);
  b += std::string("\x80\x00\x01\x23", 4);
  b += std::string("\x00\x00\x04\x56", 4);
  b += "\x11\x22\x33\x44";
  return b;
}

TEST(FlashVariablesTest, DecodesColdfireBlock) {
  TZor_FlashVariables v;
  ASSERT_TRUE(v.DecodeCFBlock(SampleBlock()));
  EXPECT_TRUE(v.updated);
  EXPECT_EQ(v.NickName, "ABC");
  EXPECT_EQ(v.SerialNumber, 0x01020304u);
  EXPECT_EQ(v.SerialNumber_CFFormat, 0x04030201u);
  EXPECT_EQ(v.IPAddress, "192.168.1.10");
  EXPECT_EQ(v.IPAddress_CFFormat, 0xC0A8010Au);
  EXPECT_EQ(v.IPAddress_ESPFormat, 0x0A01A8C0u);
  EXPECT_EQ(v.Subnetmask, "255.255.255.0");
  EXPECT_EQ(v.Gateway, "192.168.1.1");
  EXPECT_EQ(v.ManagementPort, 1024);
  EXPECT_EQ(v.ChangedFlags, 0);
  EXPECT_EQ(v.HardFeature, 0x0007);
  EXPECT_EQ(v.CANRxID, 0x80000123u);
  EXPECT_EQ(v.CANTxID, 0x456u);
  EXPECT_EQ(v.Password, 0x11223344u);

  // Over the network only 76 bytes arrive: no password.
  TZor_FlashVariables net;
  ASSERT_TRUE(net.DecodeCFBlock(SampleBlock().substr(0, 76)));
  EXPECT_EQ(net.Password, 0xFFFFFFFFu);
  EXPECT_FALSE(TZor_FlashVariables().DecodeCFBlock(SampleBlock().substr(0, 75)));
}

TEST(FlashVariablesTest, DecodeEdgeCases) {
  std::string b = SampleBlock();
  b.replace(0, 40, std::string(40, 'N'));  // no terminator: all 40 characters
  b.replace(52, 4, std::string(4, '\xFF'));
  b.replace(64, 2, "\x12\x34");
  TZor_FlashVariables v;
  ASSERT_TRUE(v.DecodeCFBlock(b));
  EXPECT_EQ(v.NickName, std::string(40, 'N'));
  EXPECT_EQ(v.IPAddress, "");  // an unset address shows empty
  // A wrong port is repaired on the next write.
  EXPECT_EQ(v.ManagementPort, 1024);
  EXPECT_EQ(v.ChangedFlags, fch_ManagementPort);

  b.replace(0, 3, "X\xFFY");
  ASSERT_TRUE(v.DecodeCFBlock(b));
  EXPECT_EQ(v.NickName, "X");
}

TEST(FlashVariablesTest, EncodeKeepsUninterpretedBytesAndRoundTrips) {
  std::string block = SampleBlock();
  TZor_FlashVariables v;
  ASSERT_TRUE(v.DecodeCFBlock(block));
  v.NickName = "Lab 4";
  v.SetSerialNumber(0xA0B0C0D0);
  ASSERT_TRUE(v.SetIPAddress("10.0.0.7"));
  v.SetCANTxID(0x80000001);
  v.SetHardFeature(0x0009);
  v.EncodeCFBlock(block);
  ASSERT_EQ(block.size(), 80u);
  EXPECT_EQ(block.substr(40, 8), "\x10\x20\x30\x40\x50\x60\x70\x80");
  EXPECT_EQ(block.substr(0, 7), std::string("Lab 4\0\xFF", 7));
  EXPECT_EQ(block.substr(52, 4), std::string("\x0A\x00\x00\x07", 4));

  TZor_FlashVariables back;
  ASSERT_TRUE(back.DecodeCFBlock(block));
  EXPECT_EQ(back.NickName, "Lab 4");
  EXPECT_EQ(back.SerialNumber, 0xA0B0C0D0u);
  EXPECT_EQ(back.IPAddress, "10.0.0.7");
  EXPECT_EQ(back.Subnetmask, "255.255.255.0");
  EXPECT_EQ(back.CANTxID, 0x80000001u);
  EXPECT_EQ(back.HardFeature, 0x0009);
  EXPECT_EQ(back.Password, 0x11223344u);

  // A missing buffer is created; an address text that is not valid keeps the stored value.
  TZor_FlashVariables fresh;
  fresh.IPAddress = "not an address";
  std::string created;
  fresh.EncodeCFBlock(created);
  EXPECT_EQ(created.size(), 80u);
  EXPECT_EQ(created.substr(52, 4), std::string(4, '\xFF'));
  EXPECT_EQ(created.substr(64, 2), std::string("\x04\x00", 2));
}

// A new address is kept in canonical dotted decimal: leading zeros are
// decimal, blanks go; a name lookup would read "010" as octal.
TEST(FlashVariablesTest, AddressesAreCanonical) {
  TZor_FlashVariables v;
  ASSERT_TRUE(v.SetIPAddress(" 192.168.001.010 "));
  EXPECT_EQ(v.IPAddress, "192.168.1.10");
  EXPECT_EQ(v.IPAddress_ESPFormat, 0x0A01A8C0u);
  EXPECT_FALSE(v.SetGateway("192.168.1.256"));
  EXPECT_EQ(v.Gateway, "");
}

TEST(FlashVariablesTest, NickNameField) {
  EXPECT_EQ(CFNickNameField(""), std::string(40, '\xFF'));
  EXPECT_EQ(CFNickNameField("AB"), std::string("AB\0", 3) + std::string(37, '\xFF'));
  EXPECT_EQ(CFNickNameField(std::string("AB\0", 3)), std::string("AB\0", 3) + std::string(37, '\xFF'));
  EXPECT_EQ(CFNickNameField(std::string(45, 'x')), std::string(40, 'x'));
  EXPECT_EQ(CFNickNameField(std::string(39, 'x')), std::string(39, 'x') + '\0');
}

TEST(FlashVariablesTest, HardwareFeatures) {
  TZor_FlashVariables v;
  EXPECT_EQ(v.GetHardFeatureString(), "unknown");
  EXPECT_FALSE(v.IsHardLUM());
  v.SetHardFeature(0x1234);
  EXPECT_EQ(v.HardFeature, 0x0034);
  EXPECT_EQ(v.HardFeature_CFFormat, 0x3400);
  EXPECT_EQ(v.ChangedFlags, fch_HardFeature);
  v.SetHardFeature(0xFFFF);
  EXPECT_EQ(v.HardFeature, 0xFFFF);

  EXPECT_TRUE(TZor_FlashVariables::CheckHardFeature(0xFFFF));
  EXPECT_TRUE(TZor_FlashVariables::CheckHardFeature(255));
  EXPECT_FALSE(TZor_FlashVariables::CheckHardFeature(0));
  EXPECT_FALSE(TZor_FlashVariables::CheckHardFeature(0x0100));

  v.HardFeature = 0x0007;
  EXPECT_EQ(v.GetHardFeatureString(), "LUM, U, S");
  v.HardFeature = 0x0008 | 0x0002 | 0x0080;
  EXPECT_EQ(v.GetHardFeatureString(), "Pelq, U, Bit7");
  v.HardFeature = 0x0030;
  EXPECT_EQ(v.GetHardFeatureString(), ", Bit4, Bit5");
  v.HardFeature = 0x0069;
  EXPECT_EQ(v.GetHardFeatureESPString(), "LUM, serial, CAN, static IP");
  v.HardFeature = 0x0016;
  EXPECT_EQ(v.GetHardFeatureESPString(), "Norva, Norva, SWC, analog");
}

TEST(FlashVariablesTest, EspFeatureWordFieldsDoNotDisturbEachOther) {
  TZor_FlashVariables v;
  v.HardFeature32 = 0x00000021;
  v.HardFeature = 0x0021;
  v.SetHardESPstaticIP(true);
  v.SetHardRefError(2);
  v.SetHard24_31(0x19);
  EXPECT_EQ(v.HardFeature32, 0x19020061u);
  EXPECT_TRUE(v.IsHardESPstaticIP());
  EXPECT_TRUE(v.IsHardESPCAN());
  EXPECT_EQ(v.GetHardRefError(), 2);
  v.SetHardRefError(7);  // out of range is written as 1
  EXPECT_EQ(v.GetHardRefError(), 1);
  v.HardFeature32 |= 0x30000;  // 3 reads as 1
  EXPECT_EQ(v.GetHardRefError(), 1);
  v.SetHardESPstaticIP(false);
  EXPECT_EQ(v.HardFeature32 & 0xFFFF, 0x0021u);
  EXPECT_EQ(v.GetHard24_31(), 0x19);
  // The feature word is what an ESP write sends as the low byte of item 5;
  // setting it keeps bits 8..15 and the start-up and reference-clock settings.
  v.HardFeature32 |= 0x0A00;
  v.SetHardFeature(0x0145);
  EXPECT_EQ(v.HardFeature32, 0x19030A45u);
  EXPECT_EQ(v.GetNVSInteger(nvi_HardFeature32) & 0xFF, v.HardFeature);
  // "Not set" never reaches the device's item.
  v.SetHardFeature(0xFFFF);
  EXPECT_EQ(v.HardFeature, 0xFFFF);
  EXPECT_EQ(v.GetNVSInteger(nvi_HardFeature32), 0x19030A45u);

  // Unset word: the static bit alone.
  TZor_FlashVariables unset;
  unset.SetHardESPstaticIP(true);
  EXPECT_EQ(unset.HardFeature, 0x0040);

  v.PPI = 0;
  v.SetPPIintervalIndex(6);
  v.SetPPIoffset(99);
  v.SetPPIuserDependend(true);
  EXPECT_EQ(v.PPI, 0x00068063u);
  v.SetPPIoffset(0xFFFF);  // never spills into the flag
  EXPECT_TRUE(v.GetPPIuserDependend());
  EXPECT_EQ(v.GetPPIintervalIndex(), 6);

  v.SetESPBaudRate(9600);
  EXPECT_EQ(v.ReservedInt9, 96u);
  v.ReservedInt9 = 0xFFFFFFFF;
  EXPECT_EQ(v.GetESPBaudRate(), 429496729500ull);
}

TEST(FlashVariablesTest, StorageItems) {
  TZor_FlashVariables v;
  for (uint8_t n = 0; n < NVSIntegerCount; ++n) v.SetNVSInteger(n, 0x01000000u + n);
  for (uint8_t n = 0; n < NVSIntegerCount; ++n) EXPECT_EQ(v.GetNVSInteger(n), 0x01000000u + n) << int(n);
  EXPECT_EQ(v.GetNVSInteger(11), 0xFFFFFFFFu);
  v.SetNVSInteger(11, 5);  // ignored

  v.SetNVSInteger(nvi_IPAddress, 0x0A01A8C0);
  EXPECT_EQ(v.IPAddress, "192.168.1.10");
  EXPECT_EQ(v.IPAddress_CFFormat, 0xC0A8010Au);
  v.SetNVSInteger(nvi_HardFeature32, 0x19000061);
  EXPECT_EQ(v.HardFeature, 0x0061);

  EXPECT_EQ(v.GetNVSString(nvs_NickName), std::string(1, '\0'));
  v.NickName = "Zor-LUM2";
  v.ReservedString1 = "r";
  EXPECT_EQ(v.GetNVSString(nvs_NickName), "Zor-LUM2");
  EXPECT_EQ(v.GetNVSString(nvs_ReservedString1), "r");

  // Every editable item is written exactly once; transmit id before receive id.
  std::set<uint16_t> flags;
  size_t tx = 0, rx = 0;
  for (size_t i = 0; i < NVSWriteOrder.size(); ++i) {
    EXPECT_TRUE(flags.insert(NVSWriteOrder[i].Flag).second);
    if (NVSWriteOrder[i].Flag == fch_CANTxID) tx = i;
    if (NVSWriteOrder[i].Flag == fch_CANRxID) rx = i;
  }
  EXPECT_EQ(flags.size(), 13u);
  EXPECT_EQ(flags.count(fch_ManagementPort), 0u);
  EXPECT_LT(tx, rx);
}

}  // namespace
}  // namespace zor
