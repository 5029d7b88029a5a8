#pragma once

#include <cstdint>
#include <new>

namespace stratavon {

class CSlotWorker;
// Creates a worker object of one class, not yet running (null on failure).
using WorkerFactory = CSlotWorker* (*)();

template <class TWorker>
CSlotWorker* CreateWorker() {
  return new (std::nothrow) TWorker();
}

// The worker class of each advanced kind (3..6): creates a worker object,
// not yet running. Null for a kind this build cannot create.
WorkerFactory AdvancedWorkerFactory(uint32_t nKind);

}  // namespace stratavon
