#include "run/RunWatch.h"

#include <algorithm>
#include <csignal>

#include "engine/RunRecord.h"
#include "run/RunSummary.h"

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
  WatchUntilStop(tStart, period, [&] {
    onTick();
    TellProgress();
  });
  TellProgress();
  Tell(IRunObserver::Phase::kStopping);
}

RunResult CRunWatch::Snapshot() const {
  RunResult result;
  result.dElapsedSeconds = LoadSeconds();
  result.dStartupSeconds = StartupSeconds();
  for (int t = 0; t < m_nTargets; ++t) {
    TargetResult target;
    target.target = m_options.targets[static_cast<size_t>(t)];
    AddTargetCounters(t, target);
    AddTargetVerdict(target, t);
    const int nFailed = FailedWorkersOf(t);
    target.szStatus = nFailed > 0 ? "FAIL" : "RUN";
    result.nFailures += nFailed;
    result.targets.push_back(std::move(target));
  }
  return result;
}

void CRunWatch::WatchUntilStop(Clock::time_point tStart, std::chrono::milliseconds period,
                               const std::function<void()>& onTick) {
  constexpr auto kStartupPoll = std::chrono::milliseconds(50);
  constexpr auto kPeerPoll = std::chrono::milliseconds(100);
  // Alone, a reason to stop ends the watch; with peers it is passed on and
  // the watch ends when they answer.
  std::string szLocalStop;
  const auto stopDue = [&](const std::string& szWhy) {
    if (m_pPeers == nullptr) {
      m_szStoppedBy = szWhy;
      return true;
    }
    if (szLocalStop.empty()) szLocalStop = szWhy;
    return false;
  };
  bool bWorkersEnded = false;
  // With peers the -d time is the reporting process's to keep.
  const bool bDeadline = m_options.nSeconds > 0 && (m_pPeers == nullptr || m_pPeers->Reports());
  const auto duration = std::chrono::seconds(m_options.nSeconds);
  // A start-up that never ends still ends the run.
  const Clock::time_point tStartupLimit = tStart + IoTimeout() + duration;
  m_tStart = tStart;
  m_tIoStart = tStart;
  bool bBegun = false;
  Clock::time_point tDeadline = tStart + duration;
  Clock::time_point tNextTick = tStart + period;
  for (;;) {
    if (!bBegun && EveryWorkerBegun()) {
      bBegun = true;
      m_tIoStart = Clock::now();
      tDeadline = m_tIoStart + duration;
      Tell(IRunObserver::Phase::kBegun);
      Say("stratavon-cli: every worker has begun its I/O after a start-up of " + Seconds(StartupSeconds()) +
          (bDeadline ? "; the " + std::to_string(m_options.nSeconds) + " s count from now\n" : "\n"));
    }
    Clock::time_point tWake =
        bDeadline && bBegun && szLocalStop.empty() && tDeadline < tNextTick ? tDeadline : tNextTick;
    if (!bBegun) tWake = std::min(tWake, Clock::now() + kStartupPoll);
    if (m_pPeers != nullptr) tWake = std::min(tWake, Clock::now() + kPeerPoll);
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(tWake - Clock::now());
    if (const int nSignal = m_signals.Wait(wait)) {
      Say(std::string("stratavon-cli: ") + SignalName(nSignal) + "; stopping, every worker finishes its pass\n");
      if (stopDue(SignalAbbreviation(nSignal))) {
        if (!bBegun) m_tIoStart = Clock::now();
        return;
      }
    }
    const Clock::time_point tNow = Clock::now();
    if (bDeadline && bBegun && tNow >= tDeadline && szLocalStop.empty()) {
      Say("stratavon-cli: " + std::to_string(m_options.nSeconds) + " s are up; stopping\n");
      if (stopDue("duration")) return;
    }
    if (!bBegun && tNow >= tStartupLimit && szLocalStop.empty()) {
      Say("stratavon-cli: the start-up has not ended after " +
          Seconds(std::chrono::duration<double>(tNow - m_tStart).count()) + "; stopping\n");
      if (stopDue("start-up time-out")) {
        m_tIoStart = tNow;
        return;
      }
    }
    if (m_pPeers != nullptr) {
      if (std::string szStop = m_pPeers->Poll(szLocalStop, bWorkersEnded, LocalSample()); !szStop.empty()) {
        m_szStoppedBy = std::move(szStop);
        if (!bBegun) m_tIoStart = tNow;
        Say("stratavon-cli: the run stops (" + m_szStoppedBy + "); every worker finishes its pass\n");
        return;
      }
    }
    if (tNow < tNextTick) continue;
    while (tNextTick <= tNow) tNextTick += period;
    onTick();
    if (LiveWorkers() == 0 && !bWorkersEnded) {
      if (!bBegun) m_tIoStart = tNow;
      if (m_pPeers == nullptr) {
        m_szStoppedBy = "workers ended";
        Say("stratavon-cli: every worker has ended; stopping\n");
        return;
      }
      // The peers decide; this process only has nothing left to run.
      bWorkersEnded = true;
      bBegun = true;
    }
  }
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
