#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/FaultFs.h"
#include "support/TempDir.h"
#include "support/Wait.h"

extern char** environ;

namespace stratavon {
namespace {

using namespace std::chrono_literals;
using test::CTempDir;

// One stratavon-cli process: its output goes to files, read at any time.
class CCliProcess {
 public:
  explicit CCliProcess(const std::vector<std::string>& args) {
    std::vector<std::string> argv{STRATAVON_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (std::string& sz : argv) pointers.push_back(sz.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&m_nPid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) m_nPid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~CCliProcess() {
    if (m_nPid > 0 && !m_bReaped) {
      kill(m_nPid, SIGKILL);
      waitpid(m_nPid, nullptr, 0);
    }
  }

  bool Started() const { return m_nPid > 0; }
  void Signal(int nSignal) { kill(m_nPid, nSignal); }
  std::string Out() const { return test::ReadWholeFile(m_out); }
  std::string Err() const { return test::ReadWholeFile(m_err); }

  // The exit code; -1 when the process did not end within a generous bound.
  int Wait() {
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    int nStatus = 0;
    while (waitpid(m_nPid, &nStatus, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(10ms);
    }
    m_bReaped = true;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
  }

 private:
  CTempDir m_dir;
  std::string m_out = m_dir.Path("out");
  std::string m_err = m_dir.Path("err");
  pid_t m_nPid = -1;
  bool m_bReaped = false;
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
  const std::vector<std::pair<std::vector<std::string>, std::string>> kCases = {
      {{"run", "-t", szDir, "-f", "write", "-x", "2MB", "-b", "1MB"}, "Error: Transfer Size > Buffer Size!"},
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
      {{"run", "-t", szDir, "-f", "write", "-p", "AA", "--data-file", m_scratch.Path("long.hvx")}, "give one"},
      {{"frobnicate"}, "unknown command"},
  };
  for (const auto& [args, szMessage] : kCases) {
    const CliResult result = RunCli(args);
    EXPECT_EQ(result.nExit, 2) << szMessage;
    EXPECT_NE(result.szErr.find(szMessage), std::string::npos) << "expected \"" << szMessage << "\" in\n" << result.szErr;
    EXPECT_EQ(result.szOut, "") << szMessage;
    EXPECT_TRUE(EntriesUnder(szDir).empty()) << szMessage << ": the target was touched";
  }
}

TEST_F(CliTest, MissingRootIsADirectoryCreationError) {
  const CliResult result = RunCli({"run", "-t", m_target.Root(), "-t", m_target.Path("gone"), "-f", "both", "-d", "1"});
  EXPECT_EQ(result.nExit, 2);
  EXPECT_NE(result.szErr.find("Error: Directory Creation Error!"), std::string::npos) << result.szErr;
  EXPECT_NE(result.szErr.find(m_target.Path("gone/")), std::string::npos) << "names the root";
  EXPECT_FALSE(HasWorkFile(m_target.Root()));
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

  const CliResult text = RunCli({"events"});
  EXPECT_NE(text.szOut.find("  0xC000010A  "), std::string::npos) << text.szOut;
  EXPECT_TRUE(std::regex_search(text.szOut, std::regex("expected 0x[0-9A-F]{8}  found 0x[0-9A-F]{8}\n")))
      << text.szOut;
}

TEST_F(CliTest, TargetsListTheRoot) {
  const CliResult result = RunCli({"targets"});
  EXPECT_EQ(result.nExit, 0);
  EXPECT_TRUE(std::regex_search(result.szOut, std::regex("(^|\n)/ +[A-Z]"))) << result.szOut;
  EXPECT_EQ(RunCli({"targets", "extra"}).nExit, 2);
  EXPECT_EQ(RunCli({"events", "--yaml"}).nExit, 2);
}

}  // namespace
}  // namespace stratavon
