#pragma once

#include <cstdint>

#include "engine/AdvancedWorker.h"

namespace stratavon {

// The synchronous engines: back-to-back read/write calls at the file
// position over one work file, in whole buffers (single shape) or in
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
  // One call per chunk, each at the file position, into or from the chunk's
  // place in the buffer. With Error Checking a failed call or a wrong byte
  // count is reported and ends the phase with false; without it failures
  // are passed over. With Enable Performance each successful call counts.
  bool TransferPhase(bool bWrite);
  // Rewinds; the position's only reader is the next call, which would fail on its own.
  void Rewind() { (void)m_file.Seek(0); }
  // Checks the whole buffer against the stored checksum; reports a mismatch.
  bool Verify();
  // The common end of every loop.
  void EndLoop(uint32_t dwExitCode);

  bool Checking() const { return (m_dwMode & MODE_ERROR_CHECKING) != 0; }
  bool Counting() const { return (m_dwMode & MODE_PERFORMANCE) != 0; }
};

// Writes the pattern pass after pass; with Error Checking reads every pass
// back and verifies it. Exit codes 33..40.
class CWriteAdvancedClass : public CSyncEngine {
 public:
  CWriteAdvancedClass() : CSyncEngine(true, false) {}

 protected:
  void OnStartIo() override;
};

// Seeds its file with one buffer of pattern, then reads it pass after pass;
// with Error Checking verifies every pass. Exit codes 3..10.
class CReadAdvancedClass : public CSyncEngine {
 public:
  CReadAdvancedClass() : CSyncEngine(false, false) {}

 protected:
  void OnStartIo() override;
};

}  // namespace stratavon
