// What timing one I/O costs the worker that does it: a reading of the
// steady clock and one record into the worker's histogram, against the
// time a 4KB pread from a page-cache file takes (the cheapest I/O a worker
// makes: RAM through the file system, as on /dev/shm). CPU time per
// iteration, which a loaded machine disturbs less than a throughput ratio.
// Run: build/bench/latency_bench
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "engine/LatencyHistogram.h"

namespace {

using stratavon::CLatencyHistogram;

void BM_ClockReading(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(std::chrono::steady_clock::now());
}
BENCHMARK(BM_ClockReading);

// Latencies spread over a few hundred buckets, as a real device's are.
void BM_Record(benchmark::State& state) {
  auto pHistogram = std::make_unique<CLatencyHistogram>();
  std::mt19937_64 random(1);
  std::lognormal_distribution<double> spread(std::log(2000.0), 0.8);
  std::vector<uint64_t> values(4096);
  for (uint64_t& qw : values) qw = static_cast<uint64_t>(spread(random));
  size_t i = 0;
  for (auto _ : state) {
    pHistogram->Record(values[i]);
    i = (i + 1) & (values.size() - 1);
  }
  benchmark::DoNotOptimize(pHistogram.get());
}
BENCHMARK(BM_Record);

// One timed call as the synchronous engine makes it.
void BM_TimedRecord(benchmark::State& state) {
  auto pHistogram = std::make_unique<CLatencyHistogram>();
  auto tLast = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const auto tNow = std::chrono::steady_clock::now();
    pHistogram->Record(tNow - tLast);
    tLast = tNow;
  }
  benchmark::DoNotOptimize(pHistogram.get());
}
BENCHMARK(BM_TimedRecord);

// The I/O itself, for scale: 4KB preads from a cached file in /dev/shm
// (or the temporary folder where there is none).
void BM_Pread4K(benchmark::State& state) {
  char szPath[] = "/dev/shm/latency_bench.XXXXXX";
  char szFallback[] = "/tmp/latency_bench.XXXXXX";
  int hFile = mkstemp(szPath);
  const char* pszPath = szPath;
  if (hFile < 0) {
    hFile = mkstemp(szFallback);
    pszPath = szFallback;
  }
  if (hFile < 0) {
    state.SkipWithError("no temporary file");
    return;
  }
  std::vector<char> block(4096, 'x');
  for (int i = 0; i < 256; ++i) (void)!write(hFile, block.data(), block.size());
  off_t nOffset = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(pread(hFile, block.data(), block.size(), nOffset));
    nOffset = (nOffset + 4096) % (256 * 4096);
  }
  close(hFile);
  unlink(pszPath);
}
BENCHMARK(BM_Pread4K);

}  // namespace
