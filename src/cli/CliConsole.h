#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "console/advanced/AdvancedView.h"
#include "console/advanced/RunSummary.h"
#include "engine/ConsoleTable.h"

namespace stratavon {

// The advanced console as the command line keeps it: the target list and
// texts in a mutex-guarded table that the workers write from their own
// threads, the rate and elapsed boxes, and the state of the timers, which
// the command's own loop honours. It also counts the workers that ended in
// FAIL (CFailureTally).
class CCliConsole : public IAdvancedView {
 public:
  explicit CCliConsole(size_t nTargets);

  void SetTargetText(int nRow, int nColumn, const std::string& szText) override;
  void SetStatusText(const std::string& szText) override { m_table.SetStatusText(szText); }
  void SetExtendedText(const std::string& szText) override { m_table.SetExtendedText(szText); }
  void SetPerformanceText(const std::string& szText) override;
  void SetIopsText(const std::string& szText) override;
  void SetElapsedText(const std::string& szText) override;
  void EnableStart(bool) override {}
  void EnableStop(bool) override {}
  void StartTimers(bool bStats) override;
  void KillTimers() override;

  const CConsoleTable& Table() const { return m_table; }
  std::string PerformanceText() const;
  std::string IopsText() const;
  std::string ElapsedText() const;
  bool TimersRunning() const { return m_bTimers.load(); }
  bool StatsTimerRunning() const { return m_bStatsTimer.load(); }

  // Workers that ended in FAIL, in all and per target.
  int Failures() const { return m_failures.Failures(); }
  int FailuresOf(int nRow) const { return m_failures.FailuresOf(nRow); }
  // The Status cell, except that a target one of whose workers failed
  // reads "FAIL" even after its other workers wrote "STOP".
  std::string TargetStatus(int nRow) const;

 private:
  CConsoleTable m_table;
  mutable std::mutex m_mutex;
  CFailureTally m_failures;
  std::string m_szPerformance = "0 MB/s";
  std::string m_szIops = "0 IO/s";
  std::string m_szElapsed = "00:00:00:00";
  std::atomic<bool> m_bTimers{false};
  std::atomic<bool> m_bStatsTimer{false};
};

}  // namespace stratavon
