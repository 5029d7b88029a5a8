#pragma once

#include <string>

#include "run/TargetRecords.h"
#include "engine/RunRecord.h"
#include "support/RunFixture.h"
#include "support/Wait.h"

namespace stratavon::test {

// A prepared run with one worker of interest in target 0: its slot, entry,
// counters, exit code and the target row's words.
class SlotFixture : public RunFixture {
 protected:
  // Launches the worker in the first slot of its direction.
  void LaunchIn(bool bWrite, WorkerFactory pfnCreate, uint32_t nKind) {
    m_bWrite = bWrite;
    m_nSlot = bWrite ? kFirstWriteSlot : 0;
    LaunchWorker(0, m_nSlot, pfnCreate, nKind);
  }
  const SlotIoEntry& Entry() const {
    return g_pTargetRecords[0].entries[m_bWrite ? m_nSlot + kWriteEntryOffset : m_nSlot];
  }
  uint64_t Ios() const { return Entry().qwIos.load(); }
  uint32_t ExitCode() const { return g_pTargetRecords[0].hThread[m_nSlot]->ExitCode(); }
  bool Ended() const { return g_pTargetRecords[0].hEndEvent[m_nSlot]->IsSet(); }
  std::string FileName() const { return WorkFileName(m_roots[0], m_bWrite, m_nSlot); }
  std::string Status() const { return m_console.Cell(0, kColumnStatus); }
  std::string Error() const { return m_console.Cell(0, kColumnError); }
  void WaitEnded() {
    ASSERT_TRUE(Eventually([&] { return Ended(); })) << "the worker of slot " << m_nSlot << " never ended";
    WorkersEnded();
  }

  int m_nSlot = 0;
  bool m_bWrite = false;
};

}  // namespace stratavon::test
