#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/FlushJournal.h"
#include "engine/StampedPattern.h"
#include "engine/Target.h"

namespace stratavon {

// A writer's account of what it may call durable: the acknowledged writes
// since the last flush, as ranges of its extent with their pass. After
// every g_qwFlushEveryBytes of them it flushes the file and journals each
// range as flushed; a write that failed is journaled as failed at once, and
// never joins a range. Idle unless the run is stamped and asks for flushes.
class CFlushTracker {
 public:
  void Begin(const SlotExtent& extent, const StampIdentity& id, bool bStamped);
  bool Active() const { return m_bActive; }
  // An acknowledged write at [qwFrom, qwTo) of the file (extent offsets
  // added). True when nothing was due, or the flush is done and its
  // records are queued for the journal (which writes them on its own: the
  // worker does not wait for them); false with *pnError (the errno, EIO
  // for a journal that failed) and *pszDetail, and the ranges then
  // journaled as failed.
  bool Written(int fd, uint32_t dwPass, uint64_t qwFrom, uint64_t qwTo, int* pnError, std::string* pszDetail) {
    Note(dwPass, qwFrom, qwTo);
    return FlushIfDue(fd, pnError, pszDetail);
  }
  // The same in two steps, for a batch whose writes all completed: each
  // noted, then one flush when due.
  void Note(uint32_t dwPass, uint64_t qwFrom, uint64_t qwTo);
  bool FlushIfDue(int fd, int* pnError, std::string* pszDetail) {
    return !m_bActive || m_qwSinceFlush < g_qwFlushEveryBytes || FlushNow(fd, pnError, pszDetail);
  }
  // Whether a flush will be due once qwBytes more are written: an
  // asynchronous batch queues its flush behind its writes when so.
  bool DueAfter(uint64_t qwBytes) const { return m_bActive && m_qwSinceFlush + qwBytes >= g_qwFlushEveryBytes; }
  // Flushes whatever is pending (the drain of an asynchronous batch, or
  // the threshold reached); as Written.
  bool FlushNow(int fd, int* pnError, std::string* pszDetail);
  // A flush of everything noted has ended with nError (0: the kernel called
  // it durable; a flush queued behind a batch, once that has completed):
  // the ranges are journaled as flushed, or, for any error, as failed with
  // it, so that nothing a failed or cancelled flush covered is ever taken
  // for durable. As Written.
  bool Flushed(int nError, int* pnError, std::string* pszDetail);
  void Failed(uint32_t dwPass, uint64_t qwFrom, uint64_t qwTo, int nError);
  // The worker ended on its own, with nothing in flight.
  void Ended(uint32_t dwPass);

 private:
  struct Range {
    uint32_t dwPass;
    uint64_t qwFrom;
    uint64_t qwTo;
  };
  JournalRecord Record(EJournalKind kind, const Range& range) const;

  bool m_bActive = false;
  SlotExtent m_extent;
  StampIdentity m_id;
  uint64_t m_qwSinceFlush = 0;
  std::vector<Range> m_pending;
};

}  // namespace stratavon
