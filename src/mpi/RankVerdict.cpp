#include "mpi/RankVerdict.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/JsonText.h"

namespace stratavon {
namespace {

// Fixed-width numbers and length-led strings, in this machine's byte order:
// every rank of one job runs the same build on the same architecture.
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

std::string RankName(const RankResult& rank) { return "rank " + std::to_string(rank.nRank) + " on " + rank.szHost; }

std::string Indented(const std::string& szLines) {
  std::string sz;
  size_t nAt = 0;
  while (nAt < szLines.size()) {
    const size_t nEnd = szLines.find('\n', nAt);
    const size_t nNext = nEnd == std::string::npos ? szLines.size() : nEnd + 1;
    sz += "  " + szLines.substr(nAt, nNext - nAt);
    nAt = nNext;
  }
  if (!sz.empty() && sz.back() != '\n') sz += '\n';
  return sz;
}

// The rank's own verdict line without its "verdict: " lead and newline.
std::string RankReason(const RankResult& rank) {
  if (rank.bLost) return "lost, " + rank.szLost;
  std::string sz = rank.szVerdict;
  if (sz.starts_with("verdict: ")) sz.erase(0, 9);
  while (!sz.empty() && sz.back() == '\n') sz.pop_back();
  return sz;
}

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

std::string RanksText(const std::vector<RankResult>& ranks, const std::string& szStoppedBy) {
  std::string sz;
  std::vector<std::string> reasons;
  for (const RankResult& rank : ranks) {
    if (rank.bLost) {
      sz += RankName(rank) + ": LOST, " + rank.szLost + "\n";
      reasons.push_back(RankName(rank) + " lost, " + rank.szLost);
      continue;
    }
    sz += RankName(rank) + " (event log " + rank.szHost + ":" + rank.szEventLog + ")\n" +
          Indented(rank.szText);
    if (!rank.bPassed) {
      reasons.push_back(RankName(rank) + ": " + RankReason(rank) + "; its events are in " + rank.szEventLog +
                        " on " + rank.szHost);
    }
  }
  const RankTotals totals = SumRanks(ranks);
  char szLine[256];
  std::snprintf(szLine, sizeof szLine,
                "total of %zu rank(s): %" PRIu64 " bytes  %" PRIu64 " I/Os  %.1f MB/s  %.1f IOPS  %d failure(s)\n",
                ranks.size(), totals.qwBytes, totals.qwIos, totals.dMbPerSecond, totals.dIops, totals.nFailures);
  sz += szLine;
  const std::string szStop = szStoppedBy.starts_with("SIG") ? " (stopped by " + szStoppedBy + ")" : "";
  if (totals.bPassed) return sz + "verdict: PASS, no worker on any rank failed" + szStop + "\n";
  sz += "verdict: FAIL";
  if (reasons.empty()) reasons.push_back("no rank answered");
  for (size_t i = 0; i < reasons.size(); ++i) sz += (i == 0 ? ", " : "; ") + reasons[i];
  return sz + szStop + "\n";
}

std::string RanksJson(const std::vector<RankResult>& ranks, const std::string& szStoppedBy) {
  const RankTotals totals = SumRanks(ranks);
  std::string sz = "{\"elapsed_s\": " + JsonDecimal(totals.dElapsedSeconds) +
                   ", \"failures\": " + std::to_string(totals.nFailures) +
                   ", \"lost\": " + std::to_string(totals.nLost) +
                   ", \"verdict\": " + (totals.bPassed ? "\"PASS\"" : "\"FAIL\"") + ", \"stopped_by\": ";
  AppendJsonString(sz, szStoppedBy);
  sz += ", \"bytes\": " + std::to_string(totals.qwBytes) + ", \"ios\": " + std::to_string(totals.qwIos) +
        ", \"mb_per_s\": " + JsonDecimal(totals.dMbPerSecond) + ", \"iops\": " + JsonDecimal(totals.dIops) +
        ", \"ranks\": [";
  for (size_t i = 0; i < ranks.size(); ++i) {
    const RankResult& rank = ranks[i];
    if (i > 0) sz += ", ";
    sz += "{\"rank\": " + std::to_string(rank.nRank) + ", \"host\": ";
    AppendJsonString(sz, rank.szHost);
    sz += ", \"event_log\": ";
    AppendJsonString(sz, rank.szEventLog);
    if (rank.bLost) {
      sz += ", \"lost\": ";
      AppendJsonString(sz, rank.szLost);
      sz += ", \"verdict\": \"FAIL\"}";
      continue;
    }
    // The rank's own run object, as stratavon-cli run --json prints it,
    // joined after the fields above.
    sz += rank.szJson.size() > 2 ? ", " + rank.szJson.substr(1) : "}";
  }
  return sz + "]}\n";
}

}  // namespace stratavon
