#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "run/TargetRecords.h"
#include "support/FrameWorker.h"
#include "support/LoopMount.h"
#include "support/RunFixture.h"
#include "support/Wait.h"

namespace stratavon {
namespace {

using namespace std::chrono_literals;
using test::CPassReadWorker;
using test::CPassWorker;
using test::CPassWriteWorker;
using test::CTempDir;
using test::Eventually;
using test::FileSize;
using test::MakeSettings;

class RecordsTest : public test::RunFixture {};

TEST_F(RecordsTest, BlockIsBuiltOnceWithASpareRecord) {
  CTempDir c, e;
  ASSERT_TRUE(BuildTargetRecords(FolderTargets({c.Root(), e.Root()})));
  ASSERT_NE(g_pTargetRecords, nullptr);
  TargetRunRecord* pBlock = g_pTargetRecords;
  EXPECT_EQ(g_nTargetRecords, 2);
  EXPECT_EQ(pBlock[0].target.szPath, c.Root());
  EXPECT_EQ(pBlock[1].target.szPath, e.Root());
  EXPECT_EQ(pBlock[2].target.szPath, "") << "the spare record stays unused";
  for (int s = 0; s < kSlotsPerTarget; ++s) {
    ASSERT_TRUE(pBlock[1].hEndEvent[s] && pBlock[1].hEndEvent[s]->IsSet());
    EXPECT_EQ(pBlock[1].entries[s].hFile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(pBlock[1].entries[s + kWriteEntryOffset].hFile, INVALID_HANDLE_VALUE);
  }
  HEVENT hKept = pBlock[0].hEndEvent[7];
  EXPECT_TRUE(BuildTargetRecords(FolderTargets({c.Root()}))) << "an existing block is kept";
  EXPECT_EQ(g_pTargetRecords, pBlock);
  EXPECT_EQ(g_pTargetRecords[0].hEndEvent[7], hKept);

  ReleaseTargetRecords();
  EXPECT_EQ(g_pTargetRecords, nullptr);
  EXPECT_FALSE(BuildTargetRecords({})) << "no targets, no block";
  EXPECT_EQ(g_pTargetRecords, nullptr);
}

TEST_F(RecordsTest, WorkDirectories) {
  CTempDir a, b;
  std::filesystem::create_directory(a.Path("READ"));
  std::string szFailed;
  EXPECT_EQ(CreateWorkDirectories(FolderTargets({a.Root(), b.Root()}), &szFailed), WorkDirectoryResult::kCreated)
      << "an existing READ directory does not stop a start";
  for (const CTempDir* p : {&a, &b}) {
    EXPECT_TRUE(std::filesystem::is_directory(p->Path("READ")));
    EXPECT_TRUE(std::filesystem::is_directory(p->Path("WRITE")));
  }

  const std::string szGone = a.Path("gone/");
  EXPECT_EQ(CreateWorkDirectories(FolderTargets({b.Root(), szGone}), &szFailed), WorkDirectoryResult::kPathNotFound);
  EXPECT_EQ(szFailed, szGone);

  // A long root is kept whole as long as its work files fit the path limit.
  std::string szDeep = b.Root();
  while (szDeep.size() < 3000) szDeep += std::string(200, 'd') + "/";
  std::filesystem::create_directories(szDeep);
  EXPECT_EQ(CreateWorkDirectories(FolderTargets({szDeep}), &szFailed), WorkDirectoryResult::kCreated);
  EXPECT_TRUE(std::filesystem::is_directory(szDeep + "WRITE"));
  const std::string szTooLong = szDeep + std::string(4096 - szDeep.size() - 10, 'x') + "/";
  EXPECT_EQ(CreateWorkDirectories(FolderTargets({szTooLong}), &szFailed), WorkDirectoryResult::kPathTooLong);
  EXPECT_EQ(szFailed, szTooLong);
}

TEST_F(RecordsTest, EmptyBlockWaitsOncePerRecord) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(4096, 4096, 0), 2));
  int nDispatched = 0;
  WaitForWorkers([&] { ++nDispatched; });
  EXPECT_EQ(nDispatched, 2);
}

// All 50 slots of two targets: reads in 0..24, writes in 25..49.
TEST_F(RecordsTest, FiftySlotsOnTwoTargetsRunAndStop) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(4096, 4096, MODE_ERROR_CHECKING | MODE_PERFORMANCE), 2));
  CPassWorker::s_nPasses = 0;
  CPassWorker::s_nWorkersPassed = 0;
  for (int t = 0; t < 2; ++t) {
    for (int n = 0; n < kMaxThreadsPerTarget; ++n) {
      LaunchWorker(t, n, CreateWorker<CPassReadWorker>, kWorkerReadAdvanced);
      LaunchWorker(t, kFirstWriteSlot + n, CreateWorker<CPassWriteWorker>, kWorkerWriteAdvanced);
    }
  }
  for (int t = 0; t < 2; ++t) {
    for (int s = 0; s < kSlotsPerTarget; ++s) EXPECT_NE(g_pTargetRecords[t].pWorker[s], nullptr) << t << "/" << s;
  }
  // The first target's workers can make hundreds of passes while the
  // second target's are still starting: wait until every slot has made one.
  ASSERT_TRUE(Eventually([] {
    return CPassWorker::s_nWorkersPassed.load() == 2 * kSlotsPerTarget && CPassWorker::s_nPasses.load() >= 500;
  }));
  StopAndWait();

  for (int t = 0; t < 2; ++t) {
    const TargetRunRecord& record = g_pTargetRecords[t];
    EXPECT_EQ(m_console.Cell(t, kColumnStatus), "STOP");
    for (int s = 0; s < kSlotsPerTarget; ++s) {
      EXPECT_TRUE(record.hEndEvent[s]->IsSet());
      EXPECT_FALSE(record.hThread[s]->IsActive());
      const bool bWrite = s >= kFirstWriteSlot;
      const SlotIoEntry& entry = record.entries[bWrite ? s + kWriteEntryOffset : s];
      EXPECT_EQ(entry.hFile, INVALID_HANDLE_VALUE);
      EXPECT_EQ(entry.pBuffer, nullptr);
      EXPECT_GT(entry.qwIos, 0u) << t << "/" << s;
      EXPECT_EQ(entry.qwBytes, entry.qwIos * 4096);
      EXPECT_GE(FileSize(WorkFileName(m_roots[t], bWrite, s)), 0) << s;
      // The side a slot does not use stays clear.
      EXPECT_EQ(record.entries[bWrite ? s : s + kWriteEntryOffset].qwIos, 0u);
    }
  }
  EXPECT_TRUE(Events().empty());
}

TEST_F(RecordsTest, StopWhileWorkersAreStillStarting) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(1 << 20, 1 << 20, MODE_ERROR_CHECKING), 2));
  for (int t = 0; t < 2; ++t) {
    for (int s = kFirstWriteSlot; s < kSlotsPerTarget; ++s) {
      LaunchWorker(t, s, CreateWorker<CPassWriteWorker>, kWorkerWriteAdvanced);
    }
  }
  StopAndWait();
  for (int t = 0; t < 2; ++t) {
    EXPECT_NE(m_console.Cell(t, kColumnStatus), "FAIL");
    for (int s = 0; s < kSlotsPerTarget; ++s) EXPECT_TRUE(g_pTargetRecords[t].hEndEvent[s]->IsSet());
  }
}

TEST_F(RecordsTest, OccupiedSlotIsSkippedAndRefusedWorkersLeaveItEmpty) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(4096, 4096, 0)));
  LaunchWorker(0, 25, CreateWorker<CPassWriteWorker>, kWorkerWriteAdvanced);
  CSlotWorker* pFirst = g_pTargetRecords[0].pWorker[25];
  HTHREAD hFirst = g_pTargetRecords[0].hThread[25];
  LaunchWorker(0, 25, CreateWorker<CPassWriteWorker>, kWorkerWriteAdvanced);
  EXPECT_EQ(g_pTargetRecords[0].pWorker[25], pFirst);
  EXPECT_EQ(g_pTargetRecords[0].hThread[25], hFirst);

  LaunchWorker(0, 26, [] { return static_cast<CSlotWorker*>(nullptr); }, kWorkerWriteAdvanced);
  EXPECT_EQ(g_pTargetRecords[0].pWorker[26], nullptr);
  EXPECT_TRUE(g_pTargetRecords[0].hEndEvent[26]->IsSet());
  EXPECT_EQ(g_pTargetRecords[0].workerKind[26], kWorkerNone);
  StopAndWait();
  EXPECT_FALSE(hFirst->IsActive());
}

TEST_F(RecordsTest, StartUpFailureEndsTheWorkerWithFailAndASignalledEnd) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(1000, 512, 0)));
  for (int s = kFirstWriteSlot; s < kFirstWriteSlot + 5; ++s) {
    LaunchWorker(0, s, CreateWorker<CPassWriteWorker>, kWorkerWriteAdvanced);
  }
  test::WorkersEnded();
  EXPECT_EQ(m_console.Cell(0, kColumnStatus), "FAIL");
  EXPECT_EQ(m_console.Cell(0, kColumnError), "INITIALIZATION");
  EXPECT_EQ(Events().size(), 5u);
  for (int s = kFirstWriteSlot; s < kFirstWriteSlot + 5; ++s) {
    EXPECT_FALSE(g_pTargetRecords[0].hThread[s]->IsActive());
    EXPECT_FALSE(g_pTargetRecords[0].hThread[s]->PostMessage({WM_START_IO, 0, 0})) << "a dead thread takes no mail";
  }
}

TEST_F(RecordsTest, UnpreparedWorkerStillSignalsItsEnd) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(4096, 4096, 0)));
  g_pTargetRecords[0].settings.pDialog = nullptr;
  LaunchWorker(0, 0, CreateWorker<CPassReadWorker>, kWorkerReadAdvanced);
  EXPECT_TRUE(g_pTargetRecords[0].hEndEvent[0]->Wait(30s));
  EXPECT_EQ(m_console.Cell(0, kColumnStatus), "");
}

// A worker that only polls its stop byte, to watch the stop protocol.
class CPollWorker : public CSlotWorker {
 public:
  static inline std::atomic<int> s_nActed{0};

 protected:
  bool InitInstance() override { return true; }
  void OnThreadMessage(const ThreadMessage& msg) override {
    if (msg.message != WM_START_IO) return;
    while (!StopRequested()) std::this_thread::sleep_for(1ms);
    ++s_nActed;
    EndThread(0);
  }
};

TEST_F(RecordsTest, HeldWorkerCannotActOnItsStopByteUntilReleased) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(4096, 4096, 0)));
  CPollWorker::s_nActed = 0;
  LaunchWorker(0, 0, CreateWorker<CPollWorker>, kWorkerReadAdvanced);
  LaunchWorker(0, 1, CreateWorker<CPollWorker>, kWorkerReadAdvanced);
  {
    CScopedLock lock(g_csRecords);
    SuspendWorkers();
    g_pTargetRecords[0].pWorker[0]->m_bStop = 1;
    // The worker sees its byte but must wait for the release.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(CPollWorker::s_nActed.load(), 0);
    EXPECT_TRUE(g_pTargetRecords[0].hThread[0]->IsActive());
    g_pTargetRecords[0].pWorker[1]->m_bStop = 1;
    ResumeWorkers();
  }
  test::WorkersEnded();
  EXPECT_EQ(CPollWorker::s_nActed.load(), 2);
  EXPECT_EQ(g_pTargetRecords[0].hThread[0]->ExitCode(), 0u);
}

TEST_F(RecordsTest, ResumeBringsEveryHeldThreadBackToZero) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(4096, 4096, 0)));
  LaunchWorker(0, 0, CreateWorker<CPollWorker>, kWorkerReadAdvanced);
  HTHREAD hThread = g_pTargetRecords[0].hThread[0];
  SuspendWorkers();
  SuspendWorkers();
  EXPECT_EQ(hThread->SuspendCount(), 2u);
  ResumeWorkers();
  EXPECT_EQ(hThread->SuspendCount(), 0u);
}

// Device-level refusals on real block devices.
class LoopDeviceTest : public test::RunFixture {
 protected:
  void SetUp() override {
    const std::string szWhy = test::CLoopMount::Unavailable();
    if (!szWhy.empty()) GTEST_SKIP() << szWhy;
  }

  void RunOneWorker(const std::string& szRoot, uint32_t dwBufferSize) {
    ASSERT_TRUE(Prepare({szRoot}, MakeSettings(dwBufferSize, dwBufferSize, 0)));
    LaunchWorker(0, kFirstWriteSlot, CreateWorker<CPassWriteWorker>, kWorkerWriteAdvanced);
    test::WorkersEnded();
  }
};

TEST_F(LoopDeviceTest, FourKibSectorsRefuseSmallerBuffers) {
  test::CLoopMount loop(16 << 20, 4096);
  ASSERT_TRUE(loop.Ok()) << loop.Error();
  RunOneWorker(loop.Root(), 2048);
  EXPECT_EQ(m_console.Cell(0, kColumnStatus), "FAIL");
  EXPECT_EQ(m_console.Cell(0, kColumnError), "INITIALIZATION");
  EXPECT_EQ(FileSize(loop.Root() + "WRITE/KORVA25.DAT"), -1) << "refused before the file is made";
}

TEST_F(LoopDeviceTest, FourKibSectorsAcceptWholeSectors) {
  test::CLoopMount loop(16 << 20, 4096);
  ASSERT_TRUE(loop.Ok()) << loop.Error();
  ASSERT_TRUE(Prepare({loop.Root()}, MakeSettings(8192, 8192, MODE_ERROR_CHECKING)));
  CPassWorker::s_nPasses = 0;
  LaunchWorker(0, kFirstWriteSlot, CreateWorker<CPassWriteWorker>, kWorkerWriteAdvanced);
  ASSERT_TRUE(Eventually([] { return CPassWorker::s_nPasses.load() >= 3; }));
  StopAndWait();
  EXPECT_EQ(m_console.Cell(0, kColumnStatus), "STOP");
}

TEST_F(LoopDeviceTest, BufferLargerThanTheFreeSpace) {
  test::CLoopMount loop(8 << 20, 512);
  ASSERT_TRUE(loop.Ok()) << loop.Error();
  // Leave well under 1 MiB free.
  const std::string szFiller = loop.Root() + "filler";
  std::FILE* pFiller = std::fopen(szFiller.c_str(), "wb");
  ASSERT_NE(pFiller, nullptr);
  std::vector<char> chunk(64 << 10, 'f');
  while (std::fwrite(chunk.data(), 1, chunk.size(), pFiller) == chunk.size()) {
  }
  std::fclose(pFiller);
  RunOneWorker(loop.Root(), 1 << 20);
  EXPECT_EQ(m_console.Cell(0, kColumnStatus), "FAIL");
  EXPECT_EQ(m_console.Cell(0, kColumnError), "DISK SPACE");
  std::vector<EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].eventId, 0xC000010Du);
}

TEST_F(LoopDeviceTest, ReadOnlyTargetFailsAtStartUp) {
  test::CLoopMount loop(8 << 20, 512);
  ASSERT_TRUE(loop.Ok()) << loop.Error();
  ASSERT_TRUE(Prepare({loop.Root()}, MakeSettings(4096, 4096, 0)));
  ASSERT_EQ(system(("mount -o remount,ro " + loop.Root()).c_str()), 0);
  LaunchWorker(0, kFirstWriteSlot, CreateWorker<CPassWriteWorker>, kWorkerWriteAdvanced);
  test::WorkersEnded();
  EXPECT_EQ(m_console.Cell(0, kColumnStatus), "FAIL");
  EXPECT_EQ(m_console.Cell(0, kColumnError), "INITIALIZATION");
}

}  // namespace
}  // namespace stratavon
