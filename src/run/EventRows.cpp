#include "run/EventRows.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <charconv>
#include <cstring>

#include "engine/EventSource.h"
#include "engine/RunRecord.h"
#include "platform/SystemError.h"

namespace stratavon {
namespace {

const char* TypeWord(uint32_t dwType) {
  switch (dwType) {
    case EVENTLOG_ERROR_TYPE: return "ERROR";
    case EVENTLOG_WARNING_TYPE: return "WARNING";
    case EVENTLOG_INFORMATION_TYPE: return "INFORMATION";
    default: return "UNKNOWN";
  }
}

// The root of a work file "<root>READ/KORVA<n>.DAT": everything up to its
// side's folder.
std::string RootOfWorkFile(const std::string& szFile) {
  for (const char* szSide : {"READ/KORVA", "WRITE/KORVA"}) {
    const size_t n = szFile.rfind(szSide);
    if (n != std::string::npos) return szFile.substr(0, n);
  }
  return {};
}

bool ParseInt(const std::string& sz, int& nValue) {
  const auto [pEnd, ec] = std::from_chars(sz.data(), sz.data() + sz.size(), nValue);
  return ec == std::errc() && pEnd == sz.data() + sz.size();
}

}  // namespace

EventRow DescribeEventRecord(const EventRecord& record) {
  EventRow row;
  row.szTime = record.time;
  row.szSource = record.source;
  row.szKind = TypeWord(record.type);
  row.szMessage = FormatEventMessage(record.eventId, record.strings);
  if (record.source != kEventSourceName) return row;

  const std::vector<std::string>& s = record.strings;
  for (uint32_t nKind = 0; nKind <= kErrorUnderrunOverrun; ++nKind) {
    if (DescribeIoError(nKind, false).dwEventId != record.eventId) continue;
    // READ and WRITE API errors share an id; the first string tells them apart.
    const bool bWriteApi = record.eventId == kEventApiError && !s.empty() && s[0] == "WRITE";
    row.szKind = DescribeIoError(bWriteApi ? kErrorWriteApi : nKind, false).szShort;
    break;
  }
  switch (record.eventId) {
    case kEventDataComparison: {
      // file, root, slot, count of listed word pairs
      if (s.size() >= 1) row.szFile = s[0];
      if (s.size() >= 2) row.szTarget = s[1];
      int nListed = 0;
      if (s.size() >= 4 && ParseInt(s[3], nListed)) {
        const size_t nPairs = std::min({static_cast<size_t>(std::max(nListed, 0)), size_t{kMaxListedWords},
                                        record.data.size() / sizeof(WordMismatch)});
        row.words.resize(nPairs);
        if (nPairs > 0) std::memcpy(row.words.data(), record.data.data(), nPairs * sizeof(WordMismatch));
      }
      break;
    }
    case kEventApiError: {
      // READ or WRITE, root, slot, system text
      if (s.size() >= 2) row.szTarget = s[1];
      int nSlot = 0;
      if (s.size() >= 3 && ParseInt(s[2], nSlot) && nSlot >= 0) row.szFile = WorkFileName(s[1], s[0] == "WRITE", nSlot);
      break;
    }
    case kEventIoTimeout:
    case kEventUnderrunOverrun:
      if (!s.empty()) {
        row.szFile = s[0];
        row.szTarget = RootOfWorkFile(s[0]);
      }
      break;
    default:
      break;
  }
  return row;
}

std::vector<EventRow> ReadEventRows(const std::string& szPath, size_t* pnSkipped) {
  std::vector<EventRow> rows;
  for (const EventRecord& record : ReadEventLog(szPath, pnSkipped)) rows.push_back(DescribeEventRecord(record));
  return rows;
}

bool ClearEventLog(const std::string& szPath, std::string* pszError) {
  // Truncated in place: a worker's source holds it open with O_APPEND and
  // goes on writing at the new end.
  const int fd = ::open(szPath.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return true;  // no log is an empty log
    if (pszError != nullptr) *pszError = FormatSystemMessage(errno);
    return false;
  }
  const bool bDone = ::ftruncate(fd, 0) == 0;
  if (!bDone && pszError != nullptr) *pszError = FormatSystemMessage(errno);
  ::close(fd);
  return bDone;
}

}  // namespace stratavon
