#pragma once

#include <string>
#include <vector>

#include "run/RunWire.h"

namespace stratavon {

// The closing lines without --json: each rank's result lines under a line
// naming it, its host and its event log, a line of totals and the verdict,
// which names every rank that failed or was lost and where to look, and
// the signal that stopped the run.
std::string RanksText(const std::vector<RankResult>& ranks, const std::string& szStoppedBy);
// The one object of --json: the totals and a "ranks" array, each entry the
// rank's own run object with its rank, host and event log.
std::string RanksJson(const std::vector<RankResult>& ranks, const std::string& szStoppedBy);

}  // namespace stratavon
