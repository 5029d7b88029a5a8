#pragma once

#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "engine/WorkerConsole.h"

namespace stratavon {

// A worker console kept as a plain table under a mutex: the target list's
// cells, the Status text and the Extended text. The command line prints
// from it; tests read it.
class CConsoleTable : public IWorkerConsole {
 public:
  using Row = std::array<std::string, kTargetColumns>;

  explicit CConsoleTable(size_t nRows = 0);

  void Resize(size_t nRows);
  void SetTargetText(int nRow, int nColumn, const std::string& szText) override;
  void SetStatusText(const std::string& szText) override;
  void SetExtendedText(const std::string& szText) override;

  std::string Cell(int nRow, int nColumn) const;
  Row RowAt(int nRow) const;
  size_t Rows() const;
  std::string StatusText() const;
  std::string ExtendedText() const;

 private:
  mutable std::mutex m_mutex;
  std::vector<Row> m_rows;
  std::string m_szStatus;
  std::string m_szExtended;
};

}  // namespace stratavon
