#pragma once

#include <string>

namespace stratavon {

// Writes a sibling temporary file, flushes it and renames it over szPath, so
// that a reader (or a crash) only ever sees the old file or the new one.
// False with errno set; no temporary file is left behind.
bool ReplaceFileAtomically(const std::string& szPath, const std::string& szText);

// Opens (creating it) szPath so that every write lands whole at the end of
// the file whatever other writers, threads or processes, do meanwhile:
// O_APPEND on Linux, append-only access on Windows. Readable too where the
// file allows it (an entry may look at the last byte before it). The
// descriptor, or -1 with errno set.
int OpenForAppend(const std::string& szPath);

}  // namespace stratavon
