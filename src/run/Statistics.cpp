#include "run/Statistics.h"

#include <cinttypes>
#include <cstdio>

#include "engine/IoError.h"
#include "platform/CriticalSection.h"

namespace stratavon {
namespace {

// Only a records block that exists, read as far as the block reaches.
int RowsOf(int nTargets) {
  if (g_pTargetRecords == nullptr) return 0;
  return nTargets < g_nTargetRecords ? nTargets : g_nTargetRecords;
}

// The distance a counter moved, as the console has always taken it: the
// difference read as a signed 64-bit number and made positive.
uint64_t Moved(uint64_t qwNow, uint64_t qwPrev) {
  const uint64_t qwDifference = qwNow - qwPrev;
  return static_cast<int64_t>(qwDifference) < 0 ? uint64_t{0} - qwDifference : qwDifference;
}

std::string Unsigned32(uint64_t qwValue) { return std::to_string(static_cast<uint32_t>(qwValue)); }

}  // namespace

std::string SizeWord(uint32_t dwBytes) {
  switch (dwBytes) {
    case 512: return "512B";
    case 1024: return "1K";
    case 2048: return "2K";
    case 4096: return "4K";
    case 8192: return "8K";
    case 16384: return "16K";
    case 32768: return "32K";
    case 65536: return "64K";
    case 131072: return "128K";
    case 262144: return "256K";
    case 524288: return "512K";
    case 1048576: return "1MB";
    case 2097152: return "2MB";
    case 4194304: return "4MB";
    default: return "UNKNOWN";
  }
}

std::optional<std::string> ElapsedText(int64_t nSpan) {
  const int64_t nDays = nSpan / 86400;
  const int64_t nHours = nSpan / 3600 - nDays * 24;
  const int64_t nMinutes = nSpan / 60 - (nSpan / 3600) * 60;
  const int64_t nSeconds = nSpan - (nSpan / 60) * 60;
  char szDays[32];
  char szHours[32];
  char szMinutes[32];
  char szSeconds[32];
  std::snprintf(szDays, sizeof szDays, "%" PRId64, nDays);
  std::snprintf(szHours, sizeof szHours, "%02" PRId64, nHours);
  std::snprintf(szMinutes, sizeof szMinutes, "%02" PRId64, nMinutes);
  std::snprintf(szSeconds, sizeof szSeconds, "%02" PRId64, nSeconds);
  std::string szText = std::string(szDays) + ":" + szHours + ":" + szMinutes + ":" + szSeconds;
  // The four parts without their separators must fit the box's 80 characters.
  if (szText.size() - 3 >= 80) return std::nullopt;
  return szText;
}

void FillTargetList(IWorkerConsole& list, int nTargets) {
  const int nRows = RowsOf(nTargets);
  for (int t = 0; t < nRows; ++t) {
    list.SetTargetText(t, kColumnTarget, g_pTargetRecords[t].target.szPath);
    list.SetTargetText(t, kColumnStatus, "IDLE");
    list.SetTargetText(t, kColumnMbPerSec, "0");
    list.SetTargetText(t, kColumnIops, "0");
    list.SetTargetText(t, kColumnError, "NONE");
  }
}

void UpdateTargetRow(IWorkerConsole& list, int nTargets, int nTarget, const RunSettings& settings) {
  if (nTarget < 0 || nTarget >= RowsOf(nTargets)) return;
  const auto enabled = [&](uint32_t dwBit) { return (settings.dwMode & dwBit) != 0 ? "ENABLED" : "DISABLED"; };
  list.SetTargetText(nTarget, kColumnError, "NONE");
  list.SetTargetText(nTarget, kColumnOperation, (settings.dwMode & MODE_ASYNC) != 0 ? "ASYNC" : "SYNC");
  list.SetTargetText(nTarget, kColumnChunk, SizeWord(settings.dwTransferSize));
  list.SetTargetText(nTarget, kColumnBuffer, SizeWord(settings.dwBufferSize));
  list.SetTargetText(nTarget, kColumnPerformance, enabled(MODE_PERFORMANCE));
  list.SetTargetText(nTarget, kColumnErrorChecking, enabled(MODE_ERROR_CHECKING));
}

bool AnyWorkerFailed(int nTargets) {
  const int nRows = RowsOf(nTargets);
  for (int t = 0; t < nRows; ++t) {
    for (const SlotActivity& activity : g_pTargetRecords[t].activity) {
      if (activity.bFailed.load(std::memory_order_acquire) != 0) return true;
    }
  }
  return false;
}

void ShowIoErrors(IAdvancedView& view, int nTargets) {
  const int nRows = RowsOf(nTargets);
  std::string szExtended;
  for (int t = 0; t < nRows; ++t) {
    const IoErrorTally tally = TargetIoErrors(t);
    if (tally.qwCalls == 0) continue;
    view.SetTargetText(t, kColumnError, IoErrorCell(tally));
    if (szExtended.empty()) {
      szExtended = std::to_string(tally.qwCalls) + " FAILED I/O CALLS: " + FirstIoErrorText(tally);
    }
  }
  if (!szExtended.empty() && !AnyWorkerFailed(nTargets)) view.SetExtendedText(szExtended);
}

RateTotals SampleRates(IAdvancedView& view, int nTargets) {
  RateTotals totals;
  const int nRows = RowsOf(nTargets);
  for (int t = 0; t < nRows; ++t) {
    const uint64_t qwBytesBefore = totals.qwBytes;
    const uint64_t qwIosBefore = totals.qwIos;
    TargetRunRecord& record = g_pTargetRecords[t];
    for (int s = 0; s < kSlotsPerTarget; ++s) {
      // Once per slot: the workers count without it, but start and end
      // under it, so it is never held across a whole target.
      CScopedLock lock(g_csRecords);
      for (SlotIoEntry* pEntry : {&record.entries[s], &record.entries[s + kWriteEntryOffset]}) {
        const uint64_t qwBytes = pEntry->qwBytes.load(std::memory_order_relaxed);
        const uint64_t qwIos = pEntry->qwIos.load(std::memory_order_relaxed);
        totals.qwBytes += Moved(qwBytes, pEntry->qwBytesPrev);
        totals.qwIos += Moved(qwIos, pEntry->qwIosPrev);
        pEntry->qwBytesPrev = qwBytes;
        pEntry->qwIosPrev = qwIos;
      }
    }
    view.SetTargetText(t, kColumnMbPerSec, Unsigned32((totals.qwBytes - qwBytesBefore) >> 21));
    view.SetTargetText(t, kColumnIops, Unsigned32((totals.qwIos - qwIosBefore) >> 1));
  }
  totals.dwMbPerSec = static_cast<uint32_t>(totals.qwBytes >> 21);
  totals.dwIops = static_cast<uint32_t>(totals.qwIos >> 1);
  view.SetPerformanceText(std::to_string(totals.dwMbPerSec) + " MB/s");
  view.SetIopsText(std::to_string(totals.dwIops) + " IO/s");
  return totals;
}

}  // namespace stratavon
