// A long-lived process that starts and stops the advanced run again and
// again through the same run control the command line uses, and after every
// cycle checks what a leak would show: descriptors (and any work file still
// open), resident memory, the slot entries, the workers' words and the event
// log. stratavon-cli is one process per run, so it cannot show a leak that
// only adds up across runs; this can.
//
//   soak_driver [-c CYCLES] [-m MS] [-n THREADS] [-q DEPTH] [-x SIZE]
//               [-f read|write|both] [-e] [-P] [-r MiB] DIR [DIR ...]
//
// Exit 0 when every cycle passed every check, 1 when one did not, 2 on bad
// arguments. Without STRATAVON_HOME the event log goes to a fresh temporary
// folder, so "no event" is judged on this run's log alone.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "run/RunControl.h"
#include "run/Statistics.h"
#include "run/ConsoleTable.h"
#include "engine/EventSource.h"
#include "engine/Pattern.h"
#include "engine/RunRecord.h"
#include "platform/EventLog.h"
#include "run/RunChoices.h"
#include "run/SizeList.h"
#include "run/TargetRecords.h"

namespace stratavon {
namespace {

struct SoakOptions {
  std::vector<std::string> targets;  // each ending in '/'
  int nCycles = 100;
  int nRunMs = 1500;
  int nThreads = 25;
  int nDepth = 8;
  int nSizeIndex = 11;
  uint32_t dwFunction = FUNCTION_READ_WRITE;
  bool bErrorChecking = false;
  bool bPerformance = false;
  bool bSynchronous = false;  // -y: the synchronous engines instead
  long nRssSlackKiB = 16 * 1024;
};

// The command line's console reduced to what a soak needs: the table the
// workers write, and a count of the workers that ended in FAIL.
class CSoakView final : public IAdvancedView {
 public:
  explicit CSoakView(size_t nRows) : m_table(nRows) {}
  void SetTargetText(int nRow, int nColumn, const std::string& szText) override {
    if (nColumn == kColumnStatus && szText == "FAIL") ++m_nFailures;
    m_table.SetTargetText(nRow, nColumn, szText);
  }
  void SetStatusText(const std::string& szText) override { m_table.SetStatusText(szText); }
  void SetExtendedText(const std::string& szText) override { m_table.SetExtendedText(szText); }
  void SetPerformanceText(const std::string&) override {}
  void SetIopsText(const std::string& szText) override { m_szIops = szText; }
  void SetElapsedText(const std::string&) override {}
  void EnableStart(bool) override {}
  void EnableStop(bool) override {}
  void StartTimers(bool bStats) override { m_bStats = bStats; }
  void KillTimers() override { m_bStats = false; }

  const CConsoleTable& Table() const { return m_table; }
  int Failures() const { return m_nFailures.load(); }
  bool StatsRunning() const { return m_bStats.load(); }

 private:
  CConsoleTable m_table;
  std::atomic<int> m_nFailures{0};
  std::atomic<bool> m_bStats{false};
  std::string m_szIops;
};

// Open descriptors, and how many of them are work files.
struct FdCount {
  int nOpen = 0;
  int nWorkFiles = 0;
};

FdCount CountDescriptors() {
  FdCount count;
  DIR* pDir = opendir("/proc/self/fd");
  if (pDir == nullptr) return {-1, -1};
  const int hDir = dirfd(pDir);
  while (const dirent* pEntry = readdir(pDir)) {
    if (pEntry->d_name[0] == '.') continue;
    if (std::atoi(pEntry->d_name) == hDir) continue;
    ++count.nOpen;
    char szLink[4096];
    const ssize_t n = readlinkat(hDir, pEntry->d_name, szLink, sizeof(szLink) - 1);
    if (n > 0) {
      szLink[n] = '\0';
      if (std::strstr(szLink, "/KORVA") != nullptr) ++count.nWorkFiles;
    }
  }
  closedir(pDir);
  return count;
}

long ResidentKiB() {
  long nPages = 0;
  long nResident = 0;
  FILE* pFile = std::fopen("/proc/self/statm", "r");
  if (pFile == nullptr) return -1;
  const int nRead = std::fscanf(pFile, "%ld %ld", &nPages, &nResident);
  std::fclose(pFile);
  return nRead == 2 ? nResident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// Slot entries that still name a file or a buffer after the run ended.
int BusyEntries() {
  int nBusy = 0;
  CScopedLock lock(g_csRecords);
  for (int t = 0; t < g_nTargetRecords; ++t) {
    for (const SlotIoEntry& entry : g_pTargetRecords[t].entries) {
      if (entry.hFile != INVALID_HANDLE_VALUE || entry.pBuffer != nullptr) ++nBusy;
    }
  }
  return nBusy;
}

// Threads of this process, the main one included, once they have had up to
// a second to settle down to one: a worker signals its end just before its
// thread returns, and the kernel's io_uring helpers ("iou-wrk") of an
// asynchronous run may linger for a moment.
int ProcessThreads() {
  int nThreads = 0;
  for (int nTry = 0; nTry < 100; ++nTry) {
    nThreads = 0;
    if (DIR* pDir = opendir("/proc/self/task")) {
      while (const dirent* pEntry = readdir(pDir)) nThreads += pEntry->d_name[0] != '.' ? 1 : 0;
      closedir(pDir);
    }
    if (nThreads <= 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nThreads;
}

int LiveThreads() {
  int nLive = 0;
  for (int t = 0; t < g_nTargetRecords; ++t) {
    for (const HTHREAD& hThread : g_pTargetRecords[t].hThread) {
      if (hThread && hThread->IsActive()) ++nLive;
    }
  }
  return nLive;
}

long LogBytes() {
  struct stat st;
  return stat(EventLogPath().c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

bool ParseArgs(int argc, char** argv, SoakOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string szArg = argv[i];
    const bool bHasValue = i + 1 < argc;
    if (szArg == "-e") {
      options.bErrorChecking = true;
    } else if (szArg == "-P") {
      options.bPerformance = true;
    } else if (szArg == "-y") {
      options.bSynchronous = true;
    } else if (szArg == "-c" && bHasValue) {
      options.nCycles = std::atoi(argv[++i]);
    } else if (szArg == "-m" && bHasValue) {
      options.nRunMs = std::atoi(argv[++i]);
    } else if (szArg == "-n" && bHasValue) {
      options.nThreads = std::atoi(argv[++i]);
    } else if (szArg == "-q" && bHasValue) {
      options.nDepth = std::atoi(argv[++i]);
    } else if (szArg == "-r" && bHasValue) {
      options.nRssSlackKiB = std::atol(argv[++i]) * 1024;
    } else if (szArg == "-x" && bHasValue) {
      options.nSizeIndex = SizeItemIndex(argv[++i]);
    } else if (szArg == "-f" && bHasValue) {
      const std::string szFunction = argv[++i];
      options.dwFunction = szFunction == "read"    ? FUNCTION_READ
                           : szFunction == "write" ? FUNCTION_WRITE
                           : szFunction == "both"  ? FUNCTION_READ_WRITE
                                                   : 0;
    } else if (!szArg.empty() && szArg[0] != '-') {
      options.targets.push_back(szArg.back() == '/' ? szArg : szArg + "/");
    } else {
      return false;
    }
  }
  return !options.targets.empty() && options.nCycles > 0 && options.nRunMs > 0 && options.nThreads >= 1 &&
         options.nThreads <= kMaxThreads && options.nDepth >= static_cast<int>(kMinQueueDepth) &&
         options.nDepth <= static_cast<int>(kMaxQueueDepth) &&
         options.nSizeIndex >= 0 && options.dwFunction != 0;
}

// One start/stop cycle; the rates are sampled as the console's timer would.
int RunCycle(const SoakOptions& options) {
  const int nTargets = static_cast<int>(options.targets.size());
  CSoakView view(options.targets.size());
  CRunControl control(view, options.dwFunction, options.nThreads);
  FillTargetList(view, nTargets);
  RunChoices choices;
  choices.bErrorChecking = options.bErrorChecking;
  choices.bPerformance = options.bPerformance;
  choices.bAsynchronous = !options.bSynchronous;
  choices.dwTransferSize = SizeOfListIndexOrNone(options.nSizeIndex);
  choices.dwBufferSize = choices.dwTransferSize;
  choices.dwQueueDepth = static_cast<uint32_t>(options.nDepth);
  if (!control.OnStart(choices)) return -1;
  const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(options.nRunMs);
  while (std::chrono::steady_clock::now() < tEnd) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (view.StatsRunning()) control.OnTimer(TIMER_STATS);
  }
  control.OnClose({});
  int nFailures = view.Failures();
  for (int t = 0; t < nTargets; ++t) {
    if (view.Table().Cell(t, kColumnStatus) != "STOP") ++nFailures;
  }
  return nFailures;
}

int Soak(const SoakOptions& options) {
  g_nPatternKind = kPatternByte;
  (void)ParsePatternByte("AA");
  if (!BuildTargetRecords(FolderTargets(options.targets)) ||
      CreateWorkDirectories(FolderTargets(options.targets)) != WorkDirectoryResult::kCreated) {
    std::fprintf(stderr, "soak_driver: cannot prepare the targets\n");
    return 2;
  }
  ResetTargetRecords();
  (void)RegisterEventLogSource(kEventLogName, kEventSourceName, kEventMessageFile);

  std::printf("soak_driver: %d cycles of %d ms, %zu target(s) x %d thread(s), function %u, async depth %d, %s,"
              " error checking %s, performance %s; event log %s\n",
              options.nCycles, options.nRunMs, options.targets.size(), options.nThreads, options.dwFunction,
              options.nDepth, SizeItemText(options.nSizeIndex), options.bErrorChecking ? "on" : "off",
              options.bPerformance ? "on" : "off", EventLogPath().c_str());
  std::printf("%5s %6s %6s %5s %9s %6s %6s %6s %8s %7s\n", "cycle", "fails", "fds", "work", "rss KiB", "busy", "live",
              "tasks", "log B", "ms");

  // The first cycles bring in what a process keeps once it has run at all
  // (thread stacks in glibc's cache, malloc arenas, the syslog socket): the
  // baseline is taken after them.
  const int nWarmUp = options.nCycles >= 10 ? 5 : 1;
  FdCount baseFds;
  long nBaseRss = 0;
  long nMaxRss = 0;
  int nBad = 0;
  for (int nCycle = 1; nCycle <= options.nCycles; ++nCycle) {
    const auto tStart = std::chrono::steady_clock::now();
    const int nFailures = RunCycle(options);
    const auto nMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - tStart).count();
    const FdCount fds = CountDescriptors();
    const long nRss = ResidentKiB();
    const int nBusy = BusyEntries();
    const int nLive = LiveThreads();
    const int nTasks = ProcessThreads();
    const long nLog = LogBytes();
    if (nCycle == nWarmUp) {
      baseFds = fds;
      nBaseRss = nRss;
    }
    if (nCycle > nWarmUp && nRss > nMaxRss) nMaxRss = nRss;
    const bool bFdsBad = fds.nWorkFiles != 0 || (nCycle > nWarmUp && fds.nOpen != baseFds.nOpen);
    const bool bRssBad = nCycle > nWarmUp && nRss > nBaseRss + options.nRssSlackKiB;
    const bool bTasksBad = nTasks != 1;
    const bool bBad = nFailures != 0 || bFdsBad || bRssBad || nBusy != 0 || nLive != 0 || bTasksBad || nLog != 0;
    if (bBad) ++nBad;
    std::printf("%5d %6d %6d %5d %9ld %6d %6d %6d %8ld %7lld%s\n", nCycle, nFailures, fds.nOpen, fds.nWorkFiles,
                nRss, nBusy, nLive, nTasks, nLog, static_cast<long long>(nMs), bBad ? "  <-- FAILED" : "");
    std::fflush(stdout);
  }
  ReleaseTargetRecords();
  const FdCount endFds = CountDescriptors();
  std::printf("soak_driver: %d of %d cycles failed a check; descriptors %d after warm-up, %d at the end "
              "(records released); RSS %ld KiB after warm-up, at most %ld KiB later (+%ld KiB, slack %ld KiB)\n",
              nBad, options.nCycles, baseFds.nOpen, endFds.nOpen, nBaseRss, nMaxRss,
              nMaxRss > nBaseRss ? nMaxRss - nBaseRss : 0, options.nRssSlackKiB);
  return nBad == 0 ? 0 : 1;
}

}  // namespace
}  // namespace stratavon

int main(int argc, char** argv) {
  stratavon::SoakOptions options;
  if (!stratavon::ParseArgs(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: soak_driver [-c CYCLES] [-m MS] [-n THREADS] [-q DEPTH] [-x SIZE] [-f read|write|both]"
                 " [-e] [-P] [-y] [-r MiB] DIR [DIR ...]\n");
    return 2;
  }
  static char szHomeTemplate[] = "/tmp/soak_home.XXXXXX";
  const char* szHome = std::getenv("STRATAVON_HOME");
  if (szHome == nullptr || szHome[0] == '\0') {
    if (mkdtemp(szHomeTemplate) == nullptr) return 2;
    setenv("STRATAVON_HOME", szHomeTemplate, 1);
  }
  return stratavon::Soak(options);
}
