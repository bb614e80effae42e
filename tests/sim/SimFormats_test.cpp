#include "sim/SimFormats.h"

#include <gtest/gtest.h>

#include "tests/sim/SimTestUtil.h"

namespace zor {
namespace {

using simtest::Bytes;

TEST(SimFormats, TextFramesByHand) {
  // Cold-start time stamp: L = 8, 8 + 70 + 16 + 01 = 0x8F, check 0x71.
  EXPECT_EQ(SimTextFrame(SimTimeStampReport(1)), Bytes({0x00, 0x08, 0x70, 0x16, 0, 0, 0, 1, 0x71, 0xBF}));
  // 0xBE in the data and a check byte of 0xBF are both escaped and counted.
  EXPECT_EQ(SimTextFrame(Bytes({0x7F, 0xBE})), Bytes({0x02, 0x04, 0x7F, 0xBC, 0xC2, 0xBC, 0xC3, 0xBF}));
}

TEST(SimFormats, TextFrameLengths) {
  const std::string longest(256, 'a');
  const std::string frame = SimTextFrame(longest);
  EXPECT_EQ(uint8_t(frame[1]), 2);  // 258 mod 256
  ASSERT_EQ(simtest::DecodeFrames(frame), std::vector<std::string>{longest});
  EXPECT_TRUE(SimTextFrame(std::string(258, 'a')).empty());
  // Every escapable byte survives a round trip through the reader.
  std::string all;
  for (int b = 0; b < 256; ++b) all += char(b);
  EXPECT_EQ(simtest::DecodeFrames(SimTextFrame(all.substr(0, 200)) + SimTextFrame(all.substr(200))),
            (std::vector<std::string>{all.substr(0, 200), all.substr(200)}));
}

TEST(SimFormats, RecordsByHand) {
  TSimRecordHead head;
  head.Type = simRecTime;
  head.D = 1234;
  // "LUM2" 72 00 W=0000 D=D2040000 S: check 0x98 (the sum of the rest is 0x68).
  EXPECT_EQ(SimRecord(head, {}),
            std::string("LUM2") + Bytes({0x72, 0, 0, 0, 0xD2, 0x04, 0, 0, 0, 0, 0, 0x98}));

  // A 16-character message needs 17 bytes: three values.
  head = {};
  head.Type = simRecMessage;
  head.W = 0x7F21;
  const std::string rec = SimRecord(head, SimTextValues("0123456789ABCDEF"));
  const simtest::TRecord r = simtest::ParseRecord(rec);
  ASSERT_TRUE(r.Valid);
  EXPECT_EQ(r.Count, 3);
  EXPECT_EQ(r.W, 0x7F21);
  EXPECT_EQ(r.Text(), "0123456789ABCDEF");
  EXPECT_TRUE(SimRecord(head, std::string(24 * 8 + 1, 'x')).empty());
}

TEST(SimFormats, RestampKeepsRecordValid) {
  TSimRecordHead head;
  head.Type = simRecStatus;
  head.W = simStatusReady;
  head.Scrambler = 2;
  std::string rec = SimRecord(head, {});
  SimRestampRecord(rec, 3, 0x12345);
  const simtest::TRecord r = simtest::ParseRecord(rec);
  ASSERT_TRUE(r.Valid);
  EXPECT_EQ(r.S & 0x3FFFF, 0x12345u);
  EXPECT_EQ((r.S >> 18) & 3, 2u);
  EXPECT_EQ((r.S >> 20) & 0xF, 2u);  // user - 1
  EXPECT_EQ(SimRecordWords(rec), 4u);
}

TEST(SimFormats, CdcBlocks) {
  TSimCdcHead head{simCdcToolsData, 0x00020005, 0x00000005};
  const std::string block = SimCdcBlock("abcde", head);
  EXPECT_EQ(block.substr(0, 32), Bytes({0xBF, 0xBF, 0xBF, 0xBF, 0, 0, 0, 8, 0, 0, 0, 5, 0, 0, 0, 0,  //
                                        0,    0,    0,    2,    0, 2, 0, 5, 0, 0, 0, 5, 0, 0, 0, 0}));
  EXPECT_EQ(block.substr(32), std::string("abcde") + Bytes({0, 0, 0}));

  // A stream of blocks continues seamlessly: each repeat address grows by the
  // byte count, nothing waits in the ring, the user sits in bits 17-18.
  TSimCdcStream stream(2);
  const std::string first = stream.Block("12345678", 0);
  const std::string second = stream.Block("abc", simCdcBufferCleared);
  auto word = [](const std::string &b, int i) {
    return uint32_t(uint8_t(b[4 * i])) << 24 | uint32_t(uint8_t(b[4 * i + 1])) << 16 |
           uint32_t(uint8_t(b[4 * i + 2])) << 8 | uint8_t(b[4 * i + 3]);
  };
  EXPECT_EQ(word(second, 6) & 0x300FFFFF, (word(first, 6) & 0x300FFFFF) + 3);
  EXPECT_EQ(((word(second, 5) >> 17) & 3) + 1, 2u);
  EXPECT_EQ(word(second, 5) & 0x1FFFF, word(second, 6) & 0x1FFFF);
  EXPECT_EQ(word(second, 4), uint32_t(simCdcBufferCleared));
  EXPECT_GE(word(second, 1), word(second, 2) + word(second, 3));
}

TEST(SimFormats, VersionReports) {
  TSimVersionInfo info;
  info.Version = 112;
  info.HardFeature = 0x0007;
  info.Date = "2019-05-10";
  info.Fpga = "190510.0A";
  info.SerialNumber = 0xABCD;
  info.Ip = 0x0A000007;
  EXPECT_EQ(
      SimColdfireVersionReport(info),
      Bytes({0x70, 0x01}) + "VERSION LUM: 112US CF 2019-05-10 Zor / 190510.0A / 0000ABCD / 10.0.0.7 / User1");

  info.Version = 114;
  info.HardFeature = 0x00A1;
  info.Date = "2023-10-05";
  info.Fpga = "230815.0A";
  info.SerialNumber = 0x12AB34CD;
  info.Ip = 0xC0A80105;  // 192.168.1.5
  info.User = 2;
  EXPECT_EQ(SimEspVersionText(info),
            "00A1 / 12AB34CD 2 / FW: LUM2-1.14 2023-10-05 / HW: 230815.0A / IP: 0501A8C0");
  info.Version = 105;  // minor numbers keep two digits
  EXPECT_NE(SimEspVersionText(info).find("LUM2-1.05 "), std::string::npos);
}

}  // namespace
}  // namespace zor
