#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "engine/WorkerConsole.h"

#include "run/RunOptions.h"
#include "run/RunObserver.h"
#include "run/RunPeers.h"
#include "run/RunStop.h"
#include "platform/SignalWatch.h"

namespace stratavon {

// What both headless runs do while their workers go on: print to the live
// stream, wake every period until an interrupt, the -d deadline or the end
// of the last worker, and keep the operator informed while the stop waits.
// With peers the run stops when the peers say so: an interrupt, the -d
// time or the end of the last local worker is only this process's wish,
// and only the reporting process prints.
class CRunWatch {
 public:
  using Clock = std::chrono::steady_clock;

  CRunWatch(const RunOptions& options, CSignalWatch& signals, IRunPeers* pPeers = nullptr,
            IRunObserver* pObserver = nullptr);
  virtual ~CRunWatch() = default;

 protected:
  void Say(const std::string& szText);
  // Blocks until a stop is due; calls onTick every period from tStart. The
  // -d time counts from the moment every worker has begun its I/O (or
  // ended); a start-up that outlasts the I/O time-out is stopped as well.
  void Watch(Clock::time_point tStart, std::chrono::milliseconds period, const std::function<void()>& onTick);

 private:
  class CWatchLoop;
  void WatchUntilStop(Clock::time_point tStart, std::chrono::milliseconds period, const std::function<void()>& onTick);

 protected:
  // The stop's hooks of a headless run. Between the waits a further
  // interrupt does not cut the wait short, since a worker always finishes
  // its pass and closes its files; it only learns what is still going on.
  // A wait that runs out ends the stop: every worker still inside a call
  // is a failure, named with the call and for how long (and, given a
  // console, FAIL and I/O TIMEOUT in its row).
  StopHooks StopHooksFor(IWorkerConsole* pConsole);
  // Seconds of load (from the moment every worker had begun) and of start-up.
  double LoadSeconds() const;
  double StartupSeconds() const;
  // The result as it would read if the run ended now, for the observer's
  // ticks: by default the records' counters and verdicts, each target RUN
  // or FAIL.
  virtual RunResult Snapshot() const;
  // Tells the observer, where there is one.
  void Tell(IRunObserver::Phase phase) const {
    if (m_pObserver != nullptr) m_pObserver->OnPhase(phase);
  }
  void TellProgress() const {
    if (m_pObserver != nullptr) m_pObserver->OnTick(Snapshot(), CallsInProgress());
  }

  const RunOptions& m_options;
  CSignalWatch& m_signals;
  IRunPeers* m_pPeers;
  IRunObserver* m_pObserver;
  FILE* m_pLive;  // null: this process keeps quiet
  int m_nTargets;
  std::string m_szStoppedBy;
  Clock::time_point m_tStart{};
  Clock::time_point m_tIoStart{};
};

// Workers whose threads have not ended yet, over every record.
int LiveWorkers();

}  // namespace stratavon
