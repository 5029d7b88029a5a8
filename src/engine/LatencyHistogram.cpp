#include "engine/LatencyHistogram.h"

#include <algorithm>
#include <cmath>

namespace stratavon {
namespace {

constexpr uint64_t kExactLimit = uint64_t{1} << CLatencyHistogram::kExactBits;
// log2 of the sub-bucket count: the mantissa bits kept below a value's top bit.
constexpr unsigned kSubBits = 6;
static_assert((1u << kSubBits) == CLatencyHistogram::kSubBuckets);
static_assert(CLatencyHistogram::kExactBits == kSubBits + 1);

uint64_t Clamp(uint64_t qwValue, uint64_t qwMin, uint64_t qwMax) {
  if (qwMin > qwMax) return qwValue;  // nothing exact to hold it to
  return std::clamp(qwValue, qwMin, qwMax);
}

}  // namespace

std::atomic<bool> g_bLatencyCapture{true};

unsigned CLatencyHistogram::BucketOf(uint64_t qwNs) {
  if (qwNs < kExactLimit) return static_cast<unsigned>(qwNs);
  const unsigned nExponent = 63u - static_cast<unsigned>(__builtin_clzll(qwNs));
  if (nExponent > kTopExponent) return kBuckets - 1;
  const unsigned nMantissa = static_cast<unsigned>(qwNs >> (nExponent - kSubBits)) - kSubBuckets;
  return static_cast<unsigned>(kExactLimit) + (nExponent - kExactBits) * kSubBuckets + nMantissa;
}

uint64_t CLatencyHistogram::BucketValue(unsigned nBucket) {
  if (nBucket < kExactLimit) return nBucket;
  const unsigned nIndex = nBucket - static_cast<unsigned>(kExactLimit);
  const unsigned nShift = nIndex / kSubBuckets + kExactBits - kSubBits;
  const uint64_t qwLow = uint64_t{kSubBuckets + nIndex % kSubBuckets} << nShift;
  return qwLow + (uint64_t{1} << nShift) / 2;
}

void LatencyCounts::Add(const CLatencyHistogram& histogram) {
  for (unsigned i = 0; i < CLatencyHistogram::kBuckets; ++i) {
    const uint64_t qwInBucket = histogram.m_aqwCounts[i].load(std::memory_order_relaxed);
    aqwCounts[i] += qwInBucket;
    qwCount += qwInBucket;
  }
  qwSumNs += histogram.m_qwSumNs.load(std::memory_order_relaxed);
  qwMinNs = std::min(qwMinNs, histogram.m_qwMinNs.load(std::memory_order_relaxed));
  qwMaxNs = std::max(qwMaxNs, histogram.m_qwMaxNs.load(std::memory_order_relaxed));
}

void LatencyCounts::Add(const LatencyCounts& other) {
  for (unsigned i = 0; i < CLatencyHistogram::kBuckets; ++i) aqwCounts[i] += other.aqwCounts[i];
  qwCount += other.qwCount;
  qwSumNs += other.qwSumNs;
  qwMinNs = std::min(qwMinNs, other.qwMinNs);
  qwMaxNs = std::max(qwMaxNs, other.qwMaxNs);
}

LatencyCounts LatencyCounts::Since(const LatencyCounts& earlier) const {
  LatencyCounts moved;
  unsigned nLowest = CLatencyHistogram::kBuckets;
  unsigned nHighest = 0;
  for (unsigned i = 0; i < CLatencyHistogram::kBuckets; ++i) {
    // A histogram that went away between the two looks cannot move backwards.
    const uint64_t qwDelta = aqwCounts[i] > earlier.aqwCounts[i] ? aqwCounts[i] - earlier.aqwCounts[i] : 0;
    moved.aqwCounts[i] = qwDelta;
    moved.qwCount += qwDelta;
    if (qwDelta != 0) {
      nLowest = std::min(nLowest, i);
      nHighest = i;
    }
  }
  moved.qwSumNs = qwSumNs > earlier.qwSumNs ? qwSumNs - earlier.qwSumNs : 0;
  if (moved.qwCount != 0) {
    moved.qwMinNs = Clamp(CLatencyHistogram::BucketValue(nLowest), qwMinNs, qwMaxNs);
    moved.qwMaxNs = Clamp(CLatencyHistogram::BucketValue(nHighest), qwMinNs, qwMaxNs);
  }
  return moved;
}

uint64_t LatencyCounts::PercentileNs(double dPercent) const {
  if (qwCount == 0) return 0;
  const double dRank = std::ceil(dPercent / 100.0 * static_cast<double>(qwCount));
  const uint64_t qwRank = dRank < 1.0 ? 1 : std::min(qwCount, static_cast<uint64_t>(dRank));
  uint64_t qwSeen = 0;
  for (unsigned i = 0; i < CLatencyHistogram::kBuckets; ++i) {
    qwSeen += aqwCounts[i];
    if (qwSeen < qwRank) continue;
    // The last bucket has no upper end: what lands there is best told by
    // the largest value, which is kept exactly.
    if (i == CLatencyHistogram::kBuckets - 1) return qwMaxNs;
    return Clamp(CLatencyHistogram::BucketValue(i), qwMinNs, qwMaxNs);
  }
  return qwMaxNs;
}

LatencySummary Summarize(const LatencyCounts& counts) {
  LatencySummary summary;
  summary.qwCount = counts.qwCount;
  if (counts.Empty()) return summary;
  const auto us = [](uint64_t qwNs) { return static_cast<double>(qwNs) / 1000.0; };
  summary.dMinUs = us(counts.qwMinNs);
  summary.dMeanUs = counts.MeanNs() / 1000.0;
  summary.dP50Us = us(counts.PercentileNs(50));
  summary.dP90Us = us(counts.PercentileNs(90));
  summary.dP99Us = us(counts.PercentileNs(99));
  summary.dP999Us = us(counts.PercentileNs(99.9));
  summary.dP9999Us = us(counts.PercentileNs(99.99));
  summary.dMaxUs = us(counts.qwMaxNs);
  return summary;
}

}  // namespace stratavon
