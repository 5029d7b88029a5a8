#include "run/ConsoleTable.h"

namespace stratavon {

CConsoleTable::CConsoleTable(size_t nRows) : m_rows(nRows) {}

void CConsoleTable::Resize(size_t nRows) {
  std::lock_guard lock(m_mutex);
  m_rows.resize(nRows);
}

void CConsoleTable::SetTargetText(int nRow, int nColumn, const std::string& szText) {
  std::lock_guard lock(m_mutex);
  // A row that does not exist is ignored, as a list view ignores it.
  if (nRow < 0 || static_cast<size_t>(nRow) >= m_rows.size() || nColumn < 0 || nColumn >= kTargetColumns) return;
  m_rows[static_cast<size_t>(nRow)][static_cast<size_t>(nColumn)] = szText;
}

void CConsoleTable::SetStatusText(const std::string& szText) {
  std::lock_guard lock(m_mutex);
  m_szStatus = szText;
}

void CConsoleTable::SetExtendedText(const std::string& szText) {
  std::lock_guard lock(m_mutex);
  m_szExtended = szText;
}

std::string CConsoleTable::Cell(int nRow, int nColumn) const {
  std::lock_guard lock(m_mutex);
  if (nRow < 0 || static_cast<size_t>(nRow) >= m_rows.size() || nColumn < 0 || nColumn >= kTargetColumns) return {};
  return m_rows[static_cast<size_t>(nRow)][static_cast<size_t>(nColumn)];
}

CConsoleTable::Row CConsoleTable::RowAt(int nRow) const {
  std::lock_guard lock(m_mutex);
  if (nRow < 0 || static_cast<size_t>(nRow) >= m_rows.size()) return {};
  return m_rows[static_cast<size_t>(nRow)];
}

size_t CConsoleTable::Rows() const {
  std::lock_guard lock(m_mutex);
  return m_rows.size();
}

std::string CConsoleTable::StatusText() const {
  std::lock_guard lock(m_mutex);
  return m_szStatus;
}

std::string CConsoleTable::ExtendedText() const {
  std::lock_guard lock(m_mutex);
  return m_szExtended;
}

}  // namespace stratavon
