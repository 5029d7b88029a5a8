#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "run/AdvancedView.h"
#include "run/RunVerdict.h"
#include "run/ConsoleTable.h"

namespace stratavon {

// The advanced console as the command line keeps it: the target list and
// texts in a mutex-guarded table that the workers write from their own
// threads, the rate and elapsed boxes, and the state of the timers, which
// the command's own loop honours. It keeps a failed target's FAIL through
// what its other workers and a Stop write after it (CRunVerdict); the
// workers that failed it takes from their slots' failed flags, not from the
// words they show.
class CHeadlessConsole : public IAdvancedView {
 public:
  explicit CHeadlessConsole(size_t nTargets);

  void SetTargetText(int nRow, int nColumn, const std::string& szText) override;
  void SetStatusText(const std::string& szText) override { m_verdict.SetStatusText(szText); }
  void SetExtendedText(const std::string& szText) override { m_verdict.SetExtendedText(szText); }
  void SetPerformanceText(const std::string& szText) override;
  void SetIopsText(const std::string& szText) override;
  void SetElapsedText(const std::string& szText) override;
  void EnableStart(bool) override {}
  void EnableStop(bool) override {}
  void StartTimers(bool bStats) override;
  void KillTimers() override;
  void BeginRun() override { m_verdict.BeginRun(); }

  const CConsoleTable& Table() const { return m_table; }
  std::string PerformanceText() const;
  std::string IopsText() const;
  std::string ElapsedText() const;
  bool TimersRunning() const { return m_bTimers.load(); }
  bool StatsTimerRunning() const { return m_bStatsTimer.load(); }

  // Workers that reported a failure, in all and per target.
  int Failures() const;
  int FailuresOf(int nRow) const;
  // The Status cell: "FAIL" for a target one of whose workers failed, even
  // after its other workers wrote "STOP".
  std::string TargetStatus(int nRow) const;
  // The Extended text of the first failure reported on the target (the
  // words and what the system said); empty when none failed.
  std::string ReasonOf(int nRow) const { return m_verdict.ReasonOf(nRow); }

 private:
  CConsoleTable m_table;
  CRunVerdict m_verdict{m_table};
  mutable std::mutex m_mutex;
  std::string m_szPerformance = "0 MB/s";
  std::string m_szIops = "0 IO/s";
  std::string m_szElapsed = "00:00:00:00";
  std::atomic<bool> m_bTimers{false};
  std::atomic<bool> m_bStatsTimer{false};
  const int m_nTargets;
};

}  // namespace stratavon
