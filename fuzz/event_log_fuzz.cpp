// `stratavon-cli events` reads a log file anyone could have edited. The input
// is such a file: the reader must account for every line (an entry or a
// skipped line), every entry it returns must parse again to the same thing,
// and an entry written back through the writer must read back unchanged.

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzFile.h"
#include "platform/EventCatalog.h"
#include "platform/EventLog.h"

// The writer mirrors each entry to syslog. That mirror is not under test, and
// millions of inputs must not flood the machine's log: these stand in for
// the C library's.
extern "C" void syslog(int, const char*, ...) {}
extern "C" void __syslog_chk(int, int, const char*, ...) {}

namespace stratavon::fuzz {
namespace {

// Round trips through the writer per input; enough to cover the escapes.
constexpr size_t kMaxRoundTrips = 4;

bool SameEntry(const EventRecord& a, const EventRecord& b) {
  return a.source == b.source && a.type == b.type && a.category == b.category && a.eventId == b.eventId &&
         a.strings == b.strings && a.data == b.data;
}

// The lines std::getline gives the reader that are not blank.
size_t CountEntryLines(std::string_view szText) {
  size_t nLines = 0;
  while (!szText.empty()) {
    const size_t nEnd = std::min(szText.find('\n'), szText.size());
    if (szText.substr(0, nEnd).find_first_not_of(" \t\r") != std::string_view::npos) ++nLines;
    szText.remove_prefix(std::min(nEnd + 1, szText.size()));
  }
  return nLines;
}

void CheckMessage(const EventRecord& record) {
  const std::string szText = FormatEventMessage(record.eventId, record.strings);
  if (EventCatalogText(record.eventId) == nullptr) {
    Require(szText.rfind("Event 0x", 0) == 0, "an unknown id is named");
    for (const std::string& sz : record.strings) Require(szText.find(sz) != std::string::npos, "strings are kept");
  }
}

// Writes the entry again as a worker would, and reads it back.
void RoundTrip(const EventRecord& record, CMemoryFile& out) {
  if (record.type > 0xFFFF || record.category > 0xFFFF || record.strings.size() > 0xFFFF) return;
  std::vector<const char*> pointers;
  for (const std::string& sz : record.strings) {
    if (sz.find('\0') != std::string::npos) return;  // the writer takes C strings
    pointers.push_back(sz.c_str());
  }
  Require(out.Replace(nullptr, 0), "memory file for the written entry");
  HEVENTLOG hSource = RegisterEventSourceAt(record.source, out.Path());
  Require(hSource != nullptr, "the log file opens");
  const bool bWritten =
      ReportEvent(hSource, static_cast<uint16_t>(record.type), static_cast<uint16_t>(record.category),
                  record.eventId, nullptr, static_cast<uint16_t>(pointers.size()),
                  static_cast<uint32_t>(record.data.size()), pointers.data(), record.data.data());
  DeregisterEventSource(hSource);
  Require(bWritten, "the entry is written");

  size_t nSkipped = 0;
  const std::vector<EventRecord> back = ReadEventLog(out.Path(), &nSkipped);
  Require(nSkipped == 0 && back.size() == 1, "the written entry reads back as one entry");
  Require(SameEntry(back[0], record), "the entry reads back unchanged");
}

void OneInput(const uint8_t* pData, size_t nSize) {
  static CMemoryFile log("events.jsonl");
  static CMemoryFile out("written.jsonl");
  Require(log.Replace(pData, nSize), "memory file for the input");
  const std::string szText(reinterpret_cast<const char*>(pData), nSize);

  // The whole input as one entry: newlines are only white space to the parser.
  EventRecord whole;
  if (ParseEventRecord(szText, whole)) Require(whole.line == szText, "the entry keeps its line");

  size_t nSkipped = 0;
  const std::vector<EventRecord> records = ReadEventLog(log.Path(), &nSkipped);
  Require(records.size() + nSkipped == CountEntryLines(szText), "every line is an entry or counted as skipped");

  size_t nRoundTrips = 0;
  for (const EventRecord& record : records) {
    Require(record.time.size() == 20 && record.time.back() == 'Z', "entries carry the writer's time shape");
    Require(record.line.find('\n') == std::string::npos, "an entry is one line");
    EventRecord again;
    Require(ParseEventRecord(record.line, again) && SameEntry(again, record) && again.time == record.time,
            "an entry parses again to the same entry");
    CheckMessage(record);
    if (nRoundTrips++ < kMaxRoundTrips) RoundTrip(record, out);
  }
}

}  // namespace
}  // namespace stratavon::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  stratavon::fuzz::OneInput(pData, nSize);
  return 0;
}
