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

namespace {

void PackTarget(CPacker& packer, const Target& target) {
  packer.Number(static_cast<uint64_t>(target.nKind));
  packer.Text(target.szPath);
  packer.Number(target.qwSizeBytes);
  packer.Number(target.dwLogicalSectorBytes);
  packer.Number(target.dwPhysicalSectorBytes);
  packer.Number(target.qwDeviceNumber);
  packer.Text(target.szModel);
  packer.Text(target.szSerial);
  packer.Number(static_cast<uint64_t>(static_cast<int64_t>(target.nRotational)));
  packer.Number(static_cast<uint64_t>(static_cast<int64_t>(target.nRemovable)));
  packer.Number(target.bWritable ? 1 : 0);
}

bool UnpackTarget(CUnpacker& unpacker, Target& target) {
  uint64_t qwKind = 0, qwLogical = 0, qwPhysical = 0, qwRotational = 0, qwRemovable = 0, qwWritable = 0;
  if (!unpacker.Number(qwKind) || !unpacker.Text(target.szPath) || !unpacker.Number(target.qwSizeBytes) ||
      !unpacker.Number(qwLogical) || !unpacker.Number(qwPhysical) || !unpacker.Number(target.qwDeviceNumber) ||
      !unpacker.Text(target.szModel) || !unpacker.Text(target.szSerial) || !unpacker.Number(qwRotational) ||
      !unpacker.Number(qwRemovable) || !unpacker.Number(qwWritable)) {
    return false;
  }
  if (qwKind != static_cast<uint64_t>(TargetKind::kFolder) && qwKind != static_cast<uint64_t>(TargetKind::kDevice)) {
    return false;
  }
  target.nKind = static_cast<TargetKind>(qwKind);
  target.dwLogicalSectorBytes = static_cast<uint32_t>(qwLogical);
  target.dwPhysicalSectorBytes = static_cast<uint32_t>(qwPhysical);
  target.nRotational = static_cast<int>(static_cast<int64_t>(qwRotational));
  target.nRemovable = static_cast<int>(static_cast<int64_t>(qwRemovable));
  target.bWritable = qwWritable != 0;
  return true;
}

}  // namespace

std::string PackRunProgress(const RunProgress& progress) {
  const RunResult& result = progress.result;
  CPacker packer;
  packer.Real(result.dElapsedSeconds);
  packer.Real(result.dStartupSeconds);
  packer.Number(static_cast<uint64_t>(result.nFailures));
  packer.Number(result.qwStampRunId);
  packer.Text(result.szStoppedBy);
  packer.Number(result.stalls.size());
  for (const std::string& szStall : result.stalls) packer.Text(szStall);
  packer.Number(result.targets.size());
  for (const TargetResult& target : result.targets) {
    PackTarget(packer, target.target);
    packer.Text(target.szStatus);
    packer.Text(target.szError);
    packer.Text(target.szReason);
    packer.Number(target.qwBytes);
    packer.Number(target.qwIos);
    packer.Number(target.qwIoErrors);
    packer.Text(target.szFirstIoError);
    packer.Number(target.bMoved ? 1 : 0);
    packer.Number(static_cast<uint64_t>(target.nFailure));
    packer.Number(static_cast<uint64_t>(target.nFailedWorkers));
  }
  packer.Number(progress.calls.size());
  for (const CallInProgress& call : progress.calls) {
    packer.Number(static_cast<uint64_t>(call.nTarget));
    packer.Number(static_cast<uint64_t>(call.nSlot));
    packer.Text(call.szFile);
    packer.Number(call.nCall);
    packer.Number(static_cast<uint64_t>(call.age.count()));
    packer.Number(call.qwOffset);
    packer.Number(call.dwBytes);
  }
  return packer.Bytes();
}

bool UnpackRunProgress(const std::string& szBytes, RunProgress& progress) {
  // Counts are checked against what is left, so garbled bytes cannot ask
  // for more entries than they could hold.
  CUnpacker unpacker(szBytes);
  RunResult& result = progress.result;
  result = RunResult{};
  progress.calls.clear();
  uint64_t qwFailures = 0, qwCount = 0;
  if (!unpacker.Real(result.dElapsedSeconds) || !unpacker.Real(result.dStartupSeconds) ||
      !unpacker.Number(qwFailures) || !unpacker.Number(result.qwStampRunId) || !unpacker.Text(result.szStoppedBy) ||
      !unpacker.Number(qwCount) || qwCount > szBytes.size()) {
    return false;
  }
  result.nFailures = static_cast<int>(qwFailures);
  result.stalls.resize(qwCount);
  for (std::string& szStall : result.stalls) {
    if (!unpacker.Text(szStall)) return false;
  }
  if (!unpacker.Number(qwCount) || qwCount > szBytes.size()) return false;
  result.targets.resize(qwCount);
  for (TargetResult& target : result.targets) {
    uint64_t qwMoved = 0, qwFailure = 0, qwFailedWorkers = 0;
    if (!UnpackTarget(unpacker, target.target) || !unpacker.Text(target.szStatus) || !unpacker.Text(target.szError) ||
        !unpacker.Text(target.szReason) || !unpacker.Number(target.qwBytes) || !unpacker.Number(target.qwIos) ||
        !unpacker.Number(target.qwIoErrors) || !unpacker.Text(target.szFirstIoError) || !unpacker.Number(qwMoved) ||
        !unpacker.Number(qwFailure) || !unpacker.Number(qwFailedWorkers) ||
        qwFailure > static_cast<uint64_t>(TargetFailure::kNoIo)) {
      return false;
    }
    target.bMoved = qwMoved != 0;
    target.nFailure = static_cast<TargetFailure>(qwFailure);
    target.nFailedWorkers = static_cast<int>(qwFailedWorkers);
  }
  if (!unpacker.Number(qwCount) || qwCount > szBytes.size()) return false;
  progress.calls.resize(qwCount);
  for (CallInProgress& call : progress.calls) {
    uint64_t qwTarget = 0, qwSlot = 0, qwCall = 0, qwAge = 0, qwBytes = 0;
    if (!unpacker.Number(qwTarget) || !unpacker.Number(qwSlot) || !unpacker.Text(call.szFile) ||
        !unpacker.Number(qwCall) || !unpacker.Number(qwAge) || !unpacker.Number(call.qwOffset) ||
        !unpacker.Number(qwBytes) || qwTarget >= result.targets.size() || qwSlot >= kSlotsPerTarget ||
        qwCall > kCallWrite) {
      return false;
    }
    call.nTarget = static_cast<int>(qwTarget);
    call.nSlot = static_cast<int>(qwSlot);
    call.nCall = static_cast<SlotCall>(qwCall);
    call.age = std::chrono::milliseconds(static_cast<int64_t>(qwAge));
    call.dwBytes = static_cast<uint32_t>(qwBytes);
  }
  return unpacker.AtEnd();
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
