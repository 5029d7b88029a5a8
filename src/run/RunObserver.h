#pragma once

#include "engine/RunRecord.h"
#include "run/RunSummary.h"

namespace stratavon {

// What a headless run tells the process that supervises it, from its
// console thread: where the run stands, its figures at every tick, and the
// moment its verdict is out. Nothing here is called per I/O.
class IRunObserver {
 public:
  enum class Phase { kLaunched, kBegun, kStopping };

  virtual ~IRunObserver() = default;
  virtual void OnPhase(Phase phase) = 0;
  // The result as it would read if the run ended now (no latency, no
  // mismatch details), with every worker's call in progress.
  virtual void OnTick(const RunResult& snapshot, const std::vector<CallInProgress>& calls) = 0;
  // The verdict is written (nExit is the exit code); whatever follows is
  // only this process's teardown.
  virtual void OnVerdict(int nExit) = 0;
};

}  // namespace stratavon
