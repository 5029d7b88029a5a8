#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace stratavon {

class CIntervalStats;

// One point of the live chart: the rates over [dStart, dEnd) seconds of
// the run, per target and, last, in total.
struct RatePoint {
  double dStart = 0;
  double dEnd = 0;
  std::vector<float> mbPerSec;
  std::vector<float> iops;
  std::vector<float> p99Us;  // empty when the statistics gave no latency; 0 for a series nothing timed
};

// The chart's history of a whole run at bounded memory. New samples stay
// at full resolution; as a level fills, its two oldest points merge into
// one of the next level, so a point of level n spans 2^n samples and a run
// of hours keeps its recent minutes sharp and its start coarse. The top
// level halves itself when full. Rates merge as time-weighted means, the
// p99 latency as the larger of the two (a merged point must not hide a
// slow interval).
class CRateHistory {
 public:
  explicit CRateHistory(size_t nPointsPerLevel = 512, size_t nLevels = 12);

  // Forgets everything; the next samples have nTargets targets.
  void Clear(int nTargets);
  // One interval's rates per target; the total is added here. p99Us is
  // empty, one value per target (its total is then the largest), or one per
  // target and the total's own last.
  void Append(double dStart, double dEnd, const std::vector<float>& mbPerSec, const std::vector<float>& iops,
              const std::vector<float>& p99Us = {});

  // Every point, oldest first.
  std::vector<RatePoint> Points() const;
  size_t PointCount() const;
  // The most points it ever holds.
  size_t Capacity() const { return m_nPerLevel * m_levels.size(); }
  int Targets() const { return m_nTargets; }
  // Whether any point carries a latency.
  bool HasLatency() const { return m_bLatency; }

 private:
  void Cascade(size_t nLevel);

  size_t m_nPerLevel;
  int m_nTargets = 0;
  bool m_bLatency = false;
  std::vector<std::deque<RatePoint>> m_levels;  // [0] newest
};

// Feeds a history from the records' counters: each sample differences the
// monotonic per-slot counters against its own marks (it never moves the
// marks the rate boxes use), so the chart and the list read the same
// counters without disturbing each other.
class CRateFeed {
 public:
  // Marks the counters as they are at the run's start.
  void Start(int nTargets, double dNow);
  // The interval since the last sample, into history, with the p99
  // latency of each target and of all of them over the interval intervals
  // last sampled (none without intervals or when no I/O was timed).
  void Sample(double dNow, CRateHistory& history, const CIntervalStats* pIntervals = nullptr);

 private:
  int m_nTargets = 0;
  double m_dStart = 0;
  double m_dLast = 0;
  std::vector<uint64_t> m_bytes;
  std::vector<uint64_t> m_ios;
};

}  // namespace stratavon
