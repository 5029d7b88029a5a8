#include "run/RunWatch.h"

#include <algorithm>
#include <csignal>

#include "engine/RunRecord.h"
#include "run/RunSummary.h"
#include "run/TargetRecords.h"

namespace stratavon {
namespace {

const char* SignalName(int nSignal) {
  switch (nSignal) {
    case SIGINT: return "interrupted";
    case SIGTERM: return "terminated";
    case SIGHUP: return "hung up";
    default: return "signalled";
  }
}

const char* SignalAbbreviation(int nSignal) {
  switch (nSignal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
  }
}

std::string Seconds(double dSeconds) {
  char sz[32];
  std::snprintf(sz, sizeof sz, "%.1f s", dSeconds);
  return sz;
}

}  // namespace

int LiveWorkers() {
  int nLive = 0;
  for (int t = 0; g_pTargetRecords != nullptr && t < g_nTargetRecords; ++t) {
    for (const HTHREAD& hThread : g_pTargetRecords[t].hThread) {
      if (hThread && hThread->IsActive()) ++nLive;
    }
  }
  return nLive;
}

PeerSample LocalSample() {
  PeerSample sample;
  for (int t = 0; g_pTargetRecords != nullptr && t < g_nTargetRecords; ++t) {
    TargetResult target;
    AddTargetCounters(t, target);
    sample.qwBytes += target.qwBytes;
    sample.qwIos += target.qwIos;
    sample.nFailures += FailedWorkersOf(t);
  }
  return sample;
}

CRunWatch::CRunWatch(const RunOptions& options, CSignalWatch& signals, IRunPeers* pPeers, IRunObserver* pObserver)
    : m_options(options),
      m_signals(signals),
      m_pPeers(pPeers),
      m_pObserver(pObserver),
      m_pLive(pPeers != nullptr && !pPeers->Reports() ? nullptr : options.bJson ? stderr : stdout),
      m_nTargets(static_cast<int>(options.targets.size())) {}

void CRunWatch::Say(const std::string& szText) {
  if (m_pLive == nullptr) return;
  std::fputs(szText.c_str(), m_pLive);
  std::fflush(m_pLive);
}

void CRunWatch::Watch(Clock::time_point tStart, std::chrono::milliseconds period,
                      const std::function<void()>& onTick) {
  Tell(IRunObserver::Phase::kLaunched);
  // The supervisor hears of a tick before anyone sees its lines.
  WatchUntilStop(tStart, period, [&] {
    TellProgress();
    onTick();
  });
  TellProgress();
  Tell(IRunObserver::Phase::kStopping);
}

RunResult CRunWatch::Snapshot() const {
  RunResult result = CollectTargetResults(
      m_nTargets,
      [](int t) {
        const int nFailed = FailedWorkersOf(t);
        return TargetWords{nFailed > 0 ? "FAIL" : "RUN", {}, {}, nFailed};
      },
      false);
  result.dElapsedSeconds = LoadSeconds();
  result.dStartupSeconds = StartupSeconds();
  return result;
}

// One watch, phase by phase: each step returns true when the watch ends.
class CRunWatch::CWatchLoop {
 public:
  CWatchLoop(CRunWatch& watch, Clock::time_point tStart, std::chrono::milliseconds period,
             const std::function<void()>& onTick)
      : m_watch(watch),
        m_period(period),
        m_onTick(onTick),
        // With peers the -d time is the reporting process's to keep.
        m_bDeadline(watch.m_options.nSeconds > 0 && (watch.m_pPeers == nullptr || watch.m_pPeers->Reports())),
        m_duration(watch.m_options.nSeconds),
        // A start-up that never ends still ends the run.
        m_tStartupLimit(tStart + IoTimeout() + m_duration),
        m_tDeadline(tStart + m_duration),
        m_tNextTick(tStart + period) {
    watch.m_tStart = tStart;
    watch.m_tIoStart = tStart;
  }

  void Run() {
    for (;;) {
      if (!m_bBegun && EveryWorkerBegun()) NoteBegun();
      if (const int nSignal = m_watch.m_signals.Wait(UntilWake()); nSignal != 0 && OnSignal(nSignal)) return;
      const Clock::time_point tNow = Clock::now();
      if (LimitReached(tNow) || PeersStop(tNow)) return;
      if (tNow >= m_tNextTick && Tick(tNow)) return;
    }
  }

 private:
  // Alone, a reason to stop ends the watch; with peers it is passed on and
  // the watch ends when they answer.
  bool StopDue(const std::string& szWhy) {
    if (m_watch.m_pPeers == nullptr) {
      m_watch.m_szStoppedBy = szWhy;
      return true;
    }
    if (m_szLocalStop.empty()) m_szLocalStop = szWhy;
    return false;
  }

  void NoteBegun() {
    m_bBegun = true;
    m_watch.m_tIoStart = Clock::now();
    m_tDeadline = m_watch.m_tIoStart + m_duration;
    m_watch.Tell(IRunObserver::Phase::kBegun);
    m_watch.Say("stratavon-cli: every worker has begun its I/O after a start-up of " +
                Seconds(m_watch.StartupSeconds()) +
                (m_bDeadline ? "; the " + std::to_string(m_watch.m_options.nSeconds) + " s count from now\n" : "\n"));
  }

  std::chrono::milliseconds UntilWake() const {
    constexpr auto kStartupPoll = std::chrono::milliseconds(50);
    constexpr auto kPeerPoll = std::chrono::milliseconds(100);
    Clock::time_point tWake =
        m_bDeadline && m_bBegun && m_szLocalStop.empty() && m_tDeadline < m_tNextTick ? m_tDeadline : m_tNextTick;
    if (!m_bBegun) tWake = std::min(tWake, Clock::now() + kStartupPoll);
    if (m_watch.m_pPeers != nullptr) tWake = std::min(tWake, Clock::now() + kPeerPoll);
    return std::chrono::ceil<std::chrono::milliseconds>(tWake - Clock::now());
  }

  bool OnSignal(int nSignal) {
    if (m_watch.m_pPeers == nullptr) {
      // Alone, the workers learn of the stop before the operator reads of
      // it, and the supervisor knows what was in progress at that moment.
      StopWorkers();
      m_watch.TellProgress();
    }
    m_watch.Say(std::string("stratavon-cli: ") + SignalName(nSignal) + "; stopping, every worker finishes its pass\n");
    if (!StopDue(SignalAbbreviation(nSignal))) return false;
    if (!m_bBegun) m_watch.m_tIoStart = Clock::now();
    return true;
  }

  // The -d time, counted from the moment every worker had begun, and the
  // start-up's own bound.
  bool LimitReached(Clock::time_point tNow) {
    if (!m_szLocalStop.empty()) return false;
    if (m_bDeadline && m_bBegun && tNow >= m_tDeadline) {
      // A tick that fell due before the deadline, overslept on a busy
      // machine, is still shown.
      if (m_tNextTick <= m_tDeadline && tNow >= m_tNextTick) m_onTick();
      m_watch.Say("stratavon-cli: " + std::to_string(m_watch.m_options.nSeconds) + " s are up; stopping\n");
      return StopDue("duration");
    }
    if (!m_bBegun && tNow >= m_tStartupLimit) {
      m_watch.Say("stratavon-cli: the start-up has not ended after " +
                  Seconds(std::chrono::duration<double>(tNow - m_watch.m_tStart).count()) + "; stopping\n");
      if (!StopDue("start-up time-out")) return false;
      m_watch.m_tIoStart = tNow;
      return true;
    }
    return false;
  }

  bool PeersStop(Clock::time_point tNow) {
    if (m_watch.m_pPeers == nullptr) return false;
    std::string szStop = m_watch.m_pPeers->Poll(m_szLocalStop, m_bWorkersEnded, LocalSample());
    if (szStop.empty()) return false;
    m_watch.m_szStoppedBy = std::move(szStop);
    if (!m_bBegun) m_watch.m_tIoStart = tNow;
    m_watch.Say("stratavon-cli: the run stops (" + m_watch.m_szStoppedBy + "); every worker finishes its pass\n");
    return true;
  }

  // The period's work, then whether any worker is left.
  bool Tick(Clock::time_point tNow) {
    while (m_tNextTick <= tNow) m_tNextTick += m_period;
    m_onTick();
    if (LiveWorkers() != 0 || m_bWorkersEnded) return false;
    if (!m_bBegun) m_watch.m_tIoStart = tNow;
    if (m_watch.m_pPeers == nullptr) {
      m_watch.m_szStoppedBy = "workers ended";
      m_watch.Say("stratavon-cli: every worker has ended; stopping\n");
      return true;
    }
    // The peers decide; this process only has nothing left to run.
    m_bWorkersEnded = true;
    m_bBegun = true;
    return false;
  }

  CRunWatch& m_watch;
  const std::chrono::milliseconds m_period;
  const std::function<void()>& m_onTick;
  const bool m_bDeadline;
  const std::chrono::seconds m_duration;
  const Clock::time_point m_tStartupLimit;
  Clock::time_point m_tDeadline;
  Clock::time_point m_tNextTick;
  std::string m_szLocalStop;
  bool m_bWorkersEnded = false;
  bool m_bBegun = false;
};

void CRunWatch::WatchUntilStop(Clock::time_point tStart, std::chrono::milliseconds period,
                               const std::function<void()>& onTick) {
  CWatchLoop(*this, tStart, period, onTick).Run();
}

StopHooks CRunWatch::StopHooksFor(IWorkerConsole* pConsole) {
  StopHooks hooks;
  hooks.dispatch = [this] {
    // While the stop waits, the supervisor learns who is still inside a call.
    TellProgress();
    if (m_signals.Poll() == 0) return;
    const double dLimit = std::chrono::duration<double>(IoTimeout()).count();
    std::string szText = "stratavon-cli: still waiting, at most " + Seconds(dLimit) + " from the stop, for " +
                         std::to_string(LiveWorkers()) + " worker(s) to finish their pass and close their files\n";
    for (const CallInProgress& call : CallsInProgress()) szText += "  " + DescribeCall(call) + "\n";
    Say(szText);
  };
  hooks.pStalledRows = pConsole;
  hooks.onStalled = [this](const std::vector<std::string>& stalls) {
    for (const std::string& szStall : stalls) Say("stratavon-cli: FAIL, " + szStall + "\n");
    return false;
  };
  return hooks;
}

double CRunWatch::LoadSeconds() const { return std::chrono::duration<double>(Clock::now() - m_tIoStart).count(); }

double CRunWatch::StartupSeconds() const { return std::chrono::duration<double>(m_tIoStart - m_tStart).count(); }

}  // namespace stratavon
