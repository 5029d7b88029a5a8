#include "cli/InfoCommands.h"

#include <cstdio>
#include <string>

#include "engine/IoError.h"
#include "platform/EventLog.h"
#include "platform/Mounts.h"
#include "run/EventRows.h"

namespace stratavon {
namespace {

// The (expected, found) words a DATA COMPARISON entry lists, as the event
// viewer decodes them.
void PrintComparisonPairs(const EventRecord& record) {
  for (const WordMismatch& word : DescribeEventRecord(record).words) {
    std::printf("    expected 0x%08X  found 0x%08X\n", word.dwExpected, word.dwFound);
  }
}

}  // namespace

int TargetsCommand() {
  const std::vector<MountRoot> roots = ListMountRoots();
  size_t nWidth = 0;
  for (const MountRoot& root : roots) nWidth = root.root.size() > nWidth ? root.root.size() : nWidth;
  for (const MountRoot& root : roots) {
    std::printf("%-*s  %-13s  %s\n", static_cast<int>(nWidth), root.root.c_str(), root.typeWord.c_str(),
                root.fsType.c_str());
  }
  if (roots.empty()) std::fprintf(stderr, "stratavon-cli: no mount roots found\n");
  return 0;
}

int EventsCommand(bool bJson) {
  const std::string szPath = EventLogPath();
  size_t nSkipped = 0;
  const std::vector<EventRecord> records = ReadEventLog(szPath, &nSkipped);
  for (const EventRecord& record : records) {
    if (bJson) {
      std::printf("%s\n", record.line.c_str());
      continue;
    }
    std::printf("%s  0x%08X  %s\n", record.time.c_str(), record.eventId,
                FormatEventMessage(record.eventId, record.strings).c_str());
    if (record.eventId == kEventDataComparison) PrintComparisonPairs(record);
  }
  if (nSkipped > 0) std::fprintf(stderr, "stratavon-cli: %zu line(s) of %s are not entries; left out\n", nSkipped,
                                 szPath.c_str());
  if (records.empty() && !bJson) std::fprintf(stderr, "stratavon-cli: no events in %s\n", szPath.c_str());
  return 0;
}

}  // namespace stratavon
