#pragma once

#include <cstdint>
#include <string_view>

namespace stratavon {

// The Transfer Size and Buffer Size lists: item i (0..13) is 512 << i bytes.
constexpr int kSizeItems = 14;
// The lists' starting selection, "1MB".
constexpr int kDefaultSizeIndex = 11;

// The bytes of a list index; false (and *pdwBytes untouched) for any other
// index, which is how a list without a selection answers.
bool SizeOfListIndex(int nIndex, uint32_t* pdwBytes);

// "512B", "1KB" .. "4MB"; null outside the list.
const char* SizeItemText(int nIndex);

// The index of an item text, matched without regard to case; -1 when no
// item reads so.
int SizeItemIndex(std::string_view szText);

// A work file's span as typed: "64MB", "10GB", "4096" (bytes; KB, MB, GB and
// TB are binary units, any case), or "fill" for kSpanFill. False for
// anything else, zero included.
bool ParseSpanSize(std::string_view szText, uint64_t* pqwBytes);

}  // namespace stratavon
