#pragma once

#include <cstdint>
#include <string>

#include "platform/EventLog.h"

namespace stratavon {

// The log, source and message file under which the program registers itself.
constexpr char kEventLogName[] = "Application";
constexpr char kEventSourceName[] = "Halvex Stratavon Utility";
// The messages are compiled into the program; the registration names that catalog.
constexpr char kEventMessageFile[] = "builtin:StratavonEventlog";
constexpr uint32_t kEventTypesSupported = 7;

// Registers the event source under
// "SYSTEM\CurrentControlSet\Services\EventLog\<log>\<source>" in the
// registry store: EventMessageFile and TypesSupported. A key that exists
// already is left exactly as it is. False when the three strings are
// longer than 512 characters together or a value cannot be written.
bool RegisterEventLogSource(const std::string& szLogName, const std::string& szSourceName,
                            const std::string& szMessageFile);

// The key path the registration uses.
std::string EventSourceKey(const std::string& szLogName, const std::string& szSourceName);

// Writes one entry through the source; without a source it still reaches
// syslog and standard error.
void ReportWorkerEvent(HEVENTLOG hEventLog, uint16_t wCategory, uint32_t dwEventId, const void* pUserSid,
                       uint16_t wType, uint16_t wNumStrings, uint32_t dwDataSize, const char* const* lpStrings,
                       const void* lpRawData);

}  // namespace stratavon
