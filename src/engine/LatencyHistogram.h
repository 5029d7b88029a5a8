#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace stratavon {

// Completion latencies of one worker's I/Os, in nanoseconds, kept in a
// log-linear histogram: values below 128 ns exactly, then every power of
// two split into 64 equal buckets up to 2^42 ns (73 minutes). A bucket is
// reported by its midpoint, which is never more than 1/128 (0.8%) away from
// any value it holds. Longer values land in the last bucket; the exact
// largest is kept beside it.
//
// One thread records (the worker that owns it), any thread reads. Every
// field is an atomic that only its writer advances, with relaxed loads and
// stores: no lock, no read-modify-write instruction, no line shared with
// another worker, nothing allocated per I/O. Readers never write: a sampler
// takes the movement since its last look by differencing snapshots, as it
// does with the byte counters.
class alignas(64) CLatencyHistogram {  // whole cache lines: no two workers share one
 public:
  static constexpr unsigned kExactBits = 7;             // 0..127 ns exactly
  static constexpr unsigned kSubBuckets = 64;           // per power of two from 128 ns
  static constexpr unsigned kTopExponent = 41;          // the last power of two: [2^41, 2^42)
  static constexpr unsigned kBuckets = (1u << kExactBits) + (kTopExponent - kExactBits + 1) * kSubBuckets;

  static unsigned BucketOf(uint64_t qwNs);
  // The value a bucket stands for: its midpoint (exact below 128 ns).
  static uint64_t BucketValue(unsigned nBucket);

  void Record(uint64_t qwNs) {
    Bump(m_aqwCounts[BucketOf(qwNs)], 1);
    Bump(m_qwSumNs, qwNs);
    if (qwNs > m_qwMaxNs.load(std::memory_order_relaxed)) m_qwMaxNs.store(qwNs, std::memory_order_relaxed);
    if (qwNs < m_qwMinNs.load(std::memory_order_relaxed)) m_qwMinNs.store(qwNs, std::memory_order_relaxed);
  }
  void Record(std::chrono::steady_clock::duration d) {
    Record(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()));
  }

 private:
  friend struct LatencyCounts;
  static void Bump(std::atomic<uint64_t>& value, uint64_t qwBy) {
    value.store(value.load(std::memory_order_relaxed) + qwBy, std::memory_order_relaxed);
  }

  std::atomic<uint64_t> m_aqwCounts[kBuckets] = {};
  std::atomic<uint64_t> m_qwSumNs{0};
  std::atomic<uint64_t> m_qwMinNs{UINT64_MAX};
  std::atomic<uint64_t> m_qwMaxNs{0};
};

// A plain copy of one or more histograms: what a sampler adds up, takes
// differences of and asks for percentiles. Fixed size, no allocation.
struct LatencyCounts {
  uint64_t aqwCounts[CLatencyHistogram::kBuckets] = {};
  uint64_t qwCount = 0;
  uint64_t qwSumNs = 0;
  uint64_t qwMinNs = UINT64_MAX;  // exact over what was added; UINT64_MAX when empty
  uint64_t qwMaxNs = 0;           // exact over what was added

  // Adds a live histogram as it stands.
  void Add(const CLatencyHistogram& histogram);
  void Add(const LatencyCounts& other);
  // What moved from earlier to this (both cumulative snapshots of the same
  // histograms). Min and max of the difference are those of its buckets,
  // kept within the exact extremes of this snapshot.
  LatencyCounts Since(const LatencyCounts& earlier) const;
  void Clear() { *this = LatencyCounts{}; }

  bool Empty() const { return qwCount == 0; }
  // The nearest-rank percentile (0 < dPercent <= 100): the smallest recorded
  // value that at least dPercent of the samples do not exceed, as its
  // bucket's value; 0 when empty.
  uint64_t PercentileNs(double dPercent) const;
  double MeanNs() const { return qwCount != 0 ? static_cast<double>(qwSumNs) / static_cast<double>(qwCount) : 0.0; }
};

// The figures a report shows, in microseconds.
struct LatencySummary {
  double dMinUs = 0, dMeanUs = 0, dP50Us = 0, dP90Us = 0, dP99Us = 0, dP999Us = 0, dP9999Us = 0, dMaxUs = 0;
  uint64_t qwCount = 0;
};
LatencySummary Summarize(const LatencyCounts& counts);

// Whether the counting engines time their I/Os. On unless switched off for
// a run (the cost is measured in bench/latency_cost.sh); read by each
// worker once at start-up.
extern std::atomic<bool> g_bLatencyCapture;

}  // namespace stratavon
