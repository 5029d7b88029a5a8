#include "engine/SurfaceMap.h"

#include <algorithm>

namespace stratavon {
namespace {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void Lower(std::atomic<uint64_t>& value, uint64_t qw) {
  uint64_t qwOld = value.load(std::memory_order_relaxed);
  while (qw < qwOld && !value.compare_exchange_weak(qwOld, qw, std::memory_order_relaxed)) {
  }
}

void Raise(std::atomic<uint64_t>& value, uint64_t qw) {
  uint64_t qwOld = value.load(std::memory_order_relaxed);
  while (qw > qwOld && !value.compare_exchange_weak(qwOld, qw, std::memory_order_relaxed)) {
  }
}

}  // namespace

CSurfaceMap::CSurfaceMap(uint64_t qwDeviceBytes, uint32_t dwSectorBytes)
    : m_qwDeviceBytes(qwDeviceBytes), m_dwSectorBytes(std::max<uint32_t>(dwSectorBytes, 1)) {
  // Whole sectors per region; a small device has fewer regions.
  const uint64_t qwSectors = (qwDeviceBytes + m_dwSectorBytes - 1) / m_dwSectorBytes;
  const uint64_t qwPerRegion = std::max<uint64_t>(1, (qwSectors + kRegions - 1) / kRegions);
  m_qwRegionBytes = qwPerRegion * m_dwSectorBytes;
  m_nRegions = static_cast<unsigned>(std::max<uint64_t>(1, (qwSectors + qwPerRegion - 1) / qwPerRegion));
}

unsigned CSurfaceMap::RegionOf(uint64_t qwOffset) const {
  return static_cast<unsigned>(std::min<uint64_t>(qwOffset / m_qwRegionBytes, m_nRegions - 1));
}

void CSurfaceMap::Plan(uint64_t qwSliceBytes, uint32_t dwPasses) {
  m_qwPassBytes.fetch_add(qwSliceBytes, std::memory_order_relaxed);
  m_dwPasses.store(dwPasses, std::memory_order_relaxed);
  int64_t nsNone = 0;
  m_nsPlanned.compare_exchange_strong(nsNone, NowNs(), std::memory_order_relaxed);
}

void CSurfaceMap::Record(uint64_t qwOffset, uint64_t qwBytes, uint64_t qwNs) {
  for (uint64_t qwAt = qwOffset, qwEnd = qwOffset + qwBytes; qwAt < qwEnd;) {
    const unsigned nRegion = RegionOf(qwAt);
    const uint64_t qwRegionEnd = nRegion + 1 == m_nRegions ? qwEnd : (uint64_t{nRegion} + 1) * m_qwRegionBytes;
    const uint64_t qwHere = std::min(qwEnd, qwRegionEnd) - qwAt;
    Cell& cell = m_cells[nRegion];
    cell.qwMoved.fetch_add(qwHere, std::memory_order_relaxed);
    cell.qwIos.fetch_add(1, std::memory_order_relaxed);
    cell.qwSumNs.fetch_add(qwNs, std::memory_order_relaxed);
    cell.qwBusyNs.fetch_add(qwHere == qwBytes ? qwNs : static_cast<uint64_t>(static_cast<double>(qwNs) * qwHere / qwBytes),
                            std::memory_order_relaxed);
    Lower(cell.qwMinNs, qwNs);
    Raise(cell.qwMaxNs, qwNs);
    qwAt += qwHere;
  }
}

void CSurfaceMap::Fail(uint64_t qwOffset, uint64_t qwBytes, int nError) {
  m_cells[RegionOf(qwOffset)].qwFailedBytes.fetch_add(qwBytes, std::memory_order_relaxed);
  std::lock_guard lock(m_mutex);
  for (UnreadableRange& range : m_ranges) {
    if (range.qwOffset + range.qwBytes == qwOffset) {
      range.qwBytes += qwBytes;
      return;
    }
  }
  if (m_ranges.size() < kListedRanges) {
    m_ranges.push_back({qwOffset, qwBytes, nError});
  } else {
    ++m_qwMoreRanges;
  }
}

std::vector<SurfaceRegion> CSurfaceMap::Snapshot() const {
  std::vector<SurfaceRegion> regions(m_nRegions);
  for (unsigned n = 0; n < m_nRegions; ++n) {
    const Cell& cell = m_cells[n];
    SurfaceRegion& region = regions[n];
    region.qwOffset = uint64_t{n} * m_qwRegionBytes;
    region.qwBytes = std::min(m_qwRegionBytes, m_qwDeviceBytes - std::min(m_qwDeviceBytes, region.qwOffset));
    region.qwMoved = cell.qwMoved.load(std::memory_order_relaxed);
    region.qwIos = cell.qwIos.load(std::memory_order_relaxed);
    region.qwSumNs = cell.qwSumNs.load(std::memory_order_relaxed);
    region.qwBusyNs = cell.qwBusyNs.load(std::memory_order_relaxed);
    region.qwMinNs = region.qwIos != 0 ? cell.qwMinNs.load(std::memory_order_relaxed) : 0;
    region.qwMaxNs = cell.qwMaxNs.load(std::memory_order_relaxed);
    region.qwFailedBytes = cell.qwFailedBytes.load(std::memory_order_relaxed);
  }
  return regions;
}

std::vector<UnreadableRange> CSurfaceMap::Unreadable(uint64_t* pqwMore, uint64_t* pqwFailedBytes) const {
  uint64_t qwFailed = 0;
  for (unsigned n = 0; n < m_nRegions; ++n) qwFailed += m_cells[n].qwFailedBytes.load(std::memory_order_relaxed);
  if (pqwFailedBytes != nullptr) *pqwFailedBytes = qwFailed;
  std::lock_guard lock(m_mutex);
  if (pqwMore != nullptr) *pqwMore = m_qwMoreRanges;
  std::vector<UnreadableRange> ranges = m_ranges;
  std::sort(ranges.begin(), ranges.end(),
            [](const UnreadableRange& a, const UnreadableRange& b) { return a.qwOffset < b.qwOffset; });
  return ranges;
}

SurfaceProgress CSurfaceMap::Progress() const {
  SurfaceProgress progress;
  for (unsigned n = 0; n < m_nRegions; ++n) {
    progress.qwDone += m_cells[n].qwMoved.load(std::memory_order_relaxed) +
                       m_cells[n].qwFailedBytes.load(std::memory_order_relaxed);
  }
  progress.qwPassBytes = m_qwPassBytes.load(std::memory_order_relaxed);
  progress.dwPasses = m_dwPasses.load(std::memory_order_relaxed);
  const int64_t nsPlanned = m_nsPlanned.load(std::memory_order_relaxed);
  if (nsPlanned != 0) progress.dSeconds = static_cast<double>(NowNs() - nsPlanned) / 1e9;
  return progress;
}

}  // namespace stratavon
