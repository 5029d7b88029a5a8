#include "engine/EventSource.h"

#include "platform/Registry.h"

namespace stratavon {

std::string EventSourceKey(const std::string& szLogName, const std::string& szSourceName) {
  return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\" + szLogName + "\\" + szSourceName;
}

bool RegisterEventLogSource(const std::string& szLogName, const std::string& szSourceName,
                            const std::string& szMessageFile) {
  if (szLogName.size() + szSourceName.size() + szMessageFile.size() > 512) return false;
  const std::string szKey = EventSourceKey(szLogName, szSourceName);
  CRegistry registry;
  if (registry.KeyExists(szKey)) return true;
  if (!registry.CreateKey(szKey)) return false;
  if (!registry.SetValue(szKey, "EventMessageFile", {CRegistry::ValueType::kExpandString, szMessageFile, 0})) {
    return false;
  }
  return registry.SetValue(szKey, "TypesSupported", {CRegistry::ValueType::kDword, {}, kEventTypesSupported});
}

void ReportWorkerEvent(HEVENTLOG hEventLog, uint16_t wCategory, uint32_t dwEventId, const void* pUserSid,
                       uint16_t wType, uint16_t wNumStrings, uint32_t dwDataSize, const char* const* lpStrings,
                       const void* lpRawData) {
  // Failures of the log are not the worker's to report.
  (void)ReportEvent(hEventLog, wType, wCategory, dwEventId, pUserSid, wNumStrings, dwDataSize, lpStrings, lpRawData);
}

}  // namespace stratavon
