#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace stratavon {

// The fixed part and the strings of a program's version record.
struct CVersionRecord {
  uint32_t dwFileVersionMS = 0;
  uint32_t dwFileVersionLS = 0;
  uint32_t dwProductVersionMS = 0;
  uint32_t dwProductVersionLS = 0;
  uint32_t dwFileFlags = 0;
  std::string szLegalCopyright;
};

// The program's own record; empty when the program carries none.
std::optional<CVersionRecord> OwnVersionRecord();

// The build word of the file flags, compared as a whole value: 1 Debug,
// 3 Test, 2 Demo, anything else Production.
const char* BuildWord(uint32_t dwFileFlags);

// "Version:  <major>.<build>   <word> Build": the high word of the product
// version's first half and the low word of its second half, so 1.0.0.8
// reads "1.8".
std::string FormatVersionLine(const CVersionRecord& record);

// "Stratavon for <platform> (<bits>bit)".
std::string ProductTitle();

}  // namespace stratavon
