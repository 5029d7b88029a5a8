#include "mpi/RankVerdict.h"

#include <cinttypes>
#include <cstdio>

#include "platform/JsonText.h"

namespace stratavon {
namespace {

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
