#include "cli/CliConsole.h"

#include "engine/RunRecord.h"

namespace stratavon {

CCliConsole::CCliConsole(size_t nTargets) : m_table(nTargets), m_nTargets(static_cast<int>(nTargets)) {}

void CCliConsole::SetPerformanceText(const std::string& szText) {
  std::lock_guard lock(m_mutex);
  m_szPerformance = szText;
}

void CCliConsole::SetIopsText(const std::string& szText) {
  std::lock_guard lock(m_mutex);
  m_szIops = szText;
}

void CCliConsole::SetElapsedText(const std::string& szText) {
  std::lock_guard lock(m_mutex);
  m_szElapsed = szText;
}

void CCliConsole::StartTimers(bool bStats) {
  m_bStatsTimer = bStats;
  m_bTimers = true;
}

void CCliConsole::KillTimers() {
  m_bTimers = false;
  m_bStatsTimer = false;
}

std::string CCliConsole::PerformanceText() const {
  std::lock_guard lock(m_mutex);
  return m_szPerformance;
}

std::string CCliConsole::IopsText() const {
  std::lock_guard lock(m_mutex);
  return m_szIops;
}

std::string CCliConsole::ElapsedText() const {
  std::lock_guard lock(m_mutex);
  return m_szElapsed;
}

int CCliConsole::Failures() const {
  int nTotal = 0;
  for (int t = 0; t < m_nTargets; ++t) nTotal += FailuresOf(t);
  return nTotal;
}

int CCliConsole::FailuresOf(int nRow) const {
  if (g_pTargetRecords == nullptr || nRow < 0 || nRow >= m_nTargets || nRow >= g_nTargetRecords) return 0;
  int nFailed = 0;
  for (const SlotActivity& activity : g_pTargetRecords[nRow].activity) {
    nFailed += activity.bFailed.load(std::memory_order_acquire) != 0 ? 1 : 0;
  }
  return nFailed;
}

std::string CCliConsole::TargetStatus(int nRow) const {
  if (FailuresOf(nRow) > 0) return "FAIL";
  return m_table.Cell(nRow, kColumnStatus);
}

}  // namespace stratavon
