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

void ClearSlotEntry(SlotIoEntry& entry) { entry = SlotIoEntry{}; }

}  // namespace stratavon
