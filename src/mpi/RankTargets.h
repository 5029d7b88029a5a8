#pragma once

#include <string>
#include <vector>

namespace stratavon {

// A target as one rank of a run across hosts sees it. "{rank}" and
// "{host}" in the typed path become the rank's number and its host's name.
// A path without "{rank}" is shared with other ranks (every rank of a host
// with "{host}" alone, every rank with neither), so the rank works in a
// folder of its own below it, "rank<N>/": the work files keep the names
// and layout of a local run (READ/KORVA<slot>.DAT), which the target lock,
// the failure stamps and the event texts rely on, and no two ranks can
// ever open one file. Takes and returns a path ending in '/'.
std::string RankTarget(const std::string& szTyped, int nRank, const std::string& szHost);
// The typed path with "{rank}" and "{host}" replaced, and nothing added:
// a device template such as /dev/disk/by-id/{host}-data.
std::string ExpandRankTemplate(const std::string& szTyped, int nRank, const std::string& szHost);

// The folders RankTarget made up that may not exist yet: the last
// component of each rank target. A rank creates them (not their parents)
// once every rank has accepted the settings; before, it only checks that
// their parents are folders. Empty string when the parent is fine, else why
// not.
std::string RankFolderProblem(const std::string& szRankTarget);
// mkdir of the rank target itself; empty on success or when it exists,
// else the system's words.
std::string MakeRankFolder(const std::string& szRankTarget);

}  // namespace stratavon
