#include "cli/RunReport.h"

#include <cinttypes>
#include <cstdio>

#include "platform/JsonText.h"
#include "engine/RunRecord.h"
#include "platform/CriticalSection.h"

namespace stratavon {
namespace {

constexpr double kBytesPerMb = 1048576.0;

size_t RootWidth(const CCliConsole& console, int nTargets) {
  size_t nWidth = 0;
  for (int t = 0; t < nTargets; ++t) {
    const size_t n = console.Table().Cell(t, kColumnTarget).size();
    if (n > nWidth) nWidth = n;
  }
  return nWidth;
}

std::string Padded(const std::string& szText, size_t nWidth) {
  return szText.size() >= nWidth ? szText : szText + std::string(nWidth - szText.size(), ' ');
}

}  // namespace

double AverageMbPerSecond(uint64_t qwBytes, double dSeconds) {
  return dSeconds > 0 ? static_cast<double>(qwBytes) / kBytesPerMb / dSeconds : 0.0;
}

double AveragePerSecond(uint64_t qwCount, double dSeconds) {
  return dSeconds > 0 ? static_cast<double>(qwCount) / dSeconds : 0.0;
}

RunResult CollectRunResult(const CCliConsole& console, int nTargets, double dElapsedSeconds) {
  RunResult result;
  result.dElapsedSeconds = dElapsedSeconds;
  result.nFailures = console.Failures();
  for (int t = 0; t < nTargets; ++t) {
    TargetResult target;
    target.szRoot = console.Table().Cell(t, kColumnTarget);
    target.szStatus = console.TargetStatus(t);
    target.szError = console.Table().Cell(t, kColumnError);
    target.szReason = console.ReasonOf(t);
    if (g_pTargetRecords != nullptr && t < g_nTargetRecords) {
      const TargetRunRecord& record = g_pTargetRecords[t];
      for (int e = 0; e < kEntriesPerTarget; ++e) {
        CScopedLock lock(g_csRecords);
        target.qwBytes += record.entries[e].qwBytes;
        target.qwIos += record.entries[e].qwIos;
      }
    }
    result.targets.push_back(std::move(target));
  }
  return result;
}

std::string LiveLines(const CCliConsole& console, int nTargets) {
  const std::string szElapsed = "[" + console.ElapsedText() + "] ";
  const size_t nWidth = RootWidth(console, nTargets);
  std::string szLines;
  for (int t = 0; t < nTargets; ++t) {
    const CConsoleTable::Row row = console.Table().RowAt(t);
    szLines += szElapsed + Padded(row[kColumnTarget], nWidth) + "  " + Padded(console.TargetStatus(t), 4) + "  " +
               row[kColumnMbPerSec] + " MB/s  " + row[kColumnIops] + " IOPS  " + row[kColumnError] + "\n";
  }
  szLines += szElapsed + "total  " + console.PerformanceText() + "  " + console.IopsText() + "\n";
  return szLines;
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
    if (!target.szReason.empty()) sz.insert(sz.size() - 1, "  (" + target.szReason + ")");
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

}  // namespace stratavon
