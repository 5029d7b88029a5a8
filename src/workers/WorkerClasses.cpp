#include "workers/WorkerClasses.h"

#include "engine/RunRecord.h"
#include "workers/AsyncEngines.h"
#include "workers/SyncEngines.h"

namespace stratavon {
WorkerFactory AdvancedWorkerFactory(uint32_t nKind) {
  switch (nKind) {
    case kWorkerReadAdvanced:
      return CreateWorker<CReadAdvancedClass>;
    case kWorkerWriteAdvanced:
      return CreateWorker<CWriteAdvancedClass>;
    case kWorkerReadAdvancedAsync:
      return CreateWorker<CReadAdvancedAsyncClass>;
    case kWorkerWriteAdvancedAsync:
      return CreateWorker<CWriteAdvancedAsyncClass>;
    default:
      return nullptr;
  }
}

}  // namespace stratavon
