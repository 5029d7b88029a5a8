#include "run/RunReport.h"

#include "engine/IoError.h"
#include "run/DeviceTargets.h"
#include "platform/CriticalSection.h"
#include "engine/RunRecord.h"
#include "engine/StampedPattern.h"

namespace stratavon {
namespace {

size_t RootWidth(const CHeadlessConsole& console, int nTargets) {
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

RunResult CollectRunResult(const CHeadlessConsole& console, int nTargets, double dElapsedSeconds) {
  RunResult result = CollectTargetResults(nTargets, [&console](int t) {
    return TargetWords{console.TargetStatus(t), console.Table().Cell(t, kColumnError), console.ReasonOf(t),
                       console.FailuresOf(t)};
  });
  result.dElapsedSeconds = dElapsedSeconds;
  return result;
}

std::string LiveLines(const CHeadlessConsole& console, int nTargets) {
  const std::string szElapsed = "[" + console.ElapsedText() + "] ";
  const size_t nWidth = RootWidth(console, nTargets);
  std::string szLines;
  for (int t = 0; t < nTargets; ++t) {
    const CConsoleTable::Row row = console.Table().RowAt(t);
    szLines += szElapsed + Padded(row[kColumnTarget], nWidth) + "  " + Padded(console.TargetStatus(t), 4) + "  " +
               row[kColumnMbPerSec] + " MB/s  " + row[kColumnIops] + " IOPS  " + row[kColumnError];
    const IoErrorTally tally = TargetIoErrors(t);
    if (tally.qwCalls != 0) szLines += "  (first failed call: " + FirstIoErrorText(tally) + ")";
    szLines += SurfaceLiveText(t);
    szLines += "\n";
  }
  szLines += szElapsed + "total  " + console.PerformanceText() + "  " + console.IopsText() + "\n";
  return szLines;
}

}  // namespace stratavon
