#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "run/AdvancedView.h"
#include "engine/RunRecord.h"

namespace stratavon {

// The advanced console's target list and its live figures: the texts of a
// target's row, the elapsed-time clock and the rate sampler (timer 2).

constexpr int TIMER_ELAPSED = 1;
constexpr int TIMER_STATS = 2;
constexpr unsigned kElapsedPeriodMs = 1000;
constexpr unsigned kStatsPeriodMs = 2000;
// The same period for the headless runs' live lines and log.
constexpr std::chrono::milliseconds kStatsPeriod{kStatsPeriodMs};

// "512B", "1K" .. "512K", "1MB", "2MB", "4MB" for the exact sizes of the
// size lists; "UNKNOWN" for anything else.
std::string SizeWord(uint32_t dwBytes);

// Days:hours:minutes:seconds of a span in seconds, days without leading
// zeros and the rest in two digits ("1:02:03:04"). Nothing when the four
// parts would not fit the 80-character box.
std::optional<std::string> ElapsedText(int64_t nSpanSeconds);

// The first four columns of every row: root, "IDLE", "0", "0", "NONE".
// Nothing without a records block.
void FillTargetList(IWorkerConsole& list, int nTargets);

// Columns 4 to 9 of one row from a target's settings: "NONE", "SYNC" or
// "ASYNC", the transfer and buffer size words, and "ENABLED"/"DISABLED" for
// performance and error checking. Nothing without a records block or for a
// row at or beyond the target count.
void UpdateTargetRow(IWorkerConsole& list, int nTargets, int nTarget, const RunSettings& settings);

// What one sample moved in total since the one before.
struct RateTotals {
  uint64_t qwBytes = 0;
  uint64_t qwIos = 0;
  uint32_t dwMbPerSec = 0;  // bytes >> 21: MB per second over a 2000 ms period
  uint32_t dwIops = 0;      // I/Os >> 1
};

// Timer 2: for every target, the slot counters' movement since the last
// sample (taken one slot at a time under g_csRecords, which also moves the
// "previous" marks up), written as the row's MB/s and IOPS; then the
// totals into the Performance and IOPS boxes. The counters themselves are
// never written here: only the workers advance them.
RateTotals SampleRates(IAdvancedView& view, int nTargets);

// Calls that failed in loops that go on regardless: each target with any
// gets them in its Error cell ("WRITE API x83703"); the first such target's
// count and system text go to the Extended box unless a worker has failed
// (its own words stay there). Nothing changes for a target without any.
void ShowIoErrors(IAdvancedView& view, int nTargets);

// Whether a worker of any target has reported a failure.
bool AnyWorkerFailed(int nTargets);

}  // namespace stratavon
