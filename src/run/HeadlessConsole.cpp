#include "run/HeadlessConsole.h"

#include "run/RunSummary.h"
#include "engine/RunRecord.h"

namespace stratavon {

CHeadlessConsole::CHeadlessConsole(size_t nTargets) : m_table(nTargets), m_nTargets(static_cast<int>(nTargets)) {}

void CHeadlessConsole::SetTargetText(int nRow, int nColumn, const std::string& szText) {
  // A row the table does not have is no target of this run.
  if (nRow < 0 || static_cast<size_t>(nRow) >= m_table.Rows()) return;
  m_verdict.SetTargetText(nRow, nColumn, szText);
}

void CHeadlessConsole::SetPerformanceText(const std::string& szText) {
  std::lock_guard lock(m_mutex);
  m_szPerformance = szText;
}

void CHeadlessConsole::SetIopsText(const std::string& szText) {
  std::lock_guard lock(m_mutex);
  m_szIops = szText;
}

void CHeadlessConsole::SetElapsedText(const std::string& szText) {
  std::lock_guard lock(m_mutex);
  m_szElapsed = szText;
}

void CHeadlessConsole::StartTimers(bool bStats) {
  m_bStatsTimer = bStats;
  m_bTimers = true;
}

void CHeadlessConsole::KillTimers() {
  m_bTimers = false;
  m_bStatsTimer = false;
}

std::string CHeadlessConsole::PerformanceText() const {
  std::lock_guard lock(m_mutex);
  return m_szPerformance;
}

std::string CHeadlessConsole::IopsText() const {
  std::lock_guard lock(m_mutex);
  return m_szIops;
}

std::string CHeadlessConsole::ElapsedText() const {
  std::lock_guard lock(m_mutex);
  return m_szElapsed;
}

int CHeadlessConsole::Failures() const {
  int nTotal = 0;
  for (int t = 0; t < m_nTargets; ++t) nTotal += FailuresOf(t);
  return nTotal;
}

int CHeadlessConsole::FailuresOf(int nRow) const {
  return nRow >= 0 && nRow < m_nTargets ? FailedWorkersOf(nRow) : 0;
}

std::string CHeadlessConsole::TargetStatus(int nRow) const { return m_table.Cell(nRow, kColumnStatus); }

}  // namespace stratavon
