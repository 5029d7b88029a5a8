#include "faultfs/FaultFsMount.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

namespace stratavon {
namespace {

constexpr char kControlName[] = ".faultfs";
constexpr auto kMountTimeout = std::chrono::seconds(30);
constexpr auto kExitTimeout = std::chrono::seconds(5);

std::string ErrnoText(int nErr) { return std::string(std::strerror(nErr)); }

bool IsExecutable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

bool FindInPath(const char* pszName) {
  const char* pszPath = std::getenv("PATH");
  std::istringstream dirs(pszPath ? pszPath : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && IsExecutable(dir + "/" + pszName)) return true;
  return false;
}

// STRATAVON_TOOLS_DIR as ctest sets it; else the program beside the running
// one (an installed tree: stratavon-cli and stratavon-faultfs share bin/);
// else the build folder this was built in, then the install folder.
bool FindTool(std::string* pszTool) {
  std::vector<std::string> dirs;
  const char* pszDir = std::getenv("STRATAVON_TOOLS_DIR");
  if (pszDir && *pszDir) {
    dirs.push_back(pszDir);
  } else {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) dirs.push_back(exe.parent_path().string());
    dirs.push_back(STRATAVON_FAULTFS_BUILD_DIR);
    dirs.push_back(STRATAVON_FAULTFS_INSTALL_DIR);
  }
  for (const std::string& dir : dirs) {
    *pszTool = dir + "/stratavon-faultfs";
    if (IsExecutable(*pszTool)) return true;
  }
  return false;
}

std::string WithoutSlash(const std::string& path) {
  return path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
}

// True while something is mounted on path, a dead FUSE daemon included.
bool IsMounted(const std::string& path) {
  std::string dir = WithoutSlash(path);
  struct stat self, parent;
  if (stat(dir.c_str(), &self) != 0) return errno == ENOTCONN || errno == ECONNABORTED;
  if (stat((dir + "/..").c_str(), &parent) != 0) return false;
  return self.st_dev != parent.st_dev;
}

int RunAndWait(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t nPid = -1;
  if (posix_spawnp(&nPid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int nStatus = 0;
  while (waitpid(nPid, &nStatus, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

// Detaches lazily when files are still open, so that a failing test that
// leaked a descriptor cannot leave the mount behind.
bool UnmountPath(const std::string& path, bool* pbLazy) {
  std::string dir = WithoutSlash(path);
  *pbLazy = false;
  if (geteuid() == 0) {
    if (umount2(dir.c_str(), 0) == 0) return true;
    *pbLazy = true;
    return umount2(dir.c_str(), MNT_DETACH) == 0;
  }
  if (RunAndWait({"fusermount3", "-u", "-q", dir}) == 0) return true;
  *pbLazy = true;
  return RunAndWait({"fusermount3", "-u", "-q", "-z", dir}) == 0;
}

bool WaitForExit(pid_t nPid, std::chrono::steady_clock::duration timeout) {
  auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int nStatus = 0;
    pid_t nDone = waitpid(nPid, &nStatus, WNOHANG);
    if (nDone == nPid || (nDone < 0 && errno == ECHILD)) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::string ReadText(const std::string& path, size_t nTail) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string();
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(fd);
  return text.size() > nTail ? text.substr(text.size() - nTail) : text;
}

const char* OpWord(FaultRule::EOp op) { return op == FaultRule::EOp::Read ? "read" : "write"; }

FaultRule MakeRule(const std::string& name, FaultRule::EOp op, uint64_t offset, uint64_t length,
                   FaultRule::EAction action) {
  FaultRule rule;
  rule.name = name;
  rule.op = op;
  rule.offset = offset;
  rule.length = length;
  rule.action = action;
  return rule;
}

}  // namespace

FaultRule FaultRule::Error(const std::string& name, EOp op, uint64_t offset, uint64_t length, int err) {
  FaultRule rule = MakeRule(name, op, offset, length, EAction::Error);
  rule.error = err;
  return rule;
}

FaultRule FaultRule::Short(const std::string& name, EOp op, uint64_t offset, uint64_t length, uint64_t bytes) {
  FaultRule rule = MakeRule(name, op, offset, length, EAction::Short);
  rule.shortBytes = bytes;
  return rule;
}

FaultRule FaultRule::Corrupt(const std::string& name, EOp op, uint64_t offset, uint64_t length, uint8_t mask) {
  FaultRule rule = MakeRule(name, op, offset, length, EAction::Corrupt);
  rule.xorMask = mask;
  return rule;
}

FaultRule FaultRule::Stall(const std::string& name, EOp op, uint64_t offset, uint64_t length, uint64_t ms) {
  FaultRule rule = MakeRule(name, op, offset, length, EAction::Stall);
  rule.stallMs = ms;
  return rule;
}

FaultRule FaultRule::Drop(const std::string& name, uint64_t offset, uint64_t length) {
  return MakeRule(name, EOp::Write, offset, length, EAction::Drop);
}

FaultRule FaultRule::Move(const std::string& name, uint64_t offset, uint64_t length, uint64_t moveTo) {
  FaultRule rule = MakeRule(name, EOp::Write, offset, length, EAction::Move);
  rule.moveTo = moveTo;
  return rule;
}

std::string FaultRule::Text() const {
  std::string text = std::string("add op=") + OpWord(op);
  if (!name.empty()) text += " name=" + name;
  text += " off=" + std::to_string(offset) + " len=" + std::to_string(length) + " skip=" + std::to_string(skip);
  text += " times=" + (times == kForever ? std::string("forever") : std::to_string(times));
  switch (action) {
    case EAction::Error: text += " error=" + std::to_string(error); break;
    case EAction::Short: text += " short=" + std::to_string(shortBytes); break;
    case EAction::Corrupt: text += " corrupt=" + std::to_string(xorMask); break;
    case EAction::Stall: text += " stall=" + (stallMs == 0 ? std::string("forever") : std::to_string(stallMs)); break;
    case EAction::Drop: text += " drop"; break;
    case EAction::Move: text += " moveto=" + std::to_string(moveTo); break;
  }
  return text + "\n";
}

bool CFaultFs::Available(std::string* pszWhy) {
  std::string why;
  std::string tool;
  if (!FindTool(&tool))
    why = "stratavon-faultfs is not installed (nor built: libfuse3 missing when configuring?)";
  else if (access("/dev/fuse", R_OK | W_OK) != 0)
    why = "/dev/fuse is not usable: " + ErrnoText(errno);
  else if (geteuid() != 0 && !FindInPath("fusermount3"))
    why = "not root and no fusermount3 to mount with";
  if (pszWhy) *pszWhy = why;
  return why.empty();
}

CFaultFs::~CFaultFs() { Unmount(); }

void CFaultFs::Fail(const std::string& szWhat) {
  m_szError = szWhat;
  std::string log = m_szLog.empty() ? std::string() : ReadText(m_szLog, 2000);
  if (!log.empty()) m_szError += "; daemon log: " + log;
}

// A killed test or an interrupted selftest cannot clean up after itself:
// each mount folder records its owner's pid, and a folder whose owner is gone
// is unmounted (lazily: a dead daemon leaves "Transport endpoint is not
// connected") and removed by the next mount under the same parent.
static void SweepLeftovers(const std::string& parent) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(parent, ec)) {
    std::string dir = entry.path().string();
    if (entry.path().filename().string().rfind("stratavon-faultfs-", 0) != 0) continue;
    std::string owner = ReadText(dir + "/owner", 64);
    pid_t nOwner = static_cast<pid_t>(std::strtol(owner.c_str(), nullptr, 10));
    // No pid yet: another mount is between mkdtemp and writing its record.
    if (nOwner <= 0) continue;
    if (kill(nOwner, 0) != 0 && errno == ESRCH) {
      bool bLazy = false;
      if (IsMounted(dir + "/mnt")) UnmountPath(dir + "/mnt", &bLazy);
      if (!IsMounted(dir + "/mnt")) std::filesystem::remove_all(dir, ec);
    }
  }
}

bool CFaultFs::Mount(const std::string& szParent) {
  if (m_bMounted || !m_szTemp.empty()) {
    Fail("already mounted at " + m_szRoot);
    return false;
  }
  std::string tool;
  if (!FindTool(&tool)) {
    Fail("stratavon-faultfs not found");
    return false;
  }
  const char* pszTmp = std::getenv("TMPDIR");
  std::string parent = !szParent.empty() ? WithoutSlash(szParent) : pszTmp && *pszTmp ? pszTmp : "/tmp";
  SweepLeftovers(parent);
  std::string pattern = parent + "/stratavon-faultfs-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) {
    Fail("mkdtemp " + pattern + ": " + ErrnoText(errno));
    return false;
  }
  m_szTemp = name.data();
  std::string backing = m_szTemp + "/backing";
  std::string mnt = m_szTemp + "/mnt";
  m_szBacking = backing + "/";
  m_szRoot = mnt + "/";
  m_szLog = m_szTemp + "/daemon.log";
  std::string owner = m_szTemp + "/owner";
  int nOwner = open(owner.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (nOwner >= 0) {
    std::string pid = std::to_string(getpid()) + "\n";
    ssize_t nPut = write(nOwner, pid.data(), pid.size());
    (void)nPut;  // without the record the folder is only never swept
    close(nOwner);
  }
  if (mkdir(backing.c_str(), 0755) != 0 || mkdir(mnt.c_str(), 0755) != 0) {
    Fail("mkdir in " + m_szTemp + ": " + ErrnoText(errno));
    Unmount();
    return false;
  }

  // Everything the child needs is prepared here: between fork and exec only
  // async-signal-safe calls are allowed in a threaded process.
  std::string foreground = "-f";
  std::vector<char*> argv = {tool.data(), backing.data(), mnt.data(), foreground.data(), nullptr};
  int nLog = open(m_szLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int nNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t nParent = getpid();
  sigset_t none;
  sigemptyset(&none);
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  pid_t nPid = (nLog >= 0 && nNull >= 0) ? fork() : -1;
  if (nPid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != nParent) _exit(127);
    // libfuse installs its unmount-on-signal handlers only over defaults.
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int nSig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaction(nSig, &dfl, nullptr);
    dup2(nNull, 0);
    dup2(nLog, 1);
    dup2(nLog, 2);
    close_range(3, ~0U, 0);  // no descriptor of the test may keep anything alive
    execv(argv[0], argv.data());
    _exit(127);
  }
  int nForkErr = errno;
  if (nLog >= 0) close(nLog);
  if (nNull >= 0) close(nNull);
  if (nPid < 0) {
    Fail("starting " + tool + ": " + ErrnoText(nForkErr));
    Unmount();
    return false;
  }
  m_nPid = nPid;
  m_nRules = 0;
  if (!WaitUntilServed()) {
    std::string szError = m_szError;
    Unmount();
    m_szError = szError;
    return false;
  }
  m_bMounted = true;
  return true;
}

// The control file exists only inside the mount, so once it can be stat()ed
// the daemon is up and answering.
bool CFaultFs::WaitUntilServed() {
  std::string control = m_szRoot + kControlName;
  auto until = std::chrono::steady_clock::now() + kMountTimeout;
  for (;;) {
    int nStatus = 0;
    if (waitpid(m_nPid, &nStatus, WNOHANG) == m_nPid) {
      m_nPid = -1;
      Fail("stratavon-faultfs exited with status " + std::to_string(WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1) +
           " before mounting");
      return false;
    }
    struct stat st;
    if (stat(control.c_str(), &st) == 0) return true;
    if (std::chrono::steady_clock::now() >= until) {
      Fail("the mount at " + m_szRoot + " did not come up");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool CFaultFs::StopDaemon() {
  if (m_nPid <= 0) return true;
  bool bOk = WaitForExit(m_nPid, kExitTimeout);
  if (!bOk) {
    kill(m_nPid, SIGTERM);
    bOk = WaitForExit(m_nPid, kExitTimeout);
  }
  if (!bOk) {
    kill(m_nPid, SIGKILL);
    while (waitpid(m_nPid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  m_nPid = -1;
  return bOk;
}

bool CFaultFs::Unmount() {
  bool bOk = true;
  if (m_bMounted) {
    // A stalled request would keep the daemon from exiting; a dead daemon
    // cannot take the text and has nothing stalled, so that error is dropped.
    std::string szError = m_szError;
    if (!ClearRules()) m_szError = szError;
    bool bLazy = false;
    // A daemon that got the terminal's signal with its process group has
    // unmounted itself already.
    if (!UnmountPath(m_szRoot, &bLazy) && IsMounted(m_szRoot)) {
      Fail("unmounting " + m_szRoot + ": " + ErrnoText(errno));
      bOk = false;
    }
    // Open files keep a lazily detached mount alive until the daemon goes.
    if (bLazy && m_nPid > 0) kill(m_nPid, SIGTERM);
    m_bMounted = false;
  } else if (m_nPid > 0 && IsMounted(m_szRoot)) {
    bool bLazy = false;
    UnmountPath(m_szRoot, &bLazy);  // Mount() gave up on a daemon that did mount
    kill(m_nPid, SIGTERM);
  }
  StopDaemon();
  if (!m_szTemp.empty()) {
    if (IsMounted(m_szRoot)) {
      bool bLazy = false;
      UnmountPath(m_szRoot, &bLazy);
    }
    if (IsMounted(m_szRoot)) {
      Fail(m_szRoot + " is still mounted; leaving " + m_szTemp + " in place");
      return false;
    }
    std::error_code ec;
    std::filesystem::remove_all(m_szTemp, ec);
    if (ec) {
      m_szError = "removing " + m_szTemp + ": " + ec.message();
      bOk = false;
    }
    m_szTemp.clear();
    m_szRoot.clear();
    m_szBacking.clear();
    m_szLog.clear();
  }
  return bOk;
}

bool CFaultFs::Control(const std::string& text) {
  if (!m_bMounted) {
    Fail("not mounted");
    return false;
  }
  std::string control = m_szRoot + kControlName;
  int fd = open(control.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) {
    Fail("open " + control + ": " + ErrnoText(errno));
    return false;
  }
  size_t nDone = 0;
  while (nDone < text.size()) {
    ssize_t n = write(fd, text.data() + nDone, text.size() - nDone);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int nErr = n < 0 ? errno : EIO;
      close(fd);
      Fail("control text rejected (" + ErrnoText(nErr) + ")");
      return false;
    }
    nDone += static_cast<size_t>(n);
  }
  // The daemon applies the text when the file is closed and says here
  // whether it took it.
  if (close(fd) != 0) {
    Fail("control text rejected (" + ErrnoText(errno) + ")");
    return false;
  }
  std::istringstream lines(text);
  std::string word, line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    if (words >> word && word == "add") ++m_nRules;
  }
  return true;
}

int CFaultFs::Arm(const FaultRule& rule) {
  if (rule.name.find_first_of(" \t\r\n") != std::string::npos) {
    Fail("rule names cannot hold white space: '" + rule.name + "'");
    return -1;
  }
  int nIndex = m_nRules;
  return Control(rule.Text()) ? nIndex : -1;
}

bool CFaultFs::Disarm(int nRule) { return Control("disarm " + std::to_string(nRule) + "\n"); }

bool CFaultFs::ClearRules() { return Control("clear\n"); }

std::string CFaultFs::Report() {
  if (!m_bMounted) return std::string();
  return ReadText(m_szRoot + kControlName, SIZE_MAX);
}

bool CFaultFs::Counter(int nRule, const char* pszKey, uint64_t* pqw) {
  std::istringstream lines(Report());
  std::string line;
  std::string prefix = std::to_string(nRule) + " ";
  std::string key = std::string(" ") + pszKey + "=";
  while (std::getline(lines, line)) {
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    size_t nAt = line.find(key);
    if (nAt == std::string::npos) break;
    *pqw = std::strtoull(line.c_str() + nAt + key.size(), nullptr, 10);
    return true;
  }
  Fail("no rule " + std::to_string(nRule) + " in the daemon's report");
  return false;
}

uint64_t CFaultFs::Hits(int nRule) {
  uint64_t qw = 0;
  return Counter(nRule, "hits", &qw) ? qw : UINT64_MAX;
}

uint64_t CFaultFs::Seen(int nRule) {
  uint64_t qw = 0;
  return Counter(nRule, "seen", &qw) ? qw : UINT64_MAX;
}

}  // namespace stratavon
