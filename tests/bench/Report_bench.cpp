// Throughput of the report processor over a receive buffer: text frames of
// ColdFire devices and binary records of ESP devices.
#include <benchmark/benchmark.h>

#include <random>

#include "device/Zor_BaseDevice.h"
#include "device/Zor_Report.h"
#include "foundation/CircularBuffer.h"

namespace zor {
namespace {

// A device without a link: the benchmark fills its receive buffer.
class TBenchDevice : public TZor_BaseDevice {
 public:
  TBenchDevice(TZor_DeviceType type, TZor_PeerType peer) : TZor_BaseDevice(-1) {
    FDevType = type;
    FPeerType = peer;
  }
  bool CheckDeviceClosed() override { return false; }
  void ClosePort() override {}
  bool OpenPort(std::string &) override { return true; }
  bool DeviceWrite(const std::string &) override { return true; }
};

std::string LeRecord(uint8_t type, uint16_t w, int values, std::mt19937 &rng) {
  std::string r = "LUM2";
  r += static_cast<char>(type);
  r += static_cast<char>(values);
  r += static_cast<char>(w & 0xFF);
  r += static_cast<char>(w >> 8);
  r.append(8, '\0');
  for (int i = 0; i < 8 * values; ++i) r += static_cast<char>(rng());
  uint8_t sum = 0;
  for (char c : r) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  r[15] = static_cast<char>(-sum);
  return r;
}

void Run(benchmark::State &state, TBenchDevice &dev, const std::string &stream) {
  TZor_ReportDevice reader(dev);
  std::string report;
  int64_t reports = 0;
  for (auto _ : state) {
    dev.GetReceiveBuffer().WriteAnsiString(stream);
    while (dev.GetBufferAmount() > 0) {
      reader.GetReport(report);
      reports += !report.empty();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(stream.size()) * state.iterations());
  state.counters["reports/s"] = benchmark::Counter(static_cast<double>(reports), benchmark::Counter::kIsRate);
}

// Measurement-sized frames (16 to 200 data bytes), some bytes needing escapes.
void BM_TextFrames(benchmark::State &state) {
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> len(16, 200);
  std::string stream;
  while (stream.size() < 256 * 1024) {
    std::string report = "\x26";
    report += '\0';
    const int n = len(rng);
    for (int i = 0; i < n; ++i) report += static_cast<char>(i % 16 == 5 ? 0xBD : rng() & 0x7F);
    stream += BuildTextFrame(report);
  }
  TBenchDevice dev(Zor_CDC, ptColdfire);
  Run(state, dev, stream);
}
BENCHMARK(BM_TextFrames);

// Records of 1 to 24 values: measurements on the 100 ms grid and value records.
void BM_BinaryRecords(benchmark::State &state) {
  std::mt19937 rng(2);
  std::uniform_int_distribution<int> values(1, 24);
  std::string stream;
  uint16_t fpga = 99;
  // A version record first, so measurements are delivered.
  const std::string text = "00A1 / 12AB34CD 2 / FW: LUM2-1.14 2023-10-05 / HW: 230815.0A / IP: 0501A8C0";
  std::string version = static_cast<char>(text.size()) + text;
  version.resize((version.size() + 7) / 8 * 8, '\0');
  std::string vrec = LeRecord(0x70, 0x7001, 0, rng);
  vrec[5] = static_cast<char>(version.size() / 8);
  vrec += version;
  uint8_t sum = 0;
  vrec[15] = 0;
  for (char c : vrec) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  vrec[15] = static_cast<char>(-sum);
  TBenchDevice dev(Zor_HID, ptESP);
  dev.GetReceiveBuffer().WriteAnsiString(vrec);
  while (stream.size() < 256 * 1024) {
    if (rng() % 4) {
      stream += LeRecord(0x26, fpga, values(rng), rng);
      fpga = static_cast<uint16_t>((fpga + 100) % 20000);
    } else {
      stream += LeRecord(0x77, 0, values(rng), rng);
    }
  }
  Run(state, dev, stream);
}
BENCHMARK(BM_BinaryRecords);

}  // namespace
}  // namespace zor
