#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "run/IntervalStats.h"

namespace stratavon {

// One line of the time-series log: a target's (or the total's) figures for
// the last rate period.
struct LogRow {
  std::string szTarget;  // the root, or "total"
  std::string szStatus;
  const IntervalFigures* pFigures = nullptr;
  // Failed calls so far (of loops that go on regardless); null when not known.
  std::optional<uint64_t> oqwIoErrors;
};

// The --log file: every period one line per target and one for the total,
// as JSON objects (one a line) or as CSV with a header. Each period's lines
// go to the file in one write of whole lines, straight to the kernel, so
// a run that is killed leaves every period it logged, and no half line
// unless the disk itself fails mid-write.
class CRunLog {
 public:
  CRunLog() = default;
  ~CRunLog();
  CRunLog(const CRunLog&) = delete;
  CRunLog& operator=(const CRunLog&) = delete;

  // Creates (or empties) the file; false with the system's text in *pszError.
  bool Open(const std::string& szPath, bool bCsv, std::string* pszError);
  bool IsOpen() const { return m_hFile >= 0; }
  // Appends one period's lines; false (with the reason) when the write
  // failed, after which the log takes nothing more.
  bool Write(double dSecondsSinceStart, const std::vector<LogRow>& rows, std::string* pszError);

  // The lines of one period as they are written.
  static std::string Format(double dSecondsSinceStart, const std::vector<LogRow>& rows, bool bCsv);
  static const char* CsvHeader();

 private:
  bool WriteText(const std::string& szLines, std::string* pszError);

  int m_hFile = -1;
  bool m_bCsv = false;
  std::string m_szPath;
};

}  // namespace stratavon
