#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/EventLog.h"
#include "platform/TcpStream.h"
#include "support/ChildProcess.h"
#include "support/FaultFs.h"
#include "support/LoopMount.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace stratavon {
namespace {

using namespace std::chrono_literals;
using test::CTempDir;

// One stratavon-cli process.
class CCliProcess : public test::CChildProcess {
 public:
  explicit CCliProcess(std::vector<std::string> args) : CChildProcess(WithProgram(std::move(args))) {}

 private:
  static std::vector<std::string> WithProgram(std::vector<std::string> args) {
    args.insert(args.begin(), STRATAVON_CLI_PATH);
    return args;
  }
};

struct CliResult {
  int nExit;
  std::string szOut;
  std::string szErr;
};

CliResult RunCli(const std::vector<std::string>& args) {
  CCliProcess process(args);
  EXPECT_TRUE(process.Started());
  const int nExit = process.Wait();
  return {nExit, process.Out(), process.Err()};
}

// A field of the --json object (the first occurrence), as its raw text.
std::string JsonField(const std::string& szJson, const std::string& szKey) {
  const std::regex field("\"" + szKey + "\": (\"[^\"]*\"|[-0-9.]+)");
  std::smatch match;
  if (!std::regex_search(szJson, match, field)) return "<missing " + szKey + ">";
  std::string sz = match[1];
  if (!sz.empty() && sz.front() == '"') sz = sz.substr(1, sz.size() - 2);
  return sz;
}

size_t CountLines(const std::string& szText) { return static_cast<size_t>(std::count(szText.begin(), szText.end(), '\n')); }

std::vector<std::string> EntriesUnder(const std::string& szRoot) {
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(szRoot)) entries.push_back(entry.path());
  return entries;
}

bool HasWorkFile(const std::string& szRoot) {
  for (const std::string& szPath : EntriesUnder(szRoot)) {
    if (szPath.ends_with(".DAT")) return true;
  }
  return false;
}

void WriteFile(const std::string& szPath, const std::string& szBytes) {
  std::ofstream(szPath, std::ios::binary) << szBytes;
}

// The process doing the run's I/O, a child of the one the caller started.
pid_t WorkerProcessOf(pid_t nPid) {
  std::ifstream children("/proc/" + std::to_string(nPid) + "/task/" + std::to_string(nPid) + "/children");
  pid_t nChild = -1;
  children >> nChild;
  return nChild;
}

class CliTest : public ::testing::Test {
 protected:
  test::CStateHome m_home;
  CTempDir m_target;
  CTempDir m_scratch;
};

TEST_F(CliTest, RefusedSettingsTouchNoTarget) {
  const std::string szDir = m_target.Root();
  const std::string szBare = szDir.substr(0, szDir.size() - 1);
  std::string szLongLabel = "SEVENTEEN-CHARS-X";
  szLongLabel += '\0';
  szLongLabel += "pattern";
  WriteFile(m_scratch.Path("long.hvx"), szLongLabel);
  ASSERT_EQ(mkfifo(m_scratch.Path("fifo.hvx").c_str(), 0600), 0);  // no writer: an open would wait forever
  const std::vector<std::pair<std::vector<std::string>, std::string>> kCases = {
      {{"run", "-t", szDir}, "Error: Select an I/O Function!"},
      {{"run", "-t", szDir, "-f", "write", "-p", "G1"}, "Error: Invalid Data Pattern!"},
      {{"run", "-t", szDir, "-f", "write", "-p", "a"}, "Error: Invalid Data Pattern!"},
      {{"run", "-f", "write"}, "Error: No Targets Selected!"},
      {{"run", "-t", szDir, "-f", "write", "--simple", "-e"}, "is an advanced setting"},
      {{"run", "-t", szDir, "-f", "write", "-n", "26"}, "-n takes a thread count from 1 to 25"},
      {{"run", "-t", szDir, "-f", "write", "-x", "3KB"}, "-x takes one of 512B, 1KB"},
      {{"run", "-t", szDir, "-f", "sideways"}, "-f takes read, write or both"},
      {{"run", "-t", szDir, "-f", "write", "-q", "64"}, "-q takes an I/O depth from 1 to 63"},
      {{"run", "-t", szDir, "-f", "write", "--bogus"}, "unknown option --bogus"},
      {{"run", "-t", szDir, "-f", "write", "-d"}, "needs a value"},
      {{"run", "-t", szDir, "-t", szBare, "-f", "write"}, "is given twice"},
      {{"run", "-t", szDir, "-f", "write", "--data-file", m_scratch.Path("long.hvx")}, "label longer than 16"},
      {{"run", "-t", szDir, "-f", "write", "--data-file", m_scratch.Path("none.hvx")}, "cannot be opened"},
      {{"run", "-t", szDir, "-f", "write", "--data-file", m_scratch.Path("fifo.hvx")}, "cannot be opened"},
      {{"run", "-t", szDir, "-f", "write", "-p", "AA", "--data-file", m_scratch.Path("long.hvx")}, "give one"},
      {{"run", "-t", szDir, "-f", "write", "-s", "12XB"}, "-s takes a work-file size"},
      {{"run", "-t", szDir, "-f", "write", "--simple", "-p", "stamped"}, "-p stamped is an advanced setting"},
      {{"frobnicate"}, "unknown command"},
  };
  for (const auto& [args, szMessage] : kCases) {
    const CliResult result = RunCli(args);
    EXPECT_EQ(result.nExit, 2) << szMessage;
    EXPECT_NE(result.szErr.find(szMessage), std::string::npos) << "expected \"" << szMessage << "\" in\n" << result.szErr;
    EXPECT_EQ(result.szOut, "") << szMessage;
    EXPECT_TRUE(EntriesUnder(szDir).empty()) << szMessage << ": the target was touched";
  }
  // A backend asked for by a name that means none is refused before any
  // worker could fail for it; a script that asked for JSON is told in JSON.
  setenv("STRATAVON_IO_BACKEND", "uringg", 1);
  const CliResult backend = RunCli({"run", "-t", szDir, "-f", "write", "-a", "--json"});
  unsetenv("STRATAVON_IO_BACKEND");
  EXPECT_EQ(backend.nExit, 2);
  EXPECT_EQ(JsonField(backend.szOut, "verdict"), "REFUSED") << backend.szOut;
  EXPECT_NE(JsonField(backend.szOut, "error").find("uringg names no I/O backend"), std::string::npos) << backend.szOut;
  EXPECT_TRUE(EntriesUnder(szDir).empty());
}

TEST_F(CliTest, MissingRootIsADirectoryCreationError) {
  const CliResult result = RunCli({"run", "-t", m_target.Root(), "-t", m_target.Path("gone"), "-f", "both", "-d", "1"});
  EXPECT_EQ(result.nExit, 2);
  EXPECT_NE(result.szErr.find("Error: Directory Creation Error!"), std::string::npos) << result.szErr;
  EXPECT_NE(result.szErr.find(m_target.Path("gone/")), std::string::npos) << "names the root";
  EXPECT_TRUE(EntriesUnder(m_target.Root()).empty()) << "every target is checked before the first is touched";
}

// Targets and state a run cannot safely use: refused with what stands in
// the way, exit 2, nothing made or changed.
TEST_F(CliTest, UnsafeTargetsAndStateAreRefusedUntouched) {
  const std::string szLink = m_target.Path("READ");
  const std::string szStateFile = m_scratch.Path("state-file");
  WriteFile(szStateFile, "x");
  const struct {
    const char* szWhat;
    std::function<void()> plant;
    std::string szMessage;
  } kCases[] = {
      {"READ planted as a link", [&] { ASSERT_EQ(symlink(m_scratch.Root().c_str(), szLink.c_str()), 0); },
       szLink + " is a symbolic link, not a directory"},
      {"state directory cannot be made", [&] { setenv("STRATAVON_HOME", (szStateFile + "/state").c_str(), 1); },
       "the event log cannot be written: " + szStateFile + "/state: Not a directory"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    c.plant();
    const CliResult result = RunCli({"run", "-t", m_target.Root(), "-f", "write", "-d", "1"});
    EXPECT_EQ(result.nExit, 2);
    EXPECT_NE(result.szErr.find(c.szMessage), std::string::npos) << result.szErr;
    EXPECT_FALSE(HasWorkFile(m_target.Root()));
    EXPECT_FALSE(std::filesystem::exists(m_target.Path("WRITE")));
    EXPECT_FALSE(HasWorkFile(m_scratch.Root())) << "nothing is made where the link points";
    std::filesystem::remove_all(szLink);
    setenv("STRATAVON_HOME", m_home.Dir().c_str(), 1);
  }
}

// A target is one run's at a time, however it is reached; a run that was
// killed leaves it free.
TEST_F(CliTest, SecondRunOnATargetIsRefusedUntilTheFirstIsGone) {
  CCliProcess first({"run", "-t", m_target.Root(), "-f", "write", "-P"});
  ASSERT_TRUE(first.Started());
  ASSERT_TRUE(test::Eventually([&] { return first.Out().find("] total") != std::string::npos; }, 60s))
      << first.Err();
  const std::string szAlias = m_scratch.Path("alias");
  std::filesystem::create_directory_symlink(m_target.Root(), szAlias);
  const int64_t qwSize = test::FileSize(m_target.Path("WRITE/KORVA25.DAT"));

  const CliResult second = RunCli({"run", "-t", szAlias, "-f", "write", "-d", "1"});
  EXPECT_EQ(second.nExit, 2);
  EXPECT_NE(second.szErr.find("in use by another run: process " + std::to_string(WorkerProcessOf(first.Pid())) +
                              " (stratavon-cli) holds it"),
            std::string::npos) << second.szErr;
  EXPECT_EQ(test::FileSize(m_target.Path("WRITE/KORVA25.DAT")), qwSize) << "the first run's file was not truncated";

  // Its worker process, told by the kernel that its parent is gone, ends
  // its run as for SIGTERM.
  const pid_t nWorkers = WorkerProcessOf(first.Pid());
  first.Signal(SIGKILL);
  EXPECT_EQ(first.Wait(), 128 + SIGKILL);
  EXPECT_TRUE(test::Eventually([&] {
    const std::string szStat = test::ReadWholeFile("/proc/" + std::to_string(nWorkers) + "/stat");
    return szStat.empty() || szStat.find(") Z ") != std::string::npos;
  }, 30s)) << "the worker process did not end";
  const CliResult third = RunCli({"run", "-t", m_target.Root(), "-f", "write", "-d", "1"});
  EXPECT_EQ(third.nExit, 0) << third.szErr;
}

TEST_F(CliTest, ShortCountedRunReportsJson) {
  const CliResult result = RunCli({"run", "-t", m_target.Root(), "-f", "both", "-n", "2", "-e", "-P", "-x", "64KB",
                                   "-b", "1MB", "-d", "3", "--json"});
  ASSERT_EQ(result.nExit, 0) << result.szErr;
  ASSERT_EQ(CountLines(result.szOut), 1u) << "only the object on stdout:\n" << result.szOut;
  const std::string& szJson = result.szOut;
  EXPECT_EQ(szJson.rfind("{\"elapsed_s\": ", 0), 0u) << szJson;
  EXPECT_EQ(JsonField(szJson, "failures"), "0");
  EXPECT_EQ(JsonField(szJson, "root"), m_target.Root());
  EXPECT_EQ(JsonField(szJson, "status"), "STOP");
  EXPECT_EQ(JsonField(szJson, "error"), "NONE");
  EXPECT_GT(std::stoull(JsonField(szJson, "bytes")), 0u);
  EXPECT_GT(std::stoull(JsonField(szJson, "ios")), 0u);
  EXPECT_GT(std::stod(JsonField(szJson, "mb_per_s")), 0.0);
  const double dElapsed = std::stod(JsonField(szJson, "elapsed_s"));
  EXPECT_GE(dElapsed, 3.0);
  // The rate is the average over the elapsed time, in MiB.
  const double dExpected = std::stod(JsonField(szJson, "bytes")) / 1048576.0 / dElapsed;
  EXPECT_NEAR(std::stod(JsonField(szJson, "mb_per_s")), dExpected, dExpected * 0.01 + 0.002);

  const std::regex live("\\[0:00:00:0[0-9]\\] " + m_target.Root() + "  RUN   [0-9]+ MB/s  [0-9]+ IOPS  NONE\n");
  EXPECT_TRUE(std::regex_search(result.szErr, live)) << "live lines go to stderr with --json:\n" << result.szErr;
  EXPECT_TRUE(std::regex_search(result.szErr, std::regex("\\] total  [0-9]+ MB/s  [0-9]+ IO/s\n")));
  // Error Checking with READ/WRITE runs write workers only.
  EXPECT_EQ(test::FileSize(m_target.Path("WRITE/KORVA25.DAT")), 1048576);
  EXPECT_EQ(test::FileSize(m_target.Path("WRITE/KORVA26.DAT")), 1048576);
  EXPECT_EQ(test::FileSize(m_target.Path("READ/KORVA0.DAT")), -1);
}

TEST_F(CliTest, AsynchronousRunCountsToo) {
  const CliResult result = RunCli({"run", "-t", m_target.Root(), "-f", "both", "-n", "2", "-a", "-q", "4", "-P", "-x",
                                   "64KB", "-b", "256KB", "-d", "3", "--json"});
  ASSERT_EQ(result.nExit, 0) << result.szErr;
  EXPECT_NE(result.szErr.find("asynchronous at depth 4"), std::string::npos) << result.szErr;
  EXPECT_EQ(JsonField(result.szOut, "status"), "STOP");
  EXPECT_EQ(JsonField(result.szOut, "failures"), "0");
  EXPECT_GT(std::stoull(JsonField(result.szOut, "ios")), 0u);
  for (const char* szFile : {"READ/KORVA0.DAT", "READ/KORVA1.DAT", "WRITE/KORVA25.DAT", "WRITE/KORVA26.DAT"}) {
    EXPECT_GT(test::FileSize(m_target.Path(szFile)), 0) << szFile;
  }
  // Every counted request is timed; a target that reads and writes shows both apart.
  EXPECT_EQ(JsonField(result.szOut, "count"), JsonField(result.szOut, "ios"));
  const double dP50 = std::stod(JsonField(result.szOut, "p50"));
  EXPECT_GT(dP50, 0.0);
  EXPECT_LE(std::stod(JsonField(result.szOut, "min")), dP50);
  EXPECT_LE(dP50, std::stod(JsonField(result.szOut, "p99")));
  EXPECT_LE(std::stod(JsonField(result.szOut, "p99.99")), std::stod(JsonField(result.szOut, "max")));
  for (const char* szKey : {"read_latency_us", "write_latency_us"}) {
    EXPECT_NE(result.szOut.find(std::string("\"") + szKey + "\": {\"min\": "), std::string::npos) << szKey;
  }
}

// The log is written as it goes: a run killed outright leaves whole lines,
// each one JSON object, for every period before the kill.
TEST_F(CliTest, LogSurvivesAKill) {
  const std::string szLog = m_scratch.Path("run.log");
  CCliProcess process({"run", "-t", m_target.Root(), "-f", "write", "-P", "-x", "4KB", "-b", "64KB", "--log", szLog});
  ASSERT_TRUE(process.Started());
  ASSERT_TRUE(test::Eventually([&] { return CountLines(test::ReadWholeFile(szLog)) >= 4; }, 60s))
      << "two periods were never logged: " << process.Err();
  process.Signal(SIGKILL);
  EXPECT_EQ(process.Wait(), 128 + SIGKILL);

  const std::string szNumber = "-?[0-9]+(\\.[0-9]+)?";
  const std::string szText = "\"([^\"\\\\]|\\\\.)*\"";
  const std::regex line("\\{\"t_s\": " + szNumber + ", \"target\": " + szText + ", \"mb_per_s\": " + szNumber +
                        ", \"iops\": " + szNumber + "(, \"(p50_us|p99_us|max_us|io_errors)\": (" + szNumber +
                        "|null)){4}, \"status\": " + szText + "\\}");
  std::istringstream lines(test::ReadWholeFile(szLog));
  std::string szLine;
  size_t nLines = 0;
  size_t nTimed = 0;
  while (std::getline(lines, szLine)) {
    if (lines.eof()) break;  // a line the kill cut short has no newline
    ++nLines;
    EXPECT_TRUE(std::regex_match(szLine, line)) << szLine;
    if (szLine.find("\"p99_us\": null") == std::string::npos) ++nTimed;
  }
  EXPECT_GE(nLines, 4u);
  EXPECT_EQ(nTimed, nLines) << "a counted write run times every period";
}

TEST_F(CliTest, InterruptFinishesThePassAndReports) {
  CCliProcess process({"run", "-t", m_target.Root(), "-f", "read", "-n", "3", "-P", "-b", "4MB", "-x", "4KB"});
  ASSERT_TRUE(process.Started());
  ASSERT_TRUE(test::Eventually([&] { return process.Out().find("] total") != std::string::npos; }, 60s))
      << process.Out() << process.Err();
  process.Signal(SIGINT);
  ASSERT_EQ(process.Wait(), 0) << process.Err();
  const std::string szOut = process.Out();
  EXPECT_NE(szOut.find("interrupted; stopping"), std::string::npos) << szOut;
  EXPECT_NE(szOut.find("result: " + m_target.Root() + "  STOP  NONE"), std::string::npos) << szOut;
  EXPECT_NE(szOut.find("verdict: PASS, no worker failed"), std::string::npos) << szOut;
  for (int s = 0; s < 3; ++s) EXPECT_EQ(test::FileSize(m_target.Path("READ/KORVA" + std::to_string(s) + ".DAT")), 4194304);
}

// Workers that fail at start-up (a data file without pattern bytes) end the
// run with 1 and leave their entries in the event log.
TEST_F(CliTest, FailedWorkersExitOneAndShowInTheEvents) {
  WriteFile(m_scratch.Path("empty-pattern.hvx"), std::string("LABEL\0\0\0\0\0\0\0\0\0\0\0", 16));
  const CliResult result = RunCli({"run", "-t", m_target.Root(), "-f", "write", "-n", "2", "-e", "-P", "--data-file",
                                   m_scratch.Path("empty-pattern.hvx"), "-d", "30", "--json"});
  ASSERT_EQ(result.nExit, 1) << result.szErr;
  EXPECT_EQ(JsonField(result.szOut, "failures"), "2");
  EXPECT_EQ(JsonField(result.szOut, "status"), "FAIL");
  EXPECT_EQ(JsonField(result.szOut, "error"), "INITIALIZATION");
  EXPECT_EQ(JsonField(result.szOut, "bytes"), "0");
  EXPECT_NE(result.szErr.find("every worker has ended"), std::string::npos) << "no wait for -d: " << result.szErr;

  const CliResult events = RunCli({"events", "--json"});
  EXPECT_EQ(events.nExit, 0);
  ASSERT_EQ(CountLines(events.szOut), 2u) << events.szOut;
  std::istringstream lines(events.szOut);
  for (std::string szLine; std::getline(lines, szLine);) {
    EXPECT_EQ(szLine.front(), '{');
    EXPECT_EQ(JsonField(szLine, "event_id"), "3221225742") << szLine;
    EXPECT_EQ(JsonField(szLine, "source"), "Halvex Stratavon Utility");
  }
  const CliResult text = RunCli({"events"});
  EXPECT_EQ(text.nExit, 0);
  EXPECT_EQ(CountLines(text.szOut), 2u) << text.szOut;
  EXPECT_NE(text.szOut.find("  0xC000010E  "), std::string::npos) << text.szOut;
}

// A work file planted as a FIFO fails its worker with what stood in the
// way, on the result line and in the event, and is left as it was.
TEST_F(CliTest, PlantedWorkFileFailsItsWorkerWithTheReason) {
  std::filesystem::create_directory(m_target.Path("WRITE"));
  const std::string szFifo = m_target.Path("WRITE/KORVA25.DAT");
  ASSERT_EQ(mkfifo(szFifo.c_str(), 0600), 0);
  const CliResult result = RunCli({"run", "-t", m_target.Root(), "-f", "write", "-d", "1"});
  EXPECT_EQ(result.nExit, 1) << result.szErr;
  const std::string szReason = "(INITIALIZATION ERROR: " + szFifo + ": is a FIFO, not a regular file; left untouched)";
  EXPECT_NE(result.szOut.find("result: " + m_target.Root() + "  FAIL  INITIALIZATION  "), std::string::npos)
      << result.szOut;
  EXPECT_NE(result.szOut.find(szReason), std::string::npos) << result.szOut;
  const std::vector<EventRecord> events = ReadEventLog(m_home.EventLog());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].strings, std::vector<std::string>{szReason.substr(23, szReason.size() - 24)});
  struct stat st {};
  EXPECT_TRUE(lstat(szFifo.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
}

// A target whose data comes back altered: that worker fails with DATA
// COMPARISON, the other goes on, and the event lists the differing words.
TEST_F(CliTest, CorruptedReadFailsOneWorker) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  ASSERT_GE(fs.Arm(FaultRule::Corrupt("KORVA25.DAT", FaultRule::EOp::Read, 0, 4096, 0x0F).Times(1)), 0)
      << fs.LastError();
  const CliResult result =
      RunCli({"run", "-t", fs.Root(), "-f", "write", "-n", "2", "-e", "-P", "-x", "64KB", "-b", "64KB", "-d", "4", "--json"});
  ASSERT_EQ(result.nExit, 1) << result.szErr;
  EXPECT_EQ(JsonField(result.szOut, "failures"), "1");
  EXPECT_EQ(JsonField(result.szOut, "status"), "FAIL");
  EXPECT_EQ(JsonField(result.szOut, "error"), "DATA COMPARISON");
  EXPECT_GT(std::stoull(JsonField(result.szOut, "bytes")), 0u);
  // Where: the first 4 KiB came back altered, every byte of it.
  EXPECT_EQ(JsonField(result.szOut, "first_offset"), "0");
  EXPECT_EQ(JsonField(result.szOut, "differing_bytes"), "4096");
  EXPECT_EQ(JsonField(result.szOut, "bad_units"), "8");
  EXPECT_EQ(test::FileSize(JsonField(result.szOut, "bad_file")), 65536);

  const CliResult text = RunCli({"events"});
  EXPECT_NE(text.szOut.find("  0xC000010A  "), std::string::npos) << text.szOut;
  EXPECT_TRUE(std::regex_search(text.szOut, std::regex("expected 0x[0-9A-F]{8}  found 0x[0-9A-F]{8}\n")))
      << text.szOut;
}

// A power cut behind a volatile write cache, judged with the flush journal.
// The writer flushes every 4 buffers of 64 KiB over a 1 MiB file; its 22nd
// write (pass 2, at 320 KiB) fails and ends the run, one written buffer
// after the fifth flush. An honest cache loses only that buffer (which
// still holds the pass flushed before: OK) and the failed one (UNFLUSHED,
// never LOST FLUSH); a cache whose flushes lie after the second loses the
// three flushed ranges that followed: 1536 units of 512 bytes, from 0.
// The honest run uses the synchronous writer, the lying one the asynchronous.
TEST_F(CliTest, PowerCutBehindAWriteCacheIsJudgedByTheFlushJournal) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  for (const bool bLie : {false, true}) {
    SCOPED_TRACE(bLie ? "lying flushes" : "honest flushes");
    const std::string szJournal = m_scratch.Path(bLie ? "lie.journal" : "honest.journal");
    ASSERT_TRUE(fs.Control(std::string("clear\ncache on\nadd op=write name=.DAT skip=21 error=EIO\n") +
                           (bLie ? "add lie-flush skip=2\n" : "")))
        << fs.LastError();
    std::vector<std::string> args = {"run", "-t", fs.Root(), "-f", "write", "-n", "1", "-e", "-p", "stamped", "-x", "64KB",
                                     "-b", "64KB", "-s", "1MB", "--flush-every", "256KB", "--journal", szJournal, "-d", "10"};
    if (bLie) args.insert(args.end(), {"-a", "-q", "4"});  // the asynchronous writer: a drain, then the flush
    const CliResult run = RunCli(args);
    ASSERT_EQ(run.nExit, 1) << run.szOut << run.szErr;
    ASSERT_TRUE(fs.Control("powercut\n")) << fs.LastError();
    const CliResult verify = RunCli({"verify", fs.Root(), "--journal", szJournal, "--json"});
    EXPECT_EQ(verify.nExit, bLie ? 1 : 0) << verify.szOut << verify.szErr;
    EXPECT_EQ(JsonField(verify.szOut, "lost_flush"), bLie ? "1536" : "0") << verify.szOut;
    EXPECT_EQ(JsonField(verify.szOut, "unflushed"), "128");
    EXPECT_EQ(JsonField(verify.szOut, "ok"), bLie ? "384" : "1920");
    // The asynchronous writer's batch of four reaches the file system in any
    // order, so which of its last two regions took the EIO varies; what was
    // lost starts at 0 either way.
    const std::regex first = bLie ? std::regex("\"first_offset\": \\{\"ok\": (262144|327680), \"lost_flush\": 0, "
                                               "\"unflushed\": (262144|327680)\\}")
                                  : std::regex("\"first_offset\": \\{\"ok\": 0, \"unflushed\": 327680\\}");
    EXPECT_TRUE(std::regex_search(verify.szOut, first)) << verify.szOut;
  }
  EXPECT_EQ(RunCli({"verify", "--journal", m_scratch.Path("none")}).nExit, 2);
  EXPECT_EQ(RunCli({"run", "-t", fs.Root(), "-f", "write", "--flush-every", "1MB"}).nExit, 2) << "not stamped";
  EXPECT_EQ(RunCli({"run", "-t", fs.Root(), "-f", "write", "-p", "stamped", "-a", "--keep-depth", "--flush-every", "1MB"})
                .nExit,
            2)
      << "a queue never drained has no point to flush at";
}

// A flush that fails is no promise: the asynchronous writer, flushing
// behind each batch of four (io_uring) or after draining it (the thread
// pool), journals the third batch's ranges as failed when their fdatasync
// fails with EIO, so the power cut that then drops the cache loses nothing
// the journal calls durable.
TEST_F(CliTest, AFailedFlushIsNeverJournaledAsDurable) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  for (const char* pszBackend : {"auto", "threads"}) {
    SCOPED_TRACE(pszBackend);
    setenv("STRATAVON_IO_BACKEND", pszBackend, 1);
    const std::string szJournal = m_scratch.Path(std::string(pszBackend) + ".journal");
    ASSERT_TRUE(fs.Control("clear\ncache on\nadd op=flush name=.DAT skip=2 error=EIO\n")) << fs.LastError();
    const CliResult run = RunCli({"run", "-t", fs.Root(), "-f", "write", "-n", "1", "-e", "-p", "stamped", "-x", "64KB",
                                  "-b", "64KB", "-s", "1MB", "-a", "-q", "4", "--flush-every", "256KB", "--journal",
                                  szJournal, "-d", "10", "--json"});
    EXPECT_EQ(run.nExit, 1) << run.szOut << run.szErr;
    EXPECT_EQ(JsonField(run.szOut, "error"), "WRITE API") << run.szOut;
    ASSERT_TRUE(fs.Control("powercut\n")) << fs.LastError();
    const CliResult verify = RunCli({"verify", fs.Root(), "--journal", szJournal, "--json"});
    EXPECT_EQ(verify.nExit, 0) << verify.szOut << verify.szErr;
    EXPECT_EQ(JsonField(verify.szOut, "lost_flush"), "0") << verify.szOut;
    EXPECT_EQ(JsonField(verify.szOut, "ok"), "1024") << "the two good flushes: " << verify.szOut;
  }
  unsetenv("STRATAVON_IO_BACKEND");
}

// The journal sent to a listener in a process of its own, as on a second
// machine: every record of the run is on the listener's disk, ended cleanly
// (nothing lost), before the run gives its verdict, and verify judges the
// work file by that journal.
TEST_F(CliTest, AJournalSentToAListenerJudgesTheRun) {
  std::string szError;
  uint16_t wPort = 0;
  {
    CTcpListener probe;  // a free port, handed on to the listener
    ASSERT_TRUE(probe.Listen(0, &szError)) << szError;
    wPort = probe.Port();
  }
  CCliProcess listener({"journal-listen", std::to_string(wPort), m_scratch.Root()});
  ASSERT_TRUE(test::Eventually([&] { return listener.Out().find("journal-listen: port") != std::string::npos; }))
      << listener.Err();
  const CliResult run = RunCli({"run", "-t", m_target.Root(), "-f", "write", "-n", "1", "-p", "stamped", "-x", "64KB",
                                "-b", "64KB", "-s", "1MB", "--flush-every", "256KB", "--journal",
                                "tcp:127.0.0.1:" + std::to_string(wPort), "-d", "2", "--json"});
  ASSERT_EQ(run.nExit, 0) << run.szOut << run.szErr;
  const std::string szJournal = m_scratch.Path("stratavon-" + JsonField(run.szOut, "run_id") + ".journal");
  std::ifstream in(szJournal);
  const std::string szLines((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_GT(CountLines(szLines), 4u) << szJournal;
  EXPECT_NE(szLines.find(" ended run="), std::string::npos) << szLines;
  EXPECT_EQ(szLines.find(" lost run="), std::string::npos) << szLines;
  const CliResult verify = RunCli({"verify", m_target.Root(), "--journal", szJournal, "--json"});
  EXPECT_EQ(verify.nExit, 0) << verify.szOut << verify.szErr;
  EXPECT_EQ(JsonField(verify.szOut, "lost_flush"), "0") << verify.szOut;
  EXPECT_NE(JsonField(verify.szOut, "ok"), "0") << verify.szOut;
  listener.Signal(SIGTERM);
  EXPECT_EQ(listener.Wait(), 128 + SIGTERM);
}

// Work files of a stamped run judged afterwards, as after a crash: intact,
// cut short, holding another run's data, or not ours at all.
TEST_F(CliTest, VerifyJudgesStampedFilesLeftBehind) {
  const std::string szFile = m_target.Path("WRITE/KORVA25.DAT");
  const std::string szOldRun = m_scratch.Path("old-run.dat");
  const auto stampedRun = [&] {
    const CliResult run = RunCli({"run", "-t", m_target.Root(), "-f", "write", "-e", "-p", "stamped:crpat", "-x",
                                  "64KB", "-b", "256KB", "-d", "1", "--json"});
    EXPECT_EQ(run.nExit, 0) << run.szErr;
    EXPECT_TRUE(std::regex_search(run.szOut, std::regex("\"run_id\": \"[0-9a-f]{16}\""))) << run.szOut;
  };
  stampedRun();
  std::filesystem::copy_file(szFile, szOldRun);
  stampedRun();
  struct Case {
    const char* szName;
    std::function<void()> damage;
    int nExit;
    const char* szField;
    const char* szValue;
  } cases[] = {
      {"intact", [] {}, 0, "foreign", "0"},
      {"cut short", [&] { std::filesystem::resize_file(szFile, 100000); }, 1, "missing_bytes", "162144"},
      {"another run's file", [&] { std::filesystem::copy_file(szOldRun, szFile, std::filesystem::copy_options::overwrite_existing); },
       1, "foreign", "512"},
      {"not ours at all", [&] { WriteFile(szFile, std::string(262144, 'x')); }, 1, "foreign", "512"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szName);
    c.damage();
    const CliResult verify = RunCli({"verify", szFile, "--json"});
    EXPECT_EQ(verify.nExit, c.nExit) << verify.szOut << verify.szErr;
    const std::regex field("\"" + std::string(c.szField) + "\": " + c.szValue + "[,}]");
    EXPECT_TRUE(std::regex_search(verify.szOut, field)) << verify.szOut;
  }
  EXPECT_EQ(RunCli({"verify"}).nExit, 2);
}

TEST_F(CliTest, TargetsListTheRoot) {
  const CliResult result = RunCli({"targets"});
  EXPECT_EQ(result.nExit, 0);
  EXPECT_TRUE(std::regex_search(result.szOut, std::regex("(^|\n)/ +[A-Z]"))) << result.szOut;
  EXPECT_EQ(RunCli({"targets", "extra"}).nExit, 2);
  EXPECT_EQ(RunCli({"events", "--yaml"}).nExit, 2);
  const CliResult version = RunCli({"--version"});
  EXPECT_EQ(version.nExit, 0);
  EXPECT_TRUE(std::regex_match(version.szOut, std::regex("stratavon-cli [0-9.]+\n"))) << version.szOut;
  const CliResult help = RunCli({"run", "-h"});
  EXPECT_EQ(help.nExit, 0) << help.szErr;
  EXPECT_NE(help.szOut.find("--io-timeout SECONDS"), std::string::npos) << help.szOut;

  // A self-test that cannot mount its file system says why and is no pass.
  const std::string szTools = std::getenv("STRATAVON_TOOLS_DIR") ? std::getenv("STRATAVON_TOOLS_DIR") : "";
  setenv("STRATAVON_TOOLS_DIR", m_scratch.Root().c_str(), 1);
  const CliResult selftest = RunCli({"selftest", m_target.Root()});
  setenv("STRATAVON_TOOLS_DIR", szTools.c_str(), 1);
  EXPECT_EQ(selftest.nExit, 2) << selftest.szOut;
  EXPECT_NE(selftest.szErr.find("stratavon-faultfs is not installed"), std::string::npos) << selftest.szErr;
  EXPECT_TRUE(EntriesUnder(m_target.Root()).empty());
}

// Faults that a run must never pass over, whatever its settings: failed
// calls of loops that go on regardless, a call past the I/O time-out, a
// call that never returns (the stop waits for it at most the time-out),
// and an asynchronous read the kernel cannot cancel.
TEST_F(CliTest, FaultsAreNeverAPass) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  using Op = FaultRule::EOp;
  struct Case {
    const char* szWhat;
    FaultRule rule;
    std::vector<std::string> args;
    const char* szError;
    bool bIoErrors;  // counted as failed calls (the workers went on)
    bool bStall;     // still inside its call when the run ended
  };
  const Case kCases[] = {
      {"unchecked writes", FaultRule::Error("KORVA25.DAT", Op::Write, 0, 0, EIO), {"-f", "write", "-P"},
       "WRITE API", true, false},
      {"simple load", FaultRule::Error("KORVA25.DAT", Op::Write, 0, 0, EIO), {"--simple", "-f", "write"},
       "WRITE API", true, false},
      {"slow call", FaultRule::Stall("KORVA25.DAT", Op::Write, 0, 0, 2500).Skip(2).Times(1),
       {"-f", "write", "-e", "--io-timeout", "1"}, "I/O TIMEOUT", false, false},
      {"call that never returns", FaultRule::Stall("KORVA25.DAT", Op::Write, 0, 0, 0).Skip(4),
       {"-f", "write", "--io-timeout", "2"}, "I/O TIMEOUT", false, true},
      {"uncancellable asynchronous read", FaultRule::Stall("KORVA0.DAT", Op::Read, 0, 0, 0).Skip(2),
       {"-f", "read", "-a", "-e", "--io-timeout", "1"}, "I/O TIMEOUT", false, false},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.szWhat);
    ASSERT_TRUE(fs.ClearRules());
    ASSERT_GE(fs.Arm(c.rule), 0) << fs.LastError();
    std::vector<std::string> args{"run", "-t", fs.Root(), "-x", "64KB", "-b", "64KB", "-d", "3", "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (c.args[0] == std::string("--simple")) args.erase(args.begin() + 3, args.begin() + 7);
    CCliProcess process(args);
    // A process whose thread is held inside a call cannot be reaped before
    // the call returns: the verdict comes first, then the rule goes.
    ASSERT_TRUE(test::Eventually([&] { return process.Out().find("verdict") != std::string::npos; }, 60s))
        << process.Err();
    ASSERT_TRUE(fs.ClearRules());
    const CliResult result{process.Wait(), process.Out(), process.Err()};
    EXPECT_EQ(result.nExit, 1) << result.szOut << result.szErr;
    EXPECT_EQ(JsonField(result.szOut, "verdict"), "FAIL");
    EXPECT_EQ(JsonField(result.szOut, "status"), "FAIL");
    EXPECT_EQ(JsonField(result.szOut, "error"), c.szError);
    EXPECT_EQ(JsonField(result.szOut, "io_errors") != "0", c.bIoErrors) << result.szOut;
    EXPECT_EQ(JsonField(result.szOut, "first_io_error"), c.bIoErrors ? "Input/output error" : "");
    const bool bStalled = result.szOut.find("KORVA25.DAT inside a write for") != std::string::npos;
    EXPECT_EQ(bStalled, c.bStall) << result.szOut;
  }
}

// -d counts load, not start-up; a run stopped before any I/O is no pass; a
// hang-up that nohup ignored stays ignored; a second Ctrl-C while a call
// stalls learns which call, and the run still ends.
TEST_F(CliTest, StartUpAndSignals) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  using Op = FaultRule::EOp;
  // The read worker's initial fill is its first write.
  ASSERT_GE(fs.Arm(FaultRule::Stall("KORVA0.DAT", Op::Write, 0, 0, 2000).Times(1)), 0);
  const CliResult slow =
      RunCli({"run", "-t", fs.Root(), "-f", "read", "-a", "-P", "-x", "64KB", "-b", "64KB", "-d", "1", "--json"});
  EXPECT_EQ(slow.nExit, 0) << slow.szErr;
  EXPECT_GE(std::stod(JsonField(slow.szOut, "startup_s")), 1.5) << slow.szOut;
  EXPECT_GT(std::stoull(JsonField(slow.szOut, "ios")), 0u) << "a second of load after the start-up";

  ASSERT_TRUE(fs.ClearRules());
  const int nFill = fs.Arm(FaultRule::Stall("KORVA0.DAT", Op::Write, 0, 0, 0).Times(1));
  CCliProcess early({"run", "-t", fs.Root(), "-f", "read", "-a", "-x", "64KB", "-b", "64KB"});
  ASSERT_TRUE(test::Eventually([&] { return fs.Hits(nFill) == 1; }, 30s)) << "the fill reached the target";
  early.Signal(SIGINT);
  ASSERT_TRUE(test::Eventually([&] { return early.Out().find("interrupted; stopping") != std::string::npos; }, 30s))
      << early.Out();
  ASSERT_TRUE(fs.ClearRules());
  EXPECT_EQ(early.Wait(), 1) << early.Out() << early.Err();
  EXPECT_NE(early.Out().find("verdict: FAIL, " + fs.Root() + " completed no I/O (stopped by SIGINT)\n"),
            std::string::npos) << early.Out();

  signal(SIGHUP, SIG_IGN);
  CCliProcess nohup({"run", "-t", m_target.Root(), "-f", "write", "-P", "-x", "64KB", "-b", "64KB"});
  signal(SIGHUP, SIG_DFL);
  ASSERT_TRUE(test::Eventually([&] { return nohup.Out().find("] total") != std::string::npos; }, 30s)) << nohup.Err();
  nohup.Signal(SIGHUP);
  nohup.Signal(SIGINT);
  EXPECT_EQ(nohup.Wait(), 0) << nohup.Err();
  EXPECT_NE(nohup.Out().find("verdict: PASS, no worker failed (stopped by SIGINT)\n"), std::string::npos)
      << nohup.Out();

  const int nStall = fs.Arm(FaultRule::Stall("KORVA25.DAT", Op::Write, 0, 0, 0).Skip(4));
  CCliProcess stalled({"run", "-t", fs.Root(), "-f", "write", "-x", "64KB", "-b", "64KB", "--io-timeout", "3"});
  ASSERT_TRUE(test::Eventually([&] { return fs.Hits(nStall) == 1; }, 30s)) << "the write stalled";
  stalled.Signal(SIGINT);
  // The second comes once the first has been taken, so the two are not one.
  ASSERT_TRUE(test::Eventually([&] { return stalled.Out().find("interrupted; stopping") != std::string::npos; }, 30s))
      << stalled.Out();
  // The second leaves at once, naming the call the run was still inside.
  stalled.Signal(SIGINT);
  EXPECT_EQ(stalled.Wait(10s), 1) << stalled.Err();
  EXPECT_NE(stalled.Out().find("verdict: STOPPED, 1 still inside a call when the run was left"), std::string::npos)
      << stalled.Out();
  EXPECT_NE(stalled.Out().find("KORVA25.DAT inside a write for"), std::string::npos) << stalled.Out();
  ASSERT_TRUE(fs.ClearRules());
}

// A worker process whose call never returns and whose console is frozen too
// cannot give a verdict: its parent gives it once the run's bound is past,
// names the call, writes the event, and exits although the worker process
// cannot; the target stays held by the stuck process, and says so.
TEST_F(CliTest, VerdictArrivesWhenTheWorkerProcessIsStuckInTheKernel) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  using Op = FaultRule::EOp;
  const int nStall = fs.Arm(FaultRule::Stall("KORVA0.DAT", Op::Read, 0, 0, 0).Skip(2));
  CCliProcess run({"run", "-t", fs.Root(), "-f", "read", "-e", "-P", "-x", "64KB", "-b", "1MB", "-d", "3",
                   "--io-timeout", "3", "--json"});
  ASSERT_TRUE(test::Eventually([&] { return fs.Hits(nStall) == 1; }, 30s)) << run.Err();
  // Once a tick has told the parent of the stalled call (it does so before
  // the tick's lines appear), the worker process's console stops too.
  const auto ticks = [&] {
    const std::string szErr = run.Err();
    size_t n = 0;
    for (size_t i = szErr.find("] total"); i != std::string::npos; i = szErr.find("] total", i + 1)) ++n;
    return n;
  };
  const size_t nTicks = ticks();
  ASSERT_TRUE(test::Eventually([&] { return ticks() > nTicks; }, 20s)) << run.Err();
  const pid_t nWorkers = WorkerProcessOf(run.Pid());
  ASSERT_GT(nWorkers, 0);
  ASSERT_EQ(kill(nWorkers, SIGSTOP), 0);
  EXPECT_EQ(run.Wait(40s), 1) << run.Err();
  const std::string szJson = run.Out();
  EXPECT_EQ(JsonField(szJson, "verdict"), "FAIL") << szJson;
  EXPECT_EQ(JsonField(szJson, "worker_process"), "a worker process is stuck in the kernel: pid " +
                                                     std::to_string(nWorkers)) << szJson;
  EXPECT_EQ(JsonField(szJson, "error"), "I/O TIMEOUT") << szJson;
  EXPECT_NE(szJson.find("KORVA0.DAT inside a read for"), std::string::npos) << szJson;
  EXPECT_NE(szJson.find("65536 bytes at offset"), std::string::npos) << szJson;
  EXPECT_NE(run.Err().find("a worker process is stuck in the kernel"), std::string::npos) << run.Err();
  bool bLogged = false;
  for (const EventRecord& event : ReadEventLog(m_home.EventLog())) {
    bLogged |= event.eventId == 0xC000010F && event.strings.size() == 2 && event.strings[0].ends_with("KORVA0.DAT");
  }
  EXPECT_TRUE(bLogged) << test::ReadWholeFile(m_home.EventLog());

  const CliResult again = RunCli({"run", "-t", fs.Root(), "-f", "read", "-d", "1"});
  EXPECT_EQ(again.nExit, 2);
  EXPECT_NE(again.szErr.find("held by pid " + std::to_string(nWorkers) + " (stratavon-cli), stuck in the kernel"),
            std::string::npos) << again.szErr;
  ASSERT_TRUE(fs.ClearRules());  // lets the stuck process go
}

// A worker process that dies gets its verdict from its parent, with how it
// ended, in an event as well; a reader that leaves early (`| head`) costs
// the run neither its exit code nor its events.
TEST_F(CliTest, DeadWorkerProcessAndClosedOutputStillGiveTheVerdict) {
  CCliProcess run({"run", "-t", m_target.Root(), "-f", "write", "-P", "-x", "64KB", "-b", "64KB", "-d", "60"});
  ASSERT_TRUE(test::Eventually([&] { return run.Out().find("] total") != std::string::npos; }, 30s)) << run.Err();
  const pid_t nWorkers = WorkerProcessOf(run.Pid());
  ASSERT_GT(nWorkers, 0);
  ASSERT_EQ(kill(nWorkers, SIGKILL), 0);
  EXPECT_EQ(run.Wait(), 1) << run.Err();
  const std::string szEnded = "(pid " + std::to_string(nWorkers) + ") ended by signal 9 (Killed) before its verdict";
  const size_t nVerdict = run.Out().find("verdict: FAIL, ");
  ASSERT_NE(nVerdict, std::string::npos) << run.Out();
  EXPECT_NE(run.Out().find("the worker process " + szEnded, nVerdict), std::string::npos) << run.Out();
  const std::vector<EventRecord> events = ReadEventLog(m_home.EventLog());
  ASSERT_FALSE(events.empty());
  EXPECT_NE(events.back().strings.at(0).find(szEnded), std::string::npos) << events.back().line;

  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  ASSERT_GE(fs.Arm(FaultRule::Error("KORVA0.DAT", FaultRule::EOp::Read, 0, 0, EIO).Skip(2)), 0);
  const size_t nBefore = events.size();
  test::CChildProcess piped({"/bin/bash", "-o", "pipefail", "-c",
                     std::string("'") + STRATAVON_CLI_PATH + "' run -t '" + fs.Root() +
                         "' -f read -e -x 64KB -b 64KB -d 2 | head -c 10"});
  EXPECT_EQ(piped.Wait(), 1) << piped.Err();
  EXPECT_EQ(piped.Out().size(), 10u) << piped.Out();
  const std::vector<EventRecord> after = ReadEventLog(m_home.EventLog());
  ASSERT_GT(after.size(), nBefore) << "the READ API event";
  EXPECT_EQ(after[nBefore].eventId, 0xC000010Bu) << after[nBefore].line;
}

// Block devices: only loop devices these tests make over files of their own.
class DeviceCliTest : public CliTest {
 protected:
  void SetUp() override {
    if (const std::string szWhy = test::CLoopMount::Unavailable(); !szWhy.empty()) GTEST_SKIP() << szWhy;
  }
  static bool Has(const CliResult& result, const std::string& szWords) {
    return (result.szOut + result.szErr).find(szWords) != std::string::npos;
  }
};

TEST_F(DeviceCliTest, ReadScanNamesTheDeviceReadsItOnceAndLeavesItUnchanged) {
  for (const unsigned nSector : {512u, 4096u}) {
    test::CLoopDevice device(32 << 20, nSector);
    ASSERT_TRUE(device.Ok()) << device.Error();
    const std::string szBefore = device.Digest();
    const CliResult result =
        RunCli({"run", "-t", device.Device(), "-f", "read", "-n", "2", "-P", "--passes", "1", "--json"});
    EXPECT_EQ(result.nExit, 0) << result.szErr;
    EXPECT_EQ(JsonField(result.szOut, "verdict"), "PASS");
    EXPECT_EQ(JsonField(result.szOut, "node"), device.Device());
    EXPECT_EQ(JsonField(result.szOut, "logical_sector_bytes"), std::to_string(nSector));
    EXPECT_EQ(JsonField(result.szOut, "bytes"), std::to_string(32 << 20)) << "one pass of two slices is the device";
    EXPECT_EQ(device.Digest(), szBefore) << "a read run wrote the device";
  }
}

TEST_F(DeviceCliTest, WritesNeedDestroyAndDevicesInUseAreRefusedUntouched) {
  test::CLoopDevice device(32 << 20, 4096, 2);
  ASSERT_TRUE(device.Ok()) << device.Error();
  ASSERT_EQ(std::system(("mkfs.ext4 -q -L strata1 " + device.Partition(1) + " >/dev/null 2>&1").c_str()), 0);
  const std::string szBefore = device.Digest();
  const std::string& szNode = device.Device();

  const CliResult unnamed = RunCli({"run", "-t", szNode, "-f", "write", "-d", "1"});
  EXPECT_EQ(unnamed.nExit, 2);
  EXPECT_TRUE(Has(unnamed, "dos partition table") && Has(unnamed, "ext4 labelled \"strata1\"") &&
              Has(unnamed, "--destroy " + szNode))
      << unnamed.szErr;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"run", "-t", szNode, "-f", "both", "-d", "1", "--destroy", device.Partition(2)},
        std::vector<std::string>{"run", "-t", szNode, "-f", "read", "-e", "-d", "1"}}) {
    const CliResult refused = RunCli(args);
    EXPECT_EQ(refused.nExit, 2) << refused.szOut;
    EXPECT_TRUE(Has(refused, "--destroy")) << refused.szErr;
  }
  const CliResult small = RunCli({"run", "-t", szNode, "-f", "read", "-x", "512B", "-b", "512B", "-d", "1"});
  EXPECT_TRUE(small.nExit == 2 && Has(small, "512 bytes") && Has(small, "4096 bytes")) << small.szErr;

  EXPECT_EQ(device.Digest(), szBefore);

  // (Mounting writes the file system's own superblock.)
  const std::string szMount = device.Folder() + "/mnt";
  std::filesystem::create_directory(szMount);
  ASSERT_EQ(mount(device.Partition(1).c_str(), szMount.c_str(), "ext4", 0, nullptr), 0);
  const CliResult mounted = RunCli({"run", "-t", szNode, "-f", "write", "-d", "1", "--destroy", szNode});
  umount2(szMount.c_str(), 0);
  EXPECT_TRUE(mounted.nExit == 2 && Has(mounted, "is mounted at " + szMount)) << mounted.szErr;
  const std::string szUnmounted = device.Digest();

  // Another opener holds a partition: the whole disk is refused, naming it.
  const int hHeld = open(device.Partition(2).c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  ASSERT_GE(hHeld, 0);
  const CliResult held = RunCli({"run", "-t", szNode, "-f", "read", "-d", "1"});
  close(hHeld);
  EXPECT_TRUE(held.nExit == 2 && Has(held, "process " + std::to_string(getpid()))) << held.szErr;
  EXPECT_EQ(device.Digest(), szUnmounted);
}

TEST_F(DeviceCliTest, StampedFillVerifiesAndAFakeCapacityDriveShowsItsRealCapacity) {
  test::CLoopDevice device(16 << 20, 512);
  ASSERT_TRUE(device.Ok()) << device.Error();
  const std::string& szNode = device.Device();
  const CliResult fill = RunCli({"run", "-t", szNode, "-f", "write", "-p", "stamped", "--passes", "1", "-n", "2",
                                 "--destroy", szNode});
  ASSERT_EQ(fill.nExit, 0) << fill.szOut << fill.szErr;
  const CliResult good = RunCli({"verify", szNode, "--json"});
  EXPECT_EQ(good.nExit, 0) << good.szOut;
  EXPECT_EQ(JsonField(good.szOut, "good_bytes"), std::to_string(16 << 20));

  // A stick that says 16 MiB and keeps 12: what lies past 12 MiB lands at offset mod 12 MiB.
  CFaultFs fs;
  if (std::string szWhy; !CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  {
    test::CLoopDevice fake(16 << 20, 512, 0, fs.Root() + "stick.img");
    ASSERT_TRUE(fake.Ok()) << fake.Error();
    ASSERT_TRUE(fs.Control("add op=write name=stick.img wrap=12M\nadd op=read name=stick.img wrap=12M\n"));
    const std::string& szFake = fake.Device();
    for (const char* szWorkers : {"1", "2"}) {
      ASSERT_EQ(RunCli({"run", "-t", szFake, "-f", "write", "-p", "stamped", "--passes", "1", "-n", szWorkers,
                        "--destroy", szFake})
                    .nExit,
                0);
      const CliResult wrapped = RunCli({"verify", szFake});
      EXPECT_EQ(wrapped.nExit, 1);
      // Which of two units sharing storage holds its own stamp is the later write's.
      EXPECT_TRUE(Has(wrapped, "good 12582912 bytes") && Has(wrapped, "misdirected 8192") &&
                  Has(wrapped, "real capacity: 12582912 bytes"))
          << szWorkers << " workers: " << wrapped.szOut;
    }
    fs.ClearRules();
  }
  fs.Unmount();
}

// The power cut of a whole drive: a loop device over an image behind
// faultfs's write cache, written twice over by one worker that flushes
// every four units of 64 KiB; the 22nd write fails. An honest cache keeps
// every journaled flush (the three writes after the last one held pass 1,
// flushed before: OK); flushes that lie after the second lose all that
// was journaled since. The failed unit is UNFLUSHED either way.
TEST_F(DeviceCliTest, PowerCutOfADriveBehindAWriteCacheIsJudgedByTheFlushJournal) {
  CFaultFs fs;
  if (std::string szWhy; !CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  {
    test::CLoopDevice device(1 << 20, 512, 0, fs.Root() + "disk.img");
    ASSERT_TRUE(device.Ok()) << device.Error();
    const std::string& szNode = device.Device();
    for (const bool bLie : {false, true}) {
      SCOPED_TRACE(bLie ? "lying flushes" : "honest flushes");
      const std::string szJournal = m_scratch.Path(bLie ? "lie.journal" : "honest.journal");
      ASSERT_TRUE(fs.Control(std::string("clear\ncache on\nadd op=write name=disk.img skip=21 times=1 error=EIO\n") +
                             (bLie ? "add lie-flush skip=2\n" : "")));
      const CliResult run = RunCli({"run", "-t", szNode, "-f", "write", "-p", "stamped", "-x", "64KB", "-b", "64KB",
                                    "--passes", "2", "--flush-every", "256KB", "--journal", szJournal, "--destroy",
                                    szNode, "-d", "20"});
      ASSERT_EQ(run.nExit, 1) << run.szOut << run.szErr;
      ASSERT_TRUE(fs.Control("powercut\n")) << fs.LastError();
      const CliResult verify = RunCli({"verify", szNode, "--journal", szJournal, "--json"});
      EXPECT_EQ(verify.nExit, bLie ? 1 : 0) << verify.szOut << verify.szErr;
      EXPECT_EQ(JsonField(verify.szOut, "ok"), bLie ? "0" : "1920") << verify.szOut;
      EXPECT_EQ(JsonField(verify.szOut, "lost_flush"), bLie ? "1920" : "0") << verify.szOut;
      EXPECT_EQ(JsonField(verify.szOut, "unflushed"), "128");
    }
    fs.ClearRules();
  }
  fs.Unmount();
}

// zram: another driver, 4096-byte sectors, no backing file.
TEST(ZramCliTest, AStampedFillOfAZramDeviceVerifiesWhole) {
  if (const std::string szWhy = test::CZramDevice::Unavailable(); !szWhy.empty()) GTEST_SKIP() << szWhy;
  test::CStateHome home;
  test::CZramDevice zram(32 << 20);
  ASSERT_TRUE(zram.Ok()) << zram.Error();
  const std::string& szNode = zram.Device();
  const CliResult run = RunCli({"run", "-t", szNode, "-f", "write", "-p", "stamped", "--passes", "1", "-n", "2",
                                "--destroy", szNode, "--json"});
  ASSERT_EQ(run.nExit, 0) << run.szOut << run.szErr;
  EXPECT_EQ(JsonField(run.szOut, "logical_sector_bytes"), "4096");
  const CliResult verify = RunCli({"verify", szNode, "--json"});
  EXPECT_EQ(verify.nExit, 0) << verify.szOut;
  EXPECT_EQ(JsonField(verify.szOut, "good_bytes"), std::to_string(32 << 20));
}

TEST_F(DeviceCliTest, TheScanListsUnreadableSectorsByLbaMapsSlowRegionsAndVerifyNamesThem) {
  CFaultFs fs;
  if (std::string szWhy; !CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  {
    test::CLoopDevice device(8 << 20, 512, 0, fs.Root() + "disk.img");
    ASSERT_TRUE(device.Ok()) << device.Error();
    const std::string& szNode = device.Device();
    ASSERT_EQ(RunCli({"run", "-t", szNode, "-f", "write", "-p", "stamped", "--passes", "1", "--destroy", szNode}).nExit,
              0);
    // One unreadable page at 4 MiB; one read at 6 MiB that takes 4 s.
    ASSERT_TRUE(fs.Control("add op=read name=disk.img off=4M len=4096 times=forever error=EIO\n"
                           "add op=read name=disk.img off=6M len=64K times=1 stall=4000\n"));
    const CliResult scan =
        RunCli({"run", "-t", szNode, "-f", "read", "-x", "64KB", "-b", "64KB", "--passes", "1", "-P", "--json"});
    EXPECT_EQ(scan.nExit, 1);
    EXPECT_EQ(JsonField(scan.szOut, "io_errors"), "1") << scan.szOut;
    EXPECT_EQ(JsonField(scan.szOut, "bytes"), std::to_string((8 << 20) - (64 << 10))) << "the scan stopped at the error";
    // The failed call is read again sector by sector: only the page's own
    // sectors are listed, and the scan's live line said how far it was.
    const std::string szSurface = scan.szOut.substr(std::min(scan.szOut.size(), scan.szOut.find("\"surface\"")));
    EXPECT_EQ(JsonField(szSurface.substr(szSurface.find("\"unreadable\"")), "lba"), "8192") << szSurface;
    EXPECT_EQ(JsonField(szSurface.substr(szSurface.find("\"unreadable\"")), "sectors"), "8") << szSurface;
    EXPECT_EQ(JsonField(szSurface, "unreadable_bytes"), "4096");
    EXPECT_EQ(JsonField(szSurface.substr(szSurface.find("\"slowest\"")), "offset"), std::to_string(6 << 20));
    EXPECT_TRUE(std::regex_search(scan.szErr, std::regex("scan [0-9.]+%, [0-9.]+ MiB of 8.0 MiB, ETA [0-9]+:")))
        << scan.szErr;

    const CliResult verify = RunCli({"verify", szNode});
    EXPECT_EQ(verify.nExit, 1);
    // (How much around the sector fails is the loop device's read size.)
    EXPECT_TRUE(Has(verify, "first bad at offset 4194304 (LBA 8192)") && Has(verify, "unreadable: ") &&
                !Has(verify, "unreadable 0 bytes"))
        << verify.szOut;
    fs.ClearRules();
  }
  fs.Unmount();
}

}  // namespace
}  // namespace stratavon
