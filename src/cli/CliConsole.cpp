#include "cli/CliConsole.h"

namespace stratavon {

CCliConsole::CCliConsole(size_t nTargets) : m_table(nTargets), m_failures(nTargets) {}

void CCliConsole::SetTargetText(int nRow, int nColumn, const std::string& szText) {
  m_failures.Note(nRow, nColumn, szText);
  m_table.SetTargetText(nRow, nColumn, szText);
}

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

std::string CCliConsole::TargetStatus(int nRow) const {
  if (FailuresOf(nRow) > 0) return "FAIL";
  return m_table.Cell(nRow, kColumnStatus);
}

}  // namespace stratavon
