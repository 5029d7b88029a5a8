#include "workers/FlushTracker.h"

#include <unistd.h>

#include <cerrno>

#include "platform/SystemError.h"

namespace stratavon {

void CFlushTracker::Begin(const SlotExtent& extent, const StampIdentity& id, bool bStamped) {
  m_bActive = bStamped && g_qwFlushEveryBytes != 0 && g_pFlushJournal != nullptr;
  m_extent = extent;
  m_id = id;
  m_qwSinceFlush = 0;
  m_pending.clear();
}

JournalRecord CFlushTracker::Record(EJournalKind kind, const Range& range) const {
  JournalRecord record;
  record.kind = kind;
  record.qwRunId = m_id.qwRunId;
  record.dwSlot = m_id.dwSlot;
  record.dwUnitBytes = m_id.dwUnitBytes;
  record.dwPass = range.dwPass;
  record.qwFrom = range.qwFrom;
  record.qwTo = range.qwTo;
  // A work file is its worker's whole; a slice says where it lies.
  if (m_extent.qwBase != 0) {
    record.qwSliceOffset = m_extent.qwBase;
    record.qwSliceBytes = m_extent.qwBytes;
  }
  record.qwTimeNs = JournalNow();
  record.szPath = m_extent.szPath;
  return record;
}

void CFlushTracker::Note(uint32_t dwPass, uint64_t qwFrom, uint64_t qwTo) {
  if (!m_bActive) return;
  if (!m_pending.empty() && m_pending.back().dwPass == dwPass && m_pending.back().qwTo == qwFrom) {
    m_pending.back().qwTo = qwTo;
  } else {
    m_pending.push_back(Range{dwPass, qwFrom, qwTo});
  }
  m_qwSinceFlush += qwTo - qwFrom;
}

bool CFlushTracker::FlushNow(int fd, int* pnError, std::string* pszDetail) {
  if (!m_bActive || m_pending.empty()) return true;
  return Flushed(fdatasync(fd) == 0 ? 0 : errno, pnError, pszDetail);
}

bool CFlushTracker::Flushed(int nError, int* pnError, std::string* pszDetail) {
  if (!m_bActive || m_pending.empty()) return true;
  m_qwSinceFlush = 0;
  std::vector<Range> ranges;
  ranges.swap(m_pending);
  if (nError != 0) {
    *pnError = nError;
    *pszDetail = "fdatasync of " + m_extent.szPath + ": " + FormatSystemMessage(*pnError);
    for (const Range& range : ranges) Failed(range.dwPass, range.qwFrom, range.qwTo, *pnError);
    return false;
  }
  for (const Range& range : ranges) {
    std::string szError;
    if (!g_pFlushJournal->Append(Record(EJournalKind::kFlushed, range), &szError)) {
      *pnError = EIO;
      *pszDetail = szError;
      return false;
    }
  }
  return true;
}

void CFlushTracker::Failed(uint32_t dwPass, uint64_t qwFrom, uint64_t qwTo, int nError) {
  if (!m_bActive) return;
  JournalRecord record = Record(EJournalKind::kFailed, Range{dwPass, qwFrom, qwTo});
  record.nError = nError;
  std::string szError;
  (void)g_pFlushJournal->Append(record, &szError);  // the write's own failure is reported already
}

void CFlushTracker::Ended(uint32_t dwPass) {
  if (!m_bActive) return;
  std::string szError;
  (void)g_pFlushJournal->Append(Record(EJournalKind::kEnded, Range{dwPass, 0, 0}), &szError);
  m_bActive = false;
}

}  // namespace stratavon
