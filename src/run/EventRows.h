#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "engine/IoError.h"
#include "platform/EventLog.h"

namespace stratavon {

// One event-log entry as the event viewer lists it: what the stored entry
// says, with the target and work file read out of the workers' strings and
// the (expected, found) words of a data comparison. Entries of another
// source are listed with their own strings only.
struct EventRow {
  std::string szTime;
  std::string szSource;
  std::string szKind;    // the failure's word ("DATA COMPARISON"), else the entry type
  std::string szTarget;  // the root, when the entry names one
  std::string szFile;    // the work file, when the entry names one
  std::string szMessage; // the catalog text with the strings inserted
  std::vector<WordMismatch> words;
};

EventRow DescribeEventRecord(const EventRecord& record);

// Every entry of a log file, oldest first; lines that are not entries
// (cut short, edited, written by something else) are skipped and counted.
std::vector<EventRow> ReadEventRows(const std::string& szPath, size_t* pnSkipped = nullptr);

// Empties the log file (it stays, so its writers keep appending to it).
// False with the system's words when it cannot be emptied.
bool ClearEventLog(const std::string& szPath, std::string* pszError = nullptr);

}  // namespace stratavon
