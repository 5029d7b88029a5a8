#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "engine/LatencyHistogram.h"

namespace stratavon {
namespace {

// The nearest-rank percentile of the samples themselves.
uint64_t ExactPercentile(std::vector<uint64_t> samples, double dPercent) {
  std::sort(samples.begin(), samples.end());
  const auto nRank = static_cast<size_t>(std::ceil(dPercent / 100.0 * static_cast<double>(samples.size())));
  return samples[std::max<size_t>(nRank, 1) - 1];
}

void ExpectWithinOnePercent(const LatencyCounts& counts, const std::vector<uint64_t>& samples, const char* szCase) {
  ASSERT_EQ(counts.qwCount, samples.size()) << szCase;
  for (double dPercent : {1.0, 50.0, 90.0, 99.0, 99.9, 99.99, 100.0}) {
    const double dExact = static_cast<double>(ExactPercentile(samples, dPercent));
    EXPECT_NEAR(static_cast<double>(counts.PercentileNs(dPercent)), dExact, dExact * 0.01)
        << szCase << " p" << dPercent;
  }
  EXPECT_EQ(counts.qwMinNs, *std::min_element(samples.begin(), samples.end())) << szCase;
  EXPECT_EQ(counts.qwMaxNs, *std::max_element(samples.begin(), samples.end())) << szCase;
  long double dSum = 0;
  for (uint64_t qw : samples) dSum += static_cast<long double>(qw);
  EXPECT_DOUBLE_EQ(counts.MeanNs(), static_cast<double>(dSum / static_cast<long double>(samples.size()))) << szCase;
}

TEST(LatencyHistogramTest, EveryValueUpToAnHourIsHeldWithinOnePercent) {
  // Around every power of two, where the bucket width changes, and on a
  // dense sweep from 1 us to 1 h.
  std::vector<uint64_t> values;
  for (unsigned e = 0; e < 42; ++e) {
    for (int64_t d : {-1, 0, 1}) values.push_back(static_cast<uint64_t>((int64_t{1} << e) + d));
  }
  for (double d = 1000; d <= 3.6e12; d *= 1.0007) values.push_back(static_cast<uint64_t>(d));
  for (uint64_t qw : values) {
    if (qw == 0) continue;
    const uint64_t qwHeld = CLatencyHistogram::BucketValue(CLatencyHistogram::BucketOf(qw));
    ASSERT_LE(std::fabs(static_cast<double>(qwHeld) - static_cast<double>(qw)), static_cast<double>(qw) / 128.0)
        << qw << " ns is held as " << qwHeld;
  }
  EXPECT_EQ(CLatencyHistogram::BucketOf(UINT64_MAX), CLatencyHistogram::kBuckets - 1);
}

TEST(LatencyHistogramTest, PercentilesMatchTheSamples) {
  std::mt19937_64 random(7);
  std::lognormal_distribution<double> typical(std::log(80000.0), 0.6);  // around 80 us
  std::vector<uint64_t> lognormal(50000);
  for (uint64_t& qw : lognormal) qw = static_cast<uint64_t>(typical(random));
  std::vector<uint64_t> outlier = lognormal;
  outlier.push_back(uint64_t{3} * 3600 * 1000000000);  // one request stuck for 3 h, past the last bucket
  std::vector<uint64_t> fewFast = {1000, 1001, 1002, 5000, 1500000};

  const std::pair<const char*, const std::vector<uint64_t>*> kCases[] = {
      {"lognormal", &lognormal}, {"one huge outlier", &outlier}, {"few", &fewFast}};
  for (const auto& [szCase, pSamples] : kCases) {
    auto pHistogram = std::make_unique<CLatencyHistogram>();
    for (uint64_t qw : *pSamples) pHistogram->Record(qw);
    auto pCounts = std::make_unique<LatencyCounts>();
    pCounts->Add(*pHistogram);
    ExpectWithinOnePercent(*pCounts, *pSamples, szCase);
  }
}

TEST(LatencyHistogramTest, EmptyHistogramHasNoFigures) {
  auto pHistogram = std::make_unique<CLatencyHistogram>();
  auto pCounts = std::make_unique<LatencyCounts>();
  pCounts->Add(*pHistogram);
  EXPECT_TRUE(pCounts->Empty());
  EXPECT_EQ(pCounts->PercentileNs(99), 0u);
  EXPECT_EQ(pCounts->MeanNs(), 0.0);
  const LatencySummary summary = Summarize(*pCounts);
  EXPECT_EQ(summary.qwCount, 0u);
  EXPECT_EQ(summary.dMaxUs, 0.0);
  EXPECT_EQ(summary.dMinUs, 0.0);
  EXPECT_TRUE(pCounts->Since(*pCounts).Empty());
}

// Many workers record while a sampler differences snapshots of all of them:
// the periods add up to exactly what was recorded, and the merge gives the
// percentiles of every sample together.
TEST(LatencyHistogramTest, SampledMergesOfManyWorkersLoseNothing) {
  constexpr int kWorkers = 12;
  constexpr int kPerWorker = 40000;
  std::vector<std::unique_ptr<CLatencyHistogram>> histograms;
  std::vector<std::vector<uint64_t>> samples(kWorkers);
  for (int w = 0; w < kWorkers; ++w) {
    histograms.push_back(std::make_unique<CLatencyHistogram>());
    std::mt19937_64 random(static_cast<uint64_t>(w) + 1);
    // Each worker its own range, so that a lost or doubled period shows.
    std::uniform_int_distribution<uint64_t> range(1000u * (w + 1), 50000u * (w + 1));
    samples[w].resize(kPerWorker);
    for (uint64_t& qw : samples[w]) qw = range(random);
  }

  std::atomic<int> nRunning{kWorkers};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) {
    threads.emplace_back([&, w] {
      for (uint64_t qw : samples[w]) histograms[w]->Record(qw);
      --nRunning;
    });
  }
  auto pPrevious = std::make_unique<LatencyCounts>();
  auto pNow = std::make_unique<LatencyCounts>();
  auto pPeriods = std::make_unique<LatencyCounts>();
  int nPeriods = 0;
  for (bool bLast = false; !bLast; ++nPeriods) {
    bLast = nRunning.load() == 0;
    pNow->Clear();
    for (const auto& pHistogram : histograms) pNow->Add(*pHistogram);
    pPeriods->Add(pNow->Since(*pPrevious));
    *pPrevious = *pNow;
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<uint64_t> all;
  for (const auto& one : samples) all.insert(all.end(), one.begin(), one.end());
  ASSERT_EQ(pPeriods->qwCount, all.size()) << "over " << nPeriods << " periods";
  EXPECT_TRUE(std::equal(std::begin(pPeriods->aqwCounts), std::end(pPeriods->aqwCounts), std::begin(pNow->aqwCounts)));
  EXPECT_EQ(pPeriods->qwSumNs, pNow->qwSumNs);
  ExpectWithinOnePercent(*pNow, all, "merged");
}

}  // namespace
}  // namespace stratavon
