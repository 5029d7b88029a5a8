#include "platform/StateDirectory.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace stratavon {

namespace {

std::string WithoutTrailingSeparators(std::string szPath) {
  while (szPath.size() > 1 && szPath.back() == '/') szPath.pop_back();
  return szPath;
}

std::string JoinPath(const std::string& szDir, const char* szName) {
  const std::string szBase = WithoutTrailingSeparators(szDir);
  return (szBase == "/" ? "" : szBase) + "/" + szName;
}

// The variables are only worth taking when they name an absolute path: a
// relative one would move the records with the working directory.
const char* AbsoluteEnv(const char* szName) {
  const char* szValue = std::getenv(szName);
  return (szValue != nullptr && szValue[0] == '/') ? szValue : nullptr;
}

std::string HomeDirectory() {
  if (const char* szHome = AbsoluteEnv("HOME")) return szHome;
  // Services started without HOME still have a password entry.
  long nSize = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(nSize > 0 ? static_cast<size_t>(nSize) : 16384);
  passwd entry{};
  passwd* pResult = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &pResult) == 0 && pResult != nullptr &&
      pResult->pw_dir != nullptr && pResult->pw_dir[0] == '/') {
    return pResult->pw_dir;
  }
  return {};
}

}  // namespace

std::string StateDirectory() {
  if (const char* szHome = std::getenv("STRATAVON_HOME"); szHome != nullptr && szHome[0] != '\0') {
    return WithoutTrailingSeparators(szHome);
  }
  if (const char* szState = AbsoluteEnv("XDG_STATE_HOME")) return JoinPath(szState, "stratavon");
  const std::string szHome = HomeDirectory();
  if (szHome.empty()) {
    // No home at all (a bare container user): a per-user folder still keeps
    // one user's records away from another's.
    return "/tmp/stratavon-" + std::to_string(getuid());
  }
  return JoinPath(szHome, ".local/state/stratavon");
}

bool EnsureStateDirectory() {
  const std::string szDir = StateDirectory();
  // Walk down from the top so that every missing parent is made in turn.
  for (size_t nEnd = 1; nEnd <= szDir.size(); ++nEnd) {
    if (nEnd != szDir.size() && szDir[nEnd] != '/') continue;
    const std::string szPart = szDir.substr(0, nEnd);
    if (mkdir(szPart.c_str(), 0755) == 0) continue;
    if (errno != EEXIST) return false;
    struct stat st {};
    if (stat(szPart.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
  }
  return true;
}

}  // namespace stratavon
