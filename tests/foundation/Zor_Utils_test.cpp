#include "foundation/Zor_Utils.h"

#include <gtest/gtest.h>

namespace zor {
namespace {

TEST(ZorUtils, HexDisplayAndParsing) {
  EXPECT_EQ(BytesToHex("AB"), "4142");
  EXPECT_EQ(BytesToHex(std::string("\x00\x0f\xff\x85", 4)), "000FFF85");
  EXPECT_EQ(BytesToHex(""), "");
  EXPECT_EQ(HexToBytes("000fFF85"), std::string("\x00\x0f\xff\x85", 4));
  EXPECT_EQ(HexToBytes("0A1"), "");
  EXPECT_EQ(HexToBytes(""), "");
  EXPECT_EQ(HexToBytes("0G"), "");
  EXPECT_EQ(HexToBytes("12 4"), "");
}

TEST(ZorUtils, ByteTextsAndUtf8) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(TextToBytes(BytesToText(all)), all);
  EXPECT_EQ(BytesToText("Gr\xFC\xDF"), "Gr\u00FC\u00DF");
  EXPECT_EQ(TextToBytes("\u20AC"), "\xAC");  // low 8 bits of U+20AC
  EXPECT_EQ(TextToBytes("a\xFF"
                        "b"),
            "a\xFF"
            "b");                          // not UTF-8: kept as it is
  EXPECT_EQ(TextToBytes("\xC3"), "\xC3");  // truncated sequence
}

TEST(ZorUtils, BigEndianFieldsAndSwaps) {
  EXPECT_EQ(IntToBigEndianText32(0x30000000u), std::string("\x30\x00\x00\x00", 4));
  EXPECT_EQ(IntToBigEndianText32(0x12345678u), "\x12\x34\x56\x78");
  EXPECT_EQ(IntToBigEndianText16(0x7016), "\x70\x16");
  EXPECT_EQ(BigEndianTextToInt32("\x85\x12\x34\x56\x78", 1), 0x12345678u);
  EXPECT_EQ(BigEndianTextToInt16("\xFF\xFE"), 0xFFFEu);
  EXPECT_FALSE(BigEndianTextToInt32("\x12\x34\x56", 0));
  EXPECT_FALSE(BigEndianTextToInt16("\x12\x34", 1));
  EXPECT_FALSE(BigEndianTextToInt16("\x12\x34", 9));
  EXPECT_EQ(Swap32(0x12345678u), 0x78563412u);
  EXPECT_EQ(Swap16(0x1234), 0x3412);
}

TEST(ZorUtils, SplitAndClean) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitText("a;b;", ";"), (V{"a", "b"}));
  EXPECT_EQ(SplitText(";a", ";"), (V{"", "a"}));
  EXPECT_EQ(SplitText("a;;b", ";"), (V{"a", "", "b"}));
  EXPECT_EQ(SplitText("a<>b<>c", "<>"), (V{"a", "b", "c"}));
  EXPECT_EQ(SplitText("", ";"), V{});
  EXPECT_EQ(SplitText("abc", ""), V{"abc"});
  EXPECT_EQ(ReplaceLineBreaks("a\r\nb\nc\r", '|'), "a||b|c|");
  EXPECT_EQ(TrimText(" \t 1.2.3.4\r\n"), "1.2.3.4");
}

TEST(ZorUtils, DecimalSeparatorNormalisation) {
  EXPECT_EQ(NormalizeDecimalSeparator("1,5", '.'), "1.5");
  EXPECT_EQ(NormalizeDecimalSeparator("1.5", ','), "1,5");
  EXPECT_EQ(NormalizeDecimalSeparator("1.5", '.'), "1.5");
  EXPECT_EQ(NormalizeDecimalSeparator("1.000.5", ','), "1,000,5");
  // A point only at the first position does not count; the comma then decides.
  EXPECT_EQ(NormalizeDecimalSeparator(".5,1", '.'), ".5.1");
  EXPECT_EQ(NormalizeDecimalSeparator(",5", '.'), ",5");
  EXPECT_EQ(NormalizeDecimalSeparator("15", ','), "15");
}

TEST(ZorUtils, SeparatedNumbers) {
  EXPECT_EQ(IntToSeparatedText(999), "999");
  EXPECT_EQ(IntToSeparatedText(1000), "1.000");
  EXPECT_EQ(IntToSeparatedText(1234567890), "1234.567.890");
  EXPECT_EQ(IntToSeparatedText(-123456, ','), "-123,456");
  EXPECT_EQ(IntToSeparatedText(-2147483647 - 1), "-2147.483.648");
  EXPECT_EQ(Int64ToSeparatedText(0), "0");
  EXPECT_EQ(Int64ToSeparatedText(1234567890123LL), "1.234.567.890.123");
  EXPECT_EQ(Int64ToSeparatedText(9223372036854775807LL), "9223372.036.854.775.807");
  EXPECT_EQ(Int64ToSeparatedText(-9223372036854775807LL - 1), "-9223372.036.854.775.808");
}

TEST(ZorUtils, ByteCountTexts) {
  EXPECT_EQ(ByteCountToText(0), "0 Bytes");
  EXPECT_EQ(ByteCountToText(1024), "1024 Bytes");
  EXPECT_EQ(ByteCountToText(1025), "1.00 KB");
  EXPECT_EQ(ByteCountToText(1536), "1.50 KB");
  EXPECT_EQ(ByteCountToText(1048576), "1,024.00 KB");
  EXPECT_EQ(ByteCountToText(1048577), "1.00 MB");
  EXPECT_EQ(ByteCountToText(5u * 1048576 / 2), "2.50 MB");
  EXPECT_EQ(ByteCountToText(1073741824), "1,024.00 MB");
  EXPECT_EQ(ByteCountToText(3ull << 30), "3.00 GB");
  EXPECT_EQ(ByteCountToText(1536ull << 30), "1,536.00 GB");
}

TEST(ZorUtils, IPv4TextChecks) {
  EXPECT_TRUE(IsValidIPv4("192.168.1.5"));
  EXPECT_TRUE(IsValidIPv4(" 0.0.0.0 "));
  EXPECT_TRUE(IsValidIPv4("255.255.255.255"));
  EXPECT_FALSE(IsValidIPv4("192.168.1"));
  EXPECT_FALSE(IsValidIPv4("192.168.1.256"));
  EXPECT_FALSE(IsValidIPv4("192.168..5"));
  EXPECT_FALSE(IsValidIPv4("1.2.3.4."));
  EXPECT_FALSE(IsValidIPv4(".1.2.3"));
  EXPECT_FALSE(IsValidIPv4("1.2.3.-4"));
  EXPECT_FALSE(IsValidIPv4("1.2.3.99999999999999999999"));
  EXPECT_FALSE(IsValidIPv4(""));

  EXPECT_TRUE(IsValidPort("0"));
  EXPECT_TRUE(IsValidPort("65535"));
  EXPECT_FALSE(IsValidPort("65536"));
  EXPECT_FALSE(IsValidPort("-1"));
  EXPECT_FALSE(IsValidPort(""));
  EXPECT_FALSE(IsValidPort("80x"));
  EXPECT_FALSE(IsValidPort("99999999999999999999"));
}

TEST(ZorUtils, CanonicalIPv4ReadsPartsAsDecimal) {
  // Leading zeros are decimal, never octal: 010 is ten, not eight.
  EXPECT_EQ(CanonicalIPv4("192.168.001.010"), "192.168.1.10");
  EXPECT_EQ(CanonicalIPv4("  10.0.0.7 "), "10.0.0.7");
  EXPECT_EQ(CanonicalIPv4("000.000.000.000"), "0.0.0.0");
  EXPECT_EQ(CanonicalIPv4("1.2.3.256"), "");
  EXPECT_EQ(CanonicalIPv4("1.2.3"), "");
  EXPECT_EQ(CanonicalIPv4("host.example.com"), "");
  EXPECT_EQ(CanonicalIPv4(""), "");
}

TEST(ZorUtils, IPv4Conversions) {
  EXPECT_EQ(IPv4ToInt("10.0.0.7"), 10 + 7 * 16777216LL);
  EXPECT_EQ(IntToIPv4(static_cast<uint32_t>(IPv4ToInt("10.0.0.7"))), "10.0.0.7");
  EXPECT_EQ(IPv4ToInt("255.255.255.255"), 0xFFFFFFFFLL);  // distinct from the failure value
  EXPECT_EQ(IPv4ToInt("192.168.1"), -1);
  EXPECT_EQ(IPv4ToInt("1.2.3.300"), -1);
  EXPECT_EQ(IntToIPv4(0x0501A8C0u), "192.168.1.5");
  EXPECT_EQ(IPv4ToBytes("192.168.1.5"), "\xC0\xA8\x01\x05");
  EXPECT_EQ(IPv4ToBytes("1.2.3"), "");
  EXPECT_EQ(BytesToIPv4(std::string("\xC0\xA8\x00\x05", 4)), "192.168.0.5");
  EXPECT_EQ(BytesToIPv4("\x01\x02\x03"), "");
}

}  // namespace
}  // namespace zor
