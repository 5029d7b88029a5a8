#pragma once

#include "run/RunOptions.h"
#include "platform/SignalWatch.h"
#include "run/RunObserver.h"

namespace stratavon {

// `stratavon-cli run --simple`, once PrepareRun has made the records and
// directories: launches the simple console's workers as its Start does,
// prints each target's status every 2 s until the time is up, a signal
// arrives or no worker is left, stops them with the consoles' stop
// protocol and prints the verdict (or the --json object, whose byte and
// I/O figures are 0: the simple load counts nothing).
//
// A worker counts as failed when its start-up failed (its message box text
// went to stderr and it ended), when a transfer of its loop failed or came
// up short (the load went on regardless, as the simple console's does), or
// when its thread could not be created. Returns 0 when none failed, else 1.
int RunSimple(const RunOptions& options, CSignalWatch& signals, IRunObserver* pObserver = nullptr);

}  // namespace stratavon
