#include "support/RunFixture.h"

#include "run/TargetRecords.h"

namespace stratavon::test {

RunSettings MakeSettings(uint32_t dwBufferSize, uint32_t dwTransferSize, uint32_t dwMode, uint32_t dwFunction,
                         uint32_t dwQueueDepth) {
  RunSettings settings;
  settings.dwBufferSize = dwBufferSize;
  settings.dwTransferSize = dwTransferSize;
  settings.dwMode = dwMode;
  settings.dwFunction = dwFunction;
  settings.dwQueueDepth = dwQueueDepth;
  return settings;
}

bool RunFixture::Prepare(const std::vector<std::string>& roots, const RunSettings& settings) {
  m_roots = roots;
  if (!BuildTargetRecords(FolderTargets(roots))) {
    ADD_FAILURE() << "records block not built";
    return false;
  }
  std::string szFailed;
  if (CreateWorkDirectories(FolderTargets(roots), &szFailed) != WorkDirectoryResult::kCreated) {
    ADD_FAILURE() << "work directories not made under " << szFailed;
    return false;
  }
  ResetTargetRecords();
  m_console.Resize(roots.size());
  for (size_t t = 0; t < roots.size(); ++t) {
    g_pTargetRecords[t].settings = settings;
    g_pTargetRecords[t].settings.pDialog = &m_console;
  }
  return true;
}

bool RunFixture::PrepareTemporary(const RunSettings& settings, int nTargets) {
  std::vector<std::string> roots;
  for (int t = 0; t < nTargets; ++t) {
    m_dirs.push_back(std::make_unique<CTempDir>());
    roots.push_back(m_dirs.back()->Root());
  }
  return Prepare(roots, settings);
}

bool WorkersEnded(const std::function<void()>& dispatch) {
  // Once workers have outlived a stop, later waits (the fixture's tear-down)
  // would only wait the bound out again.
  static bool s_bStuck = false;
  if (!s_bStuck && WaitForWorkers(dispatch, std::chrono::seconds(30))) return true;
  if (!s_bStuck) ADD_FAILURE() << "workers did not end within 30 s of their stop";
  s_bStuck = true;
  return false;
}

bool RunFixture::StopAndWait() {
  StopWorkers();
  return WorkersEnded();
}

void RunFixture::TearDown() {
  // Records that workers still use are left to the process's end.
  if (StopAndWait()) ReleaseTargetRecords();
}

}  // namespace stratavon::test
