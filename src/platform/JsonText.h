#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace stratavon {

// Length of the well-formed UTF-8 sequence at the start of text, or 0 when
// it is not one (overlong forms, surrogates and code points past U+10FFFF
// included: a JSON reader would reject them).
size_t Utf8SequenceLength(std::string_view text);

// Appends a code point as UTF-8.
void AppendUtf8(std::string& out, uint32_t dwCodePoint);

// Appends a byte as two lower-case hex digits.
void AppendHexByte(std::string& out, uint8_t by);

// Appends text as a JSON string. Paths are bytes, not text: a byte that is
// not part of valid UTF-8 is written as \u00XX so the output stays JSON, and
// the event-log reader turns \u0080..\u00FF back into that byte.
void AppendJsonString(std::string& out, std::string_view text);

// A JSON number with three decimals ("12.500"); 0 for anything not finite.
std::string JsonDecimal(double dValue);

}  // namespace stratavon
