#include "run/SimpleRun.h"

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "run/RunCommand.h"
#include "run/RunControl.h"
#include "run/RunPreparation.h"
#include "run/RunReport.h"
#include "run/RunWatch.h"
#include "run/Statistics.h"
#include "engine/RunRecord.h"
#include "platform/SystemError.h"
#include "workers/simple/SimpleWorkers.h"

namespace stratavon {
namespace {

using Clock = std::chrono::steady_clock;

// The failed workers of each target, as the workers report them from their
// own threads, with the word of the first failure.
class CSimpleFailures : public ISimpleWorkerWatch {
 public:
  explicit CSimpleFailures(const std::vector<Target>& targets)
      : m_targets(targets), m_failures(targets.size(), 0), m_words(targets.size(), "NONE") {}

  void OnStartFailed(int nTarget, int, IoErrorKind nKind, const std::string&) override {
    // The message box itself tells the operator.
    Count(nTarget, nKind, 1);
  }

  void OnTransferFailed(int nTarget, int nSlot, IoErrorKind nKind, int nError) override {
    if (!Count(nTarget, nKind, 1)) return;
    // Nothing else would ever tell: the load goes on as if all were well.
    const std::string szWhat = nKind == kErrorUnderrunOverrun ? "came up short"
                                                               : "failed: " + FormatSystemMessage(nError);
    std::fprintf(stderr, "stratavon-cli: %s slot %d: a %s %s; the simple load goes on without checking\n",
                 m_targets[static_cast<size_t>(nTarget)].szPath.c_str(), nSlot,
                 nKind == kErrorReadApi ? "read" : "write", szWhat.c_str());
  }

  // Slots that should have had a worker and got none.
  void CountNotCreated(int nTarget, int nSlots) { Count(nTarget, kErrorInitialization, nSlots); }

  int Failures() const {
    std::lock_guard lock(m_mutex);
    int nTotal = 0;
    for (int n : m_failures) nTotal += n;
    return nTotal;
  }
  int FailuresOf(int nTarget) const {
    std::lock_guard lock(m_mutex);
    return m_failures[static_cast<size_t>(nTarget)];
  }
  std::string WordOf(int nTarget) const {
    std::lock_guard lock(m_mutex);
    return m_words[static_cast<size_t>(nTarget)];
  }

 private:
  bool Count(int nTarget, IoErrorKind nKind, int nWorkers) {
    if (nTarget < 0 || static_cast<size_t>(nTarget) >= m_failures.size() || nWorkers <= 0) return false;
    std::lock_guard lock(m_mutex);
    const size_t t = static_cast<size_t>(nTarget);
    if (m_failures[t] == 0) m_words[t] = DescribeIoError(nKind, false).szShort;
    m_failures[t] += nWorkers;
    return true;
  }

  const std::vector<Target>& m_targets;
  mutable std::mutex m_mutex;
  std::vector<int> m_failures;
  std::vector<std::string> m_words;
};

class CSimpleRun : public CRunWatch {
 public:
  CSimpleRun(const RunOptions& options, CSignalWatch& signals, IRunObserver* pObserver)
      : CRunWatch(options, signals, nullptr, pObserver),
        m_failures(options.targets),
        m_launched(options.targets.size(), 0) {}

  int Execute() {
    Announce();
    SetSimpleWorkerWatch(&m_failures);
    const Clock::time_point tStart = Clock::now();
    Launch();
    Watch(tStart, kStatsPeriod, [&] { Say(StatusLines(tStart)); });
    const double dElapsed = LoadSeconds();
    const std::vector<std::string> stalls = m_control.OnStop(StopHooksFor(nullptr)).stalls;
    // A stalled worker that comes back finds no watch.
    SetSimpleWorkerWatch(nullptr);

    // The simple load counts nothing; per target the word is FAIL as soon
    // as one of its workers failed.
    RunResult result = CollectTargetResults(
        m_nTargets,
        [this](int t) {
          return TargetWords{TargetStatus(t, "STOP"), m_failures.WordOf(t), {}, m_failures.FailuresOf(t)};
        },
        false);
    result.dElapsedSeconds = dElapsed;
    result.dStartupSeconds = StartupSeconds();
    result.szStoppedBy = m_szStoppedBy;
    result.stalls = stalls;
    result.nFailures += static_cast<int>(result.stalls.size());
    std::fputs(m_options.bJson ? RunResultJson(result).c_str() : ResultText(result).c_str(), stdout);
    std::fflush(stdout);
    return result.Passed() ? kExitPassed : kExitWorkerFailed;
  }

 private:
  void Announce() {
    std::string szText = "stratavon-cli: simple " + std::string(FunctionWord(m_options.dwFunction)) + " load, " +
                         std::to_string(m_options.nThreads) + " thread(s) on " + std::to_string(m_nTargets) +
                         " target(s), 1MB direct transfers, nothing counted or checked; ";
    szText += m_options.nSeconds > 0 ? "stops after " + std::to_string(m_options.nSeconds) + " s or on Ctrl-C\n"
                                     : "Ctrl-C stops\n";
    Say(szText + BufferedDirectIoNotes(m_options.targets));
  }

  // The simple console's Start, through the run control: target by target,
  // reads in slots 0.., then writes in slots 25...
  void Launch() {
    m_control.OnStartSimple(m_options.dwFunction, m_options.nThreads);
    for (int t = 0; t < m_nTargets; ++t) {
      m_launched[static_cast<size_t>(t)] = m_control.LaunchedWorkers(t);
      const int nMissing = m_control.PlannedWorkers() - m_control.LaunchedWorkers(t);
      if (nMissing > 0) {
        m_failures.CountNotCreated(t, nMissing);
        std::fprintf(stderr, "stratavon-cli: %s: %d worker thread(s) could not be created\n",
                     m_options.targets[static_cast<size_t>(t)].szPath.c_str(), nMissing);
      }
    }
  }

  static int LiveWorkersOf(int nTarget) {
    int nLive = 0;
    for (const HTHREAD& hThread : g_pTargetRecords[nTarget].hThread) nLive += hThread && hThread->IsActive() ? 1 : 0;
    return nLive;
  }

  // The simple console shows one Status for the run; per target the word
  // is FAIL as soon as one of its workers failed.
  std::string TargetStatus(int nTarget, const char* szOtherwise) const {
    return m_failures.FailuresOf(nTarget) > 0 ? "FAIL" : szOtherwise;
  }

  std::string StatusLines(Clock::time_point tStart) const {
    const auto nSeconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - tStart).count();
    const std::string szElapsed = "[" + ElapsedText(nSeconds).value_or("?") + "] ";
    size_t nWidth = 0;
    for (const Target& target : m_options.targets) nWidth = std::max(nWidth, target.szPath.size());
    std::string szLines;
    for (int t = 0; t < m_nTargets; ++t) {
      const std::string& szRoot = m_options.targets[static_cast<size_t>(t)].szPath;
      const std::string szStatus = TargetStatus(t, "RUN");
      szLines += szElapsed + szRoot + std::string(nWidth - szRoot.size(), ' ') + "  " + szStatus +
                 std::string(szStatus.size() < 4 ? 4 - szStatus.size() : 0, ' ') + "  " +
                 std::to_string(LiveWorkersOf(t)) + " of " + std::to_string(m_launched[static_cast<size_t>(t)]) +
                 " workers running  " + m_failures.WordOf(t);
      const IoErrorTally tally = TargetIoErrors(t);
      if (tally.qwCalls != 0) szLines += "  " + DescribeFailedCalls(tally);
      szLines += "\n";
    }
    szLines += szElapsed + "status RUN\n";
    return szLines;
  }

  std::string ResultText(const RunResult& result) const {
    std::string sz;
    for (size_t t = 0; t < result.targets.size(); ++t) {
      const TargetResult& target = result.targets[t];
      const int nFailed = target.nFailedWorkers;
      sz += "result: " + target.target.szPath + "  " + target.szStatus + "  " + target.szError + "  " +
            std::to_string(m_launched[t]) + " worker(s)";
      sz += nFailed > 0 ? ", " + std::to_string(nFailed) + " failed\n" : "\n";
    }
    sz += "status STOP\n";
    return sz + VerdictLine(result);
  }

  CRunControl m_control;
  CSimpleFailures m_failures;
  std::vector<int> m_launched;
};

}  // namespace

int RunSimple(const RunOptions& options, CSignalWatch& signals, IRunObserver* pObserver) {
  CSimpleRun run(options, signals, pObserver);
  return run.Execute();
}

}  // namespace stratavon
