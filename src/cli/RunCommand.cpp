#include "cli/RunCommand.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#include "cli/CliConsole.h"
#include "cli/RunPreparation.h"
#include "cli/RunReport.h"
#include "cli/SignalWatch.h"
#include "cli/SimpleRun.h"
#include "console/advanced/AdvancedRunControl.h"
#include "console/advanced/DataFile.h"
#include "console/advanced/Statistics.h"
#include "console/simple/TargetRecords.h"
#include "platform/IoQueue.h"

namespace stratavon {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLivePeriod = std::chrono::milliseconds(kStatsPeriodMs);

// Workers whose threads have not ended yet, over every record.
int LiveWorkers() {
  int nLive = 0;
  for (int t = 0; g_pTargetRecords != nullptr && t < g_nTargetRecords; ++t) {
    for (const HTHREAD& hThread : g_pTargetRecords[t].hThread) {
      if (hThread && hThread->IsActive()) ++nLive;
    }
  }
  return nLive;
}

const char* SignalName(int nSignal) {
  switch (nSignal) {
    case SIGINT: return "interrupted";
    case SIGTERM: return "terminated";
    case SIGHUP: return "hung up";
    default: return "signalled";
  }
}

class CRun {
 public:
  CRun(const RunOptions& options, CSignalWatch& signals)
      : m_options(options),
        m_signals(signals),
        m_pLive(options.bJson ? stderr : stdout),
        m_nTargets(static_cast<int>(options.targets.size())),
        m_console(options.targets.size()),
        m_control(m_console, options.dwFunction, options.nThreads - 1) {}

  int Execute() {
    FillTargetList(m_console, m_nTargets);
    AdvancedControls controls;
    controls.bErrorChecking = m_options.bErrorChecking;
    controls.bPerformance = m_options.bPerformance;
    controls.bAsynchronous = m_options.bAsync;
    controls.nTransferIndex = m_options.nTransferIndex;
    controls.nBufferIndex = m_options.nBufferIndex;
    controls.nDepthIndex = m_options.nDepth - 1;
    Announce();
    if (!m_control.OnStart(controls)) return kExitRefused;
    const Clock::time_point tStart = Clock::now();

    Watch(tStart);
    m_control.OnClose([this] { OnWaitSlice(); });
    const double dElapsed = std::chrono::duration<double>(Clock::now() - tStart).count();

    const RunResult result = CollectRunResult(m_console, m_nTargets, dElapsed);
    if (m_options.bJson) {
      std::fputs(RunResultJson(result).c_str(), stdout);
    } else {
      std::fputs(RunResultText(result).c_str(), stdout);
    }
    std::fflush(stdout);
    return result.nFailures == 0 ? kExitPassed : kExitWorkerFailed;
  }

 private:
  void Say(const std::string& szText) {
    std::fputs(szText.c_str(), m_pLive);
    std::fflush(m_pLive);
  }

  void Announce() {
    static const char* const kFunctions[] = {"", "READ", "WRITE", "", "READ/WRITE"};
    std::string szText = "stratavon-cli: " + std::string(kFunctions[m_options.dwFunction]) + ", " +
                         std::to_string(m_options.nThreads) + " thread(s) on " + std::to_string(m_nTargets) +
                         " target(s), transfer " + SizeItemText(m_options.nTransferIndex) + ", buffer " +
                         SizeItemText(m_options.nBufferIndex) + ", error checking " +
                         (m_options.bErrorChecking ? "on" : "off") + ", performance " +
                         (m_options.bPerformance ? "on" : "off (nothing is counted; -P counts)") +
                         (m_options.bAsync ? ", asynchronous at depth " + std::to_string(m_options.nDepth) + " over " +
                                                  IoBackendName(CIoQueue::DefaultBackend())
                                            : "") +
                         "; ";
    szText += m_options.nSeconds > 0 ? "stops after " + std::to_string(m_options.nSeconds) + " s or on Ctrl-C\n"
                                     : "Ctrl-C stops\n";
    Say(szText);
  }

  // The run in progress: a line block every 2 s until the time is up, a
  // signal arrives or no worker is left.
  void Watch(Clock::time_point tStart) {
    const bool bDeadline = m_options.nSeconds > 0;
    const Clock::time_point tDeadline = tStart + std::chrono::seconds(m_options.nSeconds);
    Clock::time_point tNextTick = tStart + kLivePeriod;
    for (;;) {
      const Clock::time_point tWake = bDeadline && tDeadline < tNextTick ? tDeadline : tNextTick;
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(tWake - Clock::now());
      if (const int nSignal = m_signals.Wait(wait)) {
        Say(std::string("stratavon-cli: ") + SignalName(nSignal) + "; stopping, every worker finishes its pass\n");
        return;
      }
      const Clock::time_point tNow = Clock::now();
      if (bDeadline && tNow >= tDeadline) {
        Say("stratavon-cli: " + std::to_string(m_options.nSeconds) + " s are up; stopping\n");
        return;
      }
      if (tNow < tNextTick) continue;
      while (tNextTick <= tNow) tNextTick += kLivePeriod;
      if (m_console.StatsTimerRunning()) m_control.OnTimer(TIMER_STATS);
      if (m_console.TimersRunning()) m_control.OnTimer(TIMER_ELAPSED);
      Say(LiveLines(m_console, m_nTargets));
      if (LiveWorkers() == 0) {
        Say("stratavon-cli: every worker has ended; stopping\n");
        return;
      }
    }
  }

  // Between the waits for the workers: a further interrupt does not cut
  // the wait short, since a worker always finishes its pass and closes its
  // files; it only learns what is still going on.
  void OnWaitSlice() {
    if (m_signals.Poll() == 0) return;
    Say("stratavon-cli: still waiting for " + std::to_string(LiveWorkers()) +
        " worker(s) to finish their pass and close their files\n");
  }

  const RunOptions& m_options;
  CSignalWatch& m_signals;
  FILE* m_pLive;
  int m_nTargets;
  CCliConsole m_console;
  CAdvancedRunControl m_control;
};

}  // namespace

int RunCommand(const RunOptions& options) {
  // Before any thread exists, so that every worker inherits the mask.
  CSignalWatch signals;
  if (!signals.IsValid()) {
    std::fprintf(stderr, "stratavon-cli: cannot watch for interrupts\n");
    return kExitRefused;
  }
  if (!PrepareRun(options)) {
    ReleaseTargetRecords();
    ReleaseDataFile();
    return kExitRefused;
  }
  int nExit;
  if (options.bSimple) {
    nExit = RunSimple(options, signals);
  } else {
    CRun run(options, signals);
    nExit = run.Execute();
  }
  ReleaseTargetRecords();
  ReleaseDataFile();
  return nExit;
}

}  // namespace stratavon
