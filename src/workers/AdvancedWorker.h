#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Crc32.h"
#include "engine/EventSource.h"
#include "engine/IoError.h"
#include "engine/LatencyHistogram.h"
#include "engine/RunRecord.h"
#include "engine/StampedPattern.h"
#include "engine/SurfaceMap.h"
#include "workers/FlushTracker.h"
#include "workers/SlotWorker.h"
#include "engine/WorkerConsole.h"
#include "platform/AlignedBuffer.h"
#include "platform/CriticalSection.h"
#include "platform/EventLog.h"
#include "platform/WorkFile.h"

namespace stratavon {

// The frame every advanced worker shares: the start-up that checks the
// target, allocates and fills the pattern buffer and creates the work file;
// the reporting of a failure; and the release of everything at the end.
// The engines derive from it and put their loops in OnStartIo.
class CAdvancedWorker : public CSlotWorker {
 public:
  // bWriteSide: the worker's file lives in WRITE/ and it uses the write side
  // of its slot entry. bAsync: the overlapped engines (their words differ).
  CAdvancedWorker(bool bWriteSide, bool bAsync);
  ~CAdvancedWorker() override;

  bool IsWriteSide() const { return m_bWriteSide; }
  const std::string& FileName() const { return m_extent.szPath; }

  // Classifies and reports a failure once: stamps the failed block into the
  // work file, writes the event entry, shows "FAIL" and the words, and marks
  // the worker failed. pBlock: for the API kinds the data of the failed
  // call, for DATA COMPARISON the buffer that failed verification.
  void ReportIoError(uint32_t dwCode, uint32_t nKind, uint8_t* pBlock);
  // The same, with what the system said (the path and its error text):
  // added after the kind's own strings in the event, and after the words in
  // the Extended text.
  void ReportIoError(uint32_t dwCode, uint32_t nKind, uint8_t* pBlock, const std::string& szDetail);

 protected:
  bool InitInstance() override;
  void OnThreadMessage(const ThreadMessage& msg) override;
  // The engine: runs until stopped or failed, then calls CleanUp and EndThread.
  virtual void OnStartIo() = 0;

  // Start-up shared by all advanced workers: the slot's preparation, the
  // event source, "INIT", the sizes. False when the worker must end.
  bool InitFrame();
  // The synchronous workers' start-up after the frame: free space and
  // alignment, buffers, pattern, work file, publication, checksum.
  bool InitSynchronous();
  // The target's checks: free space and alignment for qwNeeded bytes of
  // work file, which make the worker's extent. Reports and returns false
  // when the target refuses.
  bool CheckTarget(uint64_t qwNeeded);
  // The work file's length as the settings ask it: one buffer, or the span
  // in whole buffers. False (reported) when the free space cannot be read.
  bool ResolveSpan(uint64_t* pqwBytes);
  // Creates the extent's work file and publishes file and buffer in the
  // slot entry. Reports, cleans up and returns false on failure.
  bool CreateWorkFile();
  // A device target: the slice of this worker's slot (reads first, then
  // writes) and the slices' length, aligned to the physical sector and
  // the buffer.
  uint32_t DeviceSliceIndex() const;
  uint64_t DeviceSlice() const;
  // Whether the worker may seed its extent with pattern before it reads:
  // always in a work file; on a device only when the run may write it.
  bool SeedsTarget() const;
  // "at device offset N (LBA M)" for a device target, else empty.
  std::string DeviceWhere(uint64_t qwOffset) const;
  // Whether a worker that has done dwPassesDone passes is to end (--passes).
  bool PassLimitReached(uint32_t dwPassesDone) const {
    return Record().settings.dwPasses != 0 && dwPassesDone >= Record().settings.dwPasses;
  }
  // A device target's surface, which every call of the loops lands on
  // (null on a folder, or without the memory for it).
  CSurfaceMap* Surface() const { return m_pSurface.get(); }
  // A device call over dwBytes at qwOffset failed with nError. A read over
  // several sectors that the loop passes over is read again sector by
  // sector (into pData), so that the surface lists the sectors that fail
  // and times the others; anything else is listed whole.
  void NoteFailedCall(bool bWrite, uint8_t* pData, uint64_t qwOffset, uint32_t dwBytes, int nError);
  // Keeps the reference copy and the checksum of the first buffer's pattern.
  void KeepPatternChecksum();
  // Releases the event source, buffers and file, writes "STOP" unless the
  // worker failed, and withdraws file and buffer from the slot entry.
  virtual void CleanUp();
  // Writes a stamped block back into the work file, at the extent's start.
  virtual void WriteBackBlock(uint8_t* pBlock);

  // Offsets below are the file's: the extent's base and the place in it
  // (m_extent.At).
  // Whether a buffer read back from qwFileOffset holds what was written:
  // the pattern's checksum, or with stamped units every unit's header of
  // dwPass. The hot path's test; nothing is reported.
  bool DataGood(const uint8_t* pBuffer, uint64_t qwFileOffset, uint32_t dwPass) const {
    if (!m_bStamped) return m_crc.Check(pBuffer, m_dwBufferSize);
    if (m_stamper.Prepared() && m_reference) {
      return m_stamper.Matches(pBuffer, m_dwBufferSize, qwFileOffset, dwPass, m_reference.Data());
    }
    return UnitsGood(pBuffer, m_dwBufferSize, qwFileOffset, dwPass, m_stampId);
  }
  // DataGood, and with stamped units a good buffer comes out spoiled for
  // the next read into it, as PoisonForRead would leave it.
  bool DataGoodThenSpoil(uint8_t* pBuffer, uint64_t qwFileOffset, uint32_t dwPass) const {
    if (!SpoilsWhenGood()) return DataGood(pBuffer, qwFileOffset, dwPass);
    return m_stamper.MatchesThenSpoil(pBuffer, m_dwBufferSize, qwFileOffset, dwPass, m_reference.Data());
  }
  bool SpoilsWhenGood() const { return m_bStamped && m_stamper.Prepared() && m_reference; }
  // The kind to report for a buffer DataGood refused; remembers where the
  // buffer lies and which pass it should hold for the report.
  uint32_t BadDataKind(const uint8_t* pBuffer, uint64_t qwFileOffset, uint32_t dwPass);
  // Stamped units: fresh headers before a write, spoiled ones before a read.
  void StampForWrite(uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass) const {
    if (!m_bStamped) return;
    if (m_stamper.Prepared()) {
      m_stamper.Stamp(pBuffer, nBytes, qwFileOffset, dwPass);
    } else {
      StampUnits(pBuffer, nBytes, qwFileOffset, dwPass, m_stampId);
    }
  }
  // The newest pass the work file holds, for the run's record.
  virtual uint32_t PassReached() const { return 0; }
  // Where that pass ended when a stop came in its middle, counted from the
  // extent's start: the units from there on hold the pass before (none,
  // before the first). 0 when the pass was written whole, or where it ended
  // is not known.
  virtual uint64_t PassEnd() const { return 0; }
  void PoisonForRead(uint8_t* pBuffer, size_t nBytes) const {
    if (m_bStamped) PoisonUnits(pBuffer, nBytes, m_stampId.dwUnitBytes);
  }

  TargetRunRecord& Record() const { return g_pTargetRecords[m_nTarget]; }
  SlotIoEntry& Entry() const {
    return Record().entries[m_bWriteSide ? m_nSlot + kWriteEntryOffset : m_nSlot];
  }
  // Adds successful calls (one unless told) to the slot's counters.
  void CountIo(uint64_t qwBytes, uint64_t qwIos = 1) { Entry().Count(qwBytes, qwIos); }
  // The histogram of this worker's counted I/Os, or null when they are not
  // timed (not counting, capture switched off, or no memory for it).
  CLatencyHistogram* Latency() const { return m_pLatency.get(); }
  void ShowStatus(const char* szWord) { m_pDialog->SetTargetText(m_nTarget, kColumnStatus, szWord); }

  const bool m_bWriteSide;
  const bool m_bAsync;
  CAlignedBuffer m_buffer;
  CAlignedBuffer m_reference;
  CWorkFile m_file;
  uint32_t m_dwBufferSize = 0;
  uint32_t m_dwTransferSize = 0;
  uint32_t m_dwMode = 0;
  CCrc32 m_crc;
  uint8_t m_byClearFill = 0;
  HEVENTLOG m_hEventSource = nullptr;
  IWorkerConsole* m_pDialog = nullptr;
  uint8_t m_bFailed = 0;
  // A call that takes longer is an I/O TIMEOUT.
  const std::chrono::milliseconds m_ioTimeout = IoTimeout();
  CSingleLock m_lockRecords{&g_csRecords};

  // Stamped units (opt-in): who this worker is to its headers.
  bool m_bStamped = false;
  StampIdentity m_stampId;
  CUnitStamper m_stamper;  // prepared on the first buffer of pattern
  // Where the buffer of a data failure lies in the file and the pass it should hold.
  uint64_t m_qwReportOffset = 0;
  uint32_t m_dwReportPass = 0;
  // Writers with --flush-every: what is durable, and its journal.
  CFlushTracker m_flush;

 private:
  // A data failure's account: where it differs, the units' verdict, the
  // buffer saved next to the work file. Before the stamp goes over it.
  void RecordStampedFile(uint32_t dwPass, uint64_t qwPassEnd = 0) const;
  void RecordDataFailure(uint32_t nKind, const uint8_t* pBlock, std::vector<std::string>* pStrings);
  std::shared_ptr<CLatencyHistogram> m_pLatency;
  std::shared_ptr<CSurfaceMap> m_pSurface;
};

}  // namespace stratavon
