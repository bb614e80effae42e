#include <gtest/gtest.h>

#include <initializer_list>

#include "device/Zor_CDCBlockData.h"

namespace zor {
namespace {

// A header as the device sends it: eight big-endian words.
std::string Header(std::initializer_list<uint32_t> words) {
  std::string s;
  for (uint32_t w : words) {
    for (int i = 3; i >= 0; --i) s += static_cast<char>(w >> (8 * i));
  }
  return s;
}

TCDCBlockHeader Read(std::initializer_list<uint32_t> words) {
  TCDCBlockHeader h;
  EXPECT_TRUE(h.Read(Header(words)));
  return h;
}

TEST(CDCBlockHeader, ReadsBigEndianWordsAndNeedsAllOfThem) {
  TCDCBlockHeader h;
  const std::string bytes = Header({cCDCMagic, 64, 10, 0x45, 0x123402, 0x00040000, 0, 0});
  EXPECT_FALSE(h.Read(std::string_view(bytes).substr(0, 31)));
  ASSERT_TRUE(h.Read(bytes));
  EXPECT_EQ(h.GetSize(), 64u);
  EXPECT_EQ(h.GetOffset(), 5u);  // word 3 masked with size - 1
  EXPECT_EQ(h.GetChannelSelection(), 0x1234u);
  EXPECT_EQ(h.Description(), "CDC ByteCount=10, Offset=5, Flags=001234.02 ToolsData");
  EXPECT_EQ(h.WordsText(), "BFBFBFBF, 00000040, 0000000A, 00000045, 00123402, 00040000, 00000000, 00000000");
}

TEST(CDCBlockHeader, Validity) {
  EXPECT_TRUE(Read({cCDCMagic, 64, 60, 4, 0, 0, 0, 0}).IsValid());
  EXPECT_FALSE(Read({cCDCMagic, 64, 61, 4, 0, 0, 0, 0}).IsValid());
  EXPECT_FALSE(Read({0xBFBFBFBE, 64, 0, 0, 0, 0, 0, 0}).IsValid());
  // A byte count near 2^32 must not wrap around the size check.
  EXPECT_FALSE(Read({cCDCMagic, 0, 0xFFFFFFFF, 1, 0, 0, 0, 0}).IsValid());
}

TEST(CDCBlockHeader, PayloadStaysInsideTheBody) {
  const TCDCBlockHeader h = Read({cCDCMagic, 16, 4, 2, 0, 0, 0, 0});
  EXPECT_EQ(h.Payload("0123456789abcdef"), "2345");
  EXPECT_EQ(h.Payload("0123"), "");
  EXPECT_EQ(Read({cCDCMagic, 16, 0, 2, 0, 0, 0, 0}).Payload("0123456789abcdef"), "");
}

TEST(CDCBlockHeader, UserSlotFromTheWritePointer) {
  EXPECT_EQ(Read({cCDCMagic, 0, 0, 0, 0, 0x70080000, 0, 0}).GetUser(), 2);
  EXPECT_EQ(Read({cCDCMagic, 0, 0, 0, 0, 0x00060000, 0, 0}).GetUser(), 4);  // shift 17 below 0x70000000
  EXPECT_EQ(Read({cCDCMagic, 0, 0, 0, 0, 0, 0, 0}).GetUser(), cCDCNoUser);
  EXPECT_EQ(Read({cCDCMagic, 0, 0, 0, 0, 0, 5, 0}).GetUser(), 1);
}

TEST(CDCBlockHeader, WaitingBytesInTheDeviceRing) {
  EXPECT_EQ(Read({cCDCMagic, 0, 0, 0, 0, 0x300, 0x100, 0}).GetWaitingBytes(), 0x200u);
  EXPECT_EQ(Read({cCDCMagic, 0, 0, 0, 0, 0x100, 0x300, 0}).GetWaitingBytes(), 0x1FFFFu - 0x200u);
  EXPECT_EQ(Read({cCDCMagic, 0, 0, 0, 0, 0x70000100, 0x70000300, 0}).GetWaitingBytes(), 0x7FFFFu - 0x200u);
}

TEST(CDCBlockHeader, ConsistencyAfterReconnect) {
  EXPECT_TRUE(Read({cCDCMagic, 64, 10, 6, cdc_RepeatAddr, 0, 0x20010010, 0}).IsConsistent());
  EXPECT_FALSE(Read({cCDCMagic, 64, 10, 6, cdc_RepeatAddr, 0, 0x20010011, 0}).IsConsistent());
  EXPECT_EQ(Read({cCDCMagic, 0, 0, 0, 0, 0, 0xFFFFFFFF, 0}).GetRepeatAddr(), 0x300FFFFFu);
}

}  // namespace
}  // namespace zor
