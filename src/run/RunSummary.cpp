#include "run/RunSummary.h"

#include "run/DeviceTargets.h"

#include <cinttypes>
#include <cstdio>

#include "run/IntervalStats.h"
#include "platform/JsonText.h"
#include "engine/IoError.h"
#include "engine/RunRecord.h"
#include "engine/StampedPattern.h"
#include "engine/WorkerConsole.h"
#include "platform/CriticalSection.h"

namespace stratavon {
namespace {

constexpr double kBytesPerMb = 1048576.0;

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

void AddTargetCounters(int nTarget, TargetResult& result) {
  if (g_pTargetRecords == nullptr || nTarget < 0 || nTarget >= g_nTargetRecords) return;
  const TargetRunRecord& record = g_pTargetRecords[nTarget];
  for (int e = 0; e < kEntriesPerTarget; ++e) {
    CScopedLock lock(g_csRecords);
    result.qwBytes += record.entries[e].qwBytes.load(std::memory_order_relaxed);
    result.qwIos += record.entries[e].qwIos.load(std::memory_order_relaxed);
  }
  LatencyCounts reads = CollectLatency(nTarget, EntrySides::kRead);
  const LatencyCounts writes = CollectLatency(nTarget, EntrySides::kWrite);
  result.readLatency = Summarize(reads);
  result.writeLatency = Summarize(writes);
  reads.Add(writes);
  result.latency = Summarize(reads);
}

LatencySummary RunLatency(int nTargets) {
  LatencyCounts all;
  for (int t = 0; t < nTargets; ++t) all.Add(CollectLatency(t, EntrySides::kBoth));
  return Summarize(all);
}

int FailedWorkersOf(int nTarget) {
  if (g_pTargetRecords == nullptr || nTarget < 0 || nTarget >= g_nTargetRecords) return 0;
  int nFailed = 0;
  for (const SlotActivity& activity : g_pTargetRecords[nTarget].activity) {
    nFailed += activity.bFailed.load(std::memory_order_acquire) != 0 ? 1 : 0;
  }
  return nFailed;
}

bool RunResult::Passed() const {
  if (nFailures != 0 || !stalls.empty() || !szWorkerProcess.empty() || !szJournalFailure.empty() || bAbandoned) {
    return false;
  }
  for (const TargetResult& target : targets) {
    if (target.qwIoErrors != 0 || !target.bMoved) return false;
  }
  return true;
}

namespace {

// What the records tell of a target beyond the front end's words: its
// failed calls, whether it moved data, and where its workers' verifications
// found the data differing; and from them and its failed workers, whether
// and why it failed.
void AddTargetVerdict(TargetResult& target, int nTarget) {
  const IoErrorTally tally = TargetIoErrors(nTarget);
  target.qwIoErrors = tally.qwCalls;
  target.szFirstIoError = FirstIoErrorText(tally);
  target.bMoved = false;
  if (g_pTargetRecords != nullptr && nTarget < g_nTargetRecords) {
    for (const SlotActivity& activity : g_pTargetRecords[nTarget].activity) {
      if (activity.bMoved.load(std::memory_order_acquire) != 0) target.bMoved = true;
    }
  }
  for (const IntegrityReport& report : IntegrityReports()) {
    if (report.nTarget == nTarget) target.mismatches.push_back(report);
  }
  target.nFailure = target.nFailedWorkers > 0 ? TargetFailure::kWorkerFailed
                    : tally.qwCalls != 0      ? TargetFailure::kCallsFailed
                    : !target.bMoved          ? TargetFailure::kNoIo
                                              : TargetFailure::kNone;
  if (target.Failed()) target.szStatus = "FAIL";
  // The row's Error cell may hold the failed calls' own words ("WRITE API x3"),
  // as the last tick saw them.
  const std::string szCellWords = std::string(DescribeIoError(tally.nFirstKind, false).szShort) + " x";
  if (target.szError == "NONE" || target.szError.empty() ||
      (tally.qwCalls != 0 && target.szError.starts_with(szCellWords))) {
    if (tally.qwCalls != 0) {
      target.szError = DescribeIoError(tally.nFirstKind, false).szShort;
    } else if (!target.bMoved) {
      target.szError = "NO I/O";
    }
  }
}

}  // namespace

RunResult CollectTargetResults(int nTargets, const TargetWordsFn& wordsOf, bool bCounted) {
  RunResult result;
  if (g_bStampedPattern) result.qwStampRunId = g_qwStampRunId;
  for (int t = 0; t < nTargets; ++t) {
    TargetWords words = wordsOf(t);
    TargetResult target;
    if (g_pTargetRecords != nullptr && t < g_nTargetRecords) {
      CScopedLock lock(g_csRecords);
      target.target = g_pTargetRecords[t].target;
      // A device's surface map, kept with or without counting.
      if (target.target.IsDevice()) target.pSurface = g_pTargetRecords[t].pSurface;
    }
    target.szStatus = std::move(words.szStatus);
    target.szError = std::move(words.szError);
    target.szReason = std::move(words.szReason);
    target.nFailedWorkers = words.nFailedWorkers;
    result.nFailures += words.nFailedWorkers;
    if (bCounted) AddTargetCounters(t, target);
    AddTargetVerdict(target, t);
    result.targets.push_back(std::move(target));
  }
  if (bCounted) result.latency = RunLatency(nTargets);
  return result;
}

std::string VerdictLine(const RunResult& result) {
  std::string sz;
  if (result.Passed()) {
    sz = "verdict: PASS, no worker failed";
  } else {
    std::vector<std::string> reasons;
    if (result.nFailures != 0) {
      reasons.push_back(std::to_string(result.nFailures) + (result.nFailures == 1 ? " worker" : " workers") +
                        " failed");
    }
    if (!result.stalls.empty()) {
      reasons.push_back(std::to_string(result.stalls.size()) +
                        (result.bAbandoned ? " still inside a call when the run was left"
                                           : " stalled in a call past the I/O time-out"));
    }
    for (const TargetResult& target : result.targets) {
      if (target.qwIoErrors != 0) {
        reasons.push_back(target.target.szPath + " had " + std::to_string(target.qwIoErrors) +
                          " failed I/O call(s), first: " + target.szFirstIoError);
      }
      if (!target.bMoved) reasons.push_back(target.target.szPath + " completed no I/O");
    }
    if (!result.szWorkerProcess.empty()) reasons.push_back(result.szWorkerProcess);
    if (!result.szJournalFailure.empty()) reasons.push_back(result.szJournalFailure);
    sz = result.bAbandoned ? "verdict: STOPPED" : "verdict: FAIL";
    for (size_t i = 0; i < reasons.size(); ++i) sz += (i == 0 ? ", " : "; ") + reasons[i];
  }
  if (result.szStoppedBy.starts_with("SIG")) sz += " (stopped by " + result.szStoppedBy + ")";
  return sz + "\n";
}

namespace {

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

std::string RunResultJson(const RunResult& result) {
  std::string sz = "{\"elapsed_s\": " + JsonDecimal(result.dElapsedSeconds) +
                   ", \"failures\": " + std::to_string(result.nFailures) +
                   ", \"verdict\": " + (result.Passed() ? "\"PASS\"" : result.bAbandoned ? "\"STOPPED\"" : "\"FAIL\"") +
                   ", \"startup_s\": " + JsonDecimal(result.dStartupSeconds);
  if (result.qwStampRunId != 0) sz += ", \"run_id\": \"" + StampRunIdText(result.qwStampRunId) + "\"";
  sz += ", \"stopped_by\": ";
  AppendJsonString(sz, result.szStoppedBy);
  sz += ", \"stalls\": [";
  for (size_t i = 0; i < result.stalls.size(); ++i) {
    if (i > 0) sz += ", ";
    AppendJsonString(sz, result.stalls[i]);
  }
  sz += "]";
  if (!result.szWorkerProcess.empty()) {
    sz += ", \"worker_process\": ";
    AppendJsonString(sz, result.szWorkerProcess);
  }
  if (!result.szJournalFailure.empty()) {
    sz += ", \"journal_failure\": ";
    AppendJsonString(sz, result.szJournalFailure);
  }
  sz += ", \"targets\": [";
  for (size_t i = 0; i < result.targets.size(); ++i) {
    const TargetResult& target = result.targets[i];
    if (i > 0) sz += ", ";
    sz += "{\"root\": ";
    AppendJsonString(sz, target.target.szPath);
    if (target.target.IsDevice()) sz += ", \"device\": " + DeviceTargetJson(target.target);
    sz += ", \"status\": ";
    AppendJsonString(sz, target.szStatus);
    sz += ", \"error\": ";
    AppendJsonString(sz, target.szError);
    sz += ", \"bytes\": " + std::to_string(target.qwBytes) + ", \"ios\": " + std::to_string(target.qwIos) +
          ", \"mb_per_s\": " + JsonDecimal(AverageMbPerSecond(target.qwBytes, result.dElapsedSeconds)) +
          ", \"iops\": " + JsonDecimal(AveragePerSecond(target.qwIos, result.dElapsedSeconds)) +
          ", \"io_errors\": " + std::to_string(target.qwIoErrors) + ", \"first_io_error\": ";
    AppendJsonString(sz, target.szFirstIoError);
    if (!target.mismatches.empty()) {
      sz += ", \"mismatch\": [";
      for (size_t m = 0; m < target.mismatches.size(); ++m) sz += (m > 0 ? ", " : "") + MismatchJson(target.mismatches[m]);
      sz += "]";
    }
    if (target.pSurface) sz += ", \"surface\": " + SurfaceJson(*target.pSurface);
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

std::string RefusedRunJson(const std::string& szError) {
  std::string sz = "{\"verdict\": \"REFUSED\", \"error\": ";
  AppendJsonString(sz, szError);
  return sz + "}\n";
}

std::string RunResultText(const RunResult& result) {
  std::string sz;
  char szLine[256];
  for (const TargetResult& target : result.targets) {
    std::snprintf(szLine, sizeof szLine, "  %" PRIu64 " bytes  %" PRIu64 " I/Os  %.1f MB/s  %.1f IOPS\n",
                  target.qwBytes, target.qwIos, AverageMbPerSecond(target.qwBytes, result.dElapsedSeconds),
                  AveragePerSecond(target.qwIos, result.dElapsedSeconds));
    sz += "result: " + target.target.szPath + "  " + target.szStatus + "  " + target.szError + szLine;
    if (!target.szReason.empty()) sz.insert(sz.size() - 1, "  (" + target.szReason + ")");
    for (const IntegrityReport& report : target.mismatches) {
      sz += "result: " + target.target.szPath + "  slot " + std::to_string(report.nSlot) + " " +
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
    if (target.pSurface) sz += SurfaceText(target.target.szPath, *target.pSurface, target.target.bWritable);
  }
  for (const TargetResult& target : result.targets) {
    if (target.latency.qwCount == 0) continue;
    sz += LatencyLine(target.target.szPath, target.latency);
    if (target.BothKinds()) {
      sz += LatencyLine(target.target.szPath + " read", target.readLatency);
      sz += LatencyLine(target.target.szPath + " write", target.writeLatency);
    }
  }
  if (result.latency.qwCount != 0) sz += LatencyLine("total", result.latency);
  std::snprintf(szLine, sizeof szLine, "averages over %.1f s of load (start-up took %.1f s)\n",
                result.dElapsedSeconds, result.dStartupSeconds);
  sz += szLine;
  for (const std::string& szStall : result.stalls) sz += "stalled: " + szStall + "\n";
  if (!result.szWorkerProcess.empty()) sz += "worker process: " + result.szWorkerProcess + "\n";
  return sz + VerdictLine(result);
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
  std::string sz =
      "root,status,error,bytes,ios,mb_per_s,iops,elapsed_s,failure,first_bad_offset,mismatch_kind,"
      "p50_us,p90_us,p99_us,p99.9_us,max_us\n";
  for (const TargetResult& target : result.targets) {
    sz += CsvField(target.target.szPath) + "," + CsvField(target.szStatus) + "," + CsvField(target.szError) + "," +
          std::to_string(target.qwBytes) + "," + std::to_string(target.qwIos) + "," +
          JsonDecimal(AverageMbPerSecond(target.qwBytes, result.dElapsedSeconds)) + "," +
          JsonDecimal(AveragePerSecond(target.qwIos, result.dElapsedSeconds)) + "," +
          JsonDecimal(result.dElapsedSeconds) + "," + CsvField(target.szReason) + ",";
    // Empty fields without a failed verification or without timed I/O.
    if (!target.mismatches.empty()) {
      const IntegrityReport& first = target.mismatches.front();
      sz += std::to_string(first.mismatch.qwFirstOffset) + "," + CsvField(DescribeIoError(first.nKind, false).szShort);
    } else {
      sz += ",";
    }
    const LatencySummary& l = target.latency;
    if (l.qwCount != 0) {
      for (double dUs : {l.dP50Us, l.dP90Us, l.dP99Us, l.dP999Us, l.dMaxUs}) sz += "," + JsonDecimal(dUs);
    } else {
      sz += ",,,,,";
    }
    sz += "\n";
  }
  if (!result.settings.empty()) {
    sz += "\nsetting,value\n";
    for (const auto& [szName, szValue] : result.settings) sz += CsvField(szName) + "," + CsvField(szValue) + "\n";
  }
  return sz;
}

}  // namespace stratavon
