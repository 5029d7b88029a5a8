#pragma once

#include "run/RunOptions.h"
#include "run/RunObserver.h"
#include "run/RunPeers.h"

namespace stratavon {

// Exit codes of the command line.
constexpr int kExitPassed = 0;
constexpr int kExitWorkerFailed = 1;
constexpr int kExitRefused = 2;

// `stratavon-cli run`: checks the settings as the consoles do, prepares the
// targets, runs the advanced console's workers (with --simple the simple
// console's) until the time is up, the operator interrupts or every worker
// has ended, stops them with the consoles' stop protocol and reports.
// Returns the exit code. With peers the run is one part of a run across
// processes (see IRunPeers); --simple is not run with peers. An observer
// learns how the run goes (see IRunObserver); the command itself runs in
// the process that does the I/O (see SuperviseRun).
int RunCommand(const RunOptions& options, IRunPeers* pPeers = nullptr, IRunObserver* pObserver = nullptr);

}  // namespace stratavon
