#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "run/ConsoleTable.h"
#include "engine/RunRecord.h"
#include "platform/EventLog.h"
#include "support/TempDir.h"

namespace stratavon::test {

// A prepared run as a console leaves it before launching: a private state
// directory, target folders, the records block with every target's
// settings pointing at a console table, and the work directories. Whatever
// is still running is stopped and awaited when the test ends.
class RunFixture : public ::testing::Test {
 public:
  void TearDown() override;

  // Prepares the given roots (each ending in '/'); false with a test
  // failure when the records or directories cannot be made.
  bool Prepare(const std::vector<std::string>& roots, const RunSettings& settings);
  // Prepares one fresh temporary target.
  bool PrepareTemporary(const RunSettings& settings, int nTargets = 1);

  std::vector<EventRecord> Events() const { return ReadEventLog(m_home.EventLog()); }
  // Stops every worker and waits for all of them (bounded, see WorkersEnded).
  bool StopAndWait();

  CStateHome m_home;
  CConsoleTable m_console;
  std::vector<std::string> m_roots;
  std::vector<std::unique_ptr<CTempDir>> m_dirs;
};

// Waits for every worker to end, at most 30 s (longer than any stall a test
// arms); otherwise a test failure saying so, rather than a test that waits
// out ctest's time-out when the stop protocol is broken.
bool WorkersEnded(const std::function<void()>& dispatch = {});

RunSettings MakeSettings(uint32_t dwBufferSize, uint32_t dwTransferSize, uint32_t dwMode,
                         uint32_t dwFunction = FUNCTION_WRITE, uint32_t dwQueueDepth = 1);

}  // namespace stratavon::test
