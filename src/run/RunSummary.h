#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/Mismatch.h"
#include "engine/LatencyHistogram.h"
#include "engine/SurfaceMap.h"
#include "engine/Target.h"

namespace stratavon {

// Why a target failed, the first that holds of: a worker reported a failure
// or stalled, calls of loops that went on regardless failed, no call moved data.
enum class TargetFailure : uint8_t { kNone, kWorkerFailed, kCallsFailed, kNoIo };

// What a run leaves per target once every worker has ended.
struct TargetResult {
  Target target;
  std::string szStatus;  // the words as shown ("FAIL" whenever nFailure says it failed)
  std::string szError;
  std::string szReason;  // the first failure's words with what the system said; empty without one
  TargetFailure nFailure = TargetFailure::kNone;
  int nFailedWorkers = 0;  // workers that reported a failure (or were never created)
  uint64_t qwBytes = 0;  // everything counted over the run (Enable Performance)
  uint64_t qwIos = 0;
  uint64_t qwIoErrors = 0;      // failed calls of loops that went on regardless
  std::string szFirstIoError;   // the first one's system text
  bool bMoved = false;          // a call of a worker's loop moved data
  // Failed verifications of its workers: where the data differs.
  std::vector<IntegrityReport> mismatches;
  // The latencies of the counted I/Os (empty when they were not timed), and
  // apart by kind when the target both read and wrote.
  LatencySummary latency;
  LatencySummary readLatency;
  LatencySummary writeLatency;
  bool BothKinds() const { return readLatency.qwCount != 0 && writeLatency.qwCount != 0; }
  bool Failed() const { return nFailure != TargetFailure::kNone; }
  // A device target's surface (null for a folder).
  std::shared_ptr<const CSurfaceMap> pSurface;
};

struct RunResult {
  double dElapsedSeconds = 0;   // from the moment every worker had begun its I/O
  double dStartupSeconds = 0;   // from the launch to that moment
  int nFailures = 0;            // workers that reported a failure or stalled
  uint64_t qwStampRunId = 0;    // stamped units only
  std::string szStoppedBy;      // "SIGINT", "SIGTERM", "SIGHUP", "duration" or "workers ended"
  std::vector<std::string> stalls;  // workers still inside a call when the run gave up on them
  std::vector<TargetResult> targets;
  LatencySummary latency;  // over every target
  // The settings the run used, as name and value (shown and saved beside
  // the figures; the JSON document leaves them out, as the CLI's does).
  std::vector<std::pair<std::string, std::string>> settings;
  // Set only where the process that started the run had to decide it
  // without the process doing its I/O: what became of that one ("a worker
  // process is stuck in the kernel: pid N", "... ended by signal 9"), and
  // whether the operator left the run at a second interrupt (STOPPED).
  std::string szWorkerProcess;
  bool bAbandoned = false;
  // With --flush-every: the flush records that could not be journaled, and
  // why (empty when every one was).
  std::string szJournalFailure;

  // No worker failed or stalled, no call failed, every target moved data.
  bool Passed() const;
};

// What a front end showed of a target when its run ended: its Status and
// Error words, the first failure's words, and its failed workers.
struct TargetWords {
  std::string szStatus;
  std::string szError;
  std::string szReason;
  int nFailedWorkers = 0;
};
using TargetWordsFn = std::function<TargetWords(int nTarget)>;

// The one way a run's result is built, once every worker has ended: per
// target its records' Target, the front end's words, and what the records
// tell beyond them (failed calls, whether it moved data, where its
// verifications found the data differing), which decide its failure; with
// bCounted its counters and latencies and the run's. nFailures sums the
// targets' failed workers; the stamp run id is the run's when it stamped.
// The front end adds the times, the stalls and how the run stopped.
RunResult CollectTargetResults(int nTargets, const TargetWordsFn& wordsOf, bool bCounted = true);

// Adds every slot's counters of a target to result (under g_csRecords,
// one slot at a time). Nothing without a records block or beyond it.
void AddTargetCounters(int nTarget, TargetResult& result);
// The latencies of every target's timed I/Os together.
LatencySummary RunLatency(int nTargets);

// Workers of a target that reported a failure, from their slots' failed
// flags (kept until the slots are reset for the next run).
int FailedWorkersOf(int nTarget);
// "PASS, no worker failed" or "FAIL, " and every reason, and how it stopped.
std::string VerdictLine(const RunResult& result);

// MB per second and I/Os per second averaged over the elapsed time.
double AverageMbPerSecond(uint64_t qwBytes, double dSeconds);
double AveragePerSecond(uint64_t qwCount, double dSeconds);

// The one object of stratavon-cli run --json; the desktop program saves
// the same document.
std::string RunResultJson(const RunResult& result);
// The object of --json for a run that was refused.
std::string RefusedRunJson(const std::string& szError);
// The closing lines without --json: a result line per target and the verdict.
std::string RunResultText(const RunResult& result);
// A header line and one line per target (RFC 4180 quoting), then the
// settings as name,value lines after an empty line.
std::string RunResultCsv(const RunResult& result);

}  // namespace stratavon
