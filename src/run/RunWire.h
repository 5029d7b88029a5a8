#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/RunRecord.h"
#include "run/RunSummary.h"

namespace stratavon {

// One process's part of a run that spans several processes (the ranks of
// an MPI job), as the reporting process holds it at the end. Each process
// renders its own result with the command line's renderers, so whatever a
// result carries (mismatch locations, run ids) reaches the verdict as the
// process itself would print it; the reporting process adds up the figures.
struct RankResult {
  int nRank = 0;
  std::string szHost;
  std::string szEventLog;  // the event log of that process, on its host
  bool bLost = false;      // no result came: the process died or hung
  std::string szLost;      // what the reporting process knows of it
  std::string szText;      // RunResultText of the result
  std::string szJson;      // RunResultJson of it, one object
  std::string szVerdict;   // its VerdictLine
  bool bPassed = false;
  uint64_t qwBytes = 0;
  uint64_t qwIos = 0;
  double dElapsedSeconds = 0;
  int nFailures = 0;  // workers that failed or stalled
};

// This process's part, made from its result.
RankResult DescribeRank(const RunResult& result, const std::string& szEventLog);
// Its part as bytes for the trip to the reporting process, and back (rank,
// host and loss are the receiver's to fill). Unpack returns false for bytes
// that are not a whole packed part.
std::string PackRankResult(const RankResult& rank);
bool UnpackRankResult(const std::string& szBytes, RankResult& rank);

// A run's standing at a tick, as the process doing its I/O sends it to the
// process that supervises it: the result as it would read if the run ended
// now (settings, latency and mismatch details left out) and every worker's
// call in progress.
struct RunProgress {
  RunResult result;
  std::vector<CallInProgress> calls;
};
std::string PackRunProgress(const RunProgress& progress);
bool UnpackRunProgress(const std::string& szBytes, RunProgress& progress);

// The totals of the whole run: sums over the parts that answered (rates are
// each part's averages added up, since the processes run side by side).
struct RankTotals {
  uint64_t qwBytes = 0;
  uint64_t qwIos = 0;
  double dMbPerSecond = 0;
  double dIops = 0;
  double dElapsedSeconds = 0;  // the longest of the parts
  int nFailures = 0;           // workers that failed or stalled, over all parts
  int nLost = 0;
  bool bPassed = true;         // every part answered and passed
};
RankTotals SumRanks(const std::vector<RankResult>& ranks);

}  // namespace stratavon
