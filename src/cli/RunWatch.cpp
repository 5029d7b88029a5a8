#include "cli/RunWatch.h"

#include <csignal>

#include "engine/RunRecord.h"

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

CRunWatch::CRunWatch(const RunOptions& options, CSignalWatch& signals)
    : m_options(options),
      m_signals(signals),
      m_pLive(options.bJson ? stderr : stdout),
      m_nTargets(static_cast<int>(options.targets.size())) {}

void CRunWatch::Say(const std::string& szText) {
  std::fputs(szText.c_str(), m_pLive);
  std::fflush(m_pLive);
}

void CRunWatch::Watch(Clock::time_point tStart, std::chrono::milliseconds period,
                      const std::function<void()>& onTick) {
  const bool bDeadline = m_options.nSeconds > 0;
  const Clock::time_point tDeadline = tStart + std::chrono::seconds(m_options.nSeconds);
  Clock::time_point tNextTick = tStart + period;
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
    while (tNextTick <= tNow) tNextTick += period;
    onTick();
    if (LiveWorkers() == 0) {
      Say("stratavon-cli: every worker has ended; stopping\n");
      return;
    }
  }
}

void CRunWatch::OnWaitSlice() {
  if (m_signals.Poll() == 0) return;
  Say("stratavon-cli: still waiting for " + std::to_string(LiveWorkers()) +
      " worker(s) to finish their pass and close their files\n");
}

}  // namespace stratavon
