#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run/RunSummary.h"

namespace stratavon {

// One rank's part of a run across hosts, as rank 0 holds it at the end.
// Each rank renders its own result with the command line's renderers, so
// whatever a result carries (mismatch locations, run ids) reaches the
// verdict as the rank itself would print it; rank 0 adds up the figures.
struct RankResult {
  int nRank = 0;
  std::string szHost;
  std::string szEventLog;  // the event log of that rank, on its host
  bool bLost = false;      // no result came: the rank died or hung
  std::string szLost;      // what rank 0 knows of it
  std::string szText;      // RunResultText of the rank's result
  std::string szJson;      // RunResultJson of it, one object
  std::string szVerdict;   // its VerdictLine
  bool bPassed = false;
  uint64_t qwBytes = 0;
  uint64_t qwIos = 0;
  double dElapsedSeconds = 0;
  int nFailures = 0;  // workers that failed or stalled
};

// This rank's part, made from its result.
RankResult DescribeRank(const RunResult& result, const std::string& szEventLog);
// Its part as bytes for the trip to rank 0, and back (rank and host are
// rank 0's to fill). Unpack returns false for bytes that are not a whole
// packed part.
std::string PackRankResult(const RankResult& rank);
bool UnpackRankResult(const std::string& szBytes, RankResult& rank);

// The totals of the whole run: sums over the ranks that answered (rates are
// each rank's averages added up, since the ranks run side by side).
struct RankTotals {
  uint64_t qwBytes = 0;
  uint64_t qwIos = 0;
  double dMbPerSecond = 0;
  double dIops = 0;
  double dElapsedSeconds = 0;  // the longest of the ranks
  int nFailures = 0;           // workers that failed or stalled, over all ranks
  int nLost = 0;
  bool bPassed = true;         // every rank answered and passed
};
RankTotals SumRanks(const std::vector<RankResult>& ranks);

// The closing lines without --json: each rank's result lines under a line
// naming it, its host and its event log, a line of totals and the verdict,
// which names every rank that failed or was lost and where to look, and
// the signal that stopped the run.
std::string RanksText(const std::vector<RankResult>& ranks, const std::string& szStoppedBy);
// The one object of --json: the totals and a "ranks" array, each entry the
// rank's own run object with its rank, host and event log.
std::string RanksJson(const std::vector<RankResult>& ranks, const std::string& szStoppedBy);

}  // namespace stratavon
