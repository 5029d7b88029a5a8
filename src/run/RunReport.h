#pragma once

#include <string>

#include "run/HeadlessConsole.h"
#include "run/RunSummary.h"

namespace stratavon {

// Reads the final words from the console and sums every slot's counters.
RunResult CollectRunResult(const CHeadlessConsole& console, int nTargets, double dElapsedSeconds);

// The live lines: one per target (root, status, MB/s, IOPS, error), then
// the totals, each led by the elapsed time:
//   [0:00:00:04] /mnt/a/  RUN  412 MB/s  206 IOPS  NONE
//   [0:00:00:04] total  412 MB/s  206 IO/s
std::string LiveLines(const CHeadlessConsole& console, int nTargets);

}  // namespace stratavon
