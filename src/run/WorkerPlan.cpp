#include "run/WorkerPlan.h"

#include "engine/RunRecord.h"
#include "workers/simple/SimpleWorkers.h"

namespace stratavon {
namespace {

// The one place that lays workers into slots: reads first, then writes.
std::vector<PlannedWorker> LayOut(bool bReads, uint32_t nReadKind, bool bWrites, uint32_t nWriteKind, int nThreads) {
  std::vector<PlannedWorker> plan;
  if (nThreads < 1) nThreads = 1;
  if (nThreads > kMaxThreadsPerTarget) nThreads = kMaxThreadsPerTarget;
  plan.reserve(static_cast<size_t>(2 * nThreads));
  if (bReads) {
    for (int s = 0; s < nThreads; ++s) plan.push_back({s, nReadKind});
  }
  if (bWrites) {
    for (int s = 0; s < nThreads; ++s) plan.push_back({kFirstWriteSlot + s, nWriteKind});
  }
  return plan;
}

}  // namespace

bool IsRunnableFunction(uint32_t dwFunction) {
  return dwFunction == FUNCTION_READ || dwFunction == FUNCTION_WRITE || dwFunction == FUNCTION_READ_WRITE;
}

const char* FunctionWord(uint32_t dwFunction) {
  switch (dwFunction) {
    case FUNCTION_READ: return "READ";
    case FUNCTION_WRITE: return "WRITE";
    case FUNCTION_READ_WRITE: return "READ/WRITE";
    default: return "UNKNOWN";
  }
}

std::vector<PlannedWorker> PlanTargetWorkers(uint32_t dwTargetMode, uint32_t dwConsoleMode, uint32_t dwFunction,
                                             int nThreads) {
  if (!IsRunnableFunction(dwFunction)) return {};
  const bool bAsync = (dwTargetMode & MODE_ASYNC) != 0;
  // Which Error Checking box keeps the reads of a READ/WRITE run away
  // depends on the family: the console's for asynchronous targets, the
  // target's own for synchronous ones.
  const uint32_t dwDeciding = bAsync ? dwConsoleMode : dwTargetMode;
  const bool bReads = dwFunction == FUNCTION_READ ||
                      (dwFunction == FUNCTION_READ_WRITE && (dwDeciding & MODE_ERROR_CHECKING) == 0);
  const bool bWrites = dwFunction == FUNCTION_WRITE || dwFunction == FUNCTION_READ_WRITE;
  return LayOut(bReads, bAsync ? kWorkerReadAdvancedAsync : kWorkerReadAdvanced, bWrites,
                bAsync ? kWorkerWriteAdvancedAsync : kWorkerWriteAdvanced, nThreads);
}

WorkerFactory WorkerClassOf(uint32_t nKind) {
  switch (nKind) {
    case kWorkerSimpleRead: return CreateWorker<CThreadClass>;
    case kWorkerSimpleWrite: return CreateWorker<CWriteThreadClass>;
    default: return AdvancedWorkerFactory(nKind);
  }
}

std::vector<PlannedWorker> PlanSimpleWorkers(uint32_t dwFunction, int nThreads) {
  if (!IsRunnableFunction(dwFunction)) return {};
  return LayOut(dwFunction != FUNCTION_WRITE, kWorkerSimpleRead, dwFunction != FUNCTION_READ, kWorkerSimpleWrite,
                nThreads);
}

}  // namespace stratavon
