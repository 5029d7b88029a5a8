#include "workers/SlotWorker.h"

namespace stratavon {

CSlotWorker::~CSlotWorker() {
  if (m_hEndEvent) m_hEndEvent->Set();
}

}  // namespace stratavon
