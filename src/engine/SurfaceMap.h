#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

namespace stratavon {

// One region of a device's surface as a run found it: the calls that moved
// data there and how long each took, and the bytes whose calls failed.
struct SurfaceRegion {
  uint64_t qwOffset = 0;
  uint64_t qwBytes = 0;       // the region's length
  uint64_t qwMoved = 0;       // bytes moved by calls that succeeded
  uint64_t qwIos = 0;         // calls that moved some of them
  uint64_t qwSumNs = 0;       // the whole time of each of those calls
  uint64_t qwBusyNs = 0;      // each call's time in the share of its bytes that lie here
  uint64_t qwMinNs = 0;       // 0 without a call
  uint64_t qwMaxNs = 0;
  uint64_t qwFailedBytes = 0;
  uint64_t MeanNs() const { return qwIos != 0 ? qwSumNs / qwIos : 0; }
  double MbPerSecond() const {
    return qwBusyNs != 0 ? static_cast<double>(qwMoved) * 1000.0 / static_cast<double>(qwBusyNs) : 0;
  }
};

// A run of sectors whose calls failed, with the first failure's errno.
struct UnreadableRange {
  uint64_t qwOffset = 0;
  uint64_t qwBytes = 0;
  int nError = 0;
};

// How far a device run has come: bytes done (moved or failed) against one
// pass over every worker's slice, and the passes asked for (0: no limit).
struct SurfaceProgress {
  uint64_t qwDone = 0;
  uint64_t qwPassBytes = 0;
  uint32_t dwPasses = 0;
  double dSeconds = 0;  // since the first worker's plan
};

// The surface of one device target over a run: kRegions equal regions
// (whole logical sectors) over the device, each with the latency of the
// calls that landed in it, and the unreadable ranges, the first
// kListedRanges of them by offset and length, the rest only counted. The
// workers of the target record into it at once: each region's counters
// are atomics (only the regions at the edges of two workers' slices are
// ever shared), the ranges sit behind a lock that only failures take.
class CSurfaceMap {
 public:
  static constexpr unsigned kRegions = 256;
  static constexpr size_t kListedRanges = 64;

  CSurfaceMap(uint64_t qwDeviceBytes, uint32_t dwSectorBytes);

  // A worker's share of the run: qwSliceBytes every pass, dwPasses of them
  // (0: until stopped).
  void Plan(uint64_t qwSliceBytes, uint32_t dwPasses);
  // A call that moved qwBytes from qwOffset in qwNs: every region it
  // reached counts it.
  void Record(uint64_t qwOffset, uint64_t qwBytes, uint64_t qwNs);
  void Record(uint64_t qwOffset, uint64_t qwBytes, std::chrono::nanoseconds time) {
    Record(qwOffset, qwBytes, static_cast<uint64_t>(time.count()));
  }
  // A call over qwBytes from qwOffset that failed with nError. A failure
  // that continues a listed range lengthens it.
  void Fail(uint64_t qwOffset, uint64_t qwBytes, int nError);

  uint64_t DeviceBytes() const { return m_qwDeviceBytes; }
  uint32_t SectorBytes() const { return m_dwSectorBytes; }
  uint64_t RegionBytes() const { return m_qwRegionBytes; }
  unsigned Regions() const { return m_nRegions; }

  // A copy of every region, in offset order.
  std::vector<SurfaceRegion> Snapshot() const;
  // The listed ranges in offset order; *pqwMore: failures beyond the list
  // (ranges of their own), *pqwFailedBytes: every failed byte.
  std::vector<UnreadableRange> Unreadable(uint64_t* pqwMore, uint64_t* pqwFailedBytes) const;
  SurfaceProgress Progress() const;

 private:
  struct alignas(64) Cell {
    std::atomic<uint64_t> qwMoved{0};
    std::atomic<uint64_t> qwIos{0};
    std::atomic<uint64_t> qwSumNs{0};
    std::atomic<uint64_t> qwBusyNs{0};
    std::atomic<uint64_t> qwMinNs{UINT64_MAX};
    std::atomic<uint64_t> qwMaxNs{0};
    std::atomic<uint64_t> qwFailedBytes{0};
  };
  unsigned RegionOf(uint64_t qwOffset) const;

  const uint64_t m_qwDeviceBytes;
  const uint32_t m_dwSectorBytes;
  uint64_t m_qwRegionBytes = 0;
  unsigned m_nRegions = 0;
  Cell m_cells[kRegions];
  std::atomic<uint64_t> m_qwPassBytes{0};
  std::atomic<uint32_t> m_dwPasses{0};
  std::atomic<int64_t> m_nsPlanned{0};  // steady clock, the first plan
  mutable std::mutex m_mutex;
  std::vector<UnreadableRange> m_ranges;
  uint64_t m_qwMoreRanges = 0;
};

}  // namespace stratavon
