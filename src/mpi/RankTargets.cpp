#include "mpi/RankTargets.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/SystemError.h"

namespace stratavon {
namespace {

void ReplaceAll(std::string& sz, const std::string& szWhat, const std::string& szWith) {
  for (size_t n = sz.find(szWhat); n != std::string::npos; n = sz.find(szWhat, n + szWith.size())) {
    sz.replace(n, szWhat.size(), szWith);
  }
}

std::string WithoutSlash(const std::string& sz) {
  return sz.size() > 1 && sz.back() == '/' ? sz.substr(0, sz.size() - 1) : sz;
}

}  // namespace

std::string ExpandRankTemplate(const std::string& szTyped, int nRank, const std::string& szHost) {
  std::string sz = szTyped;
  ReplaceAll(sz, "{host}", szHost);
  ReplaceAll(sz, "{rank}", std::to_string(nRank));
  return sz;
}

std::string RankTarget(const std::string& szTyped, int nRank, const std::string& szHost) {
  std::string sz = ExpandRankTemplate(szTyped, nRank, szHost);
  if (sz.empty() || sz.back() != '/') sz += '/';
  if (szTyped.find("{rank}") == std::string::npos) sz += "rank" + std::to_string(nRank) + "/";
  return sz;
}

std::string RankFolderProblem(const std::string& szRankTarget) {
  const std::string szFolder = WithoutSlash(szRankTarget);
  const size_t nSlash = szFolder.rfind('/');
  const std::string szParent = nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : szFolder.substr(0, nSlash);
  struct stat st {};
  if (stat(szParent.c_str(), &st) != 0) return szParent + ": " + FormatSystemMessage(errno);
  if (!S_ISDIR(st.st_mode)) return szParent + ": not a folder";
  return {};
}

std::string MakeRankFolder(const std::string& szRankTarget) {
  if (mkdir(WithoutSlash(szRankTarget).c_str(), 0755) == 0 || errno == EEXIST) return {};
  return szRankTarget + ": " + FormatSystemMessage(errno);
}

}  // namespace stratavon
