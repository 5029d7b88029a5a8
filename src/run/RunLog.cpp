#include "run/RunLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/JsonText.h"
#include "platform/SystemError.h"

namespace stratavon {
namespace {

std::string Micros(uint64_t qwNs) { return JsonDecimal(static_cast<double>(qwNs) / 1000.0); }

std::string CsvField(const std::string& szText) {
  std::string sz = "\"";
  for (char c : szText) sz += c == '"' ? std::string("\"\"") : std::string(1, c);
  return sz + "\"";
}

}  // namespace

CRunLog::~CRunLog() {
  if (m_hFile >= 0) ::close(m_hFile);
}

const char* CRunLog::CsvHeader() { return "t_s,target,mb_per_s,iops,p50_us,p99_us,max_us,io_errors,status\n"; }

bool CRunLog::Open(const std::string& szPath, bool bCsv, std::string* pszError) {
  m_hFile = ::open(szPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (m_hFile < 0) {
    if (pszError != nullptr) *pszError = "cannot create the log " + szPath + ": " + FormatSystemMessage(errno);
    return false;
  }
  m_bCsv = bCsv;
  m_szPath = szPath;
  return !bCsv || WriteText(CsvHeader(), pszError);
}

std::string CRunLog::Format(double dSeconds, const std::vector<LogRow>& rows, bool bCsv) {
  std::string sz;
  for (const LogRow& row : rows) {
    static const IntervalFigures kNone;
    const IntervalFigures& f = row.pFigures != nullptr ? *row.pFigures : kNone;
    const bool bTimed = !f.latency.Empty();
    // Without timed I/Os in the period there is no latency to give: null
    // (an empty CSV field), never a zero that reads like a fast device.
    const std::string szNone = bCsv ? "" : "null";
    const std::string szP50 = bTimed ? Micros(f.latency.PercentileNs(50)) : szNone;
    const std::string szP99 = bTimed ? Micros(f.latency.PercentileNs(99)) : szNone;
    const std::string szMax = bTimed ? Micros(f.latency.qwMaxNs) : szNone;
    const std::string szErrors = row.oqwIoErrors ? std::to_string(*row.oqwIoErrors) : szNone;
    if (bCsv) {
      sz += JsonDecimal(dSeconds) + "," + CsvField(row.szTarget) + "," + JsonDecimal(f.MbPerSecond()) + "," +
            JsonDecimal(f.IosPerSecond()) + "," + szP50 + "," + szP99 + "," + szMax + "," + szErrors + "," +
            CsvField(row.szStatus) + "\n";
      continue;
    }
    sz += "{\"t_s\": " + JsonDecimal(dSeconds) + ", \"target\": ";
    AppendJsonString(sz, row.szTarget);
    sz += ", \"mb_per_s\": " + JsonDecimal(f.MbPerSecond()) + ", \"iops\": " + JsonDecimal(f.IosPerSecond()) +
          ", \"p50_us\": " + szP50 + ", \"p99_us\": " + szP99 + ", \"max_us\": " + szMax +
          ", \"io_errors\": " + szErrors + ", \"status\": ";
    AppendJsonString(sz, row.szStatus);
    sz += "}\n";
  }
  return sz;
}

bool CRunLog::Write(double dSeconds, const std::vector<LogRow>& rows, std::string* pszError) {
  return WriteText(Format(dSeconds, rows, m_bCsv), pszError);
}

bool CRunLog::WriteText(const std::string& szLines, std::string* pszError) {
  if (m_hFile < 0) return false;
  size_t nDone = 0;
  while (nDone < szLines.size()) {
    const ssize_t n = ::write(m_hFile, szLines.data() + nDone, szLines.size() - nDone);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (pszError != nullptr) {
        *pszError = "cannot write the log " + m_szPath + ": " + FormatSystemMessage(n < 0 ? errno : ENOSPC);
      }
      ::close(m_hFile);
      m_hFile = -1;
      return false;
    }
    nDone += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace stratavon
