#include "run/WorkerPlan.h"

#include "engine/RunRecord.h"

namespace stratavon {

bool IsRunnableFunction(uint32_t dwFunction) {
  return dwFunction == FUNCTION_READ || dwFunction == FUNCTION_WRITE || dwFunction == FUNCTION_READ_WRITE;
}

std::vector<PlannedWorker> PlanTargetWorkers(uint32_t dwTargetMode, uint32_t dwConsoleMode, uint32_t dwFunction,
                                             int nThreads) {
  std::vector<PlannedWorker> plan;
  if (!IsRunnableFunction(dwFunction)) return plan;
  if (nThreads < 1) nThreads = 1;
  if (nThreads > kMaxThreadsPerTarget) nThreads = kMaxThreadsPerTarget;

  const bool bAsync = (dwTargetMode & MODE_ASYNC) != 0;
  const uint32_t nReadKind = bAsync ? kWorkerReadAdvancedAsync : kWorkerReadAdvanced;
  const uint32_t nWriteKind = bAsync ? kWorkerWriteAdvancedAsync : kWorkerWriteAdvanced;
  // Which Error Checking box keeps the reads of a READ/WRITE run away
  // depends on the family: the console's for asynchronous targets, the
  // target's own for synchronous ones.
  const uint32_t dwDeciding = bAsync ? dwConsoleMode : dwTargetMode;
  const bool bReads = dwFunction == FUNCTION_READ ||
                      (dwFunction == FUNCTION_READ_WRITE && (dwDeciding & MODE_ERROR_CHECKING) == 0);
  const bool bWrites = dwFunction == FUNCTION_WRITE || dwFunction == FUNCTION_READ_WRITE;

  plan.reserve(static_cast<size_t>(2 * nThreads));
  if (bReads) {
    for (int s = 0; s < nThreads; ++s) plan.push_back({s, nReadKind});
  }
  if (bWrites) {
    for (int s = 0; s < nThreads; ++s) plan.push_back({kFirstWriteSlot + s, nWriteKind});
  }
  return plan;
}

}  // namespace stratavon
