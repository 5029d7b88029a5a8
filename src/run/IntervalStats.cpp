#include "run/IntervalStats.h"

#include "engine/RunRecord.h"
#include "platform/CriticalSection.h"

namespace stratavon {
namespace {

struct Taken {
  uint64_t qwBytes = 0;
  uint64_t qwIos = 0;
};

// One target's entries as they stand. The lock is taken once per slot, as
// the rate sampler takes it, and only to read the counters and to hold on
// to the histograms; they are added up outside it.
Taken TakeEntries(int nTarget, EntrySides sides, LatencyCounts* pLatency) {
  Taken taken;
  if (g_pTargetRecords == nullptr || nTarget < 0 || nTarget >= g_nTargetRecords) return taken;
  TargetRunRecord& record = g_pTargetRecords[nTarget];
  for (int s = 0; s < kSlotsPerTarget; ++s) {
    std::shared_ptr<const CLatencyHistogram> apHeld[2];
    {
      CScopedLock lock(g_csRecords);
      if (sides != EntrySides::kWrite) {
        taken.qwBytes += record.entries[s].qwBytes;
        taken.qwIos += record.entries[s].qwIos;
        apHeld[0] = record.entries[s].pLatency;
      }
      if (sides != EntrySides::kRead) {
        const SlotIoEntry& entry = record.entries[s + kWriteEntryOffset];
        taken.qwBytes += entry.qwBytes;
        taken.qwIos += entry.qwIos;
        apHeld[1] = entry.pLatency;
      }
    }
    for (const auto& pHeld : apHeld) {
      if (pHeld && pLatency != nullptr) pLatency->Add(*pHeld);
    }
  }
  return taken;
}

}  // namespace

void CIntervalStats::Reset(int nTargets, Clock::time_point tNow) {
  m_targets.clear();
  m_targets.resize(nTargets > 0 ? static_cast<size_t>(nTargets) : 0);
  m_total = IntervalFigures{};
  m_tLast = tNow;
  m_nSamples = 0;
}

void CIntervalStats::Sample(int nTargets, Clock::time_point tNow) {
  if (nTargets > static_cast<int>(m_targets.size())) m_targets.resize(static_cast<size_t>(nTargets));
  const double dSeconds = std::chrono::duration<double>(tNow - m_tLast).count();
  m_tLast = tNow;
  ++m_nSamples;
  m_total = IntervalFigures{};
  m_total.dSeconds = dSeconds;
  // One scratch snapshot for every target: 19 KB that need not sit on the stack.
  auto pNow = std::make_unique<LatencyCounts>();
  for (int t = 0; t < nTargets; ++t) {
    TargetState& state = m_targets[static_cast<size_t>(t)];
    pNow->Clear();
    const Taken taken = TakeEntries(t, EntrySides::kBoth, pNow.get());
    state.last.dSeconds = dSeconds;
    state.last.qwBytes = taken.qwBytes >= state.qwBytes ? taken.qwBytes - state.qwBytes : 0;
    state.last.qwIos = taken.qwIos >= state.qwIos ? taken.qwIos - state.qwIos : 0;
    state.last.latency = pNow->Since(*state.pLatency);
    state.qwBytes = taken.qwBytes;
    state.qwIos = taken.qwIos;
    *state.pLatency = *pNow;
    m_total.qwBytes += state.last.qwBytes;
    m_total.qwIos += state.last.qwIos;
    m_total.latency.Add(state.last.latency);
  }
}

const IntervalFigures& CIntervalStats::Target(int nTarget) const {
  static const IntervalFigures kNone;
  if (nTarget < 0 || nTarget >= static_cast<int>(m_targets.size())) return kNone;
  return m_targets[static_cast<size_t>(nTarget)].last;
}

LatencyCounts CollectLatency(int nTarget, EntrySides sides) {
  LatencyCounts counts;
  (void)TakeEntries(nTarget, sides, &counts);
  return counts;
}

}  // namespace stratavon
