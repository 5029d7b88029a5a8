// Throughput of the workers' block checksum against the byte-table form it
// replaces. Run: build/bench/crc32_bench (GB/s shows as bytes_per_second).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>

#include "engine/Crc32.h"
#include "platform/AlignedBuffer.h"
#include "support/ReferenceCrc.h"

namespace {

using stratavon::CAlignedBuffer;
using stratavon::CCrc32;

CAlignedBuffer RandomBuffer(size_t nSize) {
  CAlignedBuffer buffer;
  buffer.Allocate(nSize);
  std::mt19937 rng(1);
  for (size_t i = 0; i < nSize; ++i) buffer.Data()[i] = static_cast<uint8_t>(rng());
  return buffer;
}

void BM_Crc32Check(benchmark::State& state) {
  const size_t nSize = static_cast<size_t>(state.range(0));
  CAlignedBuffer buffer = RandomBuffer(nSize);
  CCrc32 crc;
  crc.Store(buffer.Data(), nSize);
  for (auto _ : state) benchmark::DoNotOptimize(crc.Check(buffer.Data(), nSize));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(nSize));
}
BENCHMARK(BM_Crc32Check)->Arg(4096)->Arg(64 << 10)->Arg(1 << 20)->Arg(4 << 20);

void BM_ByteTableReference(benchmark::State& state) {
  const size_t nSize = static_cast<size_t>(state.range(0));
  CAlignedBuffer buffer = RandomBuffer(nSize);
  for (auto _ : state) benchmark::DoNotOptimize(stratavon::test::ReferenceCrc(buffer.Data(), nSize));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(nSize));
}
BENCHMARK(BM_ByteTableReference)->Arg(1 << 20);

}  // namespace
