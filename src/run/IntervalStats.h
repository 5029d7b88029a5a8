#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/LatencyHistogram.h"

namespace stratavon {

// What one target (or all of them) did between two samples of the rate
// timer: bytes, I/Os and the latencies of those I/Os. Read by the consoles
// after each sample (the desktop list's tooltip, the command line's log) and
// by anything that charts a run.
struct IntervalFigures {
  double dSeconds = 0;  // the interval's measured length
  uint64_t qwBytes = 0;
  uint64_t qwIos = 0;
  LatencyCounts latency;

  double MbPerSecond() const { return dSeconds > 0 ? static_cast<double>(qwBytes) / 1048576.0 / dSeconds : 0.0; }
  double IosPerSecond() const { return dSeconds > 0 ? static_cast<double>(qwIos) / dSeconds : 0.0; }
};

// Takes the slot entries' counters and latency histograms every period and
// keeps the movement since the previous look, per target and in total.
// Only its own marks move: the entries' qwBytesPrev/qwIosPrev belong to the
// rate sampler, and nothing a worker advances is ever written here.
class CIntervalStats {
 public:
  using Clock = std::chrono::steady_clock;

  // A run starts: the marks go back to zero (the reset left the counters
  // there) and the first interval begins now.
  void Reset(int nTargets, Clock::time_point tNow = Clock::now());
  // Takes one sample of the records block.
  void Sample(int nTargets, Clock::time_point tNow = Clock::now());

  int Targets() const { return static_cast<int>(m_targets.size()); }
  // The last interval of a target (empty figures for one out of range).
  const IntervalFigures& Target(int nTarget) const;
  const IntervalFigures& Total() const { return m_total; }
  // Samples taken since the last Reset.
  unsigned Samples() const { return m_nSamples; }

 private:
  struct TargetState {
    uint64_t qwBytes = 0;  // the counters as the last sample found them
    uint64_t qwIos = 0;
    std::unique_ptr<LatencyCounts> pLatency = std::make_unique<LatencyCounts>();
    IntervalFigures last;
  };
  std::vector<TargetState> m_targets;
  IntervalFigures m_total;
  Clock::time_point m_tLast{};
  unsigned m_nSamples = 0;
};

// Which slot entries a collection takes: the read sides (entries 0..49),
// the write sides (50..99), or both.
enum class EntrySides { kRead, kWrite, kBoth };

// Everything the histograms of a target's entries hold now: over a whole
// run when taken after the workers have ended.
LatencyCounts CollectLatency(int nTarget, EntrySides sides);

}  // namespace stratavon
