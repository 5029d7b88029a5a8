#include "console/advanced/RunSummary.h"

#include <cinttypes>
#include <cstdio>

#include "platform/JsonText.h"
#include "engine/RunRecord.h"
#include "engine/WorkerConsole.h"
#include "platform/CriticalSection.h"

namespace stratavon {
namespace {

constexpr double kBytesPerMb = 1048576.0;

}  // namespace

double AverageMbPerSecond(uint64_t qwBytes, double dSeconds) {
  return dSeconds > 0 ? static_cast<double>(qwBytes) / kBytesPerMb / dSeconds : 0.0;
}

double AveragePerSecond(uint64_t qwCount, double dSeconds) {
  return dSeconds > 0 ? static_cast<double>(qwCount) / dSeconds : 0.0;
}

void AddTargetCounters(int nTarget, TargetResult& result) {
  if (g_pTargetRecords == nullptr || nTarget < 0 || nTarget >= g_nTargetRecords) return;
  const TargetRunRecord& record = g_pTargetRecords[nTarget];
  for (int e = 0; e < kEntriesPerTarget; ++e) {
    CScopedLock lock(g_csRecords);
    result.qwBytes += record.entries[e].qwBytes;
    result.qwIos += record.entries[e].qwIos;
  }
}

void CFailureTally::Resize(size_t nTargets) {
  std::lock_guard lock(m_mutex);
  m_failures.assign(nTargets, 0);
}

void CFailureTally::Note(int nRow, int nColumn, const std::string& szText) {
  if (nColumn != kColumnStatus || szText != "FAIL" || nRow < 0) return;
  std::lock_guard lock(m_mutex);
  if (static_cast<size_t>(nRow) < m_failures.size()) ++m_failures[static_cast<size_t>(nRow)];
}

int CFailureTally::Failures() const {
  std::lock_guard lock(m_mutex);
  int nTotal = 0;
  for (int n : m_failures) nTotal += n;
  return nTotal;
}

int CFailureTally::FailuresOf(int nRow) const {
  std::lock_guard lock(m_mutex);
  if (nRow < 0 || static_cast<size_t>(nRow) >= m_failures.size()) return 0;
  return m_failures[static_cast<size_t>(nRow)];
}

std::string RunResultJson(const RunResult& result) {
  std::string sz = "{\"elapsed_s\": " + JsonDecimal(result.dElapsedSeconds) +
                   ", \"failures\": " + std::to_string(result.nFailures) + ", \"targets\": [";
  for (size_t i = 0; i < result.targets.size(); ++i) {
    const TargetResult& target = result.targets[i];
    if (i > 0) sz += ", ";
    sz += "{\"root\": ";
    AppendJsonString(sz, target.szRoot);
    sz += ", \"status\": ";
    AppendJsonString(sz, target.szStatus);
    sz += ", \"error\": ";
    AppendJsonString(sz, target.szError);
    sz += ", \"bytes\": " + std::to_string(target.qwBytes) + ", \"ios\": " + std::to_string(target.qwIos) +
          ", \"mb_per_s\": " + JsonDecimal(AverageMbPerSecond(target.qwBytes, result.dElapsedSeconds)) +
          ", \"iops\": " + JsonDecimal(AveragePerSecond(target.qwIos, result.dElapsedSeconds)) + "}";
  }
  sz += "]}\n";
  return sz;
}

std::string RunResultText(const RunResult& result) {
  std::string sz;
  char szLine[256];
  for (const TargetResult& target : result.targets) {
    std::snprintf(szLine, sizeof szLine, "  %" PRIu64 " bytes  %" PRIu64 " I/Os  %.1f MB/s  %.1f IOPS\n",
                  target.qwBytes, target.qwIos, AverageMbPerSecond(target.qwBytes, result.dElapsedSeconds),
                  AveragePerSecond(target.qwIos, result.dElapsedSeconds));
    sz += "result: " + target.szRoot + "  " + target.szStatus + "  " + target.szError + szLine;
  }
  std::snprintf(szLine, sizeof szLine, "averages over %.1f s\n", result.dElapsedSeconds);
  sz += szLine;
  if (result.nFailures == 0) {
    sz += "verdict: PASS, no worker failed\n";
  } else {
    sz += "verdict: FAIL, " + std::to_string(result.nFailures) + (result.nFailures == 1 ? " worker" : " workers") +
          " failed\n";
  }
  return sz;
}

namespace {

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& szText) {
  if (szText.find_first_of(",\"\r\n") == std::string::npos) return szText;
  std::string sz = "\"";
  for (char c : szText) {
    if (c == '"') sz += '"';
    sz += c;
  }
  return sz + "\"";
}

}  // namespace

std::string RunResultCsv(const RunResult& result) {
  std::string sz = "root,status,error,bytes,ios,mb_per_s,iops,elapsed_s,failure\n";
  for (const TargetResult& target : result.targets) {
    sz += CsvField(target.szRoot) + "," + CsvField(target.szStatus) + "," + CsvField(target.szError) + "," +
          std::to_string(target.qwBytes) + "," + std::to_string(target.qwIos) + "," +
          JsonDecimal(AverageMbPerSecond(target.qwBytes, result.dElapsedSeconds)) + "," +
          JsonDecimal(AveragePerSecond(target.qwIos, result.dElapsedSeconds)) + "," +
          JsonDecimal(result.dElapsedSeconds) + "," + CsvField(target.szFailure) + "\n";
  }
  if (!result.settings.empty()) {
    sz += "\nsetting,value\n";
    for (const auto& [szName, szValue] : result.settings) sz += CsvField(szName) + "," + CsvField(szValue) + "\n";
  }
  return sz;
}

}  // namespace stratavon
