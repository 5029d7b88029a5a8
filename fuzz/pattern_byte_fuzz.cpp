// The typed pattern byte comes straight from an edit box or the command
// line. The first input byte picks the pattern kind ('0' is the typed byte), the rest is the line;
// the result is checked against the rule written out the plain way.

#include <cstdint>
#include <string_view>
#include <vector>

#include "FuzzFile.h"
#include "engine/Pattern.h"

namespace stratavon::fuzz {
namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case is no digit here
}

void OneInput(const uint8_t* pData, size_t nSize) {
  if (nSize == 0) return;
  // A digit names the kind (so seeds stay text); any other byte is a kind
  // far outside the known ones.
  const uint32_t nKind = pData[0] >= '0' && pData[0] <= '9' ? pData[0] - '0' : 0xFFFFFF00u + pData[0];
  const std::string_view szLine(reinterpret_cast<const char*>(pData + 1), nSize - 1);

  g_nPatternKind = nKind;
  const uint8_t byBefore = static_cast<uint8_t>(nSize * 31 + 5);
  g_byPatternByte = byBefore;
  const bool bValid = ParsePatternByte(szLine);

  if (nKind != kPatternByte) {
    Require(bValid, "any other kind is valid without reading the line");
    Require(g_byPatternByte == byBefore, "any other kind leaves the byte alone");
  } else {
    const int nHigh = szLine.size() > 0 ? DigitValue(szLine[0]) : -1;
    const int nLow = szLine.size() > 1 ? DigitValue(szLine[1]) : -1;
    Require(bValid == (nHigh >= 0 && nLow >= 0), "valid exactly when the first two characters are digits");
    int nExpected = 0;
    if (nHigh >= 0 && nLow >= 0) {
      nExpected = nHigh * 16 + nLow;
    } else if (nHigh >= 0) {
      nExpected = nHigh;
    } else if (nLow >= 0) {
      nExpected = nLow;
    }
    Require(g_byPatternByte == nExpected, "the byte is made of the digits found");

    // The byte then fills buffers, and a verifying pass clears with another.
    std::vector<uint8_t> buffer(nSize + 3, static_cast<uint8_t>(~g_byPatternByte));
    uint8_t byClear = 0x5A;
    Require(FillPattern(buffer.data(), buffer.size(), &byClear), "the typed byte always fills");
    for (uint8_t by : buffer) Require(by == g_byPatternByte, "every byte is the typed byte");
    Require(byClear == (g_byPatternByte != 0 ? 0x00 : 0x11), "the clear byte differs from the pattern");
  }
  g_nPatternKind = kPatternByte;
}

}  // namespace
}  // namespace stratavon::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  stratavon::fuzz::OneInput(pData, nSize);
  return 0;
}
