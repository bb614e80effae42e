// Cost of the block transfer path (block header, pieces on the held
// management connection, final answer) against the in-process ESP simulator.
// The device's 20 ms pause between pieces is skipped by a clock whose sleeps
// return at once, so the figures show the transport's own cost per byte.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

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

void BM_BlockTransfer(benchmark::State &state) {
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
  platform::TZor_ClockGuard guard(clock);
  const uint32_t total = 256 * 1024;
  const std::string piece(static_cast<size_t>(state.range(0)), '\x5A');
  for (auto _ : state) {
    bool ok = device.BlockTransferStart(total, 0, false);
    for (uint32_t sent = 0; ok && sent < total; sent += static_cast<uint32_t>(piece.size()))
      ok = device.BlockTransferContinue(piece.substr(0, std::min<size_t>(piece.size(), total - sent)));
    ok = ok && device.BlockTransferStop();
    if (!ok) return state.SkipWithError(device.GetErrorMessage().c_str());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * total);
  device.ClosePort();
  link.Stop();
}
// 1440 bytes is the piece size of the firmware transfer.
BENCHMARK(BM_BlockTransfer)->Arg(1440)->Arg(65536)->Unit(benchmark::kMillisecond);

}  // namespace
