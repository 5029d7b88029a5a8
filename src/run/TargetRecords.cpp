#include "run/TargetRecords.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <new>
#include <sys/stat.h>

#include "workers/SlotWorker.h"
#include "platform/DiskSpace.h"
#include "platform/TargetLock.h"
#include "platform/WorkFile.h"

namespace stratavon {
namespace {

std::unique_ptr<TargetRunRecord[]> g_block;
CTargetLocks g_targetLocks;

// Calls fn(record, slot) for every slot that has a worker whose thread is alive.
template <class Fn>
void ForEachLiveWorker(Fn fn) {
  if (g_pTargetRecords == nullptr) return;
  for (int t = 0; t < g_nTargetRecords; ++t) {
    TargetRunRecord& record = g_pTargetRecords[t];
    for (int s = 0; s < kSlotsPerTarget; ++s) {
      if (record.pWorker[s] != nullptr && record.hThread[s] && record.hThread[s]->IsActive()) fn(record, s);
    }
  }
}

void ClearSlotEntries(TargetRunRecord& record, int s) {
  ClearSlotEntry(record.entries[s]);
  ClearSlotEntry(record.entries[s + kWriteEntryOffset]);
  record.activity[s].Clear();
}

}  // namespace

bool BuildTargetRecords(const std::vector<Target>& targets) {
  if (targets.empty()) return false;
  if (g_pTargetRecords != nullptr) return true;

  std::unique_ptr<TargetRunRecord[]> block(new (std::nothrow) TargetRunRecord[targets.size() + 1]);
  if (!block) return false;
  for (size_t t = 0; t < targets.size(); ++t) {
    TargetRunRecord& record = block[t];
    record.target = targets[t];
    record.settings = RunSettings{};
    for (int s = 0; s < kSlotsPerTarget; ++s) {
      record.pWorker[s] = nullptr;
      record.workerKind[s] = kWorkerNone;
      record.hThread[s].reset();
      record.hEndEvent[s] = std::make_shared<CManualResetEvent>(true);
      ClearSlotEntries(record, s);
    }
  }
  g_block = std::move(block);
  g_pTargetRecords = g_block.get();
  g_nTargetRecords = static_cast<int>(targets.size());
  return true;
}

void ResetSlots(TargetRunRecord& record) {
  record.dwStartBoxesShown = 0;
  for (int s = 0; s < kSlotsPerTarget; ++s) {
    // Worker objects delete themselves; the slot only forgets them.
    record.pWorker[s] = nullptr;
    record.workerKind[s] = kWorkerNone;
    if (record.hEndEvent[s]) record.hEndEvent[s]->Set();
    record.hThread[s].reset();
    ClearSlotEntries(record, s);
  }
  CScopedLock lock(g_csRecords);
  record.qwIoErrors = 0;
  record.nFirstIoError = 0;
  record.nFirstIoErrorKind = 0;
  record.pSurface.reset();
}

void ResetTargetRecords() {
  if (g_pTargetRecords == nullptr) return;
  for (int t = 0; t < g_nTargetRecords; ++t) {
    g_pTargetRecords[t].settings = RunSettings{};
    ResetSlots(g_pTargetRecords[t]);
  }
}

void ReleaseTargetRecords() {
  if (g_pTargetRecords == nullptr) return;
  g_pTargetRecords = nullptr;
  g_nTargetRecords = 0;
  g_block.reset();
  g_targetLocks.ReleaseAll();
}

WorkDirectoryResult CreateWorkDirectories(const std::vector<Target>& targets, std::string* pszFailedRoot,
                                          std::string* pszWhy) {
  std::string szWhy;
  const auto Fail = [&](const std::string& szRoot, WorkDirectoryResult result) {
    if (pszFailedRoot != nullptr) *pszFailedRoot = szRoot;
    if (pszWhy != nullptr) *pszWhy = szWhy;
    return result;
  };
  for (const Target& target : targets) {
    if (target.IsDevice()) continue;  // no work files: its slices are the device's own
    const std::string& szRoot = target.szPath;
    // The longest name a run makes under the root is its last write slot's file.
    if (SlotFileName(target, true, kSlotsPerTarget - 1).size() >= PATH_MAX) {
      szWhy = "the work-file names under " + szRoot + " would exceed the system's path limit";
      return Fail(szRoot, WorkDirectoryResult::kPathTooLong);
    }
    struct stat st {};
    if (stat(szRoot.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      szWhy = "no such folder: " + szRoot;
      return Fail(szRoot, WorkDirectoryResult::kPathNotFound);
    }
    for (const std::string& szDirectory : {ReadDirectoryOf(szRoot), WriteDirectoryOf(szRoot)}) {
      if (lstat(szDirectory.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        szWhy = szDirectory + " is " + FileTypeWords(st.st_mode) + ", not a directory; left untouched";
        return Fail(szRoot, WorkDirectoryResult::kNotDirectory);
      }
    }
  }
  for (const Target& target : targets) {
    const bool bHeld = target.IsDevice()
                           ? g_targetLocks.HoldDevice(target.szPath, static_cast<dev_t>(target.qwDeviceNumber), &szWhy)
                           : g_targetLocks.Hold(target.szPath, &szWhy);
    if (!bHeld) return Fail(target.szPath, WorkDirectoryResult::kTargetBusy);
  }
  for (const Target& target : targets) {
    if (target.IsDevice()) continue;
    const std::string& szRoot = target.szPath;
    for (const std::string& szDirectory : {ReadDirectoryOf(szRoot), WriteDirectoryOf(szRoot)}) {
      if (!CreateDirectory(szDirectory) && (errno == ENOENT || errno == ENOTDIR)) {
        szWhy = "no such folder: " + szRoot;
        return Fail(szRoot, WorkDirectoryResult::kPathNotFound);
      }
    }
  }
  return WorkDirectoryResult::kCreated;
}

void LaunchWorker(int nTarget, int nSlot, WorkerFactory pfnCreate, uint32_t nKind) {
  if (g_pTargetRecords == nullptr || nTarget < 0 || nTarget >= g_nTargetRecords || nSlot < 0 ||
      nSlot >= kSlotsPerTarget) {
    return;
  }
  TargetRunRecord& record = g_pTargetRecords[nTarget];
  if (record.pWorker[nSlot] != nullptr) return;

  CSlotWorker* pWorker = pfnCreate();
  if (pWorker == nullptr) return;
  if (!pWorker->CreateSuspended()) {
    delete pWorker;
    return;
  }
  record.pWorker[nSlot] = pWorker;
  record.hEndEvent[nSlot]->Reset();
  pWorker->m_nTarget = nTarget;
  pWorker->m_nSlot = nSlot;
  pWorker->m_hEndEvent = record.hEndEvent[nSlot];
  record.workerKind[nSlot] = nKind;
  record.hThread[nSlot] = pWorker->Handle();

  HTHREAD hThread = record.hThread[nSlot];
  hThread->Resume();
  // From here the worker may end and delete itself at any moment; only the
  // handle is safe to use.
  if (hThread->IsActive()) hThread->PostMessage({WM_START_IO, 0, 0});
}

void SuspendWorkers() {
  ForEachLiveWorker([](TargetRunRecord& record, int s) { record.hThread[s]->Suspend(); });
}

void ResumeWorkers() {
  ForEachLiveWorker([](TargetRunRecord& record, int s) {
    const HTHREAD& hThread = record.hThread[s];
    uint32_t r = hThread->Resume();
    while (r > 1 && r != kThreadCallFailed && hThread->IsActive()) r = hThread->Resume();
  });
}

void StopWorkers() {
  CSingleLock lockRecords(&g_csRecords);
  lockRecords.Lock();
  if (!lockRecords.IsLocked()) return;
  SuspendWorkers();
  // A held worker cannot retire, so every worker found alive here is still
  // a live object while its byte is written.
  ForEachLiveWorker([](TargetRunRecord& record, int s) {
    switch (record.workerKind[s]) {
      case kWorkerSimpleRead:
      case kWorkerSimpleWrite:
      case kWorkerReadAdvanced:
      case kWorkerWriteAdvanced:
      case kWorkerReadAdvancedAsync:
      case kWorkerWriteAdvancedAsync:
        record.pWorker[s]->m_bStop.store(1, std::memory_order_release);
        break;
      default:
        break;
    }
  });
  ResumeWorkers();
  lockRecords.Unlock();
}

bool WaitForWorkers(const std::function<void()>& dispatch, std::chrono::milliseconds limit) {
  if (g_pTargetRecords == nullptr) return true;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point tStart = Clock::now();
  for (int t = 0; t < g_nTargetRecords; ++t) {
    const TargetRunRecord& record = g_pTargetRecords[t];
    for (;;) {
      if (dispatch) dispatch();
      auto slice = std::chrono::milliseconds(500);
      if (limit != kNoWaitLimit) {
        const auto left = limit - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - tStart);
        if (left <= std::chrono::milliseconds::zero()) {
          if (WaitForAllEvents(record.hEndEvent, std::chrono::milliseconds(0)) == WaitResult::kAllSignalled) break;
          return false;
        }
        slice = std::min(slice, left);
      }
      if (WaitForAllEvents(record.hEndEvent, slice) == WaitResult::kAllSignalled) break;
    }
  }
  return true;
}

}  // namespace stratavon
