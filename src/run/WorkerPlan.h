#pragma once

#include <cstdint>
#include <vector>

#include "workers/WorkerClasses.h"

namespace stratavon {

// One worker a target gets at Start: its slot and its kind (1..6).
struct PlannedWorker {
  int nSlot = 0;
  uint32_t nKind = 0;
  bool operator==(const PlannedWorker&) const = default;
};

// The workers of one target, in launch order: read slots 0..n-1 ascending,
// then write slots 25..25+n-1 ascending. The function and n are the
// console's; the family (synchronous or asynchronous) is the target's own.
// With READ/WRITE, reads are left out when Error Checking is on, where the
// asynchronous family asks the console's box and the synchronous family the
// target's own. Empty for a function other than READ, WRITE or READ/WRITE.
std::vector<PlannedWorker> PlanTargetWorkers(uint32_t dwTargetMode, uint32_t dwConsoleMode, uint32_t dwFunction,
                                             int nThreads);

// The simple console's workers of one target: the same slots, the simple
// kinds, nothing checked, so READ/WRITE always takes both sides.
std::vector<PlannedWorker> PlanSimpleWorkers(uint32_t dwFunction, int nThreads);

// Whether a function code launches anything at all.
bool IsRunnableFunction(uint32_t dwFunction);
// The word of a function code: "READ", "WRITE", "READ/WRITE", or "UNKNOWN".
const char* FunctionWord(uint32_t dwFunction);

// The worker class of a kind (1..6); null for any other kind.
WorkerFactory WorkerClassOf(uint32_t nKind);

}  // namespace stratavon
