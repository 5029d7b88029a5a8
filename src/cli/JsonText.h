#pragma once

#include <string>
#include <string_view>

namespace stratavon {

// Appends text as a JSON string. Paths are bytes, not text: a byte that is
// not part of valid UTF-8 is written as \u00XX so the output stays JSON.
void AppendJsonString(std::string& out, std::string_view szText);

// A JSON number with three decimals ("12.500"); 0 for anything not finite.
std::string JsonDecimal(double dValue);

}  // namespace stratavon
