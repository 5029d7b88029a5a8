#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "run/AdvancedView.h"
#include "run/IntervalStats.h"
#include "engine/RunRecord.h"
#include "run/RunChoices.h"
#include "run/RunStop.h"
#include "run/TargetRecords.h"
#include "run/WorkerPlan.h"

namespace stratavon {

// Start's refusal while the pattern names a data file that is not loaded.
constexpr char kMsgDataFileMissing[] =
    "No data file is loaded (the last import failed)! Import a data file, or close this console to use the "
    "pattern of the main window.";

// The one run control of both consoles and the command line, free of any
// GUI. It runs either kind of run on a records block whose work directories
// are prepared beforehand (PrepareTargets, PrepareRun):
// - the advanced run (constructed with a view): Start turns the controls
//   into the console's settings, hands every target its settings, launches
//   the workers by the class table and starts the timers;
// - the simple run (constructed without one): Start launches the simple
//   console's pure load, reads in slots 0.., writes in slots 25.., into
//   every target; nothing is counted or shown.
// Stop and Close bring every worker down (StopRun) and wait for all of them.
class CRunControl {
 public:
  // The number of targets, read anew at every use (the simple console's count).
  using TargetCountFn = std::function<int()>;
  // Starts one worker of a kind in a slot of a target.
  using LaunchFn = std::function<void(int nTarget, int nSlot, uint32_t nKind)>;
  // Seconds since the epoch, read by Start and by the elapsed-time tick.
  using ClockFn = std::function<int64_t()>;

  // The advanced run. dwFunction: the simple console's I/O function code;
  // nThreads: its workers per function and target. Without a count source
  // the records block's own count is used.
  CRunControl(IAdvancedView& view, uint32_t dwFunction, int nThreads, TargetCountFn targetCount = {});
  // The simple run, with the same count source.
  explicit CRunControl(TargetCountFn targetCount = {});

  // Start with the console's choices. False when nothing was started: the
  // run was refused (kMsgTransferOverBuffer, with what was chosen
  // kept in the settings) or one is already in progress.
  bool OnStart(const RunChoices& choices);
  // The simple run's Start with the simple console's function and threads:
  // every target's records reset and its planned workers launched; false
  // while one is in progress.
  bool OnStartSimple(uint32_t dwFunction, int nThreads);
  // Stop: only while running; StopRun with the front end's hooks. While
  // an advanced run's worker has not ended (bEnded false) the run stays in
  // progress; a simple run ends with the stop, a stalled worker failed and
  // left on its record.
  StopResult OnStop(const StopHooks& hooks);
  // Every way of ending the console: stops a run as Stop does, then drops
  // the imported pattern data (only once every worker has ended).
  StopResult OnClose(const StopHooks& hooks);
  // TIMER_ELAPSED writes the elapsed time, TIMER_STATS the rates.
  void OnTimer(int nTimerId);

  // Start's own steps, open for the console around it.
  void PrepareTargetRecords();
  void LaunchTargetWorkers(int nTarget);

  // Replaces the launch of real worker classes (tests record the launches).
  void SetLauncher(LaunchFn launch) { m_launch = std::move(launch); }
  // Replaces the system clock (tests let a run last a day in an instant).
  void SetClock(ClockFn clock) { m_clock = std::move(clock); }

  const RunSettings& Settings() const { return m_settings; }
  bool IsRunning() const { return m_bRunning; }
  bool IsSimple() const { return m_pView == nullptr; }
  // The simple run's workers per target, and those of a target that the
  // last Start created (a thread that cannot be created leaves its slot empty).
  int PlannedWorkers() const { return static_cast<int>(m_simplePlan.size()); }
  int LaunchedWorkers(int nTarget) const;
  int64_t StartTime() const { return m_tStart; }
  int64_t Elapsed() const { return m_elapsed; }
  int Threads() const { return m_nThreads; }
  // The movement of the last rate period, per target and in total, with
  // its latencies; renewed by every TIMER_STATS tick.
  const CIntervalStats& Intervals() const { return m_intervals; }
  // The targets that have records: never more than the block holds.
  int TargetCount() const;

 private:
  // The view while the workers come down: no timers, no buttons, a word.
  void ShowStopping();
  // A stop whose wait ran out: the run has failed, for the first stall.
  void ShowStalled(const std::vector<std::string>& stalls);

  IAdvancedView* m_pView;  // none: the simple run
  TargetCountFn m_targetCount;
  LaunchFn m_launch;
  ClockFn m_clock;
  RunSettings m_settings;
  int m_nThreads = kDefaultThreads;
  std::vector<PlannedWorker> m_simplePlan;
  bool m_bRunning = false;
  int64_t m_tStart = 0;
  int64_t m_elapsed = 0;
  CIntervalStats m_intervals;
};

// The real launch: the worker class of the kind into the slot. A kind this
// build cannot create leaves the slot empty, as a thread that cannot be
// created does.
void LaunchClassWorker(int nTarget, int nSlot, uint32_t nKind);

}  // namespace stratavon
