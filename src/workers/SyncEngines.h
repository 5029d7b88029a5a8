#pragma once

#include <algorithm>
#include <cstdint>

#include "workers/AdvancedWorker.h"
#include "workers/BackgroundCheck.h"

namespace stratavon {

// The synchronous engines: back-to-back read/write calls at the file
// position over the worker's extent, in whole buffers (single shape) or in
// transfer-sized chunks (chunked shape), with optional verification and
// counting. Each loop ends the thread with its own exit code.

// What both synchronous engines share: the loop's shape, its preparation
// and one phase of calls over the chunks.
class CSyncEngine : public CAdvancedWorker {
 protected:
  using CAdvancedWorker::CAdvancedWorker;

  // Exit code of the loop that dwMode and the shape select.
  uint32_t LoopExitCode(uint32_t dwFirstCode) const;
  bool IsSingleShape() const { return m_dwBufferSize == m_dwTransferSize; }
  // Calls per phase: 1 in the single shape, whole transfers in the buffer otherwise.
  uint32_t Chunks() const;
  // Checks file, buffer and chunk count; reports and returns false when the
  // loop cannot run.
  bool PrepareLoop();
  // What a phase moved, when its counting waits for an earlier verdict.
  struct PassTally {
    uint64_t qwBytes = 0;
    uint64_t qwIos = 0;
  };
  // One call per chunk, each at the file position, into or from the chunk's
  // place in pBuffer. With Error Checking a failed call or a wrong byte
  // count is reported and ends the phase with false; without it failures
  // are passed over. With Enable Performance each successful call counts,
  // at once, or into pTally for the caller to add later.
  bool TransferPhase(bool bWrite, uint8_t* pBuffer, PassTally* pTally = nullptr);
  // Back to the extent's start; the position's only reader is the next
  // call, which would fail on its own.
  void Rewind() { (void)m_file.Seek(m_extent.qwBase); }
  // The file offset of the span's buffer b.
  uint64_t BufferOffset(uint64_t b) const { return m_extent.At(b * m_dwBufferSize); }
  // Checks the whole buffer (read from qwOffset in the file) against the
  // stored checksum or its stamped units; reports a mismatch. Stamped units
  // of a good buffer come out spoiled (DataGoodThenSpoil).
  bool Verify(uint8_t* pBuffer, uint64_t qwOffset);
  // Spoils stamped headers before a read, unless the last check of this
  // buffer did it already (*pbSpoiled, which the read then uses up).
  void PrepareRead(uint8_t* pBuffer, size_t nBytes, bool* pbSpoiled) const {
    if (!*pbSpoiled) PoisonForRead(pBuffer, nBytes);
    *pbSpoiled = false;
  }
  // Starts the checking thread on this worker's test of a buffer of
  // m_dwCheckedPass; bSpoil: a good buffer comes back spoiled.
  bool StartBackgroundCheck(bool bSpoil);
  // Buffers per pass: 1, or the span's.
  uint64_t SpanBuffers() const {
    return m_dwBufferSize != 0 ? std::max<uint64_t>(m_extent.qwBytes / m_dwBufferSize, 1) : 1;
  }
  // Takes the verdict on the pass being checked in the background, if any;
  // reports a mismatch (on the buffer that was checked) and returns false.
  // Everything else a pass could report comes after this, so failures are
  // reported in the order the passes ran.
  bool SettleBackgroundCheck();
  void CleanUp() override;
  uint32_t PassReached() const override { return m_dwPass; }
  uint64_t PassEnd() const override { return m_qwPassBytes < m_extent.qwBytes ? m_qwPassBytes : 0; }
  // The common end of every loop.
  void EndLoop(uint32_t dwExitCode);

  bool Checking() const { return (m_dwMode & MODE_ERROR_CHECKING) != 0; }
  bool Counting() const { return (m_dwMode & MODE_PERFORMANCE) != 0; }

  // Every chunk of the pattern buffer holds the same bytes (a typed byte,
  // or a pattern whose period divides the transfer): writes all come from
  // the first, which the file cannot tell apart, and the memory each pass
  // runs through stays one transfer long instead of a whole buffer.
  bool m_bChunksAlike = false;

  // Pattern buffers beyond the first, and the thread that checks one buffer
  // while the next is read; both exist only while a verifying read loop
  // overlaps. A buffer small enough to stay in the checking core's cache
  // gets two spares rather than one: it is read into again only after the
  // checker has moved on to another buffer, so the reading core does not
  // have to win its cache lines back. Larger buffers leave the cache anyway,
  // and a third one would only add to the traffic.
  uint32_t m_nSpareBuffers = 0;
  CAlignedBuffer m_spare;
  CBackgroundCheck m_check;
  uint8_t* m_pChecked = nullptr;  // the buffer m_check holds
  uint32_t m_dwCheckedPass = 0;   // the pass it should hold
  // The pass the file holds (stamped units): the writer's count, the reader's 1.
  uint32_t m_dwPass = 0;
  // How much of a span that pass has written, buffer by buffer from the extent's start.
  uint64_t m_qwPassBytes = 0;
};

// Writes the pattern pass after pass; with Error Checking reads every pass
// back and verifies it. Exit codes 33..40.
class CWriteAdvancedClass : public CSyncEngine {
 public:
  CWriteAdvancedClass() : CSyncEngine(true, false) {}

 protected:
  void OnStartIo() override;

 private:
  bool PrepareOverlap(size_t nMovedBytes);
  void OverlappedWriteLoop();
};

// Seeds its file with one buffer of pattern, then reads it pass after pass;
// with Error Checking verifies every pass. Exit codes 3..10.
class CReadAdvancedClass : public CSyncEngine {
 public:
  CReadAdvancedClass() : CSyncEngine(false, false) {}

 protected:
  void OnStartIo() override;

 private:
  // With buffers large enough and a core free for it, verification runs on
  // a thread of its own while the next pass is read into another buffer.
  // False (and nothing kept) when it would not pay or the memory or the
  // thread is refused: the loop then checks every pass itself.
  bool PrepareOverlap();
  void ReadLoop(bool bClearFirst, size_t nReadBytes);
  void OverlappedReadLoop(bool bClearFirst, size_t nReadBytes);
};

}  // namespace stratavon
