#include <gtest/gtest.h>

#include <fstream>

#include "run/EventRows.h"
#include "run/RateHistory.h"
#include "engine/EventSource.h"
#include "support/TempDir.h"

namespace stratavon {
namespace {

// Hours of two-second samples stay within the history's bound, cover the
// whole run without gaps, keep the run's mean rate through every merge,
// keep the slowest p99 and the last minutes at full resolution.
TEST(RateHistoryTest, LongRunStaysBoundedAndKeepsItsMeansAndPeaks) {
  struct Case {
    size_t nPerLevel, nLevels, nSamples;
  };
  // 100 hours on the default shape; a small shape that halves its top level often.
  for (const Case& c : {Case{512, 12, 180000}, Case{8, 3, 5001}}) {
    CRateHistory history(c.nPerLevel, c.nLevels);
    history.Clear(2);
    double dSum0 = 0;
    double dSum1 = 0;
    const size_t nSpike = c.nSamples / 3;
    for (size_t i = 0; i < c.nSamples; ++i) {
      const float f0 = static_cast<float>(i % 7);
      const float f1 = static_cast<float>(2 * (i % 5));
      dSum0 += f0;
      dSum1 += f1;
      const float fP99 = i == nSpike ? 90000.0f : 100.0f;
      history.Append(2.0 * static_cast<double>(i), 2.0 * static_cast<double>(i + 1), {f0, f1}, {f0 * 10, f1 * 10},
                     {fP99, 50.0f});
      ASSERT_LE(history.PointCount(), history.Capacity()) << "after sample " << i;
    }
    const std::vector<RatePoint> points = history.Points();
    ASSERT_FALSE(points.empty());
    EXPECT_EQ(points.front().dStart, 0.0);
    EXPECT_EQ(points.back().dEnd, 2.0 * static_cast<double>(c.nSamples));
    EXPECT_EQ(points.back().dEnd - points.back().dStart, 2.0) << "the newest point is one sample";
    double dWeighted0 = 0;
    double dWeighted1 = 0;
    double dWeightedTotal = 0;
    float fPeak = 0;
    for (size_t i = 0; i < points.size(); ++i) {
      if (i > 0) {
        ASSERT_EQ(points[i].dStart, points[i - 1].dEnd) << "gap or overlap at point " << i;
      }
      const double dSpan = points[i].dEnd - points[i].dStart;
      ASSERT_EQ(points[i].mbPerSec.size(), 3u);
      dWeighted0 += points[i].mbPerSec[0] * dSpan;
      dWeighted1 += points[i].mbPerSec[1] * dSpan;
      dWeightedTotal += points[i].iops[2] * dSpan;
      fPeak = std::max(fPeak, points[i].p99Us[2]);
    }
    const double dRun = 2.0 * static_cast<double>(c.nSamples);
    const double dMean0 = dSum0 / static_cast<double>(c.nSamples);
    const double dMean1 = dSum1 / static_cast<double>(c.nSamples);
    EXPECT_NEAR(dWeighted0 / dRun, dMean0, 1e-3 * dMean0) << c.nSamples;
    EXPECT_NEAR(dWeighted1 / dRun, dMean1, 1e-3 * dMean1) << c.nSamples;
    EXPECT_NEAR(dWeightedTotal / dRun, 10 * (dMean0 + dMean1), 1e-2 * (dMean0 + dMean1)) << "total = sum of targets";
    EXPECT_EQ(fPeak, 90000.0f) << "a merged point keeps the slowest interval";
    EXPECT_TRUE(history.HasLatency());
  }
}

TEST(EventRowsTest, ListsEntriesOfAnyKnownShapeAndSkipsPartialAndForeignLines) {
  test::CTempDir dir;
  const std::string szLog = dir.Path("events.jsonl");
  HEVENTLOG hSource = RegisterEventSourceAt(kEventSourceName, szLog);
  ASSERT_NE(hSource, nullptr);
  const auto report = [&](uint32_t dwId, std::vector<const char*> strings, const void* pData, uint32_t dwBytes) {
    ASSERT_TRUE(ReportEvent(hSource, EVENTLOG_ERROR_TYPE, 1, dwId, nullptr, static_cast<uint16_t>(strings.size()),
                            dwBytes, strings.data(), pData));
  };
  const WordMismatch pairs[kMaxListedWords] = {{0xAAAAAAAA, 0xAAAAAAAB}, {0x01020304, 0}};
  report(kEventDataComparison, {"/mnt/a/READ/KORVA3.DAT", "/mnt/a/", "3", "2"}, pairs, kComparisonDataBytes);
  report(kEventApiError, {"WRITE", "/mnt/b/", "26", "Input/output error"}, nullptr, 0);
  report(kEventIoTimeout, {"/mnt/c/WRITE/KORVA25.DAT"}, nullptr, 0);
  DeregisterEventSource(hSource);
  {
    std::ofstream out(szLog, std::ios::app);
    out << "not an entry at all\n";
    // Another program's entry of the same shape: listed, its strings not read as ours.
    out << R"({"time": "2026-12-06T19:00:00Z", "source": "Other Tool", "type": 2, "category": 1, )"
           R"("event_id": 3221225738, "strings": ["/x/READ/KORVA1.DAT", "/x/"], "data": ""})"
        << "\n";
    // A last entry cut short by a crash.
    out << R"({"time": "2026-12-06T19:00:01Z", "source": "Halvex Strat)";
  }

  size_t nSkipped = 0;
  const std::vector<EventRow> rows = ReadEventRows(szLog, &nSkipped);
  EXPECT_EQ(nSkipped, 2u);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].szKind, "DATA COMPARISON");
  EXPECT_EQ(rows[0].szTarget, "/mnt/a/");
  EXPECT_EQ(rows[0].szFile, "/mnt/a/READ/KORVA3.DAT");
  ASSERT_EQ(rows[0].words.size(), 2u) << "only the listed pairs";
  EXPECT_EQ(rows[0].words[0].dwExpected, 0xAAAAAAAAu);
  EXPECT_EQ(rows[0].words[0].dwFound, 0xAAAAAAABu);
  EXPECT_NE(rows[0].szMessage.find("/mnt/a/READ/KORVA3.DAT"), std::string::npos) << rows[0].szMessage;
  EXPECT_EQ(rows[1].szKind, "WRITE API");
  EXPECT_EQ(rows[1].szTarget, "/mnt/b/");
  EXPECT_EQ(rows[1].szFile, "/mnt/b/WRITE/KORVA26.DAT");
  EXPECT_EQ(rows[2].szTarget, "/mnt/c/");
  EXPECT_EQ(rows[2].szFile, "/mnt/c/WRITE/KORVA25.DAT");
  EXPECT_EQ(rows[3].szSource, "Other Tool");
  EXPECT_EQ(rows[3].szKind, "WARNING");
  EXPECT_EQ(rows[3].szTarget, "");
  EXPECT_TRUE(rows[3].words.empty());

  // Clear empties the file in place; a missing log is already clear.
  ASSERT_TRUE(ClearEventLog(szLog));
  EXPECT_EQ(test::ReadWholeFile(szLog), "");
  EXPECT_TRUE(ClearEventLog(dir.Path("none.jsonl")));
}

}  // namespace
}  // namespace stratavon
