// The report processor reads a receive buffer that an I/O thread fills in
// pieces of any size: the reports must not depend on where the pieces end.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "device/Zor_BaseDevice.h"
#include "device/Zor_Report.h"
#include "platform/Zor_Sys.h"
#include "tests/device/ReportTestData.h"
#include "tests/support/Zor_TestDevice.h"

namespace zor {
namespace {

using namespace testdata;

std::string RandomBytes(std::mt19937 &rng, size_t n) {
  // Every other byte from the range that needs escaping.
  std::uniform_int_distribution<int> any(0, 255), special(0xBC, 0xBF);
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>(i % 2 ? special(rng) : any(rng));
  return s;
}

// Text frames of random reports (2 to 257 bytes); `reports` gets what they carry.
std::string FrameStream(std::mt19937 &rng, int count, std::vector<std::string> &reports) {
  std::uniform_int_distribution<int> len(0, 255), id(0, 0x6FFF);
  std::string stream;
  while (static_cast<int>(reports.size()) < count) {
    std::string report = Report(static_cast<uint16_t>(id(rng)), RandomBytes(rng, len(rng)));
    std::string frame = BuildTextFrame(report);
    if (frame.empty()) continue;  // its escape count cannot be sent
    stream += frame;
    reports.push_back(report);
  }
  return stream;
}

// An ESP stream: version, then measurements on the 100 ms grid, time stamps,
// value records and heartbeats.
std::string RecordStream(std::mt19937 &rng, int count) {
  std::uniform_int_distribution<int> kind(0, 5), values(0, 24);
  std::uniform_int_distribution<uint64_t> value;
  std::string stream = EspVersionRecord(14);
  uint16_t fpga = 99;
  uint32_t stamp = 0;
  for (int i = 0; i < count; ++i) {
    std::vector<uint64_t> v(values(rng));
    for (uint64_t &x : v) x = value(rng);
    switch (kind(rng)) {
      case 0: stream += Record(0x72, static_cast<uint16_t>((fpga + 1) % 20000), ++stamp); break;
      case 1: stream += Record(0x77, 0, 0, v); break;
      case 2: stream += Record(0x74, 0, 0, v); break;
      case 3: stream += Heartbeat(); break;
      default: stream += Record(0x26, fpga, 0, v); fpga = static_cast<uint16_t>((fpga + 100) % 20000);
    }
  }
  return stream;
}

// Everything the reader delivers until it has `want` reports (or stalls).
std::vector<std::string> ReadReports(TZor_ReportDevice &reader, size_t want) {
  std::vector<std::string> got;
  std::string report;
  const uint32_t start = platform::GetTicks();
  while (got.size() < want && platform::TicksSince(start) < 30000) {
    EXPECT_EQ(reader.GetReport(report), Zor_No_Err) << report;
    if (!report.empty())
      got.push_back(report);
    else
      reader.GetDevice().GetReceiveEvent().WaitFor(20);
  }
  return got;
}

// Feeds the stream from another thread in random pieces of 1 byte to 4 KiB.
std::vector<std::string> ReadInPieces(TZor_DeviceType type, TZor_PeerType peer, const std::string &stream,
                                      size_t want, unsigned seed) {
  TZor_TestDevice dev(type, peer);
  TZor_ReportDevice reader(dev);
  std::thread writer([&] {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> piece(1, 4096);
    for (size_t pos = 0; pos < stream.size();) {
      const std::string part = stream.substr(pos, piece(rng));
      while (!dev.Feed(part)) platform::SleepMs(1);
      pos += part.size();
    }
  });
  std::vector<std::string> got = ReadReports(reader, want);
  writer.join();
  return got;
}

std::vector<std::string> ReadAtOnce(TZor_DeviceType type, TZor_PeerType peer, const std::string &stream) {
  TZor_TestDevice dev(type, peer);
  TZor_ReportDevice reader(dev);
  EXPECT_TRUE(dev.Feed(stream));
  std::vector<std::string> got;
  std::string report;
  while (dev.GetBufferAmount() > 0 || !report.empty()) {
    EXPECT_EQ(reader.GetReport(report), Zor_No_Err) << report;
    if (!report.empty()) got.push_back(report);
  }
  return got;
}

TEST(ReportStream, FramesInRandomPiecesGiveTheSameReports) {
  std::mt19937 rng(7);
  std::vector<std::string> reports;
  const std::string stream = FrameStream(rng, 2000, reports);
  EXPECT_EQ(ReadAtOnce(Zor_CDC, ptColdfire, stream), reports);
  for (unsigned seed : {1u, 2u, 3u})
    EXPECT_EQ(ReadInPieces(Zor_CDC, ptColdfire, stream, reports.size(), seed), reports);
}

TEST(ReportStream, RecordsInRandomPiecesGiveTheSameReports) {
  std::mt19937 rng(11);
  const std::string stream = RecordStream(rng, 2000);
  const std::vector<std::string> whole = ReadAtOnce(Zor_HID, ptESP, stream);
  ASSERT_EQ(whole.size(), 2001u) << "every record is one report, no alarm";
  for (const std::string &r : whole) EXPECT_NE(Id(r), rid_FPGATimeError);
  for (unsigned seed : {4u, 5u, 6u})
    EXPECT_EQ(ReadInPieces(Zor_HID, ptESP, stream, whole.size(), seed), whole);
}

}  // namespace
}  // namespace zor
