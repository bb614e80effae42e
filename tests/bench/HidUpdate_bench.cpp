// The USB HID part of a ColdFire user-code update against the simulator's
// HID link: the memory writes of a 64 KiB image as the tool frames them (one
// write of 32 data bytes per S-record line, one output report each), then the
// read back in reads of 255 bytes. Each run reports its wall time against the
// link's floor and the process's CPU share (the link's threads run in it).
//
// Floor: full speed moves one report per millisecond each way. Writes: one
// output report per line. Read back: each read waits for its answer, which
// takes one input report per 54 bytes (255 bytes: 5 reports), and the read
// command's own output slot overlaps the end of the previous answer.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <string>

#include "sim/SimColdfire.h"
#include "sim/SimHidLink.h"

namespace {

using namespace zor;
using platform::TZor_IoResult;
using TClock = std::chrono::steady_clock;

constexpr uint32_t ImageSize = 0x10000;
constexpr uint32_t LineBytes = 32;
constexpr uint32_t ReadBytes = 255;
constexpr size_t ReportLen = 65;
constexpr size_t DataPerReport = ReportLen - 11;

std::string BE32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

std::string Report(const std::string &cmd) {
  std::string r(ReportLen, '\0');
  r[1] = char(cmd.size());
  r.replace(2, cmd.size(), cmd);
  return r;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void Report(benchmark::State &state, const char *name, double wallS, double floorS, double cpuS) {
  state.counters[std::string(name) + "_s"] = wallS;
  state.counters[std::string(name) + "_floor_s"] = floorS;
  state.counters[std::string(name) + "_over_floor_pct"] = 100.0 * (wallS - floorS) / floorS;
  state.counters[std::string(name) + "_cpu_pct"] = 100.0 * cpuS / wallS;
}

void BM_ColdfireUserCodeOverHid(benchmark::State &state) {
  TSimConfig config;
  config.Timings.TimeStampIntervalMs = 0;
  TSimColdfire model(config);
  TSimHidLink link(model);
  std::string error;
  if (!link.Plug(error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  platform::TZor_SysError e;
  auto port = link.OpenPort(e);
  if (!port || port->Write(Report("\x85\x10"), 100) != TZor_IoResult::ioOk) {
    state.SkipWithError("the simulated device does not open");
    return;
  }
  std::string image(ImageSize, '\0');
  for (uint32_t i = 0; i < ImageSize; ++i) image[i] = char(i * 7 + (i >> 8));

  for (auto _ : state) {
    double cpu0 = CpuSeconds();
    auto t0 = TClock::now();
    for (uint32_t at = 0; at < ImageSize; at += LineBytes) {
      const std::string cmd = std::string("\x85\x20", 2) + BE32(SimStagingFlag | (SimUserCodeStart + at)) +
                              image.substr(at, LineBytes);
      port->Write(Report(cmd), 100);
    }
    const double writeS = std::chrono::duration<double>(TClock::now() - t0).count();
    Report(state, "write", writeS, (ImageSize / LineBytes) * 1e-3, CpuSeconds() - cpu0);

    cpu0 = CpuSeconds();
    t0 = TClock::now();
    size_t reads = 0;
    std::string back;
    for (uint32_t at = 0; at < ImageSize; at += ReadBytes, ++reads) {
      const uint32_t len = std::min(ReadBytes, ImageSize - at);
      port->Write(
          Report(std::string("\x85\x40", 2) + BE32(SimStagingFlag | (SimUserCodeStart + at)) + char(len)),
          100);
      std::string answer;
      while (answer.size() < len) {
        std::string r;
        if (port->Read(r, 1000) != TZor_IoResult::ioOk) break;
        answer += r.substr(2, uint8_t(r[1]) - 8);
      }
      back += answer;
    }
    const double readS = std::chrono::duration<double>(TClock::now() - t0).count();
    const size_t reportsPerRead = (ReadBytes + DataPerReport - 1) / DataPerReport;
    Report(state, "read", readS, double(reads * reportsPerRead) * 1e-3, CpuSeconds() - cpu0);
    if (back != image) state.SkipWithError("the image read back differs");
  }
}
BENCHMARK(BM_ColdfireUserCodeOverHid)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
