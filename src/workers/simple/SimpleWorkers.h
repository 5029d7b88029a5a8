#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "engine/IoError.h"
#include "engine/RunRecord.h"
#include "workers/SlotWorker.h"
#include "platform/AlignedBuffer.h"
#include "platform/CriticalSection.h"
#include "platform/WorkFile.h"

namespace stratavon {

// A simple worker's buffer, its transfer and its work file are all this
// one size.
constexpr uint32_t kSimpleIoBytes = 0x100000;

// How a simple worker's thread ends.
constexpr uint32_t kSimpleReadExitCode = 1;   // the read loop ended
constexpr uint32_t kSimpleWriteExitCode = 2;  // the write loop ended
constexpr uint32_t kSimpleEndIoExitCode = 1;  // WM_END_IO

// The start-up messages, in their boxes captioned "Error".
inline constexpr char kSimpleMsgInitialization[] = "INITIALIZATION ERROR";
inline constexpr char kSimpleMsgDiskSpace[] = "NOT ENOUGH DISK SPACE";
inline constexpr char kSimpleMsgMemory[] = "Memory Allocation Error!";
inline constexpr char kSimpleMsgFileCreation[] = "File Creation Error!";

// Fills a kSimpleIoBytes buffer with the current pattern as the simple
// workers lay it down: the unit of the chosen kind repeated, except that
// the pattern data file (kind 5) counts as the typed byte. The simple
// console's refresh of its work files uses the same rule.
void FillPatternBuffer(uint8_t* pBuffer);

// What a front end may learn about simple workers beyond what the simple
// console shows (which is nothing but their start-up message boxes). The
// calls come on the worker's own thread.
class ISimpleWorkerWatch {
 public:
  virtual ~ISimpleWorkerWatch() = default;
  // The worker's start-up failed; it shows szMessage next and then ends.
  // nKind classifies the message as the advanced workers would.
  virtual void OnStartFailed(int nTarget, int nSlot, IoErrorKind nKind, const std::string& szMessage) = 0;
  // The first transfer of the worker's loop that failed (nError: errno) or
  // came up short (nError 0). The load goes on regardless; later failures
  // of the same worker are not reported again.
  virtual void OnTransferFailed(int nTarget, int nSlot, IoErrorKind nKind, int nError) = 0;
};

// Null (the default) for no watch. Set it before a run's launch and clear
// it only once every worker has ended.
void SetSimpleWorkerWatch(ISimpleWorkerWatch* pWatch);

// The simple console's workers: each owns one 1 MiB work file on its target
// (its extent) and one 1 MiB pattern buffer, and moves the whole buffer
// through the extent's first MiB with direct I/O, pass after pass, until its stop byte is
// set. Nothing is counted or compared. A start-up that fails shows its
// message box on the worker's own thread (so only that worker waits for the
// operator) and ends the worker.
class CSimpleWorker : public CSlotWorker {
 public:
  bool IsWriteSide() const { return m_bWriteSide; }

 protected:
  explicit CSimpleWorker(bool bWriteSide) : m_bWriteSide(bWriteSide) {}

  bool InitInstance() override;
  void OnThreadMessage(const ThreadMessage& msg) override;
  void OnStartIo();
  void OnEndIo();
  // The loop; ends the thread with its exit code.
  virtual void RunIo() = 0;
  // Withdraws file and buffer from the slot entry, then releases them.
  void ReleaseIo();
  // One whole-buffer transfer at the file position, then back to the extent's start.
  // A failure is passed to the watch once and otherwise ignored.
  void Transfer(bool bWrite);
  void EndIo(uint32_t dwExitCode);

  SlotIoEntry& Entry() const {
    return g_pTargetRecords[m_nTarget].entries[m_bWriteSide ? m_nSlot + kWriteEntryOffset : m_nSlot];
  }

  CAlignedBuffer m_buffer;
  CWorkFile m_file;
  CSingleLock m_lockRecords{&g_csRecords};

 private:
  // Shows szMessage with the target and szReason, once per target, message
  // and run, and ends the start-up.
  bool FailStart(IoErrorKind nKind, const char* szMessage, const std::string& szReason);

  const bool m_bWriteSide;
  bool m_bTransferFailed = false;
  const std::chrono::milliseconds m_ioTimeout = IoTimeout();
};

// Read worker (kind 1, slots 0..24, entry s, READ/KORVA<s>.DAT): lays the
// pattern into its file once, then reads the file back again and again.
class CThreadClass final : public CSimpleWorker {
 public:
  CThreadClass() : CSimpleWorker(false) {}

 protected:
  void RunIo() override;
};

// Write worker (kind 2, slots 25..49, entry s + 50, WRITE/KORVA<s>.DAT):
// writes the pattern over the file's first MiB again and again, at least once.
class CWriteThreadClass final : public CSimpleWorker {
 public:
  CWriteThreadClass() : CSimpleWorker(true) {}

 protected:
  void RunIo() override;
};

}  // namespace stratavon
