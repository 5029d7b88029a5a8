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

void ClearSlotEntry(SlotIoEntry& entry) { entry = SlotIoEntry{}; }

}  // namespace stratavon
