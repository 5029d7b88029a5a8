#include "cli/RunReport.h"

#include <cinttypes>
#include <cstdio>

#include "platform/JsonText.h"
#include "engine/IoError.h"
#include "engine/RunRecord.h"
#include "engine/StampedPattern.h"
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

std::string MismatchJson(const IntegrityReport& report) {
  const MismatchInfo& m = report.mismatch;
  std::string sz = "{\"slot\": " + std::to_string(report.nSlot) + ", \"side\": \"" +
                   (report.bWriteSide ? "write" : "read") + "\", \"kind\": ";
  AppendJsonString(sz, DescribeIoError(report.nKind, false).szShort);
  sz += ", \"first_offset\": " + std::to_string(m.qwFirstOffset) + ", \"last_offset\": " +
        std::to_string(m.qwLastOffset) + ", \"differing_bytes\": " + std::to_string(m.qwDifferingBytes) +
        ", \"bad_units\": " + std::to_string(m.qwBadUnits) + ", \"bad_file\": ";
  AppendJsonString(sz, report.szBadFile);
  if (report.bStamped) {
    const StampVerdict& v = report.stamps;
    sz += ", \"first_bad_unit\": " + std::to_string(v.qwFirstBadOffset) + ", \"unit_state\": ";
    AppendJsonString(sz, UnitStateWord(v.first.state));
    sz += ", \"found_offset\": " + std::to_string(v.first.qwFoundOffset) +
          ", \"found_pass\": " + std::to_string(v.first.dwFoundPass) +
          ", \"expected_pass\": " + std::to_string(report.dwExpectedPass) + ", \"units\": {";
    for (int i = 0; i < kUnitStates; ++i) {
      std::string szWord = UnitStateWord(static_cast<UnitState>(i));
      for (char& c : szWord) c = static_cast<char>(c - 'A' + 'a');
      sz += (i == 0 ? "\"" : ", \"") + szWord + "\": " + std::to_string(v.aqwUnits[i]);
    }
    sz += "}";
  }
  return sz + "}";
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
  if (g_bStampedPattern) result.qwStampRunId = g_qwStampRunId;
  const std::vector<IntegrityReport> reports = IntegrityReports();
  for (int t = 0; t < nTargets; ++t) {
    TargetResult target;
    target.szRoot = console.Table().Cell(t, kColumnTarget);
    target.szStatus = console.TargetStatus(t);
    target.szError = console.Table().Cell(t, kColumnError);
    if (g_pTargetRecords != nullptr && t < g_nTargetRecords) {
      const TargetRunRecord& record = g_pTargetRecords[t];
      for (int e = 0; e < kEntriesPerTarget; ++e) {
        CScopedLock lock(g_csRecords);
        target.qwBytes += record.entries[e].qwBytes;
        target.qwIos += record.entries[e].qwIos;
      }
    }
    for (const IntegrityReport& report : reports) {
      if (report.nTarget == t) target.mismatches.push_back(report);
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
                   ", \"failures\": " + std::to_string(result.nFailures);
  if (result.qwStampRunId != 0) sz += ", \"run_id\": \"" + StampRunIdText(result.qwStampRunId) + "\"";
  sz += ", \"targets\": [";
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
          ", \"iops\": " + JsonDecimal(AveragePerSecond(target.qwIos, result.dElapsedSeconds));
    if (!target.mismatches.empty()) {
      sz += ", \"mismatch\": [";
      for (size_t m = 0; m < target.mismatches.size(); ++m) sz += (m > 0 ? ", " : "") + MismatchJson(target.mismatches[m]);
      sz += "]";
    }
    sz += "}";
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
    for (const IntegrityReport& report : target.mismatches) {
      sz += "result: " + target.szRoot + "  slot " + std::to_string(report.nSlot) + " " +
            DescribeIoError(report.nKind, false).szShort + ": " + DescribeMismatch(report.mismatch);
      if (report.bStamped) {
        const UnitFinding& first = report.stamps.first;
        sz += "; first bad unit at " + std::to_string(report.stamps.qwFirstBadOffset) + " " +
              UnitStateWord(first.state) + " (carries offset " + std::to_string(first.qwFoundOffset) + ", pass " +
              std::to_string(first.dwFoundPass) + " of " + std::to_string(report.dwExpectedPass) + ")";
      }
      if (!report.szBadFile.empty()) sz += "; as read: " + report.szBadFile;
      sz += "\n";
    }
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
