#include "cli/SelfTest.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "run/RunCommand.h"
#include "platform/SignalWatch.h"
#include "faultfs/FaultFsMount.h"
#include "platform/IoQueue.h"
#include "platform/ScratchLoop.h"
#include "platform/StateDirectory.h"

namespace stratavon {
namespace {

// One fault, injected once into 4 KiB of the work file, the first unless
// the case says otherwise. Writes are let through twice first so the file
// holds a full pass before the fault lands on it. A lost or misplaced
// write leaves the plain pattern's bytes as they were, so those two run
// with -p stamped. The misplaced one is a write of the second 64 KiB sent
// back over the first, which the pass has written already: both of its
// marks, the unit it missed (stale) and the one it landed on, are there
// for the read-back, where a later write would have covered the second.
struct FaultCase {
  const char* pszFault;
  const char* pszRule;     // control text after "add name=.DAT off=N len=4096"
  const char* pszExpected; // the Error word the run must end with
  const char* pszAlso;     // a word that shows it too: the kernel may turn it into an I/O error
  bool bStamped;           // the plain pattern cannot see it: only a run with -p stamped can
  uint64_t qwOffset = 0;   // where the rule's 4 KiB begin
};

constexpr FaultCase kCases[] = {
    {"read error", "op=read times=1 error=EIO", "READ API", nullptr, false},
    {"write error", "op=write skip=2 times=1 error=EIO", "WRITE API", nullptr, false},
    // io_uring over FUSE hands a short direct write back as EIO.
    {"short read", "op=read times=1 short=100", "UNDERRUN/OVERRUN", "READ API", false},
    {"short write", "op=write skip=2 times=1 short=100", "UNDERRUN/OVERRUN", "WRITE API", false},
    {"corrupt read", "op=read times=1 corrupt", "DATA COMPARISON", nullptr, false},
    {"corrupt write", "op=write skip=2 times=1 corrupt", "DATA COMPARISON", nullptr, false},
    {"stall", "op=write skip=2 times=1 stall=3000", "I/O TIMEOUT", nullptr, false},
    {"dropped write", "op=write skip=2 times=1 drop", "STALE", nullptr, true},
    {"misdirected write", "op=write skip=2 times=1 moveto=0", "MISDIRECTED", nullptr, true, 65536},
};

struct EngineCase {
  const char* pszEngine;
  const char* pszBackend;  // STRATAVON_IO_BACKEND; null: the synchronous calls need none
};

constexpr EngineCase kEngines[] = {{"sync", nullptr}, {"async", "uring"}, {"async", "threads"}};

constexpr auto kChildBound = std::chrono::seconds(20);

// The Error word of the first target in a run's --json report.
std::string ErrorWord(const std::string& json) {
  const std::string key = "\"error\": \"";
  size_t nAt = json.find(key);
  if (nAt == std::string::npos) return std::string();
  nAt += key.size();
  size_t nEnd = json.find('"', nAt);
  return nEnd == std::string::npos ? std::string() : json.substr(nAt, nEnd - nAt);
}

class CSelfTest {
 public:
  explicit CSelfTest(CSignalWatch& signals) : m_signals(signals) {}

  // Runs `stratavon-cli run` on the mount and returns its JSON report, or
  // "" when it could not be run; a signal stops it and sets m_nSignal.
  std::string RunOnce(const std::string& root, const std::string& home, const EngineCase& engine, bool bStamped,
                      const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"run", "-t", root, "-f", "write", "-e", "-n", "1", "-x", "64KB",
                                     "-b", "256KB", "-d", "1", "--io-timeout", "1", "--json"};
    if (engine.pszBackend) args.insert(args.end(), {"-a", "-q", "4"});
    if (bStamped) args.insert(args.end(), {"-p", "stamped"});
    args.insert(args.end(), extra.begin(), extra.end());
    return RunChild(std::move(args), home, engine.pszBackend);
  }

  // Runs this program with the arguments and returns what it printed, or
  // "" when it could not be run or had to be killed.
  std::string RunChild(std::vector<std::string> args, const std::string& home, const char* pszBackend) {
    args.insert(args.begin(), std::filesystem::read_symlink("/proc/self/exe").string());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::string homeEnv = "STRATAVON_HOME=" + home;
    std::string backendEnv = std::string("STRATAVON_IO_BACKEND=") + (pszBackend ? pszBackend : "");
    int hPipe[2];
    if (pipe2(hPipe, O_CLOEXEC) != 0) return std::string();
    int hNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t nParent = getpid();
    pid_t nPid = fork();
    if (nPid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // an interrupted self-test leaves no run behind
      if (getppid() != nParent) _exit(127);
      dup2(hNull, 0);
      dup2(hPipe[1], 1);
      dup2(hNull, 2);
      putenv(homeEnv.data());
      putenv(backendEnv.data());
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(hPipe[1]);
    if (hNull >= 0) close(hNull);
    std::string out;
    if (nPid < 0) {
      close(hPipe[0]);
      return out;
    }
    fcntl(hPipe[0], F_SETFL, O_NONBLOCK);
    auto until = std::chrono::steady_clock::now() + kChildBound;
    bool bKilled = false;
    for (;;) {
      char buffer[4096];
      ssize_t n;
      while ((n = read(hPipe[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
      if (waitpid(nPid, nullptr, WNOHANG) == nPid) break;
      if (int nSignal = m_signals.Wait(std::chrono::milliseconds(50))) {
        m_nSignal = nSignal;
        kill(nPid, SIGTERM);  // the run stops with its own stop protocol
      }
      if (!bKilled && std::chrono::steady_clock::now() >= until) {
        kill(nPid, SIGKILL);  // bounded even if the run's own bounds failed
        bKilled = true;
      }
    }
    ssize_t n;
    char buffer[4096];
    while ((n = read(hPipe[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
    close(hPipe[0]);
    return bKilled ? std::string() : out;
  }

  int m_nSignal = 0;

 private:
  CSignalWatch& m_signals;
};

// A write cache whose flushes lie after the first, then a power cut: the
// flush journal must show units acknowledged as durable and lost.
bool LostFlushCaught(CFaultFs& fs, const std::string& home, CSelfTest& test) {
  const std::string szJournal = home + "/lost-flush.journal";
  if (!fs.ClearRules() || !fs.Control("cache on\nadd lie-flush name=.DAT skip=1\n")) {
    std::fprintf(stderr, "selftest: arming \"lost flush\" failed: %s\n", fs.LastError().c_str());
    return false;
  }
  const std::string json = test.RunOnce(fs.Root(), home, kEngines[0], true,
                                        {"-s", "2MB", "--flush-every", "256KB", "--journal", szJournal});
  const bool bCut = fs.Control("powercut\ncache off\n");
  const std::string verdict = json.empty() || !bCut ? std::string()
                                                    : test.RunChild({"verify", fs.Root(), "--journal", szJournal, "--json"},
                                                                    home, nullptr);
  fs.ClearRules();
  std::error_code ec;
  std::filesystem::remove_all(fs.Backing() + "WRITE", ec);
  const size_t nAt = verdict.find("\"lost_flush\": ");
  const bool bLost = nAt != std::string::npos && verdict[nAt + 14] != '0' && verdict.find("\"good\": false") != std::string::npos;
  const char* pszSeen = verdict.empty() ? "(no report)" : bLost ? "LOST FLUSH" : "no loss found";
  std::printf("%-18s %-6s %-8s %-28s %-17s %s\n", "lost flush", "sync", "-", "LOST FLUSH", pszSeen,
              bLost ? "caught (with -p stamped --flush-every, after a power cut)" : "MISSED");
  std::fflush(stdout);
  return bLost;
}

// The value of the first "key": N in a JSON report, as text; empty without one.
std::string JsonNumber(const std::string& json, const std::string& szKey) {
  const std::string key = "\"" + szKey + "\": ";
  const size_t nAt = json.find(key);
  if (nAt == std::string::npos) return std::string();
  const size_t nEnd = json.find_first_not_of("0123456789", nAt + key.size());
  return json.substr(nAt + key.size(), nEnd == std::string::npos ? std::string::npos : nEnd - nAt - key.size());
}

// Whole drives, on a loop device over an image on the fault file system
// that this process attaches and that goes with it: a surface scan must
// name an unreadable sector by its LBA, and a stamped fill of a drive that
// stores less than it reports must show its real capacity. Where no loop
// device can be made, the rows say why. False when one is missed.
bool DeviceRowsCaught(CFaultFs& fs, const std::string& home, CSelfTest& test) {
  const auto Row = [](const char* pszFault, const std::string& szExpected, const std::string& szSeen,
                      const char* pszResult) {
    std::printf("%-18s %-6s %-8s %-28s %-17s %s\n", pszFault, "sync", "-", szExpected.c_str(), szSeen.c_str(),
                pszResult);
    std::fflush(stdout);
  };
  const std::string szImage = fs.Root() + "selftest-drive.img";
  const int hImage = open(szImage.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const bool bSized = hImage >= 0 && ftruncate(hImage, 16 << 20) == 0;
  if (hImage >= 0) close(hImage);
  CScratchLoop loop;
  if (geteuid() != 0 || !bSized || !loop.Attach(szImage, 512)) {
    const std::string szWhy = geteuid() != 0 ? "loop devices need root" : !bSized ? "no image" : loop.Failure();
    std::printf("%-18s %-6s %-8s no loop device (%s): not tested\n", "drive *", "sync", "-", szWhy.c_str());
    std::error_code ec;
    std::filesystem::remove(fs.Backing() + "selftest-drive.img", ec);
    return true;
  }
  const std::string& szNode = loop.Node();
  bool bCaught = true;

  std::string seen;
  if (fs.ClearRules() && fs.Control("add op=read name=selftest-drive.img off=4M len=4096 error=EIO\n")) {
    const std::string json = test.RunChild(
        {"run", "-t", szNode, "-f", "read", "-x", "64KB", "-b", "64KB", "--passes", "1", "--json"}, home, nullptr);
    const size_t nList = json.find("\"unreadable\": [");
    seen = nList == std::string::npos ? std::string("(no report)") : "LBA " + JsonNumber(json.substr(nList), "lba");
  }
  bCaught = seen == "LBA 8192";
  Row("drive bad sector", "LBA 8192", seen, bCaught ? "caught (the scan goes on past it)" : "MISSED");

  seen.clear();
  if (!test.m_nSignal && fs.ClearRules() &&
      fs.Control("add op=write name=selftest-drive.img wrap=12M\nadd op=read name=selftest-drive.img wrap=12M\n")) {
    const std::string fill = test.RunChild({"run", "-t", szNode, "-f", "write", "-p", "stamped", "--passes", "1",
                                            "--destroy", szNode, "--json"},
                                           home, nullptr);
    const std::string verdict = fill.empty() ? std::string() : test.RunChild({"verify", szNode, "--json"}, home, nullptr);
    seen = verdict.empty() ? std::string("(no report)") : JsonNumber(verdict, "real_capacity");
  }
  const bool bCapacity = seen == "12582912";
  Row("drive fake size", "12582912", seen.empty() ? "(none found)" : seen,
      bCapacity ? "caught (real capacity of a 16 MiB drive that stores 12)" : "MISSED");
  fs.ClearRules();
  loop.Detach();
  std::error_code ec;
  std::filesystem::remove(fs.Backing() + "selftest-drive.img", ec);
  return bCaught && bCapacity;
}

}  // namespace

int SelfTestCommand(const std::string& szDir) {
  CSignalWatch signals;  // before the daemon and the runs exist
  std::string parent = szDir;
  if (parent.empty()) {
    if (!EnsureStateDirectory()) {
      std::fprintf(stderr, "selftest: cannot create the state directory %s\n", StateDirectory().c_str());
      return kExitRefused;
    }
    parent = StateDirectory();
  }
  std::string why;
  if (!CFaultFs::Available(&why)) {
    std::fprintf(stderr, "selftest: cannot mount the fault-injecting file system: %s\n", why.c_str());
    return kExitRefused;
  }
  CFaultFs fs;
  if (!fs.Mount(parent)) {
    std::fprintf(stderr, "selftest: cannot mount the fault-injecting file system under %s: %s\n", parent.c_str(),
                 fs.LastError().c_str());
    return kExitRefused;
  }
  const std::string home = fs.Backing() + ".selftest-home";
  std::filesystem::create_directories(home);

  CSelfTest test(signals);
  std::printf("%-18s %-6s %-8s %-28s %-17s %s\n", "fault", "engine", "backend", "expected", "seen", "result");
  bool bAllCaught = true;
  for (const EngineCase& engine : kEngines) {
    if (engine.pszBackend && std::string(engine.pszBackend) == "uring" && !CIoQueue::UringUsable()) {
      std::printf("%-18s %-6s %-8s the kernel refuses io_uring to this process: not tested\n", "*", engine.pszEngine,
                  engine.pszBackend);
      continue;
    }
    for (const FaultCase& fault : kCases) {
      if (test.m_nSignal) break;
      std::string text =
          "add name=.DAT off=" + std::to_string(fault.qwOffset) + " len=4096 " + std::string(fault.pszRule) + "\n";
      // Rules are numbered in the order they are added and listed, disarmed
      // ones too, one a line: the new rule's number is the count so far.
      std::string report = fs.Report();
      int nIndex = 0;
      for (char c : report)
        if (c == '\n') ++nIndex;
      if (!fs.ClearRules() || !fs.Control(text)) {
        std::fprintf(stderr, "selftest: arming \"%s\" failed: %s\n", fault.pszFault, fs.LastError().c_str());
        return kExitRefused;
      }
      std::string json = test.RunOnce(fs.Root(), home, engine, fault.bStamped);
      uint64_t qwHits = fs.Hits(nIndex);
      fs.ClearRules();
      std::error_code ec;
      std::filesystem::remove_all(fs.Backing() + "WRITE", ec);
      std::filesystem::remove_all(fs.Backing() + "READ", ec);
      if (test.m_nSignal) break;
      std::string seen = json.empty() ? "(no report)" : ErrorWord(json);
      const char* pszResult;
      if (qwHits == 0 || qwHits == UINT64_MAX) {
        pszResult = "NOT INJECTED";
        bAllCaught = false;
      } else if (seen == fault.pszExpected || (fault.pszAlso && seen == fault.pszAlso)) {
        pszResult = "caught";
      } else {
        pszResult = "MISSED";
        bAllCaught = false;
      }
      std::string expected = fault.pszExpected;
      if (fault.pszAlso) expected += "|" + std::string(fault.pszAlso);
      std::printf("%-18s %-6s %-8s %-28s %-17s %s%s\n", fault.pszFault, engine.pszEngine,
                  engine.pszBackend ? engine.pszBackend : "-", expected.c_str(), seen.c_str(), pszResult,
                  fault.bStamped ? " (with -p stamped: the plain pattern cannot see it)" : "");
      std::fflush(stdout);
    }
  }
  if (!test.m_nSignal) bAllCaught = LostFlushCaught(fs, home, test) && bAllCaught;
  if (!test.m_nSignal) bAllCaught = DeviceRowsCaught(fs, home, test) && bAllCaught;
  bool bUnmounted = fs.Unmount();
  if (!bUnmounted) std::fprintf(stderr, "selftest: %s\n", fs.LastError().c_str());
  if (test.m_nSignal) {
    std::printf("selftest: interrupted by signal %d; nothing is left behind%s\n", test.m_nSignal,
                bUnmounted ? "" : " except what is named above");
    return kExitWorkerFailed;
  }
  std::printf("selftest: %s\n", bAllCaught ? "every detectable fault was caught" : "FAIL: a fault went unnoticed");
  return bAllCaught && bUnmounted ? kExitPassed : kExitWorkerFailed;
}

}  // namespace stratavon
