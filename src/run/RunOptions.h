#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/Target.h"
#include "run/RunChoices.h"

namespace stratavon {

// The settings of `stratavon-cli run`, as typed.
struct RunOptions {
  std::vector<Target> targets;       // folders, each ending in '/', or block devices (resolved nodes)
  // --destroy DEVICE: the devices this run may write (paths or MAJOR:MINOR).
  std::vector<std::string> destroy;
  uint32_t dwFunction = 0;           // 0: none chosen
  int nThreads = kDefaultThreads;
  // The typed byte ("AA" as the simple console starts), or CRPAT, CJTPAT, CSPAT.
  std::string szPattern = "AA";
  bool bPatternGiven = false;
  // "-p stamped[:BASE]": stamped units over the base pattern.
  bool bStamped = false;
  std::string szDataFile;
  RunChoices choices;  // -x, -b, -e, -P, -a, -q; the advanced console's starting choices
  int nSeconds = 0;  // 0: until interrupted
  bool bSimple = false;
  bool bJson = false;
  std::string szLogFile;  // empty: no log
  bool bLogCsv = false;
  bool bLatency = true;   // time every counted I/O
  uint64_t qwFlushEveryBytes = 0;  // --flush-every: 0, no flushes
  std::string szJournal;           // --journal: empty, the state folder's flush-journal
  int nIoTimeoutSeconds = 120;  // a call that takes longer is an I/O TIMEOUT; bounds the stop's wait
};

enum class ParseOutcome {
  kRun,    // the options are complete as far as their syntax goes
  kHelp,   // -h, --help: print the usage and succeed
  kUsage,  // a syntax error, described in *pszError
};

// Parses the arguments after "run". The console's own refusals (no target,
// no function, a bad pattern byte, sizes that do not fit) are not made
// here but by the run, with the console's messages.
ParseOutcome ParseRunOptions(int argc, char** argv, RunOptions& options, std::string* pszError);

// The usage text of the whole program.
const char* UsageText();

}  // namespace stratavon
