// Throughput of the report decoders over a realistic stream held in memory.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>

#include "device/Zor_ProcessReport.h"

namespace {

using namespace zor;

// Measurement reports of 2 to 7 values (8 bytes each), some with escaped bytes.
std::string FrameStream(size_t bytes) {
  std::string s;
  for (unsigned i = 0; s.size() < bytes; ++i) {
    std::string report = MakeReport(0x2610, std::string(8 * (2 + i % 6), static_cast<char>(i)));
    s += BuildTextFrame(report);
  }
  return s;
}

std::string RecordStream(size_t bytes) {
  std::string s;
  for (unsigned i = 0; s.size() < bytes; ++i) {
    std::string r = "LUM2";
    r += static_cast<char>(0x26);
    const unsigned n = 1 + i % 24;
    r += static_cast<char>(n);
    r += std::string(10, static_cast<char>(i));
    s += r + std::string(8 * n, static_cast<char>(i * 3));
  }
  return s;
}

void BM_DecodeTextFrames(benchmark::State &state) {
  const std::string stream = FrameStream(1 << 20);
  size_t reports = 0;
  for (auto _ : state) {
    std::string_view s = stream;
    while (!s.empty()) {
      const TZor_FrameResult r = DecodeTextFrame(s);
      if (r.Status != fs_Ok) break;
      benchmark::DoNotOptimize(r.Report.data());
      s.remove_prefix(r.Consumed + 1);
      ++reports;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.counters["reports"] = static_cast<double>(reports);
}
BENCHMARK(BM_DecodeTextFrames);

void BM_ReadAndTranslateRecords(benchmark::State &state) {
  const std::string stream = RecordStream(1 << 20);
  for (auto _ : state) {
    std::string_view s = stream;
    TZor_Record rec;
    while (ReadRecord(s, rec) == rs_Ok) {
      const std::string report = TranslateRecord(rec, 1, 255);
      benchmark::DoNotOptimize(report.data());
      s.remove_prefix(rec.Header.Size());
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_ReadAndTranslateRecords);

}  // namespace
