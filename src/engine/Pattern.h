#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace stratavon {

// Pattern kinds.
enum PatternKind : uint32_t {
  kPatternByte = 0,   // the typed byte g_byPatternByte
  kPatternCrpat = 1,  // 12-byte random-ish unit
  kPatternCjtpat = 2, // 228-byte jitter unit
  kPatternCspat = 4,  // every byte 0x7F
  kPatternFile = 5,   // the imported data file's pattern bytes
};

// Process-wide pattern state, written on the console's thread between runs,
// read by workers in their start-up.
extern uint32_t g_nPatternKind;
extern uint8_t g_byPatternByte;
// The imported pattern data file, exactly as long as the file; owned by
// the console that imported it. Null when none.
extern const std::vector<uint8_t>* g_pPatternFile;

// Bytes 0..15 of a data file hold its label; the pattern unit follows.
constexpr size_t kPatternFileLabelBytes = 16;

// The unit a kind lays down; empty for kind 5 without usable data. Kind 0
// (and 3, and anything above 5) is the single typed byte.
std::span<const uint8_t> PatternUnit(uint32_t nKind);

// Fills the buffer from the current kind: byte j is byte (j mod unit) of the
// unit. For the typed-byte kinds *pbyClearFill becomes the byte a verifying
// pass clears with (0x00, or 0x11 when the pattern byte is 0); for the
// others it is left alone. False when kind 5 has no pattern bytes.
bool FillPattern(uint8_t* pBuffer, size_t nSize, uint8_t* pbyClearFill);

// Fills the buffer with repeats of a unit, using copies that double in size.
void FillWithUnit(uint8_t* pBuffer, size_t nSize, std::span<const uint8_t> unit);

// The typed-byte rule: reads at most the first two characters of the
// Pattern edit's first line, each a digit of "0123456789ABCDEF" (upper case
// only); sets g_byPatternByte from the digits found and is valid only when
// both were digits. With any kind other than 0 it reads nothing and is valid.
bool ParsePatternByte(std::string_view szFirstLine);

}  // namespace stratavon
