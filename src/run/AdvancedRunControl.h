#pragma once

#include <cstdint>
#include <functional>

#include "run/AdvancedView.h"
#include "run/IntervalStats.h"
#include "engine/RunRecord.h"
#include "run/RunChoices.h"
#include "run/RunStop.h"
#include "run/TargetRecords.h"

namespace stratavon {

// Start's refusal while the pattern names a data file that is not loaded.
constexpr char kMsgDataFileMissing[] =
    "No data file is loaded (the last import failed)! Import a data file, or close this console to use the "
    "pattern of the main window.";

// The advanced console's run control, free of any GUI: Start turns the
// controls into the console's settings, hands every target its settings,
// launches the workers by the class table and starts the timers; Stop and
// Close bring every worker down and wait for all of them. The records block
// and its work directories are prepared beforehand, as the simple console
// does before it opens the advanced one.
class CAdvancedRunControl {
 public:
  // The number of targets, read anew at every use (the simple console's count).
  using TargetCountFn = std::function<int()>;
  // Starts one worker of a kind in a slot of a target.
  using LaunchFn = std::function<void(int nTarget, int nSlot, uint32_t nKind)>;
  // Seconds since the epoch, read by Start and by the elapsed-time tick.
  using ClockFn = std::function<int64_t()>;

  // dwFunction: the simple console's I/O function code; nThreads: its
  // workers per function and target. Without a count source the records
  // block's own count is used.
  CAdvancedRunControl(IAdvancedView& view, uint32_t dwFunction, int nThreads, TargetCountFn targetCount = {});

  // Start with the console's choices. False when nothing was started: the
  // run was refused (kMsgTransferOverBuffer, with what was chosen
  // kept in the settings) or one is already in progress.
  bool OnStart(const RunChoices& choices);
  // Stop: only while running; StopRun with the front end's hooks. While
  // a worker has not ended (bEnded false) the run stays in progress.
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
  bool IsRunning() const { return m_bRunning != 0; }
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

  IAdvancedView& m_view;
  TargetCountFn m_targetCount;
  LaunchFn m_launch;
  ClockFn m_clock;
  RunSettings m_settings;
  int m_nThreads = kDefaultThreads;
  uint8_t m_bRunning = 0;
  int64_t m_tStart = 0;
  int64_t m_elapsed = 0;
  CIntervalStats m_intervals;
};

// The real launch: the advanced worker class of the kind into the slot. A
// kind this build cannot create leaves the slot empty, as a thread that
// cannot be created does.
void LaunchAdvancedWorker(int nTarget, int nSlot, uint32_t nKind);

}  // namespace stratavon
