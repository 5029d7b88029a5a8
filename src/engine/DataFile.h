#pragma once

#include <cstddef>
#include <string>

namespace stratavon {

// Import of a pattern data file (".hvx"): bytes 0..15 hold a label (text up
// to the first zero byte), the rest is the pattern unit the advanced
// workers lay down. A loaded file is held whole, process-wide, and
// g_pPatternFile points at it until the next import or ReleaseDataFile.

constexpr size_t kMaxDataFileBytes = 4194304;
constexpr size_t kMaxDataFileLabel = 16;

enum class DataFileResult {
  kLoaded,        // held, label given, pattern kind set to the data-file kind
  // Passed over, the data loaded before (if any) stays:
  kCannotOpen,    // cannot be opened, or is not a regular file (errno kept)
  kEmpty,         // 0 bytes
  kTooLarge,      // more than 4,194,304 bytes
  kNoMemory,      // the copy cannot be allocated; the data before is gone already
  // "INVALID": the data loaded before is dropped, the kind stays the
  // data-file kind (no run starts on it):
  kReadFailed,    // the file could not be read whole
  kLabelTooLong,  // more than 16 label characters
};

DataFileResult ImportDataFile(const std::string& szPath, std::string* pszLabel);

// Drops the imported data (the console's close does this) and gives the
// pattern kind back to what it was before the import, which is what the
// simple console still shows.
void ReleaseDataFile();

// Whether the pattern is the data-file kind with no data to take it from.
bool DataFilePatternMissing();

// The bytes of the held file; 0 when none.
size_t DataFileBytes();

// A short English reason for a result, for the command line.
const char* DescribeDataFileResult(DataFileResult result);

}  // namespace stratavon
