#pragma once

#include <cstdint>
#include <string_view>

namespace stratavon {

// The Transfer Size and Buffer Size lists: item i (0..13) is 512 << i bytes.
constexpr int kSizeItems = 14;
// The lists' starting selection, "1MB".
constexpr int kDefaultSizeIndex = 11;
constexpr uint32_t kDefaultSizeBytes = uint32_t{512} << kDefaultSizeIndex;

// The bytes of a list index; false (and *pdwBytes untouched) for any other
// index, which is how a list without a selection answers.
bool SizeOfListIndex(int nIndex, uint32_t* pdwBytes);

// The bytes of a list index, 0 for no selection or any other index.
uint32_t SizeOfListIndexOrNone(int nIndex);

// The list index of a size in bytes; -1 for a size the list lacks (0 included).
int SizeListIndexOf(uint32_t dwBytes);

// "512B", "1KB" .. "4MB"; null outside the list.
const char* SizeItemText(int nIndex);
// The item text of a size in bytes; null for a size the list lacks.
const char* SizeItemTextOf(uint32_t dwBytes);

// The index of an item text, matched without regard to case; -1 when no
// item reads so.
int SizeItemIndex(std::string_view szText);

// A work file's span as typed: "64MB", "10GB", "4096" (bytes; KB, MB, GB and
// TB are binary units, any case), or "fill" for kSpanFill. False for
// anything else, zero included.
bool ParseSpanSize(std::string_view szText, uint64_t* pqwBytes);

}  // namespace stratavon
