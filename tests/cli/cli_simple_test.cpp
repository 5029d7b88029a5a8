#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/FaultFs.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/Wait.h"


namespace stratavon {
namespace {

using namespace std::chrono_literals;
using test::CTempDir;

// `stratavon-cli run --simple ...` as a child process.
class CSimpleCli : public test::CChildProcess {
 public:
  explicit CSimpleCli(std::vector<std::string> args) : CChildProcess(WithProgram(std::move(args))) {}

 private:
  static std::vector<std::string> WithProgram(std::vector<std::string> args) {
    args.insert(args.begin(), {STRATAVON_CLI_PATH, "run", "--simple"});
    return args;
  }
};

bool Has(const std::string& szText, const std::string& szPart) { return szText.find(szPart) != std::string::npos; }

class CliSimpleTest : public ::testing::Test {
 protected:
  std::string Root() const { return m_target.Root(); }
  bool AllBytesAre(const std::string& szFile, char c) const {
    const std::string szData = test::ReadWholeFile(m_target.Path(szFile));
    return szData.size() == 1048576 && std::all_of(szData.begin(), szData.end(), [c](char b) { return b == c; });
  }

  test::CStateHome m_home;
  CTempDir m_target;
};

TEST_F(CliSimpleTest, PureLoadPrintsItsStatusAndPasses) {
  CSimpleCli cli({"-t", Root(), "-f", "both", "-n", "2", "-p", "5a", "-d", "3"});
  ASSERT_EQ(cli.Wait(), 0) << cli.Err();
  const std::string szOut = cli.Out();
  const std::regex status("\\[0:00:00:0[0-9]\\] " + Root() +
                           "  RUN   4 of 4 workers running  NONE\n"
                           "\\[0:00:00:0[0-9]\\] status RUN\n");
  EXPECT_TRUE(std::regex_search(szOut, status)) << szOut;
  EXPECT_TRUE(Has(szOut, "result: " + Root() + "  STOP  NONE  4 worker(s)\n"
                         "status STOP\n"
                         "verdict: PASS, no worker failed\n"))
      << szOut;
  EXPECT_EQ(cli.Err(), "");
  for (const char* szFile : {"READ/KORVA0.DAT", "READ/KORVA1.DAT", "WRITE/KORVA25.DAT", "WRITE/KORVA26.DAT"}) {
    EXPECT_TRUE(AllBytesAre(szFile, 0x5A)) << szFile;
  }

  CSimpleCli json({"-t", Root(), "-f", "read", "-d", "1", "--json"});
  ASSERT_EQ(json.Wait(), 0) << json.Err();
  // Nothing is counted: the figures of the object are all 0.
  const std::regex object("\\{\"elapsed_s\": [0-9.]+, \"failures\": 0, \"verdict\": \"PASS\", \"startup_s\": [0-9.]+, "
                          "\"stopped_by\": \"duration\", \"stalls\": \\[\\], \"targets\": \\[\\{\"root\": \"" + Root() +
                          "\", \"status\": \"STOP\", \"error\": \"NONE\", \"bytes\": 0, \"ios\": 0, "
                          "\"mb_per_s\": 0.000, \"iops\": 0.000, \"io_errors\": 0, \"first_io_error\": \"\"\\}\\]\\}\n");
  EXPECT_TRUE(std::regex_match(json.Out(), object)) << json.Out();
}

TEST_F(CliSimpleTest, InterruptStopsTheLoad) {
  CSimpleCli cli({"-t", Root(), "-f", "write", "-n", "3"});
  ASSERT_TRUE(test::Eventually([&] { return Has(cli.Out(), "status RUN"); }, 60s)) << cli.Out() << cli.Err();
  cli.Signal(SIGINT);
  ASSERT_EQ(cli.Wait(), 0) << cli.Err();
  EXPECT_TRUE(Has(cli.Out(), "interrupted; stopping")) << cli.Out();
  EXPECT_TRUE(Has(cli.Out(), "verdict: PASS")) << cli.Out();
  for (const char* szFile : {"WRITE/KORVA25.DAT", "WRITE/KORVA26.DAT", "WRITE/KORVA27.DAT"}) {
    EXPECT_TRUE(AllBytesAre(szFile, static_cast<char>(0xAA))) << szFile;
  }
}

// A worker whose start-up fails shows its message and fails the run; so does
// one whose transfers fail, although the load itself goes on.
TEST_F(CliSimpleTest, FailedWorkersExitOne) {
  std::filesystem::create_directories(m_target.Path("WRITE/KORVA25.DAT"));
  CSimpleCli cli({"-t", Root(), "-f", "write", "-d", "60"});
  ASSERT_EQ(cli.Wait(), 1) << cli.Err();
  EXPECT_TRUE(Has(cli.Err(), "Error: File Creation Error!\n")) << cli.Err();
  EXPECT_TRUE(Has(cli.Out(), "every worker has ended; stopping")) << "no wait for -d: " << cli.Out();
  EXPECT_TRUE(Has(cli.Out(), "result: " + Root() + "  FAIL  INITIALIZATION  1 worker(s), 1 failed\n")) << cli.Out();
  EXPECT_TRUE(Has(cli.Out(), "verdict: FAIL, 1 worker failed; " + Root() + " completed no I/O\n")) << cli.Out();

  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  const int nRule = fs.Arm(FaultRule::Error("KORVA26.DAT", FaultRule::EOp::Write, 0, 0, EIO));
  ASSERT_GE(nRule, 0) << fs.LastError();
  CSimpleCli faulty({"-t", fs.Root(), "-f", "write", "-n", "2", "-d", "3"});
  ASSERT_EQ(faulty.Wait(), 1) << faulty.Err();
  EXPECT_GE(fs.Hits(nRule), 2u) << "the load went on after the failure";
  EXPECT_TRUE(Has(faulty.Err(), fs.Root() + " slot 26: a write failed: Input/output error;")) << faulty.Err();
  EXPECT_TRUE(Has(faulty.Out(), "  FAIL  WRITE API  2 worker(s), 1 failed\n")) << faulty.Out();
}

TEST_F(CliSimpleTest, RefusalsExitTwoAndTouchNothing) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> kCases = {
      {{"-t", Root(), "-f", "write", "-e"}, "-e is an advanced setting"},
      {{"-t", Root(), "-f", "write", "-x", "64KB"}, "-x is an advanced setting"},
      {{"-t", Root(), "-f", "write", "--data-file", m_target.Path("x.hvx")}, "--data-file is an advanced setting"},
      {{"-t", Root()}, "Error: Select an I/O Function!"},
      {{"-t", Root(), "-f", "read", "-p", "G1"}, "Error: Invalid Data Pattern!"},
      {{"-f", "read"}, "Error: No Targets Selected!"},
  };
  for (const auto& [args, szMessage] : kCases) {
    CSimpleCli cli(args);
    EXPECT_EQ(cli.Wait(), 2) << szMessage;
    EXPECT_TRUE(Has(cli.Err(), szMessage)) << "expected \"" << szMessage << "\" in\n" << cli.Err();
    EXPECT_EQ(cli.Out(), "") << szMessage;
    EXPECT_TRUE(std::filesystem::is_empty(Root())) << szMessage;
  }
  CSimpleCli gone({"-t", m_target.Path("gone"), "-f", "both"});
  EXPECT_EQ(gone.Wait(), 2);
  EXPECT_TRUE(Has(gone.Err(), "Error: Directory Creation Error!")) << gone.Err();
}

}  // namespace
}  // namespace stratavon
