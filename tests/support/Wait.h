#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace stratavon::test {

// Polls until the predicate holds; false when it still does not after the
// limit (a generous bound for a loaded machine, not a timing claim).
template <class Pred>
bool Eventually(Pred pred, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Size of a file, -1 when it does not exist.
inline int64_t FileSize(const std::string& szPath) {
  struct stat st {};
  return stat(szPath.c_str(), &st) == 0 ? st.st_size : -1;
}

}  // namespace stratavon::test
