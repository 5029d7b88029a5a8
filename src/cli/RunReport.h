#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/CliConsole.h"
#include "engine/LatencyHistogram.h"

namespace stratavon {

// What a run leaves per target once every worker has ended.
struct TargetResult {
  std::string szRoot;
  std::string szStatus;
  std::string szError;
  std::string szReason;  // the first failure's words with what the system said
  uint64_t qwBytes = 0;  // everything counted over the run (Enable Performance)
  uint64_t qwIos = 0;
  uint64_t qwIoErrors = 0;      // failed calls of loops that went on regardless
  std::string szFirstIoError;   // the first one's system text
  bool bMoved = false;          // a call of a worker's loop moved data
  // The latencies of the counted I/Os (empty when they were not timed), and
  // apart by kind when the target both read and wrote.
  LatencySummary latency;
  LatencySummary readLatency;
  LatencySummary writeLatency;
  bool BothKinds() const { return readLatency.qwCount != 0 && writeLatency.qwCount != 0; }
};

struct RunResult {
  double dElapsedSeconds = 0;   // from the moment every worker had begun its I/O
  double dStartupSeconds = 0;   // from the launch to that moment
  int nFailures = 0;            // workers that reported a failure or stalled
  std::string szStoppedBy;      // "SIGINT", "SIGTERM", "SIGHUP", "duration" or "workers ended"
  std::vector<std::string> stalls;  // workers still inside a call when the run gave up on them
  std::vector<TargetResult> targets;
  LatencySummary latency;  // over every target

  // No worker failed or stalled, no call failed, every target moved data.
  bool Passed() const;
};

// Reads the final words from the console and sums every slot's counters
// (under g_csRecords, one slot at a time).
RunResult CollectRunResult(const CCliConsole& console, int nTargets, double dElapsedSeconds);
// Adds what the records tell of a target beyond the console's words: its
// failed calls and whether it moved data; either failing makes it FAIL.
void AddTargetVerdict(TargetResult& target, int nTarget);
// "PASS, no worker failed" or "FAIL, " and every reason, and how it stopped.
std::string VerdictLine(const RunResult& result);

// The live lines: one per target (root, status, MB/s, IOPS, error), then
// the totals, each led by the elapsed time:
//   [0:00:00:04] /mnt/a/  RUN  412 MB/s  206 IOPS  NONE
//   [0:00:00:04] total  412 MB/s  206 IO/s
std::string LiveLines(const CCliConsole& console, int nTargets);

// MB per second and I/Os per second averaged over the elapsed time.
double AverageMbPerSecond(uint64_t qwBytes, double dSeconds);
double AveragePerSecond(uint64_t qwCount, double dSeconds);

// The one object of --json.
std::string RunResultJson(const RunResult& result);
// The object of --json for a run that was refused.
std::string RefusedRunJson(const std::string& szError);
// The closing lines without --json: a result line per target and the verdict.
std::string RunResultText(const RunResult& result);

}  // namespace stratavon
