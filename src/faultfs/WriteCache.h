#pragma once

// The volatile write cache of stratavon-faultfs, as a drive's DRAM cache
// is: with the cache on, a write is acknowledged once it is held here,
// reads see it, and it reaches the backing file only when a flush (fsync,
// fdatasync) of that file asks, or when the cache is full and writes back
// its oldest writes. Closing a file is no flush. A write past the end
// grows the backing file at once (zeroes until written back). A power cut drops whatever
// is held, and may first let half of one write through (a torn write).
//
// Plain C++ over file descriptors, no FUSE, so the suites can test it on
// ordinary files.

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace stratavon {

class CWriteCache {
 public:
  CWriteCache() = default;
  ~CWriteCache();
  CWriteCache(const CWriteCache&) = delete;
  CWriteCache& operator=(const CWriteCache&) = delete;

  // On: writes are cached, at most qwLimit bytes at a time. Off: whatever is
  // held is written back first; false (and still on) when that fails.
  bool Enable(bool bOn, uint64_t qwLimit, std::string* pszError);
  bool Enabled() const;

  // Holds the write when the cache is on (true; *pnError is 0 or, when a
  // write-back to make room failed, the errno to fail the write with);
  // false: the caller writes through.
  bool Write(int fd, const char* pBuffer, size_t nBytes, uint64_t qwOffset, int* pnError);
  // Lays what the cache holds for the file over bytes read from it at
  // qwOffset (nRead of nBytes delivered); returns how many bytes the
  // request now delivers (more than nRead when cached writes lie past what
  // the backing file holds).
  size_t Overlay(int fd, char* pBuffer, size_t nBytes, uint64_t qwOffset, size_t nRead) const;
  // Writes the file's cached writes back in the order they came, then
  // fdatasync()s it; 0 or an errno.
  int Flush(int fd, bool bDataOnly);
  // Drops everything held. With a tear, the first qwTearBytes of the oldest
  // write held (half of it when qwTearBytes is 0) reach the file first.
  // Returns the number of writes lost, the torn one included.
  uint64_t PowerCut(bool bTear, uint64_t qwTearBytes);

  // "cache on|off limit=N held=BYTES writes=N flushes=N cuts=N"
  std::string Report() const;

 private:
  using Key = std::pair<uint64_t, uint64_t>;  // device, inode of the backing file
  struct Piece {
    uint64_t qwSeq;
    uint64_t qwOffset;
    std::vector<char> bytes;
  };
  struct File {
    int fd = -1;  // a descriptor of our own, for write-back from any caller
    std::vector<Piece> pieces;  // in arrival order
  };

  static bool KeyOf(int fd, Key* pKey);
  // Writes back (and forgets) the file's pieces up to and including qwSeq; 0 or an errno.
  static int WriteBack(File& file, uint64_t qwUpToSeq);
  int MakeRoom(uint64_t qwBytes);
  void DropAll();

  mutable std::mutex m_mutex;
  bool m_bOn = false;
  uint64_t m_qwLimit = 0;
  uint64_t m_qwHeld = 0;
  uint64_t m_qwSeq = 0;
  uint64_t m_qwFlushes = 0;
  uint64_t m_qwCuts = 0;
  std::map<Key, File> m_files;
};

}  // namespace stratavon
