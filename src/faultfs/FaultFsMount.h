#pragma once

// A stratavon-faultfs mount for one test: a pass-through view of a fresh
// backing folder whose reads and writes fail, come up short, corrupt data or
// stall on demand.  Rules may be armed and disarmed while files are open;
// each takes effect before Arm() returns.  Requests over 1 MiB reach the
// daemon in 1 MiB pieces, and each piece counts as one request.
//
//   std::string why;
//   if (!CFaultFs::Available(&why)) GTEST_SKIP() << why;
//   CFaultFs fs;
//   ASSERT_TRUE(fs.Mount()) << fs.LastError();
//   int n = fs.Arm(FaultRule::Error("KORVA25.DAT", FaultRule::EOp::Read, 64 * 1024, 4096, EIO).Times(1));
//   ... I/O on fs.Root() + "KORVA25.DAT" ...
//   EXPECT_EQ(fs.Hits(n), 1u);

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <string>

namespace stratavon {

struct FaultRule {
  enum class EOp { Read, Write };
  enum class EAction { Error, Short, Corrupt, Stall, Drop, Move };
  static constexpr uint64_t kForever = UINT64_MAX;

  EOp op = EOp::Read;
  std::string name;            // path suffix ("KORVA25.DAT", ".DAT"); empty: every file
  uint64_t offset = 0;         // requests must overlap [offset, offset+length)
  uint64_t length = 0;         // 0: to the end of the file
  uint64_t skip = 0;           // matching requests let through first
  uint64_t times = kForever;   // then this many fire
  EAction action = EAction::Error;
  int error = EIO;             // Error: the errno the request fails with
  uint64_t shortBytes = 0;     // Short: bytes transferred at most
  uint8_t xorMask = 0xFF;      // Corrupt: applied to the bytes of the range
  uint64_t stallMs = 0;        // Stall: hold time; 0 until the rule is disarmed
  uint64_t moveTo = 0;         // Move: where the write is stored instead

  // A request overlapping the range fails with err.
  static FaultRule Error(const std::string& name, EOp op, uint64_t offset, uint64_t length, int err);
  // A request overlapping the range moves only bytes bytes.
  static FaultRule Short(const std::string& name, EOp op, uint64_t offset, uint64_t length, uint64_t bytes);
  // The bytes of the range that a request carries are XORed with mask:
  // reads return them altered, writes store them altered.
  static FaultRule Corrupt(const std::string& name, EOp op, uint64_t offset, uint64_t length, uint8_t mask = 0xFF);
  // A request overlapping the range waits ms milliseconds (0: until the rule
  // is disarmed), then is served normally.
  static FaultRule Stall(const std::string& name, EOp op, uint64_t offset, uint64_t length, uint64_t ms);

  // A write overlapping the range is acknowledged and not stored (a lost
  // write), or stored at moveTo instead (a misdirected one).
  static FaultRule Drop(const std::string& name, uint64_t offset, uint64_t length);
  static FaultRule Move(const std::string& name, uint64_t offset, uint64_t length, uint64_t moveTo);

  FaultRule& Skip(uint64_t n) { skip = n; return *this; }
  FaultRule& Times(uint64_t n) { times = n; return *this; }

  // The control line ("add op=read ...").
  std::string Text() const;
};

class CFaultFs {
 public:
  // Whether mounts can work here: /dev/fuse usable, root or fusermount3,
  // and the daemon built (STRATAVON_TOOLS_DIR/stratavon-faultfs).
  static bool Available(std::string* pszWhy);

  CFaultFs() = default;
  ~CFaultFs();
  CFaultFs(const CFaultFs&) = delete;
  CFaultFs& operator=(const CFaultFs&) = delete;

  // Mounts a fresh, empty backing folder on a fresh mount point and waits
  // until the daemon answers, in a new folder under szParent (empty: TMPDIR
  // or /tmp).  The daemon is asked to die with the thread that called
  // Mount(), and Mount() first sweeps away what mounts of processes that
  // are gone left under the same parent.
  bool Mount(const std::string& szParent = std::string());
  // Releases stalled requests, unmounts (lazily when files are still open,
  // stopping the daemon so those files fail from then on) and removes both
  // folders.  The destructor calls it.
  bool Unmount();

  const std::string& Root() const { return m_szRoot; }        // mount point, ending in '/'
  const std::string& Backing() const { return m_szBacking; }  // backing folder, ending in '/'
  const std::string& LastError() const { return m_szError; }

  // The rule's index for Hits()/Seen()/Disarm(), or -1 (see LastError()).
  int Arm(const FaultRule& rule);
  bool Disarm(int nRule);
  // Disarms every rule and lets stalled requests go on.
  bool ClearRules();
  // Raw control text, one command a line, applied all or nothing.
  bool Control(const std::string& text);

  // How often the rule fired / how many requests matched it (fired or
  // skipped); UINT64_MAX when it cannot be told, so it never passes for a
  // real count.
  uint64_t Hits(int nRule);
  uint64_t Seen(int nRule);
  // The daemon's rule table, one "INDEX armed=B seen=N hits=N TEXT" a line.
  std::string Report();

 private:
  bool Counter(int nRule, const char* pszKey, uint64_t* pqw);
  bool WaitUntilServed();
  bool StopDaemon();
  void Fail(const std::string& szWhat);

  std::string m_szTemp;     // holds backing/, mnt/ and the daemon's log
  std::string m_szRoot;
  std::string m_szBacking;
  std::string m_szLog;
  std::string m_szError;
  pid_t m_nPid = -1;
  int m_nRules = 0;         // rules the daemon has numbered so far
  bool m_bMounted = false;
};

}  // namespace stratavon
