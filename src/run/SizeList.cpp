#include "run/SizeList.h"

#include <array>
#include <cctype>

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

}  // namespace stratavon
