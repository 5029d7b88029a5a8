// What the live chart's history costs: one sample appended (every two
// seconds in a run) and a whole history read for painting, after a run of
// the given hours on the given number of targets.

#include <benchmark/benchmark.h>

#include "run/RateHistory.h"

namespace {

using stratavon::CRateHistory;

CRateHistory LongRun(int nTargets, int64_t nHours) {
  CRateHistory history;
  history.Clear(nTargets);
  const std::vector<float> rates(static_cast<size_t>(nTargets), 100.0f);
  for (int64_t i = 0; i < nHours * 1800; ++i) history.Append(2.0 * i, 2.0 * (i + 1), rates, rates);
  return history;
}

void BM_AppendAfterLongRun(benchmark::State& state) {
  const int nTargets = static_cast<int>(state.range(0));
  CRateHistory history = LongRun(nTargets, state.range(1));
  const std::vector<float> rates(static_cast<size_t>(nTargets), 100.0f);
  double dTime = 3600.0 * static_cast<double>(state.range(1));
  for (auto _ : state) {
    history.Append(dTime, dTime + 2, rates, rates);
    dTime += 2;
  }
  state.counters["points"] = static_cast<double>(history.PointCount());
  // Three series of targets + 1 floats per point, plus the point itself.
  state.counters["bytes_kept"] = static_cast<double>(history.PointCount() *
                                                     (sizeof(stratavon::RatePoint) + 2 * (nTargets + 1) * sizeof(float)));
}
BENCHMARK(BM_AppendAfterLongRun)->Args({2, 1})->Args({2, 100})->Args({26, 100});

void BM_ReadForPainting(benchmark::State& state) {
  const CRateHistory history = LongRun(static_cast<int>(state.range(0)), state.range(1));
  for (auto _ : state) benchmark::DoNotOptimize(history.Points());
}
BENCHMARK(BM_ReadForPainting)->Args({2, 100})->Args({26, 100})->Unit(benchmark::kMillisecond);

}  // namespace
