#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/WorkerConsole.h"

namespace stratavon {

// How a stop ended: every worker down, or not; and every worker that was
// still inside a call when a wait ran out, in the order they were found.
struct StopResult {
  bool bEnded = true;
  std::vector<std::string> stalls;
};

// What the front end does while a stop waits.
struct StopHooks {
  // Runs before every 500 ms wait: a console serves its events (the
  // workers' last words come to its thread), a headless front end its
  // interrupts.
  std::function<void()> dispatch;
  // Where a stalled worker's row turns FAIL with I/O TIMEOUT; none: only
  // its record is failed.
  IWorkerConsole* pStalledRows = nullptr;
  // Told the stalled workers once a wait has run out; true waits once more,
  // as long again. None: the stop ends there.
  std::function<bool(const std::vector<std::string>& stalls)> onStalled;
};

// The one end of a run: every worker is told to stop (StopWorkers), then
// waited for. Each wait lasts at most the I/O time-out; whoever is still
// inside a call by then has failed (FailStalledWorkers), and the front end
// decides whether to wait on.
StopResult StopRun(const StopHooks& hooks);

}  // namespace stratavon
