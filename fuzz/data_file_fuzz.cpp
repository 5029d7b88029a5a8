// Pattern data files come from the user's disk and may hold anything: the
// loader must sort every file into one of its results, keep or drop the data
// loaded before exactly as its result says, and what it holds must fill
// buffers with the file's own pattern bytes.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzFile.h"
#include "engine/DataFile.h"
#include "engine/Pattern.h"

namespace stratavon::fuzz {
namespace {

// A good file loaded before every input, to see what each result does to it.
const std::vector<uint8_t>& BeforeBytes() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> v = {'B', 'E', 'F', 'O', 'R', 'E', 0};
    for (int i = 0; i < 41; ++i) v.push_back(static_cast<uint8_t>(i * 7 + 3));
    return v;
  }();
  return bytes;
}

void CheckFill(std::span<const uint8_t> unit, size_t nFileSize) {
  static std::vector<uint8_t> buffer;
  // Lengths that are no multiple of the unit, so the last copy is partial.
  const size_t nSize = std::min<size_t>(nFileSize * 2 + 7, 1 << 16);
  buffer.assign(nSize, 0xEE);
  uint8_t byClear = 0xC5;
  const bool bFilled = FillPattern(buffer.data(), buffer.size(), &byClear);
  Require(bFilled == !unit.empty(), "FillPattern fails exactly when the file has no pattern bytes");
  Require(byClear == 0xC5, "a data file leaves the clear byte alone");
  if (!bFilled) return;
  for (size_t j = 0; j < nSize; ++j) Require(buffer[j] == unit[j % unit.size()], "byte j is unit[j mod size]");
}

void OneInput(const uint8_t* pData, size_t nSize) {
  static CMemoryFile before("before.hvx");
  static CMemoryFile input("input.hvx");
  static const bool bBeforeReady = before.Replace(BeforeBytes().data(), BeforeBytes().size());
  Require(bBeforeReady, "memory file for the earlier data");
  Require(input.Replace(pData, nSize), "memory file for the input");

  std::string szLabel;
  Require(ImportDataFile(before.Path(), &szLabel) == DataFileResult::kLoaded, "the earlier file loads");
  // The user picked another kind after the import; only a new load changes it.
  g_nPatternKind = kPatternCrpat;

  szLabel = "unchanged";
  const DataFileResult result = ImportDataFile(input.Path(), &szLabel);
  Require(DescribeDataFileResult(result) != nullptr, "every result has a reason");

  const std::vector<uint8_t> bytes(pData, pData + nSize);
  const size_t nLabel = static_cast<size_t>(std::find(bytes.begin(), bytes.end(), 0) - bytes.begin());
  if (nSize == 0) {
    Require(result == DataFileResult::kEmpty, "an empty file is kEmpty");
    Require(g_pPatternFile != nullptr && *g_pPatternFile == BeforeBytes(), "an empty file keeps the earlier data");
    Require(DataFileBytes() == BeforeBytes().size(), "the earlier size stays");
    Require(g_nPatternKind == kPatternCrpat, "a passed-over file keeps the kind");
  } else if (nSize > kMaxDataFileBytes) {
    Require(result == DataFileResult::kTooLarge, "a file over the limit is kTooLarge");
    Require(g_pPatternFile != nullptr && *g_pPatternFile == BeforeBytes(), "too large keeps the earlier data");
  } else if (nLabel > kMaxDataFileLabel) {
    Require(result == DataFileResult::kLabelTooLong, "a label over 16 characters is kLabelTooLong");
    Require(g_pPatternFile == nullptr && DataFileBytes() == 0, "an invalid file drops the earlier data");
    Require(g_nPatternKind == kPatternFile, "an invalid file selects the data-file kind, with no data to start on");
    Require(DataFilePatternMissing(), "a run refuses to start on it");
    Require(PatternUnit(kPatternFile).empty(), "nothing to lay down after an invalid file");
  } else {
    Require(result == DataFileResult::kLoaded, "a readable file with a short label loads");
    Require(szLabel == std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(nLabel)),
            "the label is the text up to the first zero byte");
    Require(g_pPatternFile != nullptr && *g_pPatternFile == bytes, "the whole file is held");
    Require(DataFileBytes() == nSize, "DataFileBytes is the file size");
    Require(g_nPatternKind == kPatternFile, "a load selects the data-file kind");
    const std::span<const uint8_t> unit = PatternUnit(kPatternFile);
    if (nSize <= kPatternFileLabelBytes) {
      Require(unit.empty(), "16 bytes or fewer hold no pattern");
    } else {
      Require(unit.size() == nSize - kPatternFileLabelBytes &&
                  std::memcmp(unit.data(), pData + kPatternFileLabelBytes, unit.size()) == 0,
              "the unit is everything after the label bytes");
    }
    CheckFill(unit, nSize);
  }

  ReleaseDataFile();
  Require(g_pPatternFile == nullptr && DataFileBytes() == 0, "release drops the data");
  g_nPatternKind = kPatternByte;
}

}  // namespace
}  // namespace stratavon::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  stratavon::fuzz::OneInput(pData, nSize);
  return 0;
}
