#include "engine/Mismatch.h"

#include <mutex>

namespace stratavon {
namespace {

std::mutex g_mutexReports;
std::vector<IntegrityReport> g_reports;

}  // namespace

MismatchInfo AnalyseMismatch(const uint8_t* pExpected, const uint8_t* pFound, size_t nBytes, uint64_t qwFileOffset) {
  MismatchInfo info;
  bool bAny = false;
  for (size_t nUnit = 0; nUnit < nBytes; nUnit += kMismatchUnitBytes) {
    const size_t nEnd = nUnit + kMismatchUnitBytes < nBytes ? nUnit + kMismatchUnitBytes : nBytes;
    bool bUnitBad = false;
    for (size_t n = nUnit; n < nEnd; ++n) {
      if (pExpected[n] == pFound[n]) continue;
      if (!bAny) info.qwFirstOffset = qwFileOffset + n;
      bAny = true;
      bUnitBad = true;
      info.qwLastOffset = qwFileOffset + n;
      ++info.qwDifferingBytes;
    }
    if (bUnitBad) ++info.qwBadUnits;
  }
  return info;
}

void PublishIntegrityReport(const IntegrityReport& report) {
  std::lock_guard<std::mutex> lock(g_mutexReports);
  g_reports.push_back(report);
}

std::vector<IntegrityReport> IntegrityReports() {
  std::lock_guard<std::mutex> lock(g_mutexReports);
  return g_reports;
}

void ClearIntegrityReports() {
  std::lock_guard<std::mutex> lock(g_mutexReports);
  g_reports.clear();
}

std::string DescribeMismatch(const MismatchInfo& mismatch) {
  return "first differing byte at " + std::to_string(mismatch.qwFirstOffset) + ", " +
         std::to_string(mismatch.qwDifferingBytes) + " bytes differ in " + std::to_string(mismatch.qwBadUnits) +
         " unit(s) of 512, last at " + std::to_string(mismatch.qwLastOffset);
}

}  // namespace stratavon
