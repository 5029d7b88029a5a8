#include "app/VersionInfo.h"

#include <cstdio>

#include "VersionRecord.h"

namespace stratavon {

std::optional<CVersionRecord> OwnVersionRecord() {
  CVersionRecord record;
  record.dwFileVersionMS = STRATAVON_FILEVERSION_MS;
  record.dwFileVersionLS = STRATAVON_FILEVERSION_LS;
  record.dwProductVersionMS = STRATAVON_PRODUCTVERSION_MS;
  record.dwProductVersionLS = STRATAVON_PRODUCTVERSION_LS;
  record.dwFileFlags = STRATAVON_FILEFLAGS;
  record.szLegalCopyright = STRATAVON_LEGAL_COPYRIGHT;
  return record;
}

const char* BuildWord(uint32_t dwFileFlags) {
  switch (dwFileFlags) {
    case 1:
      return "Debug Build";
    case 3:
      return "Test Build";
    case 2:
      return "Demo Build";
    default:
      return "Production Build";
  }
}

std::string FormatVersionLine(const CVersionRecord& record) {
  char szLine[128];
  std::snprintf(szLine, sizeof szLine, "%s:  %d.%d   %s", "Version",
                static_cast<int>(record.dwProductVersionMS >> 16), static_cast<int>(record.dwProductVersionLS & 0xFFFFu),
                BuildWord(record.dwFileFlags));
  return szLine;
}

std::string ProductTitle() {
#if defined(__linux__)
  constexpr char kPlatform[] = "Linux";
#else
  constexpr char kPlatform[] = "Unix";
#endif
  return std::string("Stratavon for ") + kPlatform + " (" + std::to_string(sizeof(void*) * 8) + "bit)";
}

}  // namespace stratavon
