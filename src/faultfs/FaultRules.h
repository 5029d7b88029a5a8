#pragma once

// Fault rules of the stratavon-faultfs daemon: the control language the
// tests write to /.faultfs and the table the I/O handlers consult.
//
// Control text, one command a line ('#' starts a comment line):
//   add op=read|write|flush [name=SUFFIX] [off=N] [len=N] [skip=N] [times=N|forever] ACTION
//       ACTION is one of  error=EIO|ENOSPC|...|<number>   short=N
//                         corrupt[=XORMASK]                stall=MS|forever
//                         drop (writes: acknowledged, not stored)
//                         moveto=N (writes: stored at offset N instead)
//                         wrap=N (the file holds N bytes: what lies past
//                                 them is stored and read at offset mod N,
//                                 as on a flash drive that fakes its size)
//                         lie-flush (flushes: acknowledged, the write cache
//                                    not written back)
//   disarm INDEX
//   clear
//   cache on [limit=N] | cache off      the volatile write cache (WriteCache.h),
//                                       64M unless limited; off writes it back
//   powercut [tear[=N]]                 drops what the cache holds; a tear lets
//                                       N bytes (default half) of its oldest write through
// A flush is an fsync() or fdatasync() of a work file; off= and len= do not
// apply to it. `add op=flush lie-flush` may leave out op=flush.
// Numbers take 0x for hex and a K, M or G suffix (binary units).  A rule
// matches a request on a file whose path ends in SUFFIX (no name: every
// file) that overlaps [off, off+len) (len 0: to the end of the file).  The
// first `skip` matching requests pass, the next `times` fire.  Rules are
// numbered from 0 in the order they were added and keep their counters
// when disarmed, so a test can still read how often one fired.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "WriteCache.h"

namespace stratavon {

enum class EFaultOp { Read, Write, Flush };
enum class EFaultAction { Error, Short, Corrupt, Stall, Drop, Move, Wrap, LieFlush };

inline constexpr uint64_t kFaultForever = UINT64_MAX;

struct FaultSetting {
  EFaultOp op = EFaultOp::Read;
  std::string name;            // path suffix; empty matches every file
  uint64_t offset = 0;
  uint64_t length = 0;         // 0: to the end of the file
  uint64_t skip = 0;
  uint64_t times = kFaultForever;
  EFaultAction action = EFaultAction::Error;
  int error = 0;
  uint64_t shortBytes = 0;
  uint8_t xorMask = 0xFF;
  uint64_t stallMs = 0;        // 0: until the rule is disarmed
  uint64_t moveTo = 0;
  uint64_t wrap = 0;
  std::string text;            // the line it came from, for the report
};

// Parses the arguments of an `add` line (everything after "add").
bool ParseFaultSetting(const std::string& args, FaultSetting* pSetting, std::string* pszError);

// Byte range of a file to XOR with a mask.
struct FaultCorruption {
  uint64_t offset = 0;
  uint64_t length = 0;         // 0: to the end of the file
  uint8_t xorMask = 0xFF;
};

// What a request must do once every armed rule has had its say.
struct FaultVerdict {
  int error = 0;                           // nonzero: fail with this errno
  uint64_t limit = UINT64_MAX;             // transfer at most this many bytes
  std::vector<FaultCorruption> corruptions;
  bool bDrop = false;                      // report the write done, store nothing
  uint64_t moveTo = UINT64_MAX;            // store the write here instead
  bool bLieFlush = false;                  // report the flush done, write nothing back
  uint64_t wrap = 0;                       // nonzero: bytes past it land at offset mod wrap
};

// The part of a request's bytes [qwOffset, qwOffset + qwBytes) that is
// stored in one piece under the verdict's wrap: its length, and in
// *pqwStored where it is stored.
inline uint64_t StoredPiece(const FaultVerdict& verdict, uint64_t qwOffset, uint64_t qwBytes, uint64_t* pqwStored) {
  if (verdict.wrap == 0) {
    *pqwStored = qwOffset;
    return qwBytes;
  }
  *pqwStored = qwOffset % verdict.wrap;
  return qwBytes < verdict.wrap - *pqwStored ? qwBytes : verdict.wrap - *pqwStored;
}

// Flips the bytes of buffer (holding the file bytes at fileOffset) that the
// verdict's corruptions cover.
void ApplyCorruptions(const FaultVerdict& verdict, uint64_t fileOffset, char* pBuffer, size_t nBytes);

class CFaultTable {
 public:
  // Runs a control text, all of it or (on the first bad line) none of it;
  // with bDryRun only checks it.
  bool Apply(const std::string& text, std::string* pszError, bool bDryRun = false);
  // Counts the request against every armed rule and returns the combined
  // verdict; blocks while a firing stall rule holds it.
  FaultVerdict Consult(const std::string& path, EFaultOp op, uint64_t offset, uint64_t size);
  // One line a rule: "INDEX armed=0|1 seen=N hits=N TEXT", then the
  // cache's line once it has been turned on.
  std::string Report() const;
  CWriteCache& Cache() { return m_cache; }
  // Releases every stall so the daemon can exit.
  void Shutdown();
  // Polled while a request stalls; true abandons the stall (the daemon is
  // being stopped by a signal and must not wait for a test that is gone).
  void SetAbandonCheck(bool (*pfnAbandon)());

 private:
  struct Rule {
    FaultSetting parsed;
    bool bArmed = true;
    uint64_t qwSeen = 0;
    uint64_t qwHits = 0;
  };

  mutable std::mutex m_mutex;
  std::condition_variable m_cvChanged;
  std::deque<Rule> m_rules;  // never shrinks: stalled requests hold references
  bool m_bShutdown = false;
  bool (*m_pfnAbandon)() = nullptr;
  CWriteCache m_cache;
  bool m_bCacheUsed = false;
};

}  // namespace stratavon
