#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/FaultFs.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace stratavon {
namespace {

using namespace std::chrono_literals;
using test::CChildProcess;
using test::CTempDir;

// Three ranks of stratavon-mpi on this one machine.
class MpiRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v mpirun >/dev/null 2>&1") != 0) GTEST_SKIP() << "mpirun is not installed";
    // One machine, maybe a container: no remote shell, shared memory
    // without cross-process copies.
    setenv("OMPI_MCA_plm_rsh_agent", "", 1);
    setenv("OMPI_MCA_btl", "self,vader", 1);
    setenv("OMPI_MCA_btl_vader_single_copy_mechanism", "none", 1);
  }
  void TearDown() override { unsetenv("OMPI_MCA_orte_enable_recovery"); }

  std::unique_ptr<CChildProcess> Start(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"mpirun", "--oversubscribe", "--allow-run-as-root", "-n", "3", STRATAVON_MPI_PATH,
                                  "run"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto pProcess = std::make_unique<CChildProcess>(argv);
    EXPECT_TRUE(pProcess->Started());
    return pProcess;
  }

  // The process of a rank: a child of mpirun that MPI gave that rank.
  static pid_t RankPid(pid_t nMpirun, int nRank) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string szPid = entry.path().filename();
      if (szPid.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string szStat = test::ReadWholeFile("/proc/" + szPid + "/stat");
      const size_t nParen = szStat.rfind(')');
      if (nParen == std::string::npos || std::atoi(szStat.c_str() + szStat.find(' ', nParen + 2)) != nMpirun) continue;
      const std::string szEnviron = test::ReadWholeFile("/proc/" + szPid + "/environ");
      if (szEnviron.find(std::string("OMPI_COMM_WORLD_RANK=") + std::to_string(nRank) + '\0') != std::string::npos) {
        return std::stoi(szPid);
      }
    }
    return -1;
  }

  test::CStateHome m_home;
  CTempDir m_base;
};

std::vector<uint64_t> Numbers(const std::string& szText, const std::string& szKey) {
  std::vector<uint64_t> numbers;
  const std::regex field("\"" + szKey + "\": ([0-9]+)");
  for (auto it = std::sregex_iterator(szText.begin(), szText.end(), field); it != std::sregex_iterator(); ++it) {
    numbers.push_back(std::stoull((*it)[1]));
  }
  return numbers;
}

bool HasEntries(const std::string& szFolder) {
  return std::filesystem::exists(szFolder) && !std::filesystem::is_empty(szFolder);
}

TEST_F(MpiRunTest, ThreeRanksOnThreeFoldersGiveOneVerdictWhoseTotalsAreTheirSum) {
  auto pRun = Start({"-t", m_base.Root() + "{rank}", "-f", "write", "-P", "-e", "-x", "64KB", "-d", "2", "--json"});
  ASSERT_EQ(pRun->Wait(60s), 0) << pRun->Out() << pRun->Err();
  const std::string szOut = pRun->Out();
  EXPECT_EQ(std::count(szOut.begin(), szOut.end(), '\n'), 1) << "one JSON object and nothing else: " << szOut;
  EXPECT_NE(szOut.find("\"verdict\": \"PASS\""), std::string::npos) << szOut;
  // The totals come first, then each rank's figures and its target's.
  const std::vector<uint64_t> bytes = Numbers(szOut, "bytes");
  const std::vector<uint64_t> ranks = Numbers(szOut, "rank");
  ASSERT_EQ(bytes.size(), 4u) << szOut;
  ASSERT_EQ(ranks, (std::vector<uint64_t>{0, 1, 2})) << szOut;
  EXPECT_EQ(bytes[0], bytes[1] + bytes[2] + bytes[3]) << szOut;
  const std::vector<uint64_t> ios = Numbers(szOut, "ios");
  EXPECT_EQ(ios[0], ios[1] + ios[2] + ios[3]) << szOut;
  for (int r = 0; r < 3; ++r) {
    EXPECT_GT(bytes[static_cast<size_t>(r) + 1], 0u) << "rank " << r << " moved nothing: " << szOut;
    EXPECT_TRUE(HasEntries(m_base.Path(std::to_string(r) + "/WRITE"))) << "rank " << r << " wrote elsewhere";
  }
}

TEST_F(MpiRunTest, ARefusalOnOneRankRefusesEveryRankBeforeAnyFileIsMade) {
  // Ranks 0 and 1 find their parent folders; rank 2 does not.
  std::filesystem::create_directory(m_base.Path("p0"));
  std::filesystem::create_directory(m_base.Path("p1"));
  auto pRun = Start({"-t", m_base.Root() + "p{rank}/t", "-f", "write", "-P", "--json"});
  ASSERT_EQ(pRun->Wait(60s), 2) << pRun->Out() << pRun->Err();
  EXPECT_NE(pRun->Out().find("\"verdict\": \"REFUSED\""), std::string::npos) << pRun->Out();
  EXPECT_NE(pRun->Out().find("rank 2 on "), std::string::npos) << "the refusing rank is named: " << pRun->Out();
  EXPECT_FALSE(HasEntries(m_base.Path("p0")) || HasEntries(m_base.Path("p1"))) << "a refused run touched a target";
}

TEST_F(MpiRunTest, AFaultUnderOneRankFailsTheRunAndNamesThatRank) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  ASSERT_GE(fs.Arm(FaultRule::Error(".DAT", FaultRule::EOp::Write, 0, 0, EIO).Skip(4).Times(1)), 0) << fs.LastError();
  std::filesystem::create_directory_symlink(fs.Root(), m_base.Path("1"));
  auto pRun = Start({"-t", m_base.Root() + "{rank}", "-f", "write", "-P", "-e", "-x", "64KB", "-d", "3"});
  ASSERT_EQ(pRun->Wait(60s), 1) << pRun->Out() << pRun->Err();
  const std::string szOut = pRun->Out();
  const size_t nVerdict = szOut.rfind("verdict: FAIL");
  ASSERT_NE(nVerdict, std::string::npos) << szOut;
  const std::string szVerdict = szOut.substr(nVerdict);
  EXPECT_NE(szVerdict.find("rank 1 on "), std::string::npos) << szVerdict;
  EXPECT_EQ(szVerdict.find("rank 0 on "), std::string::npos) << szVerdict;
  EXPECT_NE(szVerdict.find(m_home.EventLog()), std::string::npos) << "where to look: " << szVerdict;
}

TEST_F(MpiRunTest, InterruptAtRankZeroStopsEveryRankWhichKeepsItsFolder) {
  // One shared folder: each rank works in its own folder below it.
  auto pRun = Start({"-t", m_base.Root(), "-f", "write", "-P", "-x", "64KB"});
  ASSERT_TRUE(test::Eventually([&] { return pRun->Out().find("all 3 rank(s)") != std::string::npos; }, 60s))
      << "no live view of all ranks: " << pRun->Out() << pRun->Err();
  ASSERT_EQ(kill(RankPid(pRun->Pid(), 0), SIGINT), 0);
  ASSERT_EQ(pRun->Wait(60s), 0) << pRun->Out() << pRun->Err();
  const std::string szOut = pRun->Out();
  EXPECT_NE(szOut.find("verdict: PASS, no worker on any rank failed (stopped by SIGINT)"), std::string::npos) << szOut;
  for (int r = 0; r < 3; ++r) {
    EXPECT_NE(szOut.find("result: " + m_base.Root() + "rank" + std::to_string(r) + "/  STOP"), std::string::npos)
        << szOut;
  }
}

TEST_F(MpiRunTest, AKilledRankIsNamedAndTheOthersKeepTheirResults) {
  // Without it Open MPI ends the whole job when a rank dies (and with it,
  // mpirun's own exit status is always 0: the verdict is in the output).
  setenv("OMPI_MCA_orte_enable_recovery", "1", 1);
  auto pRun = Start({"-t", m_base.Root() + "{rank}", "-f", "write", "-P", "-x", "64KB", "-d", "60"});
  ASSERT_TRUE(test::Eventually([&] { return pRun->Out().find("all 3 rank(s)") != std::string::npos; }, 60s))
      << "no live view of all ranks: " << pRun->Out() << pRun->Err();
  ASSERT_EQ(kill(RankPid(pRun->Pid(), 1), SIGKILL), 0);
  ASSERT_NE(pRun->Wait(60s), -1) << "the run did not end: " << pRun->Out() << pRun->Err();
  const std::string szOut = pRun->Out();
  EXPECT_TRUE(std::regex_search(szOut, std::regex("verdict: FAIL, rank 1 on \\S+ lost"))) << szOut;
  for (int r : {0, 2}) {
    EXPECT_TRUE(std::regex_search(szOut, std::regex("result: " + m_base.Root() + std::to_string(r) +
                                                    "/  STOP  NONE  [1-9][0-9]* bytes")))
        << "rank " << r << " lost its result: " << szOut;
  }
}

// A rank whose worker process hangs in the kernel, console and all, still
// joins the verdict through its supervisor, named with the stuck process;
// the others are not held up by it.
TEST_F(MpiRunTest, ARankStuckInTheKernelIsNamedInTheOneVerdict) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  const int nStall = fs.Arm(FaultRule::Stall("KORVA0.DAT", FaultRule::EOp::Read, 0, 0, 0).Skip(2));
  ASSERT_GE(nStall, 0) << fs.LastError();
  std::filesystem::create_directory_symlink(fs.Root(), m_base.Path("1"));
  auto pRun = Start({"-t", m_base.Root() + "{rank}", "-f", "read", "-e", "-P", "-x", "64KB", "-b", "1MB", "-d", "4",
                     "--io-timeout", "3"});
  ASSERT_TRUE(test::Eventually([&] { return fs.Hits(nStall) == 1; }, 60s)) << pRun->Out() << pRun->Err();
  const pid_t nRank = RankPid(pRun->Pid(), 1);
  ASSERT_GT(nRank, 0);
  std::ifstream children("/proc/" + std::to_string(nRank) + "/task/" + std::to_string(nRank) + "/children");
  pid_t nWorkers = -1;
  children >> nWorkers;
  ASSERT_GT(nWorkers, 0);
  ASSERT_EQ(kill(nWorkers, SIGSTOP), 0);
  EXPECT_EQ(pRun->Wait(90s), 1) << pRun->Out() << pRun->Err();
  const std::string szOut = pRun->Out();
  EXPECT_TRUE(std::regex_search(szOut, std::regex("verdict: FAIL.*rank 1 on "))) << szOut;
  EXPECT_NE(szOut.find("a worker process is stuck in the kernel: pid " + std::to_string(nWorkers)), std::string::npos)
      << szOut;
  EXPECT_TRUE(std::regex_search(szOut, std::regex("result: " + m_base.Root() + "0/  STOP  NONE  [1-9][0-9]* bytes")))
      << "rank 0 kept its result: " << szOut;
  ASSERT_TRUE(fs.ClearRules());
}

}  // namespace
}  // namespace stratavon
