#include "engine/Pattern.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace stratavon {

uint32_t g_nPatternKind = kPatternByte;
uint8_t g_byPatternByte = 0xAA;
const std::vector<uint8_t>* g_pPatternFile = nullptr;

namespace {

constexpr std::array<uint8_t, 12> kCrpat = {0xBE, 0xD7, 0x23, 0x47, 0x6B, 0x8F,
                                            0xB3, 0x14, 0x5E, 0xFB, 0x35, 0x59};

constexpr std::array<uint8_t, 228> MakeCjtpat() {
  std::array<uint8_t, 228> unit{};
  size_t i = 0;
  for (; i < 167; ++i) unit[i] = 0x7E;
  unit[i++] = 0x74;
  unit[i++] = 0x7E;
  unit[i++] = 0xAB;
  for (size_t n = 0; n < 51; ++n) unit[i++] = 0xB5;
  for (uint8_t by : {0x5E, 0x4A, 0x7E, 0x7E, 0x7E, 0x7E, 0xFE}) unit[i++] = by;
  return unit;
}
constexpr std::array<uint8_t, 228> kCjtpat = MakeCjtpat();

constexpr std::array<uint8_t, 1> kCspat = {0x7F};

}  // namespace

std::span<const uint8_t> PatternUnit(uint32_t nKind) {
  switch (nKind) {
    case kPatternCrpat:
      return kCrpat;
    case kPatternCjtpat:
      return kCjtpat;
    case kPatternCspat:
      return kCspat;
    case kPatternFile:
      if (g_pPatternFile == nullptr || g_pPatternFile->size() <= kPatternFileLabelBytes) return {};
      return std::span<const uint8_t>(*g_pPatternFile).subspan(kPatternFileLabelBytes);
    default:
      return std::span<const uint8_t>(&g_byPatternByte, 1);
  }
}

void FillWithUnit(uint8_t* pBuffer, size_t nSize, std::span<const uint8_t> unit) {
  if (nSize == 0 || unit.empty()) return;
  if (unit.size() == 1) {
    std::memset(pBuffer, unit[0], nSize);
    return;
  }
  size_t nDone = std::min(nSize, unit.size());
  std::memcpy(pBuffer, unit.data(), nDone);
  // Whole units from the start repeat the unit; each copy doubles the run.
  while (nDone < nSize) {
    size_t nCopy = std::min(nDone - nDone % unit.size(), nSize - nDone);
    std::memcpy(pBuffer + nDone, pBuffer, nCopy);
    nDone += nCopy;
  }
}

bool FillPattern(uint8_t* pBuffer, size_t nSize, uint8_t* pbyClearFill) {
  std::span<const uint8_t> unit = PatternUnit(g_nPatternKind);
  if (unit.empty()) return false;
  FillWithUnit(pBuffer, nSize, unit);
  switch (g_nPatternKind) {
    case kPatternCrpat:
    case kPatternCjtpat:
    case kPatternCspat:
    case kPatternFile:
      break;
    default:
      if (pbyClearFill != nullptr) *pbyClearFill = g_byPatternByte != 0 ? 0x00 : 0x11;
      break;
  }
  return true;
}

bool ParsePatternByte(std::string_view szFirstLine) {
  if (g_nPatternKind != kPatternByte) return true;
  static constexpr std::string_view kDigits = "0123456789ABCDEF";
  unsigned nValue = 0;
  int nFound = 0;
  for (size_t i = 0; i < 2 && i < szFirstLine.size(); ++i) {
    const size_t nDigit = kDigits.find(szFirstLine[i]);
    if (nDigit == std::string_view::npos) continue;
    nValue = (nValue << (i == 0 ? 0 : 4)) + static_cast<unsigned>(nDigit);
    ++nFound;
  }
  g_byPatternByte = static_cast<uint8_t>(nValue);
  return nFound == 2;
}

}  // namespace stratavon
