#include "cli/InfoCommands.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/IoError.h"
#include "platform/EventLog.h"
#include "platform/Mounts.h"

namespace stratavon {
namespace {

// The (expected, found) words a DATA COMPARISON entry carries: its fourth
// string says how many of the ten pairs in its data are filled.
void PrintComparisonPairs(const EventRecord& record) {
  size_t nPairs = record.data.size() / (2 * sizeof(uint32_t));
  if (record.strings.size() >= 4) {
    const unsigned long nListed = std::strtoul(record.strings[3].c_str(), nullptr, 10);
    if (nListed < nPairs) nPairs = nListed;
  }
  for (size_t i = 0; i < nPairs; ++i) {
    uint32_t dwExpected;
    uint32_t dwFound;
    std::memcpy(&dwExpected, record.data.data() + i * 8, sizeof dwExpected);
    std::memcpy(&dwFound, record.data.data() + i * 8 + 4, sizeof dwFound);
    std::printf("    expected 0x%08X  found 0x%08X\n", dwExpected, dwFound);
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
