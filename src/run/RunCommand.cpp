#include "run/RunCommand.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "run/HeadlessConsole.h"
#include "run/RunLog.h"
#include "run/RunPreparation.h"
#include "run/RunReport.h"
#include "run/RunWatch.h"
#include "platform/SignalWatch.h"
#include "run/SimpleRun.h"
#include "run/RunControl.h"
#include "engine/DataFile.h"
#include "run/Statistics.h"
#include "engine/StampedPattern.h"
#include "engine/RunRecord.h"
#include "platform/CriticalSection.h"
#include "platform/IoQueue.h"
#include "run/TargetRecords.h"
#include "run/WorkerPlan.h"

namespace stratavon {
namespace {

using Clock = std::chrono::steady_clock;

class CRun : public CRunWatch {
 public:
  CRun(const RunOptions& options, CSignalWatch& signals, CRunLog& log, IRunPeers* pPeers, IRunObserver* pObserver)
      : CRunWatch(options, signals, pPeers, pObserver),
        m_log(log),
        m_console(options.targets.size()),
        m_control(m_console, options.dwFunction, options.nThreads) {}

  int Execute() {
    FillTargetList(m_console, m_nTargets);
    Announce();
    const Clock::time_point tStart = Clock::now();
    if (!m_control.OnStart(m_options.choices)) {
      if (m_pPeers == nullptr) return kExitRefused;
      // The peers have started already: this process ends its part as failed.
      RunResult result;
      result.nFailures = 1;
      result.szStoppedBy = "start refused";
      return m_pPeers->Finish(result);
    }
    if (g_bStampedPattern) Say("stratavon-cli: stamped units, run id " + StampRunIdText(g_qwStampRunId) + "\n");

    Watch(tStart, kStatsPeriod, [this, tStart] {
      if (m_console.StatsTimerRunning()) m_control.OnTimer(TIMER_STATS);
      if (m_console.TimersRunning()) m_control.OnTimer(TIMER_ELAPSED);
      if (m_pPeers == nullptr) Say(LiveLines(m_console, m_nTargets));  // the peers show the whole run
      WriteLog(std::chrono::duration<double>(Clock::now() - tStart).count());
    });
    const double dElapsed = LoadSeconds();
    // The stop waits at most the I/O time-out; whoever is still inside a
    // call then has stalled, and the run ends without it.
    StopResult stop = m_control.OnClose(StopHooksFor(&m_console));

    RunResult result = CollectRunResult(m_console, m_nTargets, dElapsed);
    result.dStartupSeconds = StartupSeconds();
    result.szStoppedBy = m_szStoppedBy;
    result.stalls = std::move(stop.stalls);
    // What the workers journaled is written before the verdict.
    if (std::string szWhy; !CloseFlushJournal(&szWhy)) result.szJournalFailure = szWhy;
    if (m_pPeers != nullptr) return m_pPeers->Finish(result);
    if (m_options.bJson) {
      std::fputs(RunResultJson(result).c_str(), stdout);
    } else {
      std::fputs(RunResultText(result).c_str(), stdout);
    }
    std::fflush(stdout);
    return result.Passed() ? kExitPassed : kExitWorkerFailed;
  }

 private:
  RunResult Snapshot() const override {
    RunResult result = CollectRunResult(m_console, m_nTargets, LoadSeconds());
    result.dStartupSeconds = StartupSeconds();
    return result;
  }

  void WriteLog(double dSeconds) {
    if (!m_log.IsOpen()) return;
    const CIntervalStats& intervals = m_control.Intervals();
    std::vector<LogRow> rows;
    uint64_t qwAllErrors = 0;
    for (int t = 0; t < m_nTargets; ++t) {
      // Failed calls so far, of the loops that go on regardless.
      uint64_t qwErrors = 0;
      if (g_pTargetRecords != nullptr && t < g_nTargetRecords) {
        CScopedLock lock(g_csRecords);
        qwErrors = g_pTargetRecords[t].qwIoErrors;
      }
      qwAllErrors += qwErrors;
      rows.push_back({m_console.Table().Cell(t, kColumnTarget), m_console.TargetStatus(t), &intervals.Target(t),
                      qwErrors});
    }
    // A failed call fails the run as a failed worker does.
    const bool bFailing = m_console.Failures() != 0 || qwAllErrors != 0;
    rows.push_back({"total", bFailing ? "FAIL" : "RUN", &intervals.Total(), qwAllErrors});
    std::string szError;
    if (!m_log.Write(dSeconds, rows, &szError)) Say("stratavon-cli: " + szError + "; the log ends here\n");
  }

  void Announce() {
    const RunChoices& choices = m_options.choices;
    std::string szText = "stratavon-cli: " + std::string(FunctionWord(m_options.dwFunction)) + ", " +
                         std::to_string(m_options.nThreads) + " thread(s) on " + std::to_string(m_nTargets) +
                         " target(s), transfer " + SizeItemTextOf(choices.dwTransferSize) + ", buffer " +
                         SizeItemTextOf(choices.dwBufferSize) + ", error checking " +
                         (choices.bErrorChecking ? "on" : "off") + ", performance " +
                         (choices.bPerformance ? "on" : "off (nothing is counted; -P counts)") +
                         (choices.bAsynchronous ? ", asynchronous at depth " + std::to_string(choices.dwQueueDepth) + " over " +
                                                  IoBackendName(CIoQueue::DefaultBackend())
                                            : "") +
                         "; ";
    szText += m_options.nSeconds > 0 ? "stops after " + std::to_string(m_options.nSeconds) + " s or on Ctrl-C\n"
                                     : "Ctrl-C stops\n";
    Say(szText + BufferedDirectIoNotes(m_options.targets));
  }

  CRunLog& m_log;
  CHeadlessConsole m_console;
  CRunControl m_control;
};

}  // namespace

int RunCommand(const RunOptions& options, IRunPeers* pPeers, IRunObserver* pObserver) {
  // Before any thread exists, so that every worker inherits the mask.
  CSignalWatch signals;
  if (!signals.IsValid()) {
    std::fprintf(stderr, "stratavon-cli: cannot watch for interrupts\n");
    return kExitRefused;
  }
  SetIoTimeout(std::chrono::seconds(options.nIoTimeoutSeconds));
  g_bLatencyCapture = options.bLatency;
  // Opened before anything is prepared, so a log that cannot be written
  // refuses the run before it leaves work files.
  CRunLog log;
  if (!options.szLogFile.empty()) {
    std::string szError;
    if (!log.Open(options.szLogFile, options.bLogCsv, &szError)) {
      std::fprintf(stderr, "stratavon-cli: %s\n", szError.c_str());
      if (options.bJson) std::fputs(RefusedRunJson(szError).c_str(), stdout);
      return kExitRefused;
    }
  }
  // With peers every process meets them twice: once every setting is
  // checked and before any target is touched, so that a refusal anywhere
  // leaves nothing behind anywhere, and once the targets are prepared, so
  // that every worker everywhere starts together.
  bool bMet = false;
  std::string szPeerRefusal;
  StartRefusal refusal = PrepareRun(options, [&] {
    if (pPeers == nullptr) return true;
    bMet = true;
    szPeerRefusal = pPeers->Agree("");
    return szPeerRefusal.empty();
  });
  if (refusal) PrintRefusal(*refusal);
  bool bPrepared = !refusal;
  if (pPeers != nullptr) {
    if (!bMet) {
      szPeerRefusal = pPeers->Agree(refusal->Text());
    } else if (szPeerRefusal.empty()) {
      szPeerRefusal = pPeers->Agree(bPrepared ? std::string() : refusal->Text());
    }
    bPrepared = szPeerRefusal.empty();
  }
  if (!bPrepared) {
    if (options.bJson && (pPeers == nullptr || pPeers->Reports())) {
      std::fputs(RefusedRunJson(pPeers != nullptr ? szPeerRefusal : refusal->Text()).c_str(), stdout);
    }
    ReleaseTargetRecords();
    ReleaseDataFile();
    return kExitRefused;
  }
  int nExit;
  if (options.bSimple) {
    nExit = RunSimple(options, signals, pObserver);
  } else {
    CRun run(options, signals, log, pPeers, pObserver);
    nExit = run.Execute();
  }
  if (LiveWorkers() > 0) {
    // A worker stalled inside a call still holds its record and buffers:
    // nothing is released under it; the process ends as it is.
    std::fflush(stdout);
    std::fflush(stderr);
    if (pObserver != nullptr) pObserver->OnVerdict(nExit);
    std::_Exit(nExit);
  }
  ReleaseTargetRecords();
  ReleaseDataFile();
  return nExit;
}

}  // namespace stratavon
