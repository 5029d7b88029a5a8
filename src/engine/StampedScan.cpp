#include "engine/StampedScan.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "platform/StateDirectory.h"
#include "platform/SystemError.h"

namespace stratavon {
namespace {

constexpr size_t kScanPiece = 1 << 20;

// Where a scan reads: from qwStart, qwLength bytes (0: to the end).
struct ScanSpan {
  uint64_t qwStart = 0;
  uint64_t qwLength = 0;
  uint64_t* pqwUnreadable = nullptr;  // counts units that cannot be read; null: a failed read ends the scan
  uint64_t* pqwFirstUnreadable = nullptr;
};

// Reads the span in pieces of whole units and hands each to pfnUnit with
// its file offset; false with the system's text when a read fails. With an
// unreadable count a failed piece is read again unit by unit, and a unit
// that still fails is counted and passed over.
template <typename F>
bool ForEachUnit(int hFile, uint32_t dwUnit, F&& pfnUnit, uint64_t* pqwTail, std::string* pszError,
                 const ScanSpan& span = {}) {
  std::vector<uint8_t> piece(kScanPiece);
  uint64_t qwOffset = span.qwStart;
  const uint64_t qwEnd = span.qwLength != 0 ? span.qwStart + span.qwLength : UINT64_MAX;
  size_t nHeld = 0;
  size_t nAsk = piece.size();
  for (;;) {
    const uint64_t qwAt = qwOffset + nHeld;
    const size_t nWant = static_cast<size_t>(std::min<uint64_t>(nAsk - nHeld, qwEnd - qwAt));
    const ssize_t n = nWant == 0 ? 0 : pread(hFile, piece.data() + nHeld, nWant, static_cast<off_t>(qwAt));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (span.pqwUnreadable == nullptr) {
        *pszError = FormatSystemMessage(errno);
        return false;
      }
      if (nAsk - nHeld > dwUnit) {
        // Unit by unit from here, to find the units that fail.
        nAsk = nHeld + dwUnit;
        continue;
      }
      *span.pqwUnreadable += dwUnit;
      *span.pqwFirstUnreadable = std::min(*span.pqwFirstUnreadable, qwOffset);
      qwOffset += dwUnit;
      nHeld = 0;
      nAsk = dwUnit;
      continue;
    }
    nHeld += static_cast<size_t>(n);
    const size_t nWhole = nHeld / dwUnit * dwUnit;
    for (size_t u = 0; u < nWhole; u += dwUnit) pfnUnit(piece.data() + u, qwOffset + u);
    std::memmove(piece.data(), piece.data() + nWhole, nHeld - nWhole);
    qwOffset += nWhole;
    nHeld -= nWhole;
    if (n == 0) break;
    // After a stretch read unit by unit, whole pieces again.
    if (nAsk < piece.size() && nHeld == 0) nAsk = std::min<size_t>(piece.size(), nAsk * 2);
  }
  *pqwTail = nHeld;
  return true;
}

}  // namespace

std::string StampRecordPath() { return StateDirectory() + "/stamped-runs"; }

void AppendStampRecord(const StampRecord& record) {
  if (!EnsureStateDirectory()) return;
  char szPass[48];
  if (record.qwPassEnd != 0 && record.qwPassEnd < record.qwBytes) {
    std::snprintf(szPass, sizeof szPass, "%" PRIu32 "@%" PRIu64, record.dwPass, record.qwPassEnd);
  } else {
    std::snprintf(szPass, sizeof szPass, "%" PRIu32, record.dwPass);
  }
  char szHead[160];
  std::snprintf(szHead, sizeof szHead, "%s %s %" PRIu64 " %" PRIu32 " %" PRIu32 " ",
                StampRunIdText(record.qwRunId).c_str(), szPass, record.qwBytes, record.dwSlot, record.dwUnitBytes);
  // A base other than 0 (a device's slice) goes before the path as "+BASE".
  const std::string szBase = record.qwBase != 0 ? "+" + std::to_string(record.qwBase) + " " : std::string();
  const std::string szLine = szHead + szBase + record.szPath + "\n";
  const int hFile = open(StampRecordPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (hFile < 0) return;
  // One write per line: the workers of a run append side by side.
  (void)!write(hFile, szLine.data(), szLine.size());
  close(hFile);
}

namespace {

// Every record of the path, oldest first.
std::vector<StampRecord> RecordsOf(const std::string& szPath) {
  std::vector<StampRecord> records;
  std::FILE* pFile = std::fopen(StampRecordPath().c_str(), "r");
  if (pFile == nullptr) return records;
  char szLine[8192];
  while (std::fgets(szLine, sizeof szLine, pFile) != nullptr) {
    StampRecord record;
    unsigned long long qwId = 0;
    int nUsed = 0;
    // A pass that stopped part way carries "@OFFSET"; older lines never do.
    if (std::sscanf(szLine, "%16llx %" SCNu32 "@%" SCNu64 " %" SCNu64 " %" SCNu32 " %" SCNu32 " %n", &qwId,
                    &record.dwPass, &record.qwPassEnd, &record.qwBytes, &record.dwSlot, &record.dwUnitBytes,
                    &nUsed) != 6 &&
        std::sscanf(szLine, "%16llx %" SCNu32 " %" SCNu64 " %" SCNu32 " %" SCNu32 " %n", &qwId, &record.dwPass,
                    &record.qwBytes, &record.dwSlot, &record.dwUnitBytes, &nUsed) != 5) {
      continue;
    }
    if (nUsed == 0) continue;
    if (szLine[nUsed] == '+') {
      char* pEnd = nullptr;
      record.qwBase = std::strtoull(szLine + nUsed + 1, &pEnd, 10);
      if (pEnd == nullptr || *pEnd != ' ') continue;
      nUsed = static_cast<int>(pEnd + 1 - szLine);
    }
    record.szPath = szLine + nUsed;
    if (!record.szPath.empty() && record.szPath.back() == '\n') record.szPath.pop_back();
    if (record.szPath != szPath) continue;
    record.qwRunId = qwId;
    records.push_back(record);
  }
  std::fclose(pFile);
  return records;
}

}  // namespace

bool FindStampRecord(const std::string& szPath, StampRecord* pRecord) {
  const std::vector<StampRecord> records = RecordsOf(szPath);
  if (records.empty()) return false;
  *pRecord = records.back();
  return true;
}

std::vector<StampRecord> FindSliceRecords(const std::string& szPath) {
  const std::vector<StampRecord> records = RecordsOf(szPath);
  if (records.empty()) return {};
  const uint64_t qwRun = records.back().qwRunId;
  std::map<uint64_t, StampRecord> byBase;
  for (const StampRecord& record : records) {
    if (record.qwRunId == qwRun) byBase[record.qwBase] = record;
  }
  std::vector<StampRecord> slices;
  for (const auto& [qwBase, record] : byBase) slices.push_back(record);
  return slices;
}

bool FileScan::Good() const {
  if (!szError.empty() || !bIdentityKnown || qwMissingBytes != 0 || qwUnreadableBytes != 0) return false;
  for (int i = 1; i < kUnitStates; ++i) {
    if (aqwUnits[i] != 0) return false;
  }
  return true;
}

namespace {

// The unit size that most headers carry, or the record's.
void LearnUnitSize(int hFile, const StampRecord* pRecord, FileScan& scan, const ScanSpan& span) {
  std::map<uint32_t, uint64_t> unitVotes;
  uint64_t qwTail = 0;
  ForEachUnit(
      hFile, kStampMinUnitBytes,
      [&](const uint8_t* pUnit, uint64_t) {
        StampHeader header;
        std::memcpy(&header, pUnit, sizeof header);
        if (header.dwMagic == kStampMagic && header.wUnitShift >= 9 && header.wUnitShift <= 16) {
          ++unitVotes[1u << header.wUnitShift];
        }
      },
      &qwTail, &scan.szError, span);
  scan.id.dwUnitBytes = kStampMinUnitBytes;
  uint64_t qwBest = 0;
  for (const auto& [dwUnit, qwCount] : unitVotes) {
    if (qwCount > qwBest) scan.id.dwUnitBytes = dwUnit, qwBest = qwCount;
  }
  if (pRecord != nullptr && pRecord->dwUnitBytes != 0) scan.id.dwUnitBytes = pRecord->dwUnitBytes;
}

// Whose units these are: the run and slot that most valid headers carry,
// or the record's, with the size the record gives the file.
void LearnOwner(int hFile, const StampRecord* pRecord, FileScan& scan, const ScanSpan& span) {
  const uint32_t dwUnit = scan.id.dwUnitBytes;
  std::map<std::pair<uint64_t, uint32_t>, uint64_t> votes;
  uint64_t qwTail = 0;
  ForEachUnit(
      hFile, dwUnit,
      [&](const uint8_t* pUnit, uint64_t) {
        StampHeader header;
        if (ReadStampHeader(pUnit, dwUnit, &header)) ++votes[{header.qwRunId, header.wSlot}];
      },
      &qwTail, &scan.szError, span);
  uint64_t qwBest = 0;
  for (const auto& [key, qwCount] : votes) {
    if (qwCount > qwBest) {
      scan.id.qwRunId = key.first;
      scan.id.dwSlot = key.second;
      qwBest = qwCount;
      scan.bIdentityKnown = true;
    }
  }
  if (pRecord != nullptr) {
    scan.id.qwRunId = pRecord->qwRunId;
    scan.id.dwSlot = pRecord->dwSlot;
    scan.qwExpectedBytes = pRecord->qwBytes;
    scan.bIdentityKnown = true;
  }
}

// The pass every unit is judged against: dwPass, or without one the newest
// among the owner's units in their place; and where it stopped part way.
void ChoosePass(int hFile, uint32_t dwPass, const StampRecord* pRecord, FileScan& scan, const ScanSpan& span) {
  scan.dwPass = dwPass;
  if (pRecord != nullptr && pRecord->qwPassEnd != 0 && dwPass != 0 && dwPass == pRecord->dwPass) {
    // A stop in the middle of the pass: what it had not reached yet holds
    // the pass before, and before the first pass there was no file there.
    scan.qwPassEnd = pRecord->qwPassEnd;
    if (dwPass == 1) scan.qwExpectedBytes = std::min(scan.qwExpectedBytes, scan.qwPassEnd);
  }
  if (scan.dwPass != 0) return;
  const uint32_t dwUnit = scan.id.dwUnitBytes;
  uint64_t qwTail = 0;
  ForEachUnit(
      hFile, dwUnit,
      [&](const uint8_t* pUnit, uint64_t qwOffset) {
        StampHeader header;
        if (ReadStampHeader(pUnit, dwUnit, &header) && header.qwRunId == scan.id.qwRunId &&
            header.wSlot == scan.id.dwSlot && header.qwOffset == qwOffset && header.dwPass > scan.dwPass) {
          scan.dwPass = header.dwPass;
        }
      },
      &qwTail, &scan.szError, span);
}

// Every unit against its pass, neighbours in the same bad state in one
// range; then what is missing: short of the record's size, or a partial
// unit at the end.
void JudgeEveryUnit(int hFile, FileScan& scan, const ScanSpan& span) {
  const uint32_t dwUnit = scan.id.dwUnitBytes;
  uint64_t qwTail = 0;
  ForEachUnit(
      hFile, dwUnit,
      [&](const uint8_t* pUnit, uint64_t qwOffset) {
        scan.qwBytes = qwOffset - scan.qwStart + dwUnit;
        const UnitFinding finding = JudgeUnit(pUnit, qwOffset, scan.PassAt(qwOffset), scan.id);
        ++scan.aqwUnits[static_cast<int>(finding.state)];
        if (finding.state == UnitState::kGood) {
          scan.qwLastGoodEnd = qwOffset + dwUnit;
          return;
        }
        if (!scan.bad.empty()) {
          BadRange& last = scan.bad.back();
          if (last.qwOffset + last.qwBytes == qwOffset && last.first.state == finding.state) {
            last.qwBytes += dwUnit;
            return;
          }
        }
        scan.bad.push_back(BadRange{qwOffset, dwUnit, finding});
      },
      &qwTail, &scan.szError, span);
  scan.qwBytes += qwTail;
  // Unreadable units were passed over: they count as read, and bad.
  if (scan.qwUnreadableBytes != 0) {
    scan.qwBytes = std::max(scan.qwBytes, std::min(scan.qwExpectedBytes, scan.qwFirstUnreadable - scan.qwStart +
                                                                              scan.qwUnreadableBytes));
  }
  if (scan.qwBytes < scan.qwExpectedBytes) {
    scan.qwMissingBytes = scan.qwExpectedBytes - scan.qwBytes;
  } else {
    scan.qwMissingBytes = qwTail;
  }
}

std::string RealPath(const std::string& szPath) {
  std::unique_ptr<char, decltype(&std::free)> pReal(realpath(szPath.c_str(), nullptr), &std::free);
  return pReal ? std::string(pReal.get()) : szPath;
}

}  // namespace

FileScan ScanStampedFile(const std::string& szPath, uint32_t dwPass, const StampRecord* pRecord, uint64_t qwStart,
                         uint64_t qwLength) {
  FileScan scan;
  scan.szPath = szPath;
  scan.qwStart = qwStart;
  // A bounded span (a device's slice) goes on past what cannot be read.
  ScanSpan span{qwStart, qwLength, nullptr, nullptr};
  uint64_t qwIgnored = 0, qwIgnoredFirst = UINT64_MAX;
  ScanSpan judged{qwStart, qwLength, qwLength != 0 ? &scan.qwUnreadableBytes : nullptr,
                  qwLength != 0 ? &scan.qwFirstUnreadable : nullptr};
  if (qwLength != 0) span = ScanSpan{qwStart, qwLength, &qwIgnored, &qwIgnoredFirst};
  const int hFile = open(szPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (hFile < 0) {
    scan.szError = FormatSystemMessage(errno);
    return scan;
  }
  LearnUnitSize(hFile, pRecord, scan, span);
  LearnOwner(hFile, pRecord, scan, span);
  ChoosePass(hFile, dwPass, pRecord, scan, span);
  JudgeEveryUnit(hFile, scan, judged);
  close(hFile);
  return scan;
}

const char* PassSourceWord(PassSource nSource) {
  switch (nSource) {
    case PassSource::kGiven:
      return "given";
    case PassSource::kRecorded:
      return "recorded";
    case PassSource::kNewestFound:
      break;
  }
  return "newest found";
}

FileVerdict VerifyStampedFile(const std::string& szPath, uint32_t dwPass) {
  StampRecord record;
  const bool bRecord = FindStampRecord(szPath, &record) || FindStampRecord(RealPath(szPath), &record);
  FileVerdict verdict;
  // A record whose worker ended names the last pass it wrote.
  if (dwPass != 0) {
    verdict.nPassFrom = PassSource::kGiven;
  } else if (bRecord && record.dwPass != 0) {
    verdict.nPassFrom = PassSource::kRecorded;
    dwPass = record.dwPass;
  }
  verdict.scan = ScanStampedFile(szPath, dwPass, bRecord ? &record : nullptr);
  return verdict;
}

std::vector<FileVerdict> VerifyStampedSlices(const std::string& szNode, uint32_t dwPass) {
  std::vector<FileVerdict> verdicts;
  for (const StampRecord& record : FindSliceRecords(szNode)) {
    FileVerdict verdict;
    uint32_t dwJudged = dwPass;
    if (dwPass != 0) {
      verdict.nPassFrom = PassSource::kGiven;
    } else if (record.dwPass != 0) {
      verdict.nPassFrom = PassSource::kRecorded;
      dwJudged = record.dwPass;
    }
    verdict.scan = ScanStampedFile(szNode, dwJudged, &record, record.qwBase, record.qwBytes);
    verdicts.push_back(std::move(verdict));
  }
  return verdicts;
}

DeviceVerdict SumSlices(const std::vector<FileVerdict>& slices) {
  DeviceVerdict sum;
  uint64_t qwSpanEnd = 0;
  bool bAnyBad = false;
  for (const FileVerdict& slice : slices) {
    const FileScan& scan = slice.scan;
    for (int i = 0; i < kUnitStates; ++i) sum.aqwUnits[i] += scan.aqwUnits[i];
    sum.qwGoodBytes += scan.aqwUnits[0] * scan.id.dwUnitBytes;
    sum.qwUnreadableBytes += scan.qwUnreadableBytes;
    if (!scan.bad.empty()) sum.qwFirstBad = std::min(sum.qwFirstBad, scan.bad.front().qwOffset);
    sum.qwFirstBad = std::min(sum.qwFirstBad, scan.qwFirstUnreadable);
    sum.qwRealCapacity = std::max(sum.qwRealCapacity, scan.qwLastGoodEnd);
    qwSpanEnd = std::max(qwSpanEnd, scan.qwStart + std::max(scan.qwBytes, scan.qwExpectedBytes));
    bAnyBad = bAnyBad || !scan.Good();
  }
  // Everything after the last good unit is bad: that is where the device ends.
  if (!bAnyBad || sum.qwRealCapacity >= qwSpanEnd) sum.qwRealCapacity = 0;
  // A device that wraps: each bad unit carries the offset one wrap away.
  uint64_t qwWrap = 0;
  bool bOneDistance = bAnyBad && sum.qwUnreadableBytes == 0;
  for (const FileVerdict& slice : slices) {
    bOneDistance = bOneDistance && slice.scan.qwMissingBytes == 0;
    for (const BadRange& range : slice.scan.bad) {
      const uint64_t qwFound = range.first.qwFoundOffset;
      const uint64_t qwDistance = qwFound > range.qwOffset ? qwFound - range.qwOffset : range.qwOffset - qwFound;
      bOneDistance = bOneDistance && range.first.state == UnitState::kMisdirected && qwDistance != 0 &&
                     (qwWrap == 0 || qwWrap == qwDistance);
      qwWrap = qwDistance;
    }
  }
  if (bOneDistance && qwWrap < qwSpanEnd) {
    sum.qwRealCapacity = qwWrap;
    sum.bWraps = true;
  }
  return sum;
}

bool EveryFileGood(const std::vector<FileVerdict>& verdicts) {
  return std::all_of(verdicts.begin(), verdicts.end(), [](const FileVerdict& verdict) { return verdict.Good(); });
}

}  // namespace stratavon
