#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace stratavon {

// The event log: an append-only file "events.jsonl" in the state directory,
// one JSON object per line, each entry also mirrored to syslog with the
// catalog text and its strings inserted.
//
//   {"time": "2026-12-06T19:00:00Z", "source": "Halvex Stratavon Utility",
//    "type": 1, "category": 1, "event_id": 3221225738,
//    "strings": ["..."], "data": "0a0b..."}
//
// Each entry goes to the file in one write() on an O_APPEND descriptor, so
// entries from concurrent workers never interleave.

constexpr uint16_t EVENTLOG_ERROR_TYPE = 1;
constexpr uint16_t EVENTLOG_WARNING_TYPE = 2;
constexpr uint16_t EVENTLOG_INFORMATION_TYPE = 4;

// An open event source (the event-log handle). Null means none.
struct CEventSource;
using HEVENTLOG = CEventSource*;

// Opens the source for writing. Returns null (errno set) when the log file
// cannot be opened for appending.
HEVENTLOG RegisterEventSource(const std::string& source);
// Same, writing to an explicit log file (tests and the reader's own checks).
HEVENTLOG RegisterEventSourceAt(const std::string& source, const std::string& logPath);
void DeregisterEventSource(HEVENTLOG hSource);

// Appends one entry. False when the entry could not be written in full; the
// callers of the system ignore that, as they ignore the platform's failures.
// An entry that cannot be written (no source, a failed write) still goes to
// syslog and to standard error.
bool ReportEvent(HEVENTLOG hSource, uint16_t wType, uint16_t wCategory, uint32_t dwEventId,
                 const void* pUserSid, uint16_t wNumStrings, uint32_t dwDataSize,
                 const char* const* lpStrings, const void* lpRawData);

// Whether the state directory can be made and written and the log file
// opened for appending; false with *pszWhy naming the path and the system's
// error. Run this before a run starts anything.
bool CheckEventLogWritable(std::string* pszWhy);

// Path of the log file in the state directory.
std::string EventLogPath();

// One stored entry, as read back.
struct EventRecord {
  std::string time;
  std::string source;
  uint32_t type = 0;
  uint32_t category = 0;
  uint32_t eventId = 0;
  std::vector<std::string> strings;
  std::vector<uint8_t> data;
  std::string line;  // the stored line as it stands
};

// Parses one stored line. False for anything that is not an entry of the
// shape above (the reader never trusts the file: it may have been edited).
bool ParseEventRecord(const std::string& line, EventRecord& record);

// Reads every entry of a log file in order; lines that do not parse are
// skipped and counted in *pnSkipped when given. A missing file is an empty log.
std::vector<EventRecord> ReadEventLog(const std::string& path, size_t* pnSkipped = nullptr);

// The catalog text of an event id with %1..%n replaced by the strings; an
// unknown id gives a text naming the id.
std::string FormatEventMessage(uint32_t dwEventId, const std::vector<std::string>& strings);

}  // namespace stratavon
