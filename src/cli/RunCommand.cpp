#include "cli/RunCommand.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/CliConsole.h"
#include "cli/RunPreparation.h"
#include "cli/RunReport.h"
#include "cli/RunWatch.h"
#include "cli/SignalWatch.h"
#include "cli/SimpleRun.h"
#include "console/advanced/AdvancedRunControl.h"
#include "console/advanced/DataFile.h"
#include "console/advanced/Statistics.h"
#include "console/simple/TargetRecords.h"
#include "engine/StampedPattern.h"
#include "platform/IoQueue.h"

namespace stratavon {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kLivePeriod = std::chrono::milliseconds(kStatsPeriodMs);

class CRun : public CRunWatch {
 public:
  CRun(const RunOptions& options, CSignalWatch& signals)
      : CRunWatch(options, signals),
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
    controls.qwSpanBytes = m_options.qwSpanBytes;
    Announce();
    const Clock::time_point tStart = Clock::now();
    if (!m_control.OnStart(controls)) return kExitRefused;
    if (g_bStampedPattern) Say("stratavon-cli: stamped units, run id " + StampRunIdText(g_qwStampRunId) + "\n");

    Watch(tStart, kLivePeriod, [this] {
      if (m_console.StatsTimerRunning()) m_control.OnTimer(TIMER_STATS);
      if (m_console.TimersRunning()) m_control.OnTimer(TIMER_ELAPSED);
      Say(LiveLines(m_console, m_nTargets));
    });
    const double dElapsed = LoadSeconds();
    // The stop waits at most the I/O time-out; whoever is still inside a
    // call then has stalled, and the run ends without it.
    std::vector<std::string> stalls;
    if (!m_control.OnClose([this] { OnWaitSlice(); }, IoTimeout())) stalls = MarkStalledWorkers(&m_console);

    RunResult result = CollectRunResult(m_console, m_nTargets, dElapsed);
    result.dStartupSeconds = StartupSeconds();
    result.szStoppedBy = m_szStoppedBy;
    result.stalls = std::move(stalls);
    if (m_options.bJson) {
      std::fputs(RunResultJson(result).c_str(), stdout);
    } else {
      std::fputs(RunResultText(result).c_str(), stdout);
    }
    std::fflush(stdout);
    return result.Passed() ? kExitPassed : kExitWorkerFailed;
  }

 private:
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
    Say(szText + BufferedDirectIoNotes(m_options.targets));
  }

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
  SetIoTimeout(std::chrono::seconds(options.nIoTimeoutSeconds));
  if (!PrepareRun(options)) {
    if (options.bJson) std::fputs(RefusedRunJson(RefusalText()).c_str(), stdout);
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
  if (LiveWorkers() > 0) {
    // A worker stalled inside a call still holds its record and buffers:
    // nothing is released under it; the process ends as it is.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(nExit);
  }
  ReleaseTargetRecords();
  ReleaseDataFile();
  return nExit;
}

}  // namespace stratavon
