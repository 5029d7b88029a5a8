#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "workers/AdvancedWorker.h"

namespace stratavon::test {

// An advanced worker with the plainest honest loop, for testing the frame
// around the engines: each pass writes the pattern buffer at offset 0,
// reads it back and checks it against the stored checksum.
class CPassWorker : public CAdvancedWorker {
 public:
  explicit CPassWorker(bool bWriteSide) : CAdvancedWorker(bWriteSide, false) {}

  // Passes completed by all instances.
  static inline std::atomic<int> s_nPasses{0};
  // Instances that have completed at least one pass.
  static inline std::atomic<int> s_nWorkersPassed{0};

  // Test access to the frame on the calling thread, without a worker thread.
  using CAdvancedWorker::CleanUp;
  using CAdvancedWorker::InitInstance;
  uint8_t* Buffer() const { return m_buffer.Data(); }
  uint8_t* Reference() const { return m_reference.Data(); }
  uint32_t TransferSize() const { return m_dwTransferSize; }
  uint8_t ClearFill() const { return m_byClearFill; }
  uint32_t StoredCrc() const { return m_crc.Stored(); }
  bool Failed() const { return m_bFailed != 0; }

 protected:
  void OnStartIo() override {
    ShowStatus("RUN");
    const ssize_t nSize = static_cast<ssize_t>(m_dwBufferSize);
    while (!StopRequested()) {
      if (!m_file.Seek(0) || m_file.Write(m_buffer.Data(), m_dwBufferSize) != nSize) {
        ReportIoError(static_cast<uint32_t>(errno), kErrorWriteApi, m_buffer.Data());
        break;
      }
      if (!m_file.Seek(0) || m_file.Read(m_buffer.Data(), m_dwBufferSize) != nSize) {
        ReportIoError(static_cast<uint32_t>(errno), kErrorReadApi, m_buffer.Data());
        break;
      }
      if (!m_crc.Check(m_buffer.Data(), m_dwBufferSize)) {
        ReportIoError(0, kErrorDataComparison, m_buffer.Data());
        break;
      }
      if (m_dwMode & MODE_PERFORMANCE) CountIo(m_dwBufferSize);
      ++s_nPasses;
      if (!m_bPassed) {
        m_bPassed = true;
        ++s_nWorkersPassed;
      }
    }
    CleanUp();
    EndThread(m_bFailed ? 1 : 0);
  }

 private:
  bool m_bPassed = false;
};

class CPassReadWorker : public CPassWorker {
 public:
  CPassReadWorker() : CPassWorker(false) {}
};

class CPassWriteWorker : public CPassWorker {
 public:
  CPassWriteWorker() : CPassWorker(true) {}
};

}  // namespace stratavon::test
