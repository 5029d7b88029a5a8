#include "engine/JournalScan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <memory>

#include "platform/AlignedBuffer.h"
#include "platform/BlockDevice.h"
#include "platform/SystemError.h"

namespace stratavon {
namespace {

constexpr const char* kClassWords[] = {"OK", "LOST FLUSH", "UNFLUSHED", "TORN", "CORRUPT", "MISDIRECTED", "FOREIGN"};
constexpr size_t kReadBytes = 1 << 20;
constexpr size_t kTornTail = 64;  // zeroes at the end of a unit whose checksum fails: a write cut off

std::string RealPath(const std::string& szPath) {
  std::unique_ptr<char, decltype(&std::free)> pReal(realpath(szPath.c_str(), nullptr), &std::free);
  return pReal ? std::string(pReal.get()) : szPath;
}

// What the journal last said of a stretch of the file.
struct Mark {
  enum : uint8_t { kNone, kFlushed, kFailed } kind = kNone;
  uint32_t dwPass = 0;
};
// Stretches by their first offset, each running to the next key.
using MarkMap = std::map<uint64_t, Mark>;

void Assign(MarkMap& marks, uint64_t qwFrom, uint64_t qwTo, Mark mark) {
  if (qwFrom >= qwTo) return;
  auto itTo = marks.upper_bound(qwTo);
  const Mark after = itTo == marks.begin() ? Mark{} : std::prev(itTo)->second;
  marks.erase(marks.lower_bound(qwFrom), itTo);
  marks[qwFrom] = mark;
  marks[qwTo] = after;
}

Mark MarkAt(const MarkMap& marks, uint64_t qwOffset) {
  auto it = marks.upper_bound(qwOffset);
  return it == marks.begin() ? Mark{} : std::prev(it)->second;
}

bool AllZero(const uint8_t* p, size_t n) { return std::all_of(p, p + n, [](uint8_t b) { return b == 0; }); }

FlushClass Classify(const uint8_t* pUnit, uint64_t qwOffset, const StampIdentity& id, const Mark& mark,
                    bool* pbTornFlushed) {
  const bool bFlushed = mark.kind == Mark::kFlushed;
  const bool bMayBeOld = mark.kind != Mark::kFlushed;  // never promised, or its write failed
  StampHeader header;
  if (ReadStampHeader(pUnit, id.dwUnitBytes, &header)) {
    // Another run's unit where this run's flush was promised is what the
    // target held before: the flushed write never reached it (a drive keeps
    // what earlier runs left, a new work file reads as zeroes).
    if (header.qwRunId != id.qwRunId) return bMayBeOld ? FlushClass::kUnflushed : FlushClass::kLostFlush;
    if (header.qwOffset != qwOffset || header.wSlot != id.dwSlot) return FlushClass::kMisdirected;
    if (!bFlushed || header.dwPass > mark.dwPass) return FlushClass::kUnflushed;
    return header.dwPass == mark.dwPass ? FlushClass::kOk : FlushClass::kLostFlush;
  }
  if (AllZero(pUnit, id.dwUnitBytes)) return bFlushed ? FlushClass::kLostFlush : FlushClass::kUnflushed;
  const bool bOurs = header.dwMagic == kStampMagic && header.qwRunId == id.qwRunId;
  if (bOurs && header.qwOffset == qwOffset && AllZero(pUnit + id.dwUnitBytes - kTornTail, kTornTail)) {
    *pbTornFlushed = bFlushed && header.dwPass <= mark.dwPass;
    return FlushClass::kTorn;
  }
  if (!bOurs && bMayBeOld) return FlushClass::kUnflushed;  // what the target held before
  return bOurs ? FlushClass::kCorrupt : (bFlushed ? FlushClass::kLostFlush : FlushClass::kForeign);
}

}  // namespace

const char* FlushClassWord(FlushClass nClass) { return kClassWords[static_cast<int>(nClass)]; }

FlushScan::FlushScan() { std::fill(std::begin(aqwFirst), std::end(aqwFirst), UINT64_MAX); }

bool FlushScan::Good() const {
  return szError.empty() && aqwUnits[static_cast<int>(FlushClass::kLostFlush)] == 0 && qwTornFlushed == 0 &&
         aqwUnits[static_cast<int>(FlushClass::kCorrupt)] == 0 &&
         aqwUnits[static_cast<int>(FlushClass::kMisdirected)] == 0 &&
         aqwUnits[static_cast<int>(FlushClass::kForeign)] == 0;
}

std::vector<std::string> JournalFiles(const std::vector<JournalRecord>& records, const std::string& szUnder) {
  std::vector<std::string> files;
  std::string szRoot = szUnder.empty() ? std::string() : RealPath(szUnder);
  if (!szRoot.empty() && szRoot.back() != '/') szRoot += '/';
  for (const JournalRecord& record : records) {
    if (std::find(files.begin(), files.end(), record.szPath) != files.end()) continue;
    if (!szRoot.empty() && RealPath(record.szPath).rfind(szRoot, 0) != 0) continue;
    files.push_back(record.szPath);
  }
  return files;
}

FlushScan ScanWithJournal(const std::string& szPath, const std::vector<JournalRecord>& records) {
  FlushScan scan;
  scan.szPath = szPath;
  const std::string szReal = RealPath(szPath);
  std::vector<const JournalRecord*> mine;
  for (const JournalRecord& record : records) {
    if (record.szPath == szPath || RealPath(record.szPath) == szReal) mine.push_back(&record);
  }
  // A journal in the state folder holds every run's records: the newest run counts.
  if (!mine.empty()) {
    const uint64_t qwRun = mine.back()->qwRunId;
    std::erase_if(mine, [qwRun](const JournalRecord* p) { return p->qwRunId != qwRun; });
  }
  const JournalRecord* pUnitSource = nullptr;
  for (const JournalRecord* p : mine) {
    if (p->dwUnitBytes >= kStampMinUnitBytes && (p->dwUnitBytes & (p->dwUnitBytes - 1)) == 0) pUnitSource = p;
  }
  if (!pUnitSource) {
    scan.szError = "the journal names no unit of this file";
    return scan;
  }
  scan.id = StampIdentity{pUnitSource->qwRunId, pUnitSource->dwSlot, pUnitSource->dwUnitBytes};
  scan.qwSliceOffset = pUnitSource->qwSliceOffset;
  scan.qwSliceBytes = pUnitSource->qwSliceBytes;
  scan.qwRecords = mine.size();
  MarkMap marks;
  for (const JournalRecord* p : mine) {
    switch (p->kind) {
      case EJournalKind::kFlushed:
        Assign(marks, p->qwFrom, p->qwTo, Mark{Mark::kFlushed, p->dwPass});
        scan.qwLastFlushNs = std::max(scan.qwLastFlushNs, p->qwTimeNs);
        break;
      case EJournalKind::kFailed:
        Assign(marks, p->qwFrom, p->qwTo, Mark{Mark::kFailed, p->dwPass});
        break;
      case EJournalKind::kEnded:
        scan.bEnded = true;
        break;
      case EJournalKind::kLost:
        scan.qwCutNs = p->qwTimeNs;
        break;
    }
  }

  const int fd = open(szPath.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st = {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    scan.szError = FormatSystemMessage(errno);
    if (fd >= 0) close(fd);
    return scan;
  }
  uint64_t qwFileEnd = static_cast<uint64_t>(st.st_size);
  // A device's inode has no size: the device tells it.
  if (std::string szNode; ResolveBlockDevice(szPath, &szNode, nullptr)) {
    BlockDeviceInfo device;
    if (!ProbeBlockDevice(szNode, &device, &scan.szError)) {
      close(fd);
      return scan;
    }
    qwFileEnd = device.qwSizeBytes;
  }
  const uint64_t qwUnit = scan.id.dwUnitBytes;
  uint64_t qwEnd = scan.qwSliceBytes != 0 ? scan.qwSliceOffset + scan.qwSliceBytes : qwFileEnd;
  // A file shorter than the journal's flushes lost those units too: they read as zeroes here.
  if (!marks.empty()) qwEnd = std::max(qwEnd, std::prev(marks.end())->first);
  CAlignedBuffer buffer;
  if (!buffer.Allocate(kReadBytes)) {
    scan.szError = FormatSystemMessage(ENOMEM);
    close(fd);
    return scan;
  }
  for (uint64_t qwAt = scan.qwSliceOffset; qwAt + qwUnit <= qwEnd;) {
    const size_t nWant = static_cast<size_t>(std::min<uint64_t>(kReadBytes, (qwEnd - qwAt) / qwUnit * qwUnit));
    std::fill(buffer.Data(), buffer.Data() + nWant, uint8_t{0});
    size_t nGot = 0;
    while (nGot < nWant && qwAt + nGot < qwFileEnd) {
      const ssize_t n = pread(fd, buffer.Data() + nGot, nWant - nGot, static_cast<off_t>(qwAt + nGot));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        scan.szError = FormatSystemMessage(errno);
        close(fd);
        return scan;
      }
      if (n == 0) break;
      nGot += static_cast<size_t>(n);
    }
    for (size_t n = 0; n < nWant; n += qwUnit) {
      const uint64_t qwOffset = qwAt + n;
      bool bTornFlushed = false;
      const FlushClass nClass = Classify(buffer.Data() + n, qwOffset, scan.id, MarkAt(marks, qwOffset), &bTornFlushed);
      const int i = static_cast<int>(nClass);
      ++scan.aqwUnits[i];
      if (bTornFlushed) ++scan.qwTornFlushed;
      scan.aqwFirst[i] = std::min(scan.aqwFirst[i], qwOffset);
    }
    qwAt += nWant;
    scan.qwBytes += nWant;
  }
  close(fd);
  return scan;
}

}  // namespace stratavon
