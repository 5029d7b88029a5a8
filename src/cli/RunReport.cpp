#include "cli/RunReport.h"

#include <cinttypes>
#include <cstdio>

#include "console/advanced/IntervalStats.h"
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

// {"min": .., "mean": .., "p50": .., "p90": .., "p99": .., "p99.9": .., "p99.99": .., "max": .., "count": N}
std::string LatencyJson(const LatencySummary& l) {
  return "{\"min\": " + JsonDecimal(l.dMinUs) + ", \"mean\": " + JsonDecimal(l.dMeanUs) +
         ", \"p50\": " + JsonDecimal(l.dP50Us) + ", \"p90\": " + JsonDecimal(l.dP90Us) +
         ", \"p99\": " + JsonDecimal(l.dP99Us) + ", \"p99.9\": " + JsonDecimal(l.dP999Us) +
         ", \"p99.99\": " + JsonDecimal(l.dP9999Us) + ", \"max\": " + JsonDecimal(l.dMaxUs) +
         ", \"count\": " + std::to_string(l.qwCount) + "}";
}

std::string LatencyLine(const std::string& szWhat, const LatencySummary& l) {
  char szLine[320];
  std::snprintf(szLine, sizeof szLine,
                "  min %.1f  mean %.1f  p50 %.1f  p90 %.1f  p99 %.1f  p99.9 %.1f  p99.99 %.1f  max %.1f us\n",
                l.dMinUs, l.dMeanUs, l.dP50Us, l.dP90Us, l.dP99Us, l.dP999Us, l.dP9999Us, l.dMaxUs);
  return "latency: " + szWhat + szLine;
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
  LatencyCounts total;
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
      LatencyCounts reads = CollectLatency(t, EntrySides::kRead);
      const LatencyCounts writes = CollectLatency(t, EntrySides::kWrite);
      target.readLatency = Summarize(reads);
      target.writeLatency = Summarize(writes);
      reads.Add(writes);
      target.latency = Summarize(reads);
      total.Add(reads);
    }
    result.targets.push_back(std::move(target));
  }
  result.latency = Summarize(total);
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
          ", \"iops\": " + JsonDecimal(AveragePerSecond(target.qwIos, result.dElapsedSeconds));
    if (target.latency.qwCount != 0) sz += ", \"latency_us\": " + LatencyJson(target.latency);
    if (target.BothKinds()) {
      sz += ", \"read_latency_us\": " + LatencyJson(target.readLatency) +
            ", \"write_latency_us\": " + LatencyJson(target.writeLatency);
    }
    sz += "}";
  }
  sz += "]";
  if (result.latency.qwCount != 0) sz += ", \"latency_us\": " + LatencyJson(result.latency);
  sz += "}\n";
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
  for (const TargetResult& target : result.targets) {
    if (target.latency.qwCount == 0) continue;
    sz += LatencyLine(target.szRoot, target.latency);
    if (target.BothKinds()) {
      sz += LatencyLine(target.szRoot + " read", target.readLatency);
      sz += LatencyLine(target.szRoot + " write", target.writeLatency);
    }
  }
  if (result.latency.qwCount != 0) sz += LatencyLine("total", result.latency);
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
