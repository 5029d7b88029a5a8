#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/StampedPattern.h"

namespace stratavon {

// Where a buffer that failed verification differs from what was written.
// Worked out only after a failed check, never on the hot path.
struct MismatchInfo {
  uint64_t qwFirstOffset = 0;    // file offset of the first differing byte
  uint64_t qwLastOffset = 0;     // and of the last
  uint64_t qwDifferingBytes = 0;
  uint64_t qwBadUnits = 0;       // 512-byte units with at least one differing byte
};
constexpr uint32_t kMismatchUnitBytes = 512;

// Compares nBytes of the two buffers; the found one lies at qwFileOffset.
MismatchInfo AnalyseMismatch(const uint8_t* pExpected, const uint8_t* pFound, size_t nBytes, uint64_t qwFileOffset);

// One worker's failed verification, kept for the front ends.
struct IntegrityReport {
  int nTarget = 0;
  int nSlot = 0;
  bool bWriteSide = false;
  uint32_t nKind = 0;            // the IoErrorKind reported
  MismatchInfo mismatch;
  bool bStamped = false;
  StampVerdict stamps;           // stamped runs: the account of every unit
  uint32_t dwExpectedPass = 0;
  std::string szBadFile;         // the buffer as read, or empty when it could not be saved
};

// A process-wide list, cleared when a run starts; workers add, front ends read.
void PublishIntegrityReport(const IntegrityReport& report);
std::vector<IntegrityReport> IntegrityReports();
void ClearIntegrityReports();

// "first differing byte at 4096, 12 bytes differ in 1 unit(s) of 512, last at 4100"
std::string DescribeMismatch(const MismatchInfo& mismatch);

}  // namespace stratavon
