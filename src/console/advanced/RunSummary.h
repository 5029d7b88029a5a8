#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace stratavon {

// What a run leaves per target once every worker has ended.
struct TargetResult {
  std::string szRoot;
  std::string szStatus;
  std::string szError;
  uint64_t qwBytes = 0;  // everything counted over the run (Enable Performance)
  uint64_t qwIos = 0;
  std::string szFailure;  // the long words of the target's first failure; empty without one
};

struct RunResult {
  double dElapsedSeconds = 0;
  int nFailures = 0;
  std::vector<TargetResult> targets;
  // The settings the run used, as name and value (shown and saved beside
  // the figures; the JSON document leaves them out, as the CLI's does).
  std::vector<std::pair<std::string, std::string>> settings;
};

// Adds every slot's counters of a target to result (under g_csRecords,
// one slot at a time). Nothing without a records block or beyond it.
void AddTargetCounters(int nTarget, TargetResult& result);

// Workers that ended in FAIL: a failing worker writes "FAIL" into its
// target's Status cell once, when it reports its failure, so every such
// write is one failed worker. Safe from any thread.
class CFailureTally {
 public:
  explicit CFailureTally(size_t nTargets = 0) : m_failures(nTargets, 0) {}
  void Resize(size_t nTargets);
  // Every write of a Status cell passes here.
  void Note(int nRow, int nColumn, const std::string& szText);
  int Failures() const;
  int FailuresOf(int nRow) const;

 private:
  mutable std::mutex m_mutex;
  std::vector<int> m_failures;
};

// MB per second and I/Os per second averaged over the elapsed time.
double AverageMbPerSecond(uint64_t qwBytes, double dSeconds);
double AveragePerSecond(uint64_t qwCount, double dSeconds);

// The one object of stratavon-cli run --json; the desktop program saves
// the same document.
std::string RunResultJson(const RunResult& result);
// The closing lines without --json: a result line per target and the verdict.
std::string RunResultText(const RunResult& result);
// A header line and one line per target (RFC 4180 quoting), then the
// settings as name,value lines after an empty line.
std::string RunResultCsv(const RunResult& result);

}  // namespace stratavon
