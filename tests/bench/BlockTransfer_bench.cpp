// Cost of the block transfer path (block header, pieces on the held
// management connection, final answer) against the in-process ESP simulator.
// BM_BlockTransfer skips the device's 20 ms pause between pieces (a clock
// whose sleeps return at once), so it shows the transport's own cost per byte.
// BM_BlockTransferPaced sends 1 MiB in firmware-sized pieces with the real
// pause and reports the wall time against the floor (pieces x 20 ms) and the
// process's CPU use, which must stay far below one core.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <optional>

#include "net/Zor_NetworkDevice.h"
#include "platform/Zor_Sys.h"
#include "sim/SimDevice.h"
#include "sim/SimNetLink.h"

namespace {

using namespace zor;

class TNoPauseClock : public platform::TZor_Clock {
 public:
  explicit TNoPauseClock(platform::TZor_Clock &real) : FReal(real) {}
  uint32_t Ticks() override { return FReal.Ticks(); }
  void Sleep(uint32_t) override {}

 private:
  platform::TZor_Clock &FReal;
};

void RunTransfer(benchmark::State &state, uint32_t total, bool paced) {
  const std::string ip = "127.0.0.201";
  TSimConfig c;
  c.Family = TSimFamily::Esp;
  c.FirmwareVersion = 114;
  in_addr a{};
  ::inet_pton(AF_INET, ip.c_str(), &a);
  c.IpAddress = ntohl(a.s_addr);
  c.Timings.TimeStampIntervalMs = 0;
  c.Timings.HeartbeatIntervalMs = 0;
  auto sim = CreateSimDevice(c);
  TSimNetLinkConfig lc;
  lc.ControlPort = 0;
  TSimNetLink link(*sim, lc);
  if (!link.Start()) return state.SkipWithError("simulator did not start");

  TZor_NetworkDevice device(-1, 0, nullptr, true, ip);
  device.SetDeviceManagementPort(link.GetControlPort());
  device.SetUserID(1);
  std::string error;
  if (!device.OpenPort(error)) return state.SkipWithError(error.c_str());

  TNoPauseClock clock(platform::Clock());
  std::optional<platform::TZor_ClockGuard> guard;
  if (!paced) guard.emplace(clock);
  const std::string piece(static_cast<size_t>(state.range(0)), '\x5A');
  for (auto _ : state) {
    bool ok = device.BlockTransferStart(total, 0, false);
    for (uint32_t sent = 0; ok && sent < total; sent += static_cast<uint32_t>(piece.size()))
      ok = device.BlockTransferContinue(piece.substr(0, std::min<size_t>(piece.size(), total - sent)));
    ok = ok && device.BlockTransferStop();
    if (!ok) return state.SkipWithError(device.GetErrorMessage().c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * total);
  if (paced) {
    const double pieces = (total + piece.size() - 1) / piece.size();
    state.counters["floor_s"] = pieces * 0.020;
  }
  guard.reset();
  device.ClosePort();
  link.Stop();
}

void BM_BlockTransfer(benchmark::State &state) { RunTransfer(state, 256 * 1024, false); }

void BM_BlockTransferPaced(benchmark::State &state) { RunTransfer(state, 1024 * 1024, true); }
// 1440 bytes is the piece size of the firmware transfer.
BENCHMARK(BM_BlockTransfer)->Arg(1440)->Arg(65536)->Unit(benchmark::kMillisecond);
// Real time against the floor; CPU time here is the whole process's.
BENCHMARK(BM_BlockTransferPaced)
    ->Arg(1440)
    ->Iterations(1)
    ->UseRealTime()
    ->MeasureProcessCPUTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
