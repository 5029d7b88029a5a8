#include "run/SizeList.h"

#include <array>
#include <cctype>
#include <string>
#include <utility>

#include "engine/RunRecord.h"

namespace stratavon {
namespace {

constexpr std::array<const char*, kSizeItems> kItems = {"512B", "1KB",   "2KB",   "4KB",   "8KB",
                                                        "16KB", "32KB",  "64KB",  "128KB", "256KB",
                                                        "512KB", "1MB",  "2MB",   "4MB"};

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

}  // namespace

bool SizeOfListIndex(int nIndex, uint32_t* pdwBytes) {
  if (nIndex < 0 || nIndex >= kSizeItems) return false;
  *pdwBytes = uint32_t{512} << nIndex;
  return true;
}

uint32_t SizeOfListIndexOrNone(int nIndex) {
  uint32_t dwBytes = 0;
  SizeOfListIndex(nIndex, &dwBytes);
  return dwBytes;
}

int SizeListIndexOf(uint32_t dwBytes) {
  for (int i = 0; i < kSizeItems; ++i) {
    if (SizeOfListIndexOrNone(i) == dwBytes) return i;
  }
  return -1;
}

const char* SizeItemText(int nIndex) {
  if (nIndex < 0 || nIndex >= kSizeItems) return nullptr;
  return kItems[static_cast<size_t>(nIndex)];
}

const char* SizeItemTextOf(uint32_t dwBytes) {
  for (int i = 0; i < kSizeItems; ++i) {
    if ((uint32_t{512} << i) == dwBytes) return kItems[static_cast<size_t>(i)];
  }
  return nullptr;
}

int SizeItemIndex(std::string_view szText) {
  for (int i = 0; i < kSizeItems; ++i) {
    if (SameText(szText, kItems[static_cast<size_t>(i)])) return i;
  }
  return -1;
}

bool ParseSpanSize(std::string_view szText, uint64_t* pqwBytes) {
  std::string szUpper(szText);
  for (char& c : szUpper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (szUpper == "FILL") {
    *pqwBytes = kSpanFill;
    return true;
  }
  size_t nDigits = 0;
  while (nDigits < szUpper.size() && szUpper[nDigits] >= '0' && szUpper[nDigits] <= '9') ++nDigits;
  if (nDigits == 0 || nDigits > 15) return false;
  const uint64_t qwNumber = std::stoull(szUpper.substr(0, nDigits));
  const std::string szUnit = szUpper.substr(nDigits);
  static constexpr std::pair<const char*, int> kUnits[] = {{"", 0}, {"B", 0}, {"KB", 10}, {"MB", 20}, {"GB", 30}, {"TB", 40}};
  for (const auto& [szName, nShift] : kUnits) {
    if (szUnit != szName) continue;
    if (qwNumber == 0 || qwNumber > (UINT64_MAX >> 1) >> nShift) return false;
    *pqwBytes = qwNumber << nShift;
    return true;
  }
  return false;
}

}  // namespace stratavon
