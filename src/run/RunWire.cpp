#include "run/RunWire.h"

#include <cstring>

namespace stratavon {
namespace {

// Fixed-width numbers and length-led strings, in this machine's byte order:
// every process of one run runs the same build on the same architecture.
class CPacker {
 public:
  void Number(uint64_t qw) { m_sz.append(reinterpret_cast<const char*>(&qw), sizeof qw); }
  void Real(double d) { m_sz.append(reinterpret_cast<const char*>(&d), sizeof d); }
  void Text(const std::string& sz) {
    Number(sz.size());
    m_sz += sz;
  }
  const std::string& Bytes() const { return m_sz; }

 private:
  std::string m_sz;
};

class CUnpacker {
 public:
  explicit CUnpacker(const std::string& sz) : m_sz(sz) {}
  bool Number(uint64_t& qw) { return Take(&qw, sizeof qw); }
  bool Real(double& d) { return Take(&d, sizeof d); }
  bool Text(std::string& sz) {
    uint64_t qwSize = 0;
    if (!Number(qwSize) || qwSize > m_sz.size() - m_nAt) return false;
    sz.assign(m_sz, m_nAt, qwSize);
    m_nAt += qwSize;
    return true;
  }
  bool AtEnd() const { return m_nAt == m_sz.size(); }

 private:
  bool Take(void* p, size_t n) {
    if (n > m_sz.size() - m_nAt) return false;
    std::memcpy(p, m_sz.data() + m_nAt, n);
    m_nAt += n;
    return true;
  }
  const std::string& m_sz;
  size_t m_nAt = 0;
};

}  // namespace

RankResult DescribeRank(const RunResult& result, const std::string& szEventLog) {
  RankResult rank;
  rank.szEventLog = szEventLog;
  rank.szText = RunResultText(result);
  rank.szJson = RunResultJson(result);
  while (!rank.szJson.empty() && rank.szJson.back() == '\n') rank.szJson.pop_back();
  rank.szVerdict = VerdictLine(result);
  rank.bPassed = result.Passed();
  for (const TargetResult& target : result.targets) {
    rank.qwBytes += target.qwBytes;
    rank.qwIos += target.qwIos;
  }
  rank.dElapsedSeconds = result.dElapsedSeconds;
  rank.nFailures = result.nFailures + static_cast<int>(result.stalls.size());
  return rank;
}

std::string PackRankResult(const RankResult& rank) {
  CPacker packer;
  packer.Text(rank.szEventLog);
  packer.Text(rank.szText);
  packer.Text(rank.szJson);
  packer.Text(rank.szVerdict);
  packer.Number(rank.bPassed ? 1 : 0);
  packer.Number(rank.qwBytes);
  packer.Number(rank.qwIos);
  packer.Real(rank.dElapsedSeconds);
  packer.Number(static_cast<uint64_t>(rank.nFailures));
  return packer.Bytes();
}

bool UnpackRankResult(const std::string& szBytes, RankResult& rank) {
  CUnpacker unpacker(szBytes);
  uint64_t qwPassed = 0;
  uint64_t qwFailures = 0;
  if (!unpacker.Text(rank.szEventLog) || !unpacker.Text(rank.szText) || !unpacker.Text(rank.szJson) ||
      !unpacker.Text(rank.szVerdict) || !unpacker.Number(qwPassed) || !unpacker.Number(rank.qwBytes) ||
      !unpacker.Number(rank.qwIos) || !unpacker.Real(rank.dElapsedSeconds) || !unpacker.Number(qwFailures) ||
      !unpacker.AtEnd()) {
    return false;
  }
  rank.bPassed = qwPassed != 0;
  rank.nFailures = static_cast<int>(qwFailures);
  return true;
}

RankTotals SumRanks(const std::vector<RankResult>& ranks) {
  RankTotals totals;
  for (const RankResult& rank : ranks) {
    if (rank.bLost) {
      ++totals.nLost;
      totals.bPassed = false;
      continue;
    }
    totals.qwBytes += rank.qwBytes;
    totals.qwIos += rank.qwIos;
    totals.dMbPerSecond += AverageMbPerSecond(rank.qwBytes, rank.dElapsedSeconds);
    totals.dIops += AveragePerSecond(rank.qwIos, rank.dElapsedSeconds);
    if (rank.dElapsedSeconds > totals.dElapsedSeconds) totals.dElapsedSeconds = rank.dElapsedSeconds;
    totals.nFailures += rank.nFailures;
    if (!rank.bPassed) totals.bPassed = false;
  }
  if (ranks.empty()) totals.bPassed = false;
  return totals;
}

}  // namespace stratavon
