#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>

#include "run/RunControl.h"
#include "run/SizeList.h"
#include "run/Statistics.h"
#include "run/TargetRecords.h"
#include "support/FaultFs.h"
#include "support/RunFixture.h"
#include "support/TableView.h"
#include "support/Wait.h"

namespace stratavon {
namespace {

using test::CTableView;
using test::MakeSettings;

// The words themselves are the list's texts; what matters is that every
// list size has one of its own and nothing else passes for one.
TEST(SizeWordTest, ExactSizesOnly) {
  std::set<std::string> words;
  for (int i = 0; i < kSizeItems; ++i) words.insert(SizeWord(512u << i));
  EXPECT_EQ(words.size(), size_t(kSizeItems));
  EXPECT_FALSE(words.count("UNKNOWN"));
  for (uint32_t dwOdd : {0u, 3000u, 511u, 513u, 8388608u}) EXPECT_EQ(SizeWord(dwOdd), "UNKNOWN") << dwOdd;
}

TEST(ElapsedTextTest, DaysWithoutLeadingZeros) {
  EXPECT_EQ(ElapsedText(0), "0:00:00:00");
  EXPECT_EQ(ElapsedText(59), "0:00:00:59");
  EXPECT_EQ(ElapsedText(3600 + 60 + 1), "0:01:01:01");
  EXPECT_EQ(ElapsedText(86400 + 3600 + 60 + 1), "1:01:01:01");
  EXPECT_EQ(ElapsedText(86400 + 2 * 3600 + 3 * 60 + 4), "1:02:03:04");
  EXPECT_EQ(ElapsedText(12 * 86400 + 23 * 3600 + 59 * 60 + 59), "12:23:59:59");
}

class StatisticsTest : public test::RunFixture {
 protected:
  // Adds to a slot entry's counters as a worker does.
  static void Count(int nTarget, int nEntry, uint64_t qwBytes, uint64_t qwIos) {
    CScopedLock lock(g_csRecords);
    g_pTargetRecords[nTarget].entries[nEntry].qwBytes += qwBytes;
    g_pTargetRecords[nTarget].entries[nEntry].qwIos += qwIos;
  }
};

TEST_F(StatisticsTest, RowsShowThePeriodsMovementAndKeepTheCounters) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(1 << 20, 1 << 20, MODE_PERFORMANCE), 1));
  CTableView view(1);
  // 8,388,608 bytes and 100 I/Os, spread over a read side and a write side.
  Count(0, 0, 4194304, 50);
  Count(0, 30 + kWriteEntryOffset, 4194304, 50);
  RateTotals totals = SampleRates(view, 1);
  EXPECT_EQ(view.m_table.Cell(0, kColumnMbPerSec), "4");
  EXPECT_EQ(view.m_table.Cell(0, kColumnIops), "50");
  EXPECT_EQ(view.m_szPerformance, "4 MB/s");
  EXPECT_EQ(view.m_szIops, "50 IO/s");
  EXPECT_EQ(totals.qwBytes, 8388608u);
  EXPECT_EQ(totals.qwIos, 100u);

  // The counters keep everything; only the marks move up.
  const SlotIoEntry& entry = g_pTargetRecords[0].entries[0];
  EXPECT_EQ(entry.qwBytes, 4194304u);
  EXPECT_EQ(entry.qwBytesPrev, 4194304u);
  EXPECT_EQ(entry.qwIosPrev, 50u);

  // Less than 2,097,152 bytes in a period reads 0 MB/s.
  Count(0, 0, 2097151, 3);
  SampleRates(view, 1);
  EXPECT_EQ(view.m_table.Cell(0, kColumnMbPerSec), "0");
  EXPECT_EQ(view.m_table.Cell(0, kColumnIops), "1");
  SampleRates(view, 1);
  EXPECT_EQ(view.m_table.Cell(0, kColumnIops), "0") << "a quiet period";
}

TEST_F(StatisticsTest, TotalsAreShiftedAfterSumming) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(1 << 20, 1 << 20, MODE_PERFORMANCE), 2));
  CTableView view(2);
  Count(0, 3, 3145728, 3);
  Count(1, 60, 3145728, 3);
  SampleRates(view, 2);
  EXPECT_EQ(view.m_table.Cell(0, kColumnMbPerSec), "1");
  EXPECT_EQ(view.m_table.Cell(1, kColumnMbPerSec), "1");
  EXPECT_EQ(view.m_table.Cell(0, kColumnIops), "1");
  EXPECT_EQ(view.m_szPerformance, "3 MB/s");
  EXPECT_EQ(view.m_szIops, "3 IO/s");
}

TEST_F(StatisticsTest, ACounterBelowItsMarkCountsItsDistance) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(1 << 20, 1 << 20, MODE_PERFORMANCE), 1));
  CTableView view(1);
  {
    CScopedLock lock(g_csRecords);
    SlotIoEntry& entry = g_pTargetRecords[0].entries[7];
    entry.qwBytesPrev = 10 << 20;
    entry.qwBytes = 6 << 20;
    entry.qwIosPrev = 9;
    entry.qwIos = 1;
  }
  SampleRates(view, 1);
  EXPECT_EQ(view.m_table.Cell(0, kColumnMbPerSec), "2");
  EXPECT_EQ(view.m_table.Cell(0, kColumnIops), "4");
}

TEST_F(StatisticsTest, NoRecordsGiveZeroTotals) {
  CTableView view(1);
  view.m_szPerformance = "9 MB/s";
  SampleRates(view, 3);
  EXPECT_EQ(view.m_szPerformance, "0 MB/s");
  EXPECT_EQ(view.m_szIops, "0 IO/s");
  EXPECT_EQ(view.m_table.Cell(0, kColumnMbPerSec), "");

  // A count beyond the block is read only as far as the block reaches.
  ASSERT_TRUE(PrepareTemporary(MakeSettings(1 << 20, 1 << 20, MODE_PERFORMANCE), 1));
  Count(0, 0, 4 << 20, 2);
  SampleRates(view, 5);
  EXPECT_EQ(view.m_szPerformance, "2 MB/s");
}

// A worker keeps counting while the sampler runs: every byte shows up in
// exactly one period, none is lost to the marks.
TEST_F(StatisticsTest, SamplesAddUpWhileAThreadCounts) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(1 << 20, 1 << 20, MODE_PERFORMANCE), 1));
  CTableView view(1);
  std::atomic<bool> bDone{false};
  constexpr uint64_t kAdds = 200000;
  std::thread counter([&] {
    for (uint64_t i = 0; i < kAdds; ++i) Count(0, static_cast<int>(i % 100), 512, 1);
    bDone = true;
  });
  uint64_t qwSeenBytes = 0;
  uint64_t qwSeenIos = 0;
  while (!bDone) {
    const RateTotals totals = SampleRates(view, 1);
    qwSeenBytes += totals.qwBytes;
    qwSeenIos += totals.qwIos;
  }
  counter.join();
  const RateTotals last = SampleRates(view, 1);
  EXPECT_EQ(qwSeenBytes + last.qwBytes, kAdds * 512);
  EXPECT_EQ(qwSeenIos + last.qwIos, kAdds);
}

TEST_F(StatisticsTest, TargetRows) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(1 << 20, 1 << 20, 0), 2));
  CTableView view(3);
  FillTargetList(view, 2);
  const CConsoleTable::Row row = view.m_table.RowAt(1);
  EXPECT_EQ(row[kColumnTarget], m_roots[1]);
  EXPECT_EQ(row[kColumnStatus], "IDLE");
  EXPECT_EQ(row[kColumnMbPerSec], "0");
  EXPECT_EQ(row[kColumnIops], "0");
  EXPECT_EQ(row[kColumnError], "NONE");
  EXPECT_EQ(row[kColumnOperation], "") << "settings columns stay empty until Start or Modify";

  view.SetTargetText(0, kColumnError, "READ API");
  UpdateTargetRow(view, 2, 0, MakeSettings(4096, 3000, MODE_ASYNC | MODE_ERROR_CHECKING));
  const CConsoleTable::Row updated = view.m_table.RowAt(0);
  EXPECT_EQ(updated[kColumnError], "NONE");
  EXPECT_EQ(updated[kColumnOperation], "ASYNC");
  EXPECT_EQ(updated[kColumnChunk], "UNKNOWN");
  EXPECT_EQ(updated[kColumnBuffer], "4K");
  EXPECT_EQ(updated[kColumnPerformance], "DISABLED");
  EXPECT_EQ(updated[kColumnErrorChecking], "ENABLED");
  EXPECT_EQ(updated[kColumnStatus], "IDLE") << "columns 0 to 3 are not touched";

  UpdateTargetRow(view, 2, 1, MakeSettings(1 << 20, 512, MODE_PERFORMANCE));
  EXPECT_EQ(view.m_table.Cell(1, kColumnPerformance), "ENABLED");

  UpdateTargetRow(view, 2, 2, MakeSettings(1 << 20, 512, 0));
  EXPECT_EQ(view.m_table.Cell(2, kColumnOperation), "") << "a row beyond the target count is ignored";

  ReleaseTargetRecords();
  CTableView empty(1);
  FillTargetList(empty, 1);
  UpdateTargetRow(empty, 1, 0, MakeSettings(1 << 20, 512, 0));
  EXPECT_EQ(empty.m_table.RowAt(0), CConsoleTable::Row{}) << "no records block, no rows";
}

// A read held up in the device is the maximum and the p99.99 of the period
// in which it completed, and of no other period. The figures are judged
// against how long the test held the read, as it measured it, and against
// each other; never against a time the machine is assumed to keep.
class StalledReadTest : public test::RunFixture {
 protected:
  static constexpr auto kHold = std::chrono::milliseconds(600);

  static uint64_t Ios() {
    CScopedLock lock(g_csRecords);
    return g_pTargetRecords[0].entries[0].qwIos;
  }

  void Run(bool bAsync) {
    std::string szWhy;
    if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
    CFaultFs fs;
    ASSERT_TRUE(fs.Mount()) << fs.LastError();
    ASSERT_TRUE(Prepare({fs.Root()}, RunSettings{}));
    CTableView view(1);
    FillTargetList(view, 1);
    CRunControl control(view, FUNCTION_READ, 1);
    RunChoices controls;
    controls.bPerformance = true;
    controls.bAsynchronous = bAsync;
    controls.dwQueueDepth = 4;                            // 4 in flight
    controls.dwTransferSize = controls.dwBufferSize = 4096;  // 4KB
    // Held until disarmed, after some reads went through.
    const int nRule = fs.Arm(FaultRule::Stall("KORVA0.DAT", FaultRule::EOp::Read, 0, 0, 0).Skip(40).Times(1));
    ASSERT_GE(nRule, 0) << fs.LastError();
    ASSERT_TRUE(control.OnStart(controls));
    ASSERT_TRUE(test::Eventually([&] { return fs.Hits(nRule) == 1; }, std::chrono::seconds(20)))
        << "the stall never fired: " << fs.Report();
    // The read began before the rule fired and ends after it is disarmed.
    const auto tHeld = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(kHold);
    control.OnTimer(TIMER_STATS);
    const uint64_t qwMaxBefore = control.Intervals().Target(0).latency.qwMaxNs;
    const uint64_t qwIosBefore = Ios();
    const auto qwHeldNs = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - tHeld).count());
    ASSERT_TRUE(fs.Disarm(nRule));
    ASSERT_TRUE(test::Eventually([&] { return Ios() > qwIosBefore; }, std::chrono::seconds(20)))
        << "no read completed after the release";
    control.OnTimer(TIMER_STATS);
    const LatencyCounts stalled = control.Intervals().Target(0).latency;
    const uint64_t qwIosAfter = Ios();
    ASSERT_TRUE(test::Eventually([&] { return Ios() > qwIosAfter + 20; }, std::chrono::seconds(20)))
        << "reads did not go on";
    control.OnTimer(TIMER_STATS);
    const uint64_t qwMaxAfter = control.Intervals().Target(0).latency.qwMaxNs;
    control.OnStop({});

    ASSERT_LE(stalled.qwCount, 10000u) << "too many reads in the period for p99.99 to reach the top one";
    EXPECT_GE(stalled.qwMaxNs, qwHeldNs * 99 / 100) << "a period's maximum is its top bucket's value";
    EXPECT_GE(stalled.PercentileNs(99.99), qwHeldNs * 99 / 100);
    EXPECT_LT(qwMaxBefore, stalled.qwMaxNs) << "the period before the release cannot hold the stalled read";
    EXPECT_LT(qwMaxAfter, stalled.qwMaxNs) << "a later period does not hold it again";
    EXPECT_EQ(view.m_table.Cell(0, kColumnError), "NONE");
  }
};

TEST_F(StalledReadTest, Synchronous) { Run(false); }
TEST_F(StalledReadTest, Asynchronous) { Run(true); }

}  // namespace
}  // namespace stratavon
