#include "engine/RunRecord.h"

#include <cstdio>

#include "engine/WorkerConsole.h"

namespace stratavon {

TargetRunRecord* g_pTargetRecords = nullptr;
int g_nTargetRecords = 0;
CCriticalSection g_csRecords;

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
  qwCallOffset = 0;
  dwCallBytes = 0;
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

std::vector<CallInProgress> CallsInProgress() {
  std::vector<CallInProgress> calls;
  const int64_t nsNow = std::chrono::steady_clock::now().time_since_epoch().count();
  CScopedLock lock(g_csRecords);
  for (int t = 0; g_pTargetRecords != nullptr && t < g_nTargetRecords; ++t) {
    const TargetRunRecord& record = g_pTargetRecords[t];
    for (int s = 0; s < kSlotsPerTarget; ++s) {
      if (!record.hEndEvent[s] || record.hEndEvent[s]->IsSet()) continue;
      const SlotActivity& activity = record.activity[s];
      const auto nCall = static_cast<SlotCall>(activity.byCall.load());
      const auto age = nCall == kCallNone ? std::chrono::milliseconds(0)
                                          : std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::nanoseconds(nsNow - activity.nsCallStart.load()));
      calls.push_back({t, s, SlotFileName(record.target, s >= kFirstWriteSlot, s), nCall, age,
                       activity.qwCallOffset.load(),
                       nCall != kCallNone ? activity.dwCallBytes.load() : 0});
    }
  }
  return calls;
}

std::string DescribeCall(const CallInProgress& call) {
  if (call.nCall == kCallNone) return call.szFile + ": still starting up or closing";
  char szSeconds[32];
  std::snprintf(szSeconds, sizeof szSeconds, "%.1f s", std::chrono::duration<double>(call.age).count());
  std::string sz = call.szFile + " inside a " + (call.nCall == kCallWrite ? "write" : "read") + " for " + szSeconds;
  if (call.dwBytes != 0) {
    sz += " (" + std::to_string(call.dwBytes) + " bytes at offset " + std::to_string(call.qwOffset) + ")";
  }
  return sz;
}

std::vector<std::string> FailStalledWorkers(IWorkerConsole* pConsole) {
  std::vector<std::string> stalls;
  for (const CallInProgress& call : CallsInProgress()) {
    stalls.push_back(DescribeCall(call) + ": I/O TIMEOUT");
    g_pTargetRecords[call.nTarget].activity[call.nSlot].bFailed.store(1, std::memory_order_release);
    if (pConsole != nullptr) {
      pConsole->SetTargetText(call.nTarget, kColumnStatus, "FAIL");
      pConsole->SetTargetText(call.nTarget, kColumnError, "I/O TIMEOUT");
    }
  }
  return stalls;
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
