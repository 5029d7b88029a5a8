#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace stratavon::test {

// Polls until the predicate holds; false when it still does not after the
// limit (a generous bound for a loaded machine, not a timing claim).
template <class Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Whether the predicate still holds throughout the span: for what must not
// happen, which no event announces. A loaded machine can only make it miss
// a fault, never fail a sound program.
template <class Pred>
bool Throughout(Pred pred, std::chrono::milliseconds span) {
  return !Eventually([&] { return !pred(); }, span);
}

// Whether a thread of this process sleeps in the kernel (state S: waiting
// for an event, as in a futex or an io_uring wait), from /proc.
inline bool ThreadAsleep(pid_t nTid) {
  std::ifstream in("/proc/self/task/" + std::to_string(nTid) + "/stat");
  const std::string szStat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t nName = szStat.rfind(')');  // the name may hold spaces and parentheses
  return nName != std::string::npos && nName + 2 < szStat.size() && szStat[nName + 2] == 'S';
}

// Size of a file, -1 when it does not exist.
inline int64_t FileSize(const std::string& szPath) {
  struct stat st {};
  return stat(szPath.c_str(), &st) == 0 ? st.st_size : -1;
}

}  // namespace stratavon::test
