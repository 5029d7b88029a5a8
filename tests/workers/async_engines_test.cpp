#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>

#include "run/TargetRecords.h"
#include "workers/AsyncEngines.h"
#include "engine/IoError.h"
#include "engine/Pattern.h"
#include "engine/StampedScan.h"
#include "support/FaultFs.h"
#include "support/RunFixture.h"
#include "support/SlotFixture.h"
#include "support/Wait.h"

namespace stratavon {
namespace {

using namespace std::chrono_literals;
using test::Eventually;
using test::Throughout;
using test::FileSize;
using test::MakeSettings;
using test::ReadWholeFile;

constexpr uint32_t kAsync = MODE_ASYNC;

// Engines with a short batch time-out, to reach the time-out path.
constexpr auto kQuickTimeout = 300ms;
class CQuickReader : public CReadAdvancedAsyncClass {
 public:
  CQuickReader() : CReadAdvancedAsyncClass(kQuickTimeout) {}
};
class CQuickWriter : public CWriteAdvancedAsyncClass {
 public:
  CQuickWriter() : CWriteAdvancedAsyncClass(kQuickTimeout) {}
};

// Remembers every status word a row was given, in order.
class CHistoryConsole : public CConsoleTable {
 public:
  void SetTargetText(int nRow, int nColumn, const std::string& szText) override {
    if (nColumn == kColumnStatus) {
      std::lock_guard lock(m_mutex);
      m_history.push_back(szText);
    }
    CConsoleTable::SetTargetText(nRow, nColumn, szText);
  }
  std::vector<std::string> History() {
    std::lock_guard lock(m_mutex);
    return m_history;
  }

 private:
  std::mutex m_mutex;
  std::vector<std::string> m_history;
};

// Every case runs on both queue backends.
class AsyncEngineTest : public test::SlotFixture, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override { setenv("STRATAVON_IO_BACKEND", GetParam(), 1); }
  void TearDown() override {
    RunFixture::TearDown();
    unsetenv("STRATAVON_IO_BACKEND");
    g_nPatternKind = kPatternByte;
  }

  void Launch(bool bWrite, WorkerFactory pfnCreate = nullptr) {
    if (pfnCreate == nullptr) {
      pfnCreate = bWrite ? CreateWorker<CWriteAdvancedAsyncClass> : CreateWorker<CReadAdvancedAsyncClass>;
    }
    LaunchIn(bWrite, pfnCreate, bWrite ? kWorkerWriteAdvancedAsync : kWorkerReadAdvancedAsync);
  }
};

TEST_P(AsyncEngineTest, EveryVariantStopsWithItsExitCode) {
  constexpr uint32_t kBuffer = 64 << 10;
  for (bool bWrite : {false, true}) {
    for (uint32_t dwMode = kAsync; dwMode <= (kAsync | 3); ++dwMode) {
      for (bool bWhole : {true, false}) {
        SCOPED_TRACE(testing::Message() << (bWrite ? "write" : "read") << " mode " << dwMode
                                        << (bWhole ? " whole" : " piecewise"));
        ASSERT_TRUE(PrepareTemporary(MakeSettings(kBuffer, bWhole ? kBuffer : kBuffer / 4, dwMode, FUNCTION_WRITE, 4)));
        Launch(bWrite);
        ASSERT_TRUE(Eventually([&] {
          // The file is laid out at its size from the start: its last byte
          // turns from zero to the pattern once the first cycle is through.
          if (dwMode & MODE_PERFORMANCE) return Ios() >= 64;
          const std::string szFile = ReadWholeFile(FileName());
          return szFile.size() == 4 * kBuffer && szFile.back() == '\xAA' && Status() == "RUN";
        }));
        StopAndWait();
        EXPECT_EQ(ExitCode(), (bWrite ? 53u : 43u) + 2 * (dwMode - kAsync) + (bWhole ? 0 : 1));
        EXPECT_EQ(Status(), "STOP") << Error();
        EXPECT_EQ(FileSize(FileName()), 4 * kBuffer);
        EXPECT_TRUE(Events().empty());
        RunFixture::TearDown();
      }
    }
  }
}

TEST_P(AsyncEngineTest, DepthSixtyFourIsTheLimit) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(4096, 4096, kAsync | MODE_PERFORMANCE, FUNCTION_WRITE, 64)));
  Launch(true);
  ASSERT_TRUE(Eventually([&] { return Ios() >= 128; }));
  EXPECT_EQ(Ios() % 64, 0u);
  StopAndWait();
  EXPECT_EQ(Status(), "STOP");
  RunFixture::TearDown();

  ASSERT_TRUE(PrepareTemporary(MakeSettings(4096, 4096, kAsync, FUNCTION_WRITE, 65)));
  Launch(true);
  WaitEnded();
  EXPECT_EQ(Status(), "FAIL");
  EXPECT_EQ(Error(), "MAX QUEUE DEPTH");
  EXPECT_EQ(m_console.ExtendedText(), "MAX QUEUE DEPTH EXCEEDED");
  EXPECT_TRUE(Events().empty()) << "this failure writes no entry";
  EXPECT_EQ(FileSize(FileName()), -1) << "refused before the file is made";
}

// Counting happens once per batch; a verifying piecewise write cycle is
// 2 x P batches and cannot be cut.
TEST_P(AsyncEngineTest, CountersHoldWholeBatchesAndCycles) {
  struct Case {
    bool bWrite;
    uint32_t dwBuffer, dwTransfer, dwMode, dwDepth;
    uint64_t qwIosPerUnit;
  } cases[] = {
      {true, 64 << 10, 32 << 10, kAsync | 3, 4, 2 * 2 * 4},
      {true, 64 << 10, 64 << 10, kAsync | 3, 8, 2 * 8},
      {true, 64 << 10, 16 << 10, kAsync | MODE_PERFORMANCE, 3, 3},
      {false, 64 << 10, 16 << 10, kAsync | 3, 5, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.bWrite ? "write " : "read ") << c.dwBuffer << "/" << c.dwTransfer);
    ASSERT_TRUE(PrepareTemporary(MakeSettings(c.dwBuffer, c.dwTransfer, c.dwMode, FUNCTION_WRITE, c.dwDepth)));
    Launch(c.bWrite);
    ASSERT_TRUE(Eventually([&] { return Ios() >= 4 * c.qwIosPerUnit; }));
    StopAndWait();
    EXPECT_EQ(Status(), "STOP");
    EXPECT_EQ(Entry().qwIos % c.qwIosPerUnit, 0u) << Entry().qwIos;
    EXPECT_EQ(Entry().qwBytes, Entry().qwIos * c.dwTransfer);
    RunFixture::TearDown();
  }
}

TEST_P(AsyncEngineTest, StopBeforeTheStartMessageStillFillsTheFile) {
  CHistoryConsole console;
  console.Resize(1);
  ASSERT_TRUE(PrepareTemporary(MakeSettings(64 << 10, 64 << 10, kAsync | 3, FUNCTION_READ, 8)));
  g_pTargetRecords[0].settings.pDialog = &console;
  // The launch, with the stop byte set before the worker runs at all.
  CSlotWorker* pWorker = CreateWorker<CReadAdvancedAsyncClass>();
  ASSERT_TRUE(pWorker->CreateSuspended());
  TargetRunRecord& record = g_pTargetRecords[0];
  record.pWorker[0] = pWorker;
  record.hEndEvent[0]->Reset();
  pWorker->m_nTarget = 0;
  pWorker->m_nSlot = 0;
  pWorker->m_hEndEvent = record.hEndEvent[0];
  pWorker->m_bStop = 1;
  record.workerKind[0] = kWorkerReadAdvancedAsync;
  record.hThread[0] = pWorker->Handle();
  record.hThread[0]->Resume();
  record.hThread[0]->PostMessage({WM_START_IO, 0, 0});
  test::WorkersEnded();
  m_bWrite = false;
  m_nSlot = 0;
  EXPECT_EQ(console.History(), (std::vector<std::string>{"INIT", "RUN", "STOP"}));
  EXPECT_EQ(FileSize(FileName()), 8 * (64 << 10)) << "the initial fill ran";
  EXPECT_EQ(Entry().qwIos, 0u) << "the fill is never counted";
  EXPECT_EQ(ExitCode(), 49u);
}

// --passes: the walk ends where the last pass does, part way through a
// batch where the span is no multiple of the depth, and the worker ends on
// its own, counted for those passes and recorded as having written the last
// one whole.
TEST_P(AsyncEngineTest, PassesEndTheWorkerAfterWholePassesOfItsSpan) {
  g_bStampedPattern = true;
  g_qwStampRunId = NewStampRunId();
  constexpr uint32_t kBuffer = 16 << 10;
  constexpr uint64_t kRegions = 10;  // depth 4: every third batch of a pass is part of one
  constexpr uint32_t kPasses = 3;
  struct Case {
    bool bWrite;
    uint32_t dwTransfer, dwMode;
    bool bKeepDepth;
    uint64_t qwIosPerPass;
  } cases[] = {
      {true, kBuffer, kAsync | 3, false, kRegions * 2},         // each region written, read back
      {true, kBuffer / 4, kAsync | 3, false, kRegions * 4 * 2},
      {true, kBuffer, kAsync | MODE_PERFORMANCE, true, kRegions},
      {true, kBuffer / 4, kAsync | 3, true, kRegions * 4 * 2},
      {false, kBuffer, kAsync | 3, false, kRegions},
      {false, kBuffer / 4, kAsync | MODE_PERFORMANCE, true, kRegions * 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.bWrite ? "write " : "read ") << c.dwTransfer << " mode " << c.dwMode
                                    << (c.bKeepDepth ? " kept full" : " batches"));
    RunSettings settings = MakeSettings(kBuffer, c.dwTransfer, c.dwMode, FUNCTION_WRITE, 4);
    settings.qwSpanBytes = kRegions * kBuffer;
    settings.dwPasses = kPasses;
    settings.bKeepDepth = c.bKeepDepth;
    ASSERT_TRUE(PrepareTemporary(settings));
    Launch(c.bWrite);
    WaitEnded();
    EXPECT_EQ(Status(), "STOP") << Error();
    EXPECT_EQ(Ios(), kPasses * c.qwIosPerPass);
    if (c.bWrite) {
      StampRecord record;
      ASSERT_TRUE(FindStampRecord(FileName(), &record));
      EXPECT_EQ(record.dwPass, kPasses);
      EXPECT_EQ(record.qwPassEnd, 0u) << "the last pass is whole";
      EXPECT_TRUE(ScanStampedFile(FileName(), record.dwPass, &record).Good());
    }
    RunFixture::TearDown();
  }
  g_bStampedPattern = false;
}

INSTANTIATE_TEST_SUITE_P(Backends, AsyncEngineTest, ::testing::Values("uring", "threads"),
                         [](const auto& info) { return std::string(info.param); });

// Failures injected below the queue, on both backends.
class AsyncFaultTest : public test::FaultFsFixture<AsyncEngineTest> {
 protected:
  bool PrepareOnFaultFs(uint32_t dwBuffer, uint32_t dwTransfer, uint32_t dwMode, uint32_t dwDepth) {
    return Prepare({m_fs.Root()}, MakeSettings(dwBuffer, dwTransfer, dwMode, FUNCTION_WRITE, dwDepth));
  }
  std::string Stored() const {
    return ReadWholeFile(m_fs.Backing() + (m_bWrite ? "WRITE/KORVA" : "READ/KORVA") + std::to_string(m_nSlot) +
                         ".DAT");
  }
};

TEST_P(AsyncFaultTest, FailedCompletionIsAnApiErrorWithTheRegionStamped) {
  constexpr uint32_t kBuffer = 64 << 10;
  ASSERT_TRUE(PrepareOnFaultFs(kBuffer, kBuffer, kAsync | MODE_ERROR_CHECKING, 4));
  // Region 2 fails on its third read.
  ASSERT_GE(m_fs.Arm(FaultRule::Error("KORVA0.DAT", FaultRule::EOp::Read, 2 * kBuffer, kBuffer, EIO).Skip(2)), 0);
  Launch(false);
  WaitEnded();
  EXPECT_EQ(ExitCode(), 45u);
  EXPECT_EQ(Error(), "READ API");
  EXPECT_EQ(m_console.ExtendedText(), "READ API ERROR");
  const std::string szStored = Stored();
  ASSERT_EQ(szStored.size(), 4 * kBuffer);
  EXPECT_EQ(szStored.substr(2 * kBuffer, kStampBytes), std::string(kApiStamp, kStampBytes));
  EXPECT_NE(szStored.substr(0, kStampBytes), std::string(kApiStamp, kStampBytes));
  std::vector<EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].strings[0], "READ");
}

TEST_P(AsyncFaultTest, FailedWriteIsAWriteApiError) {
  constexpr uint32_t kBuffer = 64 << 10;
  ASSERT_TRUE(PrepareOnFaultFs(kBuffer, kBuffer, kAsync | MODE_ERROR_CHECKING, 4));
  ASSERT_GE(m_fs.Arm(FaultRule::Error("KORVA25.DAT", FaultRule::EOp::Write, kBuffer, kBuffer, ENOSPC).Skip(1)), 0);
  Launch(true);
  WaitEnded();
  EXPECT_EQ(ExitCode(), 55u);
  EXPECT_EQ(Error(), "WRITE API");
  EXPECT_EQ(m_console.ExtendedText(), "WRITE API ERROR");
}

TEST_P(AsyncFaultTest, ShortReadIsAnUnderrun) {
  constexpr uint32_t kBuffer = 64 << 10;
  ASSERT_TRUE(PrepareOnFaultFs(kBuffer, kBuffer / 2, kAsync | 3, 2));
  ASSERT_GE(m_fs.Arm(FaultRule::Short("KORVA0.DAT", FaultRule::EOp::Read, kBuffer, 1, 4096).Skip(3)), 0);
  Launch(false);
  WaitEnded();
  EXPECT_EQ(ExitCode(), 50u);
  EXPECT_EQ(Error(), "UNDERRUN/OVERRUN");
}

// Corruption in request k's region is reported with request k, and the
// stamp goes where request k's offset points at that moment.
TEST_P(AsyncFaultTest, DataComparisonStampsTheFailingRequestsRegion) {
  struct Case {
    bool bWrite;
    uint32_t dwBuffer;
    uint32_t dwTransfer;
    uint32_t dwExit;
  } cases[] = {
      {false, 64 << 10, 64 << 10, 45}, {false, 64 << 10, 16 << 10, 46}, {true, 64 << 10, 64 << 10, 55},
      {true, 64 << 10, 32 << 10, 56},
      // Buffers this large are checked while the rest of their batch still moves.
      {false, 256 << 10, 256 << 10, 45}, {true, 256 << 10, 256 << 10, 55}, {false, 256 << 10, 64 << 10, 46},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.bWrite ? "write " : "read ") << c.dwBuffer << "/" << c.dwTransfer);
    ASSERT_TRUE(m_fs.ClearRules());
    ASSERT_TRUE(PrepareOnFaultFs(c.dwBuffer, c.dwTransfer, kAsync | MODE_ERROR_CHECKING, 4));
    const std::string szName = c.bWrite ? "KORVA25.DAT" : "KORVA0.DAT";
    // Region 3, one word in its first piece.
    ASSERT_GE(m_fs.Arm(FaultRule::Corrupt(szName, FaultRule::EOp::Read, 3 * c.dwBuffer + 64, 4).Skip(2)), 0);
    Launch(c.bWrite);
    WaitEnded();
    EXPECT_EQ(ExitCode(), c.dwExit);
    EXPECT_EQ(Error(), "DATA COMPARISON");
    // Every request has finished its region when it is checked, so its
    // offset points at piece 0 of its region again.
    const std::string szStored = Stored();
    ASSERT_EQ(szStored.size(), 4 * c.dwBuffer);
    EXPECT_EQ(szStored.substr(3 * c.dwBuffer, kStampBytes), std::string(kCrcStamp, kStampBytes));
    for (uint32_t nRegion : {0u, 1u, 2u}) {
      EXPECT_NE(szStored.substr(nRegion * c.dwBuffer, kStampBytes), std::string(kCrcStamp, kStampBytes)) << nRegion;
    }
    std::vector<EventRecord> events = Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().strings[3], "1");
    RunFixture::TearDown();
  }
}

TEST_P(AsyncFaultTest, StalledRequestTimesOutInAVerifyingRun) {
  ASSERT_TRUE(PrepareOnFaultFs(64 << 10, 64 << 10, kAsync | MODE_ERROR_CHECKING, 4));
  // Let the fill pass, then hold region 1's reads until the rule goes.
  ASSERT_GE(m_fs.Arm(FaultRule::Stall("KORVA0.DAT", FaultRule::EOp::Read, 64 << 10, 1, 0).Skip(1)), 0);
  Launch(false, CreateWorker<CQuickReader>);
  ASSERT_TRUE(Eventually([&] { return Error() == "I/O TIMEOUT"; }));
  // A read the kernel cannot withdraw does not hold the worker: it ends
  // while the read is still stalled, leaving its buffers to the process.
  WaitEnded();
  EXPECT_EQ(ExitCode(), 45u);
  std::vector<EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].eventId, 0xC000010Fu);
  EXPECT_EQ(events[0].strings, std::vector<std::string>{FileName()});
}

TEST_P(AsyncFaultTest, CountingRunWaitsOutAStallAndStopsOnRequest) {
  ASSERT_TRUE(PrepareOnFaultFs(64 << 10, 64 << 10, kAsync | MODE_PERFORMANCE, 4));
  const int nRule = m_fs.Arm(FaultRule::Stall("KORVA25.DAT", FaultRule::EOp::Write, 0, 0, 0).Skip(8));
  ASSERT_GE(nRule, 0);
  Launch(true, CreateWorker<CQuickWriter>);
  ASSERT_TRUE(Eventually([&] { return m_fs.Hits(nRule) >= 1 && m_fs.Hits(nRule) != UINT64_MAX; }));
  ASSERT_TRUE(Eventually([&] { return TargetIoErrors(0).qwCalls != 0 || Ended(); })) << "the time-out passed";
  EXPECT_EQ(TargetIoErrors(0).nFirstKind, kErrorIoTimeout) << "the stall is not forgotten";
  // Counted once, the stall is waited out past further time-outs.
  EXPECT_TRUE(Throughout([&] { return !Ended(); }, 2 * kQuickTimeout)) << "a counting run waits on";
  EXPECT_EQ(Status(), "RUN") << "a counting run reports nothing";
  EXPECT_EQ(Ios(), 8u) << "two whole batches, the stalled one not counted";
  EXPECT_EQ(TargetIoErrors(0).qwCalls, 1u) << "one stalled batch, one failed call";
  StopWorkers();
  m_fs.ClearRules();
  WaitEnded();
  EXPECT_EQ(Status(), "STOP");
  EXPECT_EQ(ExitCode(), 57u);
  EXPECT_TRUE(Events().empty());
}

// Without Error Checking the load goes on past failed requests, but every
// one is counted as failed and none as moved.
TEST_P(AsyncFaultTest, FailedRequestsOfAnUncheckedRunAreCountedAsFailures) {
  constexpr uint32_t kBuffer = 64 << 10;
  ASSERT_TRUE(PrepareOnFaultFs(kBuffer, kBuffer, kAsync | MODE_PERFORMANCE, 4));
  const int nRule = m_fs.Arm(FaultRule::Error("KORVA0.DAT", FaultRule::EOp::Read, kBuffer, kBuffer, EIO));
  ASSERT_GE(nRule, 0);
  Launch(false);
  ASSERT_TRUE(Eventually([&] { return m_fs.Hits(nRule) >= 3 && m_fs.Hits(nRule) != UINT64_MAX; }))
      << "three failed reads of region 1";
  StopWorkers();
  WaitEnded();
  EXPECT_EQ(Status(), "STOP");
  const IoErrorTally tally = TargetIoErrors(0);
  EXPECT_EQ(tally.qwCalls, m_fs.Hits(nRule));
  EXPECT_EQ(FirstIoErrorText(tally), "Input/output error");
  EXPECT_EQ(Ios(), 3 * tally.qwCalls) << "three good requests a batch";
}

INSTANTIATE_TEST_SUITE_P(Backends, AsyncFaultTest, ::testing::Values("uring", "threads"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace stratavon
