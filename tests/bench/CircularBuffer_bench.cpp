// Throughput of the receive ring: an I/O thread writes what a device sends
// and the main thread reads it back, so both directions count.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "foundation/CircularBuffer.h"

namespace {

using zor::TCircularBuffer;

void BM_WriteRead(benchmark::State &state) {
  const size_t piece = static_cast<size_t>(state.range(0));
  zor::platform::TZor_Event event;
  auto buf = std::make_unique<TCircularBuffer>(-1, true, &event);
  const std::string data(piece, '\x5A');
  // Keep half the ring filled so reads and writes both run across the storage end.
  while (buf->GetAmount() < TCircularBuffer::BufferSize / 2) buf->WriteAnsiString(data);
  for (auto _ : state) {
    if (!buf->WriteAnsiString(data)) state.SkipWithError("buffer full");
    std::string got = buf->ReadAnsiString(piece);
    benchmark::DoNotOptimize(got.data());
  }
  // Bytes moved in and out once each.
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(piece));
}
BENCHMARK(BM_WriteRead)->Arg(64)->Arg(4096)->Arg(65536);

void BM_PeekConfirm(benchmark::State &state) {
  const size_t piece = static_cast<size_t>(state.range(0));
  auto buf = std::make_unique<TCircularBuffer>(-1, true, nullptr);
  const std::string data(piece, '\x5A');
  for (auto _ : state) {
    buf->WriteAnsiString(data);
    std::string got = buf->PeekAnsiString(piece);
    benchmark::DoNotOptimize(got.data());
    buf->ConfirmPeekedData(static_cast<uint16_t>(piece));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(piece));
}
BENCHMARK(BM_PeekConfirm)->Arg(64)->Arg(4096);

}  // namespace
