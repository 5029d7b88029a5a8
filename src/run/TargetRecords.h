#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/RunRecord.h"
#include "workers/WorkerClasses.h"

namespace stratavon {

class CSlotWorker;


// The records block's life, the work directories, and the launch and stop
// of workers in slots. Both consoles run their workers through these; all
// of them run on the console's thread.

// Builds one record per target (plus a spare), with signalled end events
// and cleared slots. A block that exists already is kept as it is.
bool BuildTargetRecords(const std::vector<Target>& targets);
// The per-run reset of one record's 50 slots: no workers, end events
// signalled, entries cleared.
void ResetSlots(TargetRunRecord& record);
// Zeroes every record's settings and resets its slots.
void ResetTargetRecords();
// Closes the end events and releases the block and the targets' locks.
void ReleaseTargetRecords();

enum class WorkDirectoryResult {
  kCreated,         // every folder target has its READ and WRITE directories (new or old)
  kPathNotFound,    // a target's root does not exist
  kPathTooLong,     // a target's work-file names would not fit the path limit
  kNotDirectory,    // a target's READ or WRITE is a link or another kind of file
  kTargetBusy,      // another run holds a target
};
// Checks every target first (root, path limit, READ and WRITE, the target's
// lock) and only then creates "<root>READ" and "<root>WRITE", so a refused
// start leaves nothing behind. An existing directory, or any failure to
// create one but a missing path, is passed over. Each target stays held by
// this process (an advisory lock on the folder itself, so that a bind mount
// or a link to it is the same target) until ReleaseTargetRecords.
// *pszFailedRoot names the root that stopped it, *pszWhy says why.
WorkDirectoryResult CreateWorkDirectories(const std::vector<Target>& targets,
                                          std::string* pszFailedRoot = nullptr, std::string* pszWhy = nullptr);

// Starts one worker in slot nSlot of target nTarget, unless the slot still
// has one: created parked, given its target, slot and end event, resumed,
// and sent WM_START_IO if it is still alive after its start-up began.
void LaunchWorker(int nTarget, int nSlot, WorkerFactory pfnCreate, uint32_t nKind);

// The stop protocol: under g_csRecords, every live worker is held, every
// stop byte set, and all are released again; a worker can act on its stop
// only after every byte is in place.
void StopWorkers();
void SuspendWorkers();
void ResumeWorkers();
// Waits until every slot's end event of every record is signalled, in
// 500 ms waits, for at most limit (none unless given); dispatch, when
// given, runs before every wait (the GUI keeps serving its events). False
// when a worker has still not ended when the limit is reached:
// CallsInProgress tells which call holds it.
constexpr std::chrono::milliseconds kNoWaitLimit = std::chrono::milliseconds::max();
bool WaitForWorkers(const std::function<void()>& dispatch = {}, std::chrono::milliseconds limit = kNoWaitLimit);

}  // namespace stratavon
