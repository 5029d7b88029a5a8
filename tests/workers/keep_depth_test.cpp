#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>

#include "engine/IoError.h"
#include "engine/Pattern.h"
#include "engine/StampedScan.h"
#include "run/TargetRecords.h"
#include "workers/AsyncEngines.h"
#include "workers/WorkerClasses.h"
#include "support/FaultFs.h"
#include "support/RunFixture.h"
#include "support/SlotFixture.h"
#include "support/Wait.h"

namespace stratavon {
namespace {

using test::Eventually;
using test::MakeSettings;
using test::ReadWholeFile;

constexpr uint32_t kAsync = MODE_ASYNC;

// The kept-full queue on both backends: the same exit codes, counts, file
// contents and verdicts as the batch, each completion judged as it arrives.
class KeepDepthTest : public test::SlotFixture, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override { setenv("STRATAVON_IO_BACKEND", GetParam(), 1); }
  void TearDown() override {
    RunFixture::TearDown();
    unsetenv("STRATAVON_IO_BACKEND");
    g_bStampedPattern = false;
  }
  RunSettings KeepDepth(RunSettings settings) {
    settings.bKeepDepth = true;
    return settings;
  }
  void Launch(bool bWrite) {
    LaunchIn(bWrite, bWrite ? CreateWorker<CWriteAdvancedAsyncClass> : CreateWorker<CReadAdvancedAsyncClass>,
             bWrite ? kWorkerWriteAdvancedAsync : kWorkerReadAdvancedAsync);
  }
};

TEST_P(KeepDepthTest, CountsFilesAndExitCodesAreTheBatchShapes) {
  struct Case {
    bool bWrite;
    uint32_t dwBuffer, dwTransfer, dwMode, dwDepth;
    uint64_t qwIosPerUnit;  // a stop leaves whole multiples of this (0: any count)
  } cases[] = {
      {true, 64 << 10, 32 << 10, kAsync | 3, 4, 2 * 2 * 4},  // write, read back, check; level at a stop
      {true, 64 << 10, 64 << 10, kAsync | 3, 8, 2 * 8},
      {true, 64 << 10, 16 << 10, kAsync | MODE_PERFORMANCE, 3, 0},
      {false, 64 << 10, 16 << 10, kAsync | 3, 5, 4},  // every region read whole before the stop
      {false, 256 << 10, 256 << 10, kAsync | 3, 4, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.bWrite ? "write " : "read ") << c.dwBuffer << "/" << c.dwTransfer
                                    << " mode " << c.dwMode);
    ASSERT_TRUE(PrepareTemporary(KeepDepth(MakeSettings(c.dwBuffer, c.dwTransfer, c.dwMode, FUNCTION_WRITE, c.dwDepth))));
    Launch(c.bWrite);
    ASSERT_TRUE(Eventually([&] { return Ios() >= 64; }));
    StopAndWait();
    EXPECT_EQ(Status(), "STOP") << Error();
    const bool bPiecewise = c.dwBuffer != c.dwTransfer;
    EXPECT_EQ(ExitCode(), (c.bWrite ? 53u : 43u) + 2 * (c.dwMode - kAsync) + (bPiecewise ? 1 : 0));
    if (c.qwIosPerUnit != 0) {
      EXPECT_EQ(Entry().qwIos % c.qwIosPerUnit, 0u) << Entry().qwIos;
    }
    EXPECT_EQ(Entry().qwBytes, Entry().qwIos * c.dwTransfer);
    const std::string szFile = ReadWholeFile(FileName());
    EXPECT_EQ(szFile.size(), uint64_t{c.dwDepth} * c.dwBuffer);
    EXPECT_EQ(std::count(szFile.begin(), szFile.end(), '\xAA'), static_cast<ptrdiff_t>(szFile.size()));
    EXPECT_TRUE(Events().empty());
    RunFixture::TearDown();
  }
}

// Requests that drift apart over a span still leave one pass boundary: the
// record's, by which every unit verifies.
TEST_P(KeepDepthTest, StampedSpanStopsLevelAndVerifies) {
  g_bStampedPattern = true;
  g_qwStampRunId = NewStampRunId();
  for (const uint32_t dwMode : {kAsync | 3, kAsync | MODE_PERFORMANCE}) {
    SCOPED_TRACE(testing::Message() << "mode " << dwMode);
    RunSettings settings = KeepDepth(MakeSettings(16 << 10, 4 << 10, dwMode, FUNCTION_WRITE, 4));
    settings.qwSpanBytes = 160 << 10;  // ten regions: the walk wraps part way through a cycle
    ASSERT_TRUE(PrepareTemporary(settings));
    Launch(true);
    // Several passes of the walk.
    ASSERT_TRUE(Eventually([&] { return Ios() >= 400; }));
    StopAndWait();
    ASSERT_EQ(Status(), "STOP") << Error();
    StampRecord record;
    ASSERT_TRUE(FindStampRecord(FileName(), &record));
    EXPECT_GE(record.dwPass, 1u);
    const FileScan scan = ScanStampedFile(FileName(), record.dwPass, &record);
    EXPECT_TRUE(scan.Good()) << "pass " << record.dwPass << " ending at " << record.qwPassEnd;
    RunFixture::TearDown();
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, KeepDepthTest, ::testing::Values("uring", "threads"),
                         [](const auto& info) { return std::string(info.param); });

class KeepDepthFaultTest : public test::FaultFsFixture<KeepDepthTest> {
 protected:
  std::string Stored() const {
    return ReadWholeFile(m_fs.Backing() + (m_bWrite ? "WRITE/KORVA" : "READ/KORVA") + std::to_string(m_nSlot) +
                         ".DAT");
  }
};

// A corrupted read-back is caught in this shape too, with the failing
// request's region stamped and the other regions left as they were.
TEST_P(KeepDepthFaultTest, CorruptedReadIsADataComparisonOfItsRegion) {
  for (const bool bWrite : {false, true}) {
    for (const uint32_t dwTransfer : {64u << 10, 16u << 10}) {
      constexpr uint32_t kBuffer = 64 << 10;
      SCOPED_TRACE(testing::Message() << (bWrite ? "write " : "read ") << dwTransfer);
      ASSERT_TRUE(m_fs.ClearRules());
      ASSERT_TRUE(Prepare({m_fs.Root()},
                          KeepDepth(MakeSettings(kBuffer, dwTransfer, kAsync | MODE_ERROR_CHECKING, FUNCTION_WRITE, 4))));
      const std::string szName = bWrite ? "KORVA25.DAT" : "KORVA0.DAT";
      ASSERT_GE(m_fs.Arm(FaultRule::Corrupt(szName, FaultRule::EOp::Read, 3 * kBuffer + 64, 4).Skip(2)), 0);
      Launch(bWrite);
      WaitEnded();
      EXPECT_EQ(ExitCode(), (bWrite ? 55u : 45u) + (dwTransfer != kBuffer ? 1 : 0));
      EXPECT_EQ(Error(), "DATA COMPARISON");
      const std::string szStored = Stored();
      ASSERT_EQ(szStored.size(), 4 * kBuffer);
      EXPECT_EQ(szStored.substr(3 * kBuffer, kStampBytes), std::string(kCrcStamp, kStampBytes));
      for (uint32_t nRegion : {0u, 1u, 2u}) {
        EXPECT_NE(szStored.substr(nRegion * kBuffer, kStampBytes), std::string(kCrcStamp, kStampBytes)) << nRegion;
      }
      ASSERT_FALSE(Events().empty());
      RunFixture::TearDown();
    }
  }
}

// A stop while regions are still in their first pass (here one region's
// second piece is held) lets each write its region to the end: requests
// that drift apart never leave the file short of the one that fell behind.
TEST_P(KeepDepthFaultTest, StopFinishesTheRegionsOfTheFirstPass) {
  constexpr uint32_t kBuffer = 64 << 10, kTransfer = 16 << 10;
  ASSERT_TRUE(Prepare({m_fs.Root()}, KeepDepth(MakeSettings(kBuffer, kTransfer, kAsync | MODE_PERFORMANCE,
                                                            FUNCTION_WRITE, 3))));
  const int nRule =
      m_fs.Arm(FaultRule::Stall("KORVA25.DAT", FaultRule::EOp::Write, 2 * kBuffer + kTransfer, kTransfer, 0).Times(1));
  ASSERT_GE(nRule, 0);
  Launch(true);
  ASSERT_TRUE(Eventually([&] { return m_fs.Hits(nRule) == 1; }));
  StopWorkers();
  ASSERT_TRUE(m_fs.ClearRules());
  WaitEnded();
  EXPECT_EQ(Status(), "STOP") << Error();
  EXPECT_EQ(Stored().size(), 3 * kBuffer);
}

INSTANTIATE_TEST_SUITE_P(Backends, KeepDepthFaultTest, ::testing::Values("uring", "threads"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace stratavon
