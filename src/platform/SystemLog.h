#pragma once

#include <cstdint>
#include <string>

namespace stratavon {

// Hands one event-log entry (its type EVENTLOG_*_TYPE, its id and text) to
// the system's own log as well: syslog on Linux, the Application event log
// on Windows (source "Stratavon"). Dropped without a word where the system
// has no log to take it.
void MirrorToSystemLog(uint16_t wType, uint32_t dwEventId, const std::string& szText);

}  // namespace stratavon
