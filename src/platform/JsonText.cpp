#include "platform/JsonText.h"

#include <cmath>
#include <cstdio>

namespace stratavon {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

}  // namespace

size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char c = byte(0);
  if (c < 0x80) return 1;
  size_t nLength;
  unsigned char byMin = 0x80, byMax = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    nLength = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    nLength = 3;
    if (c == 0xE0) byMin = 0xA0;
    if (c == 0xED) byMax = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    nLength = 4;
    if (c == 0xF0) byMin = 0x90;
    if (c == 0xF4) byMax = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < nLength || byte(1) < byMin || byte(1) > byMax) return 0;
  for (size_t i = 2; i < nLength; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return nLength;
}

void AppendUtf8(std::string& out, uint32_t dwCodePoint) {
  if (dwCodePoint < 0x80) {
    out += static_cast<char>(dwCodePoint);
  } else if (dwCodePoint < 0x800) {
    out += static_cast<char>(0xC0 | (dwCodePoint >> 6));
    out += static_cast<char>(0x80 | (dwCodePoint & 0x3F));
  } else if (dwCodePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (dwCodePoint >> 12));
    out += static_cast<char>(0x80 | ((dwCodePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (dwCodePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (dwCodePoint >> 18));
    out += static_cast<char>(0x80 | ((dwCodePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((dwCodePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (dwCodePoint & 0x3F));
  }
}

void AppendHexByte(std::string& out, uint8_t by) {
  out += kHexDigits[by >> 4];
  out += kHexDigits[by & 0x0F];
}

namespace {

void AppendEscapedByte(std::string& out, unsigned char by) {
  out += "\\u00";
  AppendHexByte(out, by);
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t nLength = Utf8SequenceLength(text.substr(i));
      if (nLength == 0) {
        AppendEscapedByte(out, c);
        ++i;
      } else {
        out.append(text, i, nLength);
        i += nLength;
      }
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
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
