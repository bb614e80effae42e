#include "foundation/CircularBuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "foundation/LogUnit.h"

namespace zor {
namespace {

constexpr uint32_t Cap = TCircularBuffer::BufferSize;
const std::string FE1 = "\xBD", FE2 = "\xBF";  // the two frame-end bytes

// Byte i of a long test stream; not periodic in any power of two.
char PatternByte(uint64_t i) { return static_cast<char>((i * 2654435761u) >> 13); }

std::string Pattern(uint64_t start, size_t count) {
  std::string s(count, '\0');
  for (size_t i = 0; i < count; ++i) s[i] = PatternByte(start + i);
  return s;
}

class CircularBufferTest : public ::testing::Test {
 protected:
  platform::TZor_Event FEvent;
  std::unique_ptr<TCircularBuffer> FBuf = std::make_unique<TCircularBuffer>(-1, true, &FEvent);
};

TEST_F(CircularBufferTest, WritesAreAllOrNothingAtFullCapacity) {
  const std::string all = Pattern(0, Cap);
  EXPECT_TRUE(FBuf->WriteAnsiString(all));
  EXPECT_EQ(FBuf->GetAmount(), Cap);
  EXPECT_EQ(FBuf->GetAvailableSpace(), 0u);
  EXPECT_FALSE(FBuf->WriteAnsiString("x"));
  const uint8_t one = 1;
  EXPECT_FALSE(FBuf->Write(&one, 1));
  EXPECT_FALSE(FBuf->InsertAnsiString("x"));
  EXPECT_EQ(FBuf->GetAmount(), Cap);
  EXPECT_EQ(FBuf->ReadAnsiString(Cap), all);
  EXPECT_EQ(FBuf->GetAmount(), 0u);

  // A write larger than the free space leaves no part behind.
  ASSERT_TRUE(FBuf->WriteAnsiString(Pattern(0, 100)));
  EXPECT_FALSE(FBuf->WriteAnsiString(Pattern(0, Cap - 99)));
  EXPECT_EQ(FBuf->GetAmount(), 100u);
  EXPECT_EQ(FBuf->ReadAnsiString(100), Pattern(0, 100));
}

TEST_F(CircularBufferTest, WrappedDataIsReadBackInOrder) {
  // Move the positions close to the end of the storage, then write across it.
  ASSERT_TRUE(FBuf->WriteAnsiString(Pattern(0, Cap - 10)));
  ASSERT_EQ(FBuf->ReadAnsiString(Cap - 10).size(), Cap - 10);
  const std::string wrapped = Pattern(7, 300);
  ASSERT_TRUE(FBuf->WriteAnsiString(wrapped));
  EXPECT_EQ(FBuf->PeekAnsiString(300), wrapped);
  const std::vector<uint8_t> head = FBuf->Read(20);  // ends past the wrap
  EXPECT_EQ(std::string(head.begin(), head.end()), wrapped.substr(0, 20));
  uint8_t c = 0;
  ASSERT_TRUE(FBuf->PeekChar(c));
  EXPECT_EQ(static_cast<char>(c), wrapped[20]);
  EXPECT_EQ(FBuf->ReadAnsiString(280), wrapped.substr(20));
}

TEST_F(CircularBufferTest, PeekConfirmAndAmounts) {
  ASSERT_TRUE(FBuf->WriteAnsiString("abcdef"));
  EXPECT_TRUE(FBuf->PeekAnsiString(0).empty());
  EXPECT_TRUE(FBuf->PeekAnsiString(7).empty());  // too few stored
  EXPECT_EQ(FBuf->PeekAnsiString(3), "abc");
  EXPECT_EQ(FBuf->PeekAnsiString(3), "abc");  // peeking does not consume

  EXPECT_FALSE(FBuf->ConfirmPeekedData(7));
  EXPECT_EQ(FBuf->GetAmount(), 6u);
  EXPECT_TRUE(FBuf->ConfirmPeekedData(2));
  uint32_t amount = 0, high = 0;
  FBuf->GetAmounts(amount, high);
  EXPECT_EQ(amount, 4u);
  EXPECT_EQ(high, 6u);
  EXPECT_TRUE(FBuf->ConfirmPeekedData(4));
  EXPECT_EQ(FBuf->GetHighAmount(), 0u);  // emptied: high mark starts again

  EXPECT_TRUE(FBuf->ReadAnsiString(1).empty());
}

TEST_F(CircularBufferTest, ReadConsumesCountsBeyondSixteenBits) {
  const std::string data = Pattern(3, 200000);
  ASSERT_TRUE(FBuf->WriteAnsiString(data));
  EXPECT_EQ(FBuf->ReadAnsiString(70000), data.substr(0, 70000));
  EXPECT_EQ(FBuf->GetAmount(), 130000u);
  EXPECT_EQ(FBuf->ReadAnsiString(130000), data.substr(70000));
}

TEST_F(CircularBufferTest, WriteAnsiStringRangeChecks) {
  EXPECT_FALSE(FBuf->WriteAnsiString(""));
  EXPECT_FALSE(FBuf->WriteAnsiString("abc", 1, 0));
  EXPECT_FALSE(FBuf->WriteAnsiString("abc", 0, 1));
  EXPECT_FALSE(FBuf->WriteAnsiString("abc", 2, 3));  // would read past the text
  EXPECT_FALSE(FBuf->WriteAnsiString("abc", 5, 1));
  EXPECT_EQ(FBuf->GetAmount(), 0u);
  EXPECT_TRUE(FBuf->WriteAnsiString("abcd", 2, 2));
  EXPECT_EQ(FBuf->ReadAnsiString(2), "bc");
}

// Reads the lines a buffer wrote to its log.
class CircularBufferLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FFile = (std::filesystem::temp_directory_path() /
             ("zor_cb_log_" + std::to_string(::getpid()) + "_" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".log"))
                .string();
    FLogId = CreateLog();
    ASSERT_TRUE(SetLogFile(FLogId, FFile, false));
    FBuf = std::make_unique<TCircularBuffer>(FLogId, true, &FEvent);
  }
  void TearDown() override { std::filesystem::remove(FFile); }
  std::string LogContents() {
    SetLogFile(FLogId, "", false);
    std::ifstream in(FFile, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::string FFile;
  int FLogId = -1;
  platform::TZor_Event FEvent;
  std::unique_ptr<TCircularBuffer> FBuf;
};

TEST_F(CircularBufferLogTest, ClearBlocksPeeksUntilTheFlagIsRead) {
  ASSERT_TRUE(FBuf->WriteAnsiString("abc"));
  FBuf->Clear();
  EXPECT_EQ(FBuf->GetAmount(), 0u);
  EXPECT_FALSE(FEvent.IsSignaled());
  ASSERT_TRUE(FBuf->WriteAnsiString("xyz"));
  uint8_t c;
  EXPECT_FALSE(FBuf->PeekChar(c));  // sticky, even with new data stored
  EXPECT_TRUE(FBuf->ReadAnsiString(3).empty());
  EXPECT_EQ(FBuf->GetAmount(), 3u);
  EXPECT_TRUE(FBuf->GetBufferCleared());
  EXPECT_FALSE(FBuf->GetBufferCleared());
  EXPECT_EQ(FBuf->ReadAnsiString(3), "xyz");

  FBuf->Clear();  // empty and not flagged
  const std::string log = LogContents();
  EXPECT_NE(log.find("CircularBuffer.Clear: set BufferCleared"), std::string::npos);
  EXPECT_NE(log.find("CircularBuffer.PeekChar nichts liefern, BufferCleared"), std::string::npos);
  EXPECT_NE(log.find("CircularBuffer.PeekAnsiString nichts liefern, BufferCleared"), std::string::npos);
  EXPECT_NE(log.find("CircularBuffer.Clear: without set BufferCleared"), std::string::npos);
}

TEST_F(CircularBufferLogTest, IgnoredDataStayStoredButAreNotDelivered) {
  ASSERT_TRUE(FBuf->WriteAnsiString("abc"));
  FBuf->SetReceivedDataIgnored();
  FBuf->SetReceivedDataIgnored();
  EXPECT_TRUE(FBuf->PeekData(1).empty());
  EXPECT_EQ(FBuf->GetAmount(), 3u);
  EXPECT_TRUE(FBuf->GetBufferCleared());
  EXPECT_EQ(FBuf->PeekAnsiString(3), "abc");
  const std::string log = LogContents();
  const std::string line = "CircularBuffer.SetReceivedDataIgnored: set BufferCleared";
  const size_t first = log.find(line);
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find(line, first + 1), std::string::npos);  // only when the flag changes
  EXPECT_NE(log.find("CircularBuffer.PeekData nichts liefern, BufferCleared"), std::string::npos);
}

TEST_F(CircularBufferTest, ReceiveEventFollowsWritesAndEmptyPeeks) {
  ASSERT_TRUE(FBuf->WriteAnsiString("ab"));
  EXPECT_TRUE(FEvent.IsSignaled());
  EXPECT_EQ(FBuf->PeekAnsiString(2), "ab");
  EXPECT_TRUE(FEvent.IsSignaled());  // a successful peek leaves it alone
  EXPECT_TRUE(FBuf->PeekAnsiString(3).empty());
  EXPECT_FALSE(FEvent.IsSignaled());  // the reader is about to wait

  FBuf->SetDoResetEvent(false);
  ASSERT_TRUE(FBuf->WriteAnsiString("c"));
  EXPECT_TRUE(FBuf->PeekAnsiString(9).empty());
  FBuf->Clear();
  EXPECT_TRUE(FEvent.IsSignaled());
}

TEST_F(CircularBufferTest, InsertGoesBetweenCompleteAndUnfinishedFrame) {
  ASSERT_TRUE(FBuf->WriteAnsiString("F1" + FE1 + "ha"));
  ASSERT_TRUE(FBuf->InsertAnsiString("N" + FE2));
  ASSERT_TRUE(FBuf->WriteAnsiString("lf" + FE1));
  EXPECT_EQ(FBuf->ReadAnsiString(FBuf->GetAmount()), "F1" + FE1 + "N" + FE2 + "half" + FE1);

  // A frame end as the last stored byte: a plain append.
  ASSERT_TRUE(FBuf->WriteAnsiString("F2" + FE2));
  ASSERT_TRUE(FBuf->InsertAnsiString("N" + FE1));
  EXPECT_EQ(FBuf->ReadAnsiString(FBuf->GetAmount()), "F2" + FE2 + "N" + FE1);
}

TEST_F(CircularBufferTest, InsertAcrossTheStorageEnd) {
  ASSERT_TRUE(FBuf->WriteAnsiString(Pattern(0, Cap - 3)));
  ASSERT_EQ(FBuf->ReadAnsiString(Cap - 3).size(), Cap - 3);
  // The frame end sits before the wrap, the unfinished frame runs across it.
  ASSERT_TRUE(FBuf->WriteAnsiString("A" + FE1 + "bcdef"));
  ASSERT_TRUE(FBuf->InsertAnsiString("N" + FE1));
  EXPECT_EQ(FBuf->ReadAnsiString(FBuf->GetAmount()), "A" + FE1 + "N" + FE1 + "bcdef");
}

TEST_F(CircularBufferTest, InsertIntoFrameStartWaitsForTheNextFrameEnd) {
  ASSERT_TRUE(FBuf->WriteAnsiString("hal"));
  ASSERT_TRUE(FBuf->InsertAnsiString("N" + FE2));
  EXPECT_EQ(FBuf->GetAmount(), 3u);
  ASSERT_TRUE(FBuf->WriteAnsiString("f-"));  // still no frame end: keeps waiting
  ASSERT_TRUE(FBuf->WriteAnsiString("x" + FE1 + "next"));
  EXPECT_EQ(FBuf->ReadAnsiString(FBuf->GetAmount()), "half-x" + FE1 + "N" + FE2 + "next");
  ASSERT_TRUE(FBuf->WriteAnsiString("z" + FE1));  // delivered only once
  EXPECT_EQ(FBuf->ReadAnsiString(FBuf->GetAmount()), "z" + FE1);
}

TEST_F(CircularBufferTest, WaitingInsertionOnEmptyBufferAndOverflow) {
  ASSERT_TRUE(FBuf->WriteAnsiString("ha"));
  ASSERT_TRUE(FBuf->InsertAnsiString("N" + FE2));
  FBuf->Clear();
  FBuf->GetBufferCleared();
  // After a clear nothing unfinished is stored: the waiting frame goes first.
  ASSERT_TRUE(FBuf->WriteAnsiString("new"));
  EXPECT_EQ(FBuf->ReadAnsiString(FBuf->GetAmount()), "N" + FE2 + "new");

  ASSERT_TRUE(FBuf->WriteAnsiString("ha"));
  ASSERT_TRUE(FBuf->InsertAnsiString("N" + FE2));
  ASSERT_TRUE(FBuf->WriteAnsiString(std::string(Cap - 2 - 4, 'x')));  // free space left: 4
  // Fits alone but not together with the waiting frame: nothing is written.
  EXPECT_FALSE(FBuf->WriteAnsiString("l" + FE1 + "xy"));
  EXPECT_EQ(FBuf->GetAvailableSpace(), 4u);
}

TEST_F(CircularBufferTest, NoEOLStreamInsertsAtTheEnd) {
  FBuf->SetNoEOL();
  ASSERT_TRUE(FBuf->WriteAnsiString("bin" + FE1 + "ary"));
  ASSERT_TRUE(FBuf->InsertAnsiString("N"));
  EXPECT_EQ(FBuf->ReadAnsiString(FBuf->GetAmount()), "bin" + FE1 + "aryN");
}

TEST_F(CircularBufferTest, BufferWithoutLockWorksSingleThreaded) {
  auto buf = std::make_unique<TCircularBuffer>(-1, false, nullptr);
  ASSERT_TRUE(buf->WriteAnsiString("ab" + FE1 + "c"));
  ASSERT_TRUE(buf->InsertAnsiString("N" + FE1));
  EXPECT_TRUE(buf->PeekAnsiString(9).empty());
  EXPECT_EQ(buf->ReadAnsiString(6), "ab" + FE1 + "N" + FE1 + "c");
}

// A writer thread pushes 64 MiB in random pieces (retrying while full), a
// reader drains random pieces waiting on the receive event: nothing may be
// lost, duplicated or reordered.
TEST_F(CircularBufferTest, ThreadedTransferKeepsEveryByteInOrder) {
  constexpr uint64_t Total = 64ull << 20;
  std::atomic<bool> writerFailed{false};
  std::thread writer([&] {
    std::mt19937 rng(1);
    std::string chunk;
    for (uint64_t pos = 0; pos < Total;) {
      const size_t n = std::min<uint64_t>(Total - pos, 1 + rng() % 70000);
      chunk = Pattern(pos, n);
      int retries = 0;
      while (!FBuf->WriteAnsiString(chunk)) {
        if (++retries > 10000) {
          writerFailed = true;
          return;
        }
        platform::SleepMs(1);
      }
      pos += n;
    }
  });

  std::mt19937 rng(2);
  uint64_t pos = 0, mismatches = 0;
  int idleWaits = 0;
  while (pos < Total && idleWaits < 20 && !writerFailed) {
    const size_t n = std::min<uint64_t>(Total - pos, 1 + rng() % 100000);
    const std::string got = FBuf->ReadAnsiString(n);
    if (got.empty()) {
      idleWaits = FEvent.WaitFor(500) ? 0 : idleWaits + 1;
      continue;
    }
    idleWaits = 0;
    for (size_t i = 0; i < got.size(); ++i) mismatches += got[i] != PatternByte(pos + i);
    pos += got.size();
  }
  writer.join();
  EXPECT_FALSE(writerFailed);
  EXPECT_EQ(pos, Total);
  EXPECT_EQ(mismatches, 0u);
  EXPECT_EQ(FBuf->GetAmount(), 0u);
}

}  // namespace
}  // namespace zor
