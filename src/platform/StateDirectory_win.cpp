#include "platform/StateDirectory.h"

#include <windows.h>

#include <cstdlib>

#include "platform/WinError_win.h"

namespace stratavon {
namespace {

std::string WithoutTrailingSeparators(std::string szPath) {
  while (szPath.size() > 3 && (szPath.back() == '/' || szPath.back() == '\\')) szPath.pop_back();
  return szPath;
}

}  // namespace

// $STRATAVON_HOME when set, else %LOCALAPPDATA%\Stratavon (the user's
// local, not roaming, application data), else the temporary folder's.
std::string StateDirectory() {
  if (const char* szHome = std::getenv("STRATAVON_HOME"); szHome != nullptr && szHome[0] != '\0') {
    return WithoutTrailingSeparators(szHome);
  }
  if (const char* szLocal = std::getenv("LOCALAPPDATA"); szLocal != nullptr && szLocal[0] != '\0') {
    return WithoutTrailingSeparators(szLocal) + "\\Stratavon";
  }
  char szTemp[MAX_PATH + 1] = {};
  const DWORD dwLength = GetTempPathA(sizeof szTemp, szTemp);
  const std::string szBase = dwLength > 0 && dwLength < sizeof szTemp ? std::string(szTemp, dwLength) : "C:\\";
  return WithoutTrailingSeparators(szBase) + "\\Stratavon";
}

bool EnsureStateDirectory() {
  const std::string szDir = StateDirectory();
  // Walk down from the top so that every missing parent is made in turn
  // (a drive root "C:\" or a share "\\server\share" is there or not).
  for (size_t nEnd = 1; nEnd <= szDir.size(); ++nEnd) {
    if (nEnd != szDir.size() && szDir[nEnd] != '/' && szDir[nEnd] != '\\') continue;
    const std::string szPart = szDir.substr(0, nEnd);
    if (szPart.size() <= 2 || szPart.back() == ':') continue;
    if (CreateDirectoryA(szPart.c_str(), nullptr)) continue;
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      const DWORD dwAttributes = GetFileAttributesA(szPart.c_str());
      if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
      return SetErrnoFromLastError();
    }
    const DWORD dwAttributes = GetFileAttributesA(szPart.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES || !(dwAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      errno = ENOTDIR;
      return false;
    }
  }
  return true;
}

}  // namespace stratavon
