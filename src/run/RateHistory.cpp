#include "run/RateHistory.h"

#include <algorithm>

#include "run/IntervalStats.h"
#include "run/RunSummary.h"

namespace stratavon {
namespace {

constexpr double kBytesPerMb = 1048576.0;

RatePoint Merge(const RatePoint& a, const RatePoint& b) {
  RatePoint merged;
  merged.dStart = a.dStart;
  merged.dEnd = b.dEnd;
  const double dA = a.dEnd - a.dStart;
  const double dB = b.dEnd - b.dStart;
  const double dSpan = dA + dB;
  const auto mean = [&](const std::vector<float>& va, const std::vector<float>& vb) {
    std::vector<float> out(va.size());
    for (size_t i = 0; i < va.size() && i < vb.size(); ++i) {
      out[i] = dSpan > 0 ? static_cast<float>((va[i] * dA + vb[i] * dB) / dSpan) : (va[i] + vb[i]) / 2;
    }
    return out;
  };
  merged.mbPerSec = mean(a.mbPerSec, b.mbPerSec);
  merged.iops = mean(a.iops, b.iops);
  const std::vector<float>& pa = a.p99Us;
  const std::vector<float>& pb = b.p99Us;
  merged.p99Us = pa.size() >= pb.size() ? pa : pb;
  for (size_t i = 0; i < pa.size() && i < pb.size(); ++i) merged.p99Us[i] = std::max(pa[i], pb[i]);
  return merged;
}

}  // namespace

CRateHistory::CRateHistory(size_t nPointsPerLevel, size_t nLevels)
    : m_nPerLevel(std::max<size_t>(nPointsPerLevel, 2)), m_levels(std::max<size_t>(nLevels, 1)) {}

void CRateHistory::Clear(int nTargets) {
  for (auto& level : m_levels) level.clear();
  m_nTargets = std::max(nTargets, 0);
  m_bLatency = false;
}

void CRateHistory::Append(double dStart, double dEnd, const std::vector<float>& mbPerSec,
                          const std::vector<float>& iops, const std::vector<float>& p99Us) {
  const size_t n = static_cast<size_t>(m_nTargets);
  RatePoint point;
  point.dStart = dStart;
  point.dEnd = dEnd;
  const auto withTotal = [n](const std::vector<float>& values, bool bMax) {
    std::vector<float> out(n + 1, 0.0f);
    for (size_t i = 0; i < n && i < values.size(); ++i) {
      out[i] = values[i];
      out[n] = bMax ? std::max(out[n], values[i]) : out[n] + values[i];
    }
    return out;
  };
  point.mbPerSec = withTotal(mbPerSec, false);
  point.iops = withTotal(iops, false);
  if (!p99Us.empty()) {
    point.p99Us = withTotal(p99Us, true);
    if (p99Us.size() > n) point.p99Us[n] = p99Us[n];
    m_bLatency = true;
  }
  m_levels[0].push_back(std::move(point));
  Cascade(0);
}

void CRateHistory::Cascade(size_t nLevel) {
  std::deque<RatePoint>& level = m_levels[nLevel];
  if (level.size() <= m_nPerLevel) return;
  if (nLevel + 1 == m_levels.size()) {
    // The top level: every two neighbours become one.
    std::deque<RatePoint> halved;
    for (size_t i = 0; i + 1 < level.size(); i += 2) halved.push_back(Merge(level[i], level[i + 1]));
    if (level.size() % 2 != 0) halved.push_back(std::move(level.back()));
    level.swap(halved);
    return;
  }
  while (level.size() > m_nPerLevel) {
    RatePoint merged = Merge(level[0], level[1]);
    level.pop_front();
    level.pop_front();
    m_levels[nLevel + 1].push_back(std::move(merged));
  }
  Cascade(nLevel + 1);
}

std::vector<RatePoint> CRateHistory::Points() const {
  std::vector<RatePoint> points;
  points.reserve(PointCount());
  for (auto it = m_levels.rbegin(); it != m_levels.rend(); ++it) points.insert(points.end(), it->begin(), it->end());
  return points;
}

size_t CRateHistory::PointCount() const {
  size_t n = 0;
  for (const auto& level : m_levels) n += level.size();
  return n;
}

void CRateFeed::Start(int nTargets, double dNow) {
  m_nTargets = std::max(nTargets, 0);
  m_dStart = m_dLast = dNow;
  m_bytes.assign(static_cast<size_t>(m_nTargets), 0);
  m_ios.assign(static_cast<size_t>(m_nTargets), 0);
  for (int t = 0; t < m_nTargets; ++t) {
    TargetResult counters;
    AddTargetCounters(t, counters);
    m_bytes[static_cast<size_t>(t)] = counters.qwBytes;
    m_ios[static_cast<size_t>(t)] = counters.qwIos;
  }
}

void CRateFeed::Sample(double dNow, CRateHistory& history, const CIntervalStats* pIntervals) {
  const double dSpan = dNow - m_dLast;
  if (dSpan <= 0) return;
  std::vector<float> mb(static_cast<size_t>(m_nTargets));
  std::vector<float> iops(static_cast<size_t>(m_nTargets));
  for (int t = 0; t < m_nTargets; ++t) {
    const size_t i = static_cast<size_t>(t);
    TargetResult counters;
    AddTargetCounters(t, counters);
    // The counters only grow during a run; a smaller value means they were
    // reset under us, which moved nothing.
    const uint64_t qwBytes = counters.qwBytes >= m_bytes[i] ? counters.qwBytes - m_bytes[i] : 0;
    const uint64_t qwIos = counters.qwIos >= m_ios[i] ? counters.qwIos - m_ios[i] : 0;
    m_bytes[i] = counters.qwBytes;
    m_ios[i] = counters.qwIos;
    mb[i] = static_cast<float>(static_cast<double>(qwBytes) / kBytesPerMb / dSpan);
    iops[i] = static_cast<float>(static_cast<double>(qwIos) / dSpan);
  }
  std::vector<float> p99Us;
  if (pIntervals != nullptr && !pIntervals->Total().latency.Empty()) {
    const auto p99 = [](const IntervalFigures& figures) {
      return static_cast<float>(static_cast<double>(figures.latency.PercentileNs(99)) / 1000.0);
    };
    for (int t = 0; t < m_nTargets; ++t) p99Us.push_back(p99(pIntervals->Target(t)));
    p99Us.push_back(p99(pIntervals->Total()));
  }
  if (history.Targets() != m_nTargets) history.Clear(m_nTargets);
  history.Append(m_dLast - m_dStart, dNow - m_dStart, mb, iops, p99Us);
  m_dLast = dNow;
}

}  // namespace stratavon
