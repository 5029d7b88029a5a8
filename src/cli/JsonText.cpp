#include "cli/JsonText.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace stratavon {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void AppendEscapedByte(std::string& out, unsigned char by) {
  out += "\\u00";
  out += kHexDigits[by >> 4];
  out += kHexDigits[by & 0x0F];
}

// Length of the well-formed UTF-8 sequence at the start of text; 0 if none.
size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char c = byte(0);
  size_t nLength;
  uint32_t dwCode;
  if (c >= 0xC2 && c <= 0xDF) {
    nLength = 2;
    dwCode = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    nLength = 3;
    dwCode = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    nLength = 4;
    dwCode = c & 0x07;
  } else {
    return 0;
  }
  if (text.size() < nLength) return 0;
  for (size_t i = 1; i < nLength; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    dwCode = (dwCode << 6) | (byte(i) & 0x3F);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are not text.
  if ((nLength == 3 && dwCode < 0x800) || (nLength == 4 && dwCode < 0x10000) || dwCode > 0x10FFFF ||
      (dwCode >= 0xD800 && dwCode <= 0xDFFF)) {
    return 0;
  }
  return nLength;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view szText) {
  out += '"';
  for (size_t i = 0; i < szText.size();) {
    const unsigned char c = static_cast<unsigned char>(szText[i]);
    if (c >= 0x80) {
      const size_t nLength = Utf8SequenceLength(szText.substr(i));
      if (nLength == 0) {
        AppendEscapedByte(out, c);
        ++i;
      } else {
        out.append(szText, i, nLength);
        i += nLength;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          AppendEscapedByte(out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

std::string JsonDecimal(double dValue) {
  if (!std::isfinite(dValue)) dValue = 0.0;
  char szText[64];
  std::snprintf(szText, sizeof szText, "%.3f", dValue);
  return szText;
}

}  // namespace stratavon
