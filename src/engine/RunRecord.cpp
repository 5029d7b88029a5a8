#include "engine/RunRecord.h"

namespace stratavon {

TargetRunRecord* g_pTargetRecords = nullptr;
int g_nTargetRecords = 0;
CCriticalSection g_csRecords;

std::string ReadDirectoryOf(const std::string& szRoot) { return szRoot + "READ"; }
std::string WriteDirectoryOf(const std::string& szRoot) { return szRoot + "WRITE"; }

std::string WorkFileName(const std::string& szRoot, bool bWriteSide, int nSlot) {
  return szRoot + (bWriteSide ? "WRITE/KORVA" : "READ/KORVA") + std::to_string(nSlot) + ".DAT";
}

unsigned RunWorkerCeiling() {
  unsigned nWorkers = 0;
  for (int t = 0; g_pTargetRecords != nullptr && t < g_nTargetRecords; ++t) {
    const RunSettings& settings = g_pTargetRecords[t].settings;
    nWorkers += settings.dwThreads * (settings.dwFunction == FUNCTION_READ_WRITE ? 2U : 1U);
  }
  return nWorkers;
}

void ClearSlotEntry(SlotIoEntry& entry) {
  entry.hFile = INVALID_HANDLE_VALUE;
  entry.pBuffer = nullptr;
  entry.qwBytes.store(0, std::memory_order_relaxed);
  entry.qwIos.store(0, std::memory_order_relaxed);
  entry.qwBytesPrev = 0;
  entry.qwIosPrev = 0;
}

void SlotActivity::Clear() {
  bFailed = 0;
  bIoBegun = 0;
  bMoved = 0;
  byCall = kCallNone;
  nsCallStart = 0;
}

void CountFailedCall(int nTarget, uint32_t nKind, int nError) {
  if (g_pTargetRecords == nullptr || nTarget < 0 || nTarget >= g_nTargetRecords) return;
  CScopedLock lock(g_csRecords);
  TargetRunRecord& record = g_pTargetRecords[nTarget];
  if (record.qwIoErrors++ == 0) {
    record.nFirstIoError = nError;
    record.nFirstIoErrorKind = nKind;
  }
}

namespace {
std::atomic<int64_t> g_msIoTimeout{120000};
}  // namespace

std::chrono::milliseconds IoTimeout() { return std::chrono::milliseconds(g_msIoTimeout.load()); }
void SetIoTimeout(std::chrono::milliseconds timeout) { g_msIoTimeout = timeout.count(); }

std::vector<CallInProgress> CallsInProgress(std::chrono::milliseconds minAge) {
  std::vector<CallInProgress> calls;
  const int64_t nsNow = std::chrono::steady_clock::now().time_since_epoch().count();
  for (int t = 0; g_pTargetRecords != nullptr && t < g_nTargetRecords; ++t) {
    TargetRunRecord& record = g_pTargetRecords[t];
    for (int s = 0; s < kSlotsPerTarget; ++s) {
      const SlotActivity& activity = record.activity[s];
      const auto nCall = static_cast<SlotCall>(activity.byCall.load());
      if (nCall == kCallNone || !record.hThread[s] || !record.hThread[s]->IsActive()) continue;
      const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::nanoseconds(nsNow - activity.nsCallStart.load()));
      if (age < minAge) continue;
      const uint32_t nKind = record.workerKind[s];
      const bool bWriteSide =
          nKind == kWorkerSimpleWrite || nKind == kWorkerWriteAdvanced || nKind == kWorkerWriteAdvancedAsync;
      calls.push_back({t, s, WorkFileName(record.szRoot, bWriteSide, s), nCall, age});
    }
  }
  return calls;
}

bool EveryWorkerBegun() {
  for (int t = 0; g_pTargetRecords != nullptr && t < g_nTargetRecords; ++t) {
    const TargetRunRecord& record = g_pTargetRecords[t];
    for (int s = 0; s < kSlotsPerTarget; ++s) {
      if (record.hThread[s] && record.hThread[s]->IsActive() && record.activity[s].bIoBegun.load() == 0) return false;
    }
  }
  return true;
}

}  // namespace stratavon
