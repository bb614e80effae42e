// Decoding speed of S-record files: a 4 MiB file of 32-byte S3 records read,
// decoded and classified as user code, the way an upload walks it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "firmware/SRecord.h"

namespace {

std::string MakeFile(size_t bytes) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("zor_srecord_bench_" + std::to_string(::getpid()) + ".s19"))
          .string();
  std::ofstream out(path, std::ios::binary);
  uint32_t address = 0x4000;
  size_t written = 0;
  char line[96];
  while (written < bytes) {
    int n = std::snprintf(line, sizeof line, "S325%08X", address);
    unsigned sum =
        0x25 + (address >> 24) + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) + (address & 0xFF);
    for (int i = 0; i < 32; ++i) {
      const unsigned b = (address + i * 7) & 0xFF;
      sum += b;
      n += std::snprintf(line + n, sizeof line - n, "%02X", b);
    }
    n += std::snprintf(line + n, sizeof line - n, "%02X\r\n", 0xFF - (sum & 0xFF));
    out.write(line, n);
    written += static_cast<size_t>(n);
    address = address >= 0x7FFE0 ? 0x4000 : address + 32;
  }
  return path;
}

void BM_DecodeFile4MiB(benchmark::State &state) {
  const std::string path = MakeFile(4u << 20);
  for (auto _ : state) {
    zor::TSRecordImage image;
    std::string error;
    if (!image.OpenFile(path, zor::ik_UserCode, error)) state.SkipWithError(error.c_str());
    const zor::TImageScan scan = zor::ScanSRecordImage(image);
    benchmark::DoNotOptimize(scan.SentBytes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(4u << 20));
  std::filesystem::remove(path);
}
BENCHMARK(BM_DecodeFile4MiB)->Unit(benchmark::kMillisecond);

void BM_ParseLine(benchmark::State &state) {
  const std::string line =
      "S3250000400000070E151C232A31383F464D545B626970777E858C939AA1A8AFB6BDC4CBD2D9E0E7A4";
  zor::TSRecord record;
  for (auto _ : state) benchmark::DoNotOptimize(zor::ParseSRecord(line, record));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_ParseLine);

}  // namespace
