#pragma once

#include <string>

namespace stratavon {

// Writes a sibling temporary file, flushes it and renames it over szPath, so
// that a reader (or a crash) only ever sees the old file or the new one.
// False with errno set; no temporary file is left behind.
bool ReplaceFileAtomically(const std::string& szPath, const std::string& szText);

}  // namespace stratavon
