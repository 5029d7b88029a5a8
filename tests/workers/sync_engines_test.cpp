#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>

#include "run/TargetRecords.h"
#include "workers/BackgroundCheck.h"
#include "engine/IoError.h"
#include "engine/Pattern.h"
#include "workers/SyncEngines.h"
#include "platform/DiskSpace.h"
#include "platform/SystemError.h"
#include "support/FaultFs.h"
#include "support/LoopMount.h"
#include "support/RunFixture.h"
#include "support/SlotFixture.h"
#include "support/Wait.h"

namespace stratavon {
namespace {

using namespace std::chrono_literals;
using test::Eventually;
using test::FileSize;
using test::MakeSettings;
using test::ReadWholeFile;

constexpr int kWriteSlot = kFirstWriteSlot;

class SyncEngineTest : public test::SlotFixture {
 protected:
  void TearDown() override {
    RunFixture::TearDown();
    g_nPatternKind = kPatternByte;
  }

  // Launches one engine of the given direction in its first slot of target 0.
  void Launch(bool bWrite) {
    if (bWrite) {
      LaunchIn(true, CreateWorker<CWriteAdvancedClass>, kWorkerWriteAdvanced);
    } else {
      LaunchIn(false, CreateWorker<CReadAdvancedClass>, kWorkerReadAdvanced);
    }
  }
};

// Every loop of both engines runs, stops on request and ends with its code.
TEST_F(SyncEngineTest, EveryLoopStopsWithItsExitCode) {
  for (bool bWrite : {false, true}) {
    for (uint32_t dwMode = 0; dwMode < 4; ++dwMode) {
      for (bool bSingle : {true, false}) {
        SCOPED_TRACE(testing::Message() << (bWrite ? "write" : "read") << " mode " << dwMode
                                        << (bSingle ? " single" : " chunked"));
        ASSERT_TRUE(PrepareTemporary(MakeSettings(64 << 10, bSingle ? 64 << 10 : 4 << 10, dwMode)));
        Launch(bWrite);
        // Mode 0 and 1 count nothing: a pass has run once the file has its size.
        ASSERT_TRUE(Eventually([&] {
          return (dwMode & MODE_PERFORMANCE) ? Ios() >= 64 : FileSize(FileName()) == (64 << 10) && Status() == "RUN";
        }));
        StopAndWait();
        EXPECT_EQ(ExitCode(), (bWrite ? 33u : 3u) + 2 * dwMode + (bSingle ? 0 : 1));
        EXPECT_EQ(Status(), "STOP");
        EXPECT_TRUE(Events().empty());
        RunFixture::TearDown();
      }
    }
  }
}

// A stop never cuts a pass: the counters hold whole passes, read-backs included.
TEST_F(SyncEngineTest, CountersHoldWholePasses) {
  struct Case {
    bool bWrite;
    uint32_t dwBuffer, dwTransfer, dwMode;
    uint64_t qwIosPerPass;
  } cases[] = {
      {true, 4 << 20, 512, MODE_PERFORMANCE, 8192},
      {true, 4 << 20, 512, MODE_PERFORMANCE | MODE_ERROR_CHECKING, 16384},
      {true, 1 << 20, 1 << 20, MODE_PERFORMANCE | MODE_ERROR_CHECKING, 2},
      {false, 1 << 20, 64 << 10, MODE_PERFORMANCE, 16},
      {false, 1 << 20, 64 << 10, MODE_PERFORMANCE | MODE_ERROR_CHECKING, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dwBuffer << "/" << c.dwTransfer << " mode " << c.dwMode);
    ASSERT_TRUE(PrepareTemporary(MakeSettings(c.dwBuffer, c.dwTransfer, c.dwMode)));
    Launch(c.bWrite);
    ASSERT_TRUE(Eventually([&] { return Ios() >= 2 * c.qwIosPerPass; }));
    StopAndWait();
    EXPECT_EQ(Status(), "STOP");
    EXPECT_EQ(Entry().qwIos % c.qwIosPerPass, 0u) << Entry().qwIos;
    EXPECT_EQ(Entry().qwBytes, Entry().qwIos * c.dwTransfer);
    RunFixture::TearDown();
  }
}

// Sizes that do not divide: one chunk a pass, the tail never touched, and
// verification still passes.
TEST_F(SyncEngineTest, BufferTailBeyondTheLastChunkKeepsThePattern) {
  g_nPatternKind = kPatternCrpat;
  for (bool bWrite : {false, true}) {
    SCOPED_TRACE(bWrite ? "write" : "read");
    ASSERT_TRUE(PrepareTemporary(MakeSettings(96 << 10, 64 << 10, MODE_ERROR_CHECKING | MODE_PERFORMANCE)));
    Launch(bWrite);
    ASSERT_TRUE(Eventually([&] { return Ios() >= 20; }));
    StopAndWait();
    EXPECT_EQ(Status(), "STOP") << Error();
    EXPECT_EQ(FileSize(FileName()), bWrite ? (64 << 10) : (96 << 10));
    RunFixture::TearDown();
  }
}

// Failures injected by the fault file system, one worker each.
class SyncFaultTest : public test::FaultFsFixture<SyncEngineTest> {
 protected:
  bool PrepareOnFaultFs(uint32_t dwBuffer, uint32_t dwTransfer, uint32_t dwMode) {
    return Prepare({m_fs.Root()}, MakeSettings(dwBuffer, dwTransfer, dwMode));
  }
  // The work file's bytes as the backing store holds them.
  std::string Stored() const {
    return ReadWholeFile(m_fs.Backing() + (m_bWrite ? "WRITE/KORVA" : "READ/KORVA") + std::to_string(m_nSlot) +
                         ".DAT");
  }
};

TEST_F(SyncFaultTest, FailedReadOfTheThirdChunkStampsItAtOffsetZero) {
  g_nPatternKind = kPatternCrpat;
  constexpr uint32_t kChunk = 16 << 10;
  ASSERT_TRUE(PrepareOnFaultFs(4 * kChunk, kChunk, MODE_ERROR_CHECKING));
  const int nRule = m_fs.Arm(FaultRule::Error("KORVA0.DAT", FaultRule::EOp::Read, 2 * kChunk, kChunk, EIO));
  ASSERT_GE(nRule, 0) << m_fs.LastError();
  Launch(false);
  WaitEnded();
  EXPECT_EQ(ExitCode(), 6u);
  EXPECT_EQ(Status(), "FAIL");
  EXPECT_EQ(Error(), "READ API");
  EXPECT_GE(m_fs.Hits(nRule), 1u);

  // The stamped third chunk went to offset 0: stamp, then the pattern as it
  // stands at buffer offset 2 x chunk.
  const std::string szStored = Stored();
  ASSERT_EQ(szStored.size(), 4 * kChunk);
  EXPECT_EQ(szStored.substr(0, kStampBytes), std::string(kApiStamp, kStampBytes));
  std::vector<uint8_t> pattern(4 * kChunk);
  FillPattern(pattern.data(), pattern.size(), nullptr);
  EXPECT_EQ(std::memcmp(szStored.data() + kStampBytes, pattern.data() + 2 * kChunk + kStampBytes,
                        kChunk - kStampBytes),
            0);
  std::vector<EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].strings, (std::vector<std::string>{"READ", m_roots[0], "0", FormatSystemMessage(EIO)}));
}

// A failed write is stamped at offset 0; a short one is an underrun and is not.
TEST_F(SyncFaultTest, FailedAndShortWrites) {
  const struct {
    FaultRule rule;
    uint32_t dwMode, dwExit, dwEventId;
    const char* szError;
    bool bStamped;
  } kCases[] = {
      {FaultRule::Error("KORVA25.DAT", FaultRule::EOp::Write, 32 << 10, 1, ENOSPC).Skip(3), MODE_ERROR_CHECKING, 36,
       0xC000010B, "WRITE API", true},
      {FaultRule::Short("KORVA25.DAT", FaultRule::EOp::Write, 16 << 10, 1, 4096).Skip(2),
       MODE_ERROR_CHECKING | MODE_PERFORMANCE, 40, 0xC0000113, "UNDERRUN/OVERRUN", false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.szError);
    if (&c != &kCases[0]) ReleaseTargetRecords();
    ASSERT_TRUE(PrepareOnFaultFs(64 << 10, 16 << 10, c.dwMode));
    ASSERT_TRUE(m_fs.ClearRules());
    ASSERT_GE(m_fs.Arm(c.rule), 0) << m_fs.LastError();
    const size_t nBefore = Events().size();
    Launch(true);
    WaitEnded();
    EXPECT_EQ(ExitCode(), c.dwExit);
    EXPECT_EQ(Error(), c.szError);
    EXPECT_EQ(Stored().substr(0, kStampBytes) == std::string(kApiStamp, kStampBytes), c.bStamped);
    std::vector<EventRecord> events = Events();
    ASSERT_EQ(events.size(), nBefore + 1);
    EXPECT_EQ(events.back().eventId, c.dwEventId);
    EXPECT_EQ(events.back().strings.back(), c.bStamped ? FormatSystemMessage(ENOSPC) : FileName());
  }
}

// Corruption on the way back from the medium and on the way to it: both
// engines' verification must see it.
TEST_F(SyncFaultTest, CorruptionIsCaughtAndListed) {
  struct Case {
    bool bWrite;
    FaultRule::EOp op;
    uint32_t dwMode;
    uint32_t dwExit;
  } cases[] = {
      {false, FaultRule::EOp::Read, MODE_ERROR_CHECKING, 6},
      {false, FaultRule::EOp::Read, MODE_ERROR_CHECKING | MODE_PERFORMANCE, 10},
      {true, FaultRule::EOp::Read, MODE_ERROR_CHECKING, 36},
      {true, FaultRule::EOp::Write, MODE_ERROR_CHECKING | MODE_PERFORMANCE, 40},
  };
  g_nPatternKind = kPatternCrpat;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.bWrite ? "write" : "read") << " engine, mode " << c.dwMode);
    ASSERT_TRUE(m_fs.ClearRules());
    ASSERT_TRUE(PrepareOnFaultFs(64 << 10, 8 << 10, c.dwMode));
    const std::string szName = c.bWrite ? "KORVA25.DAT" : "KORVA0.DAT";
    // Two words of the fourth chunk, after a few clean passes.
    ASSERT_GE(m_fs.Arm(FaultRule::Corrupt(szName, c.op, 3 * (8 << 10) + 8, 8, 0xFF).Skip(20)), 0);
    Launch(c.bWrite);
    WaitEnded();
    EXPECT_EQ(ExitCode(), c.dwExit);
    EXPECT_EQ(Error(), "DATA COMPARISON");
    EXPECT_EQ(Stored().substr(0, kStampBytes), std::string(kCrcStamp, kStampBytes));
    std::vector<EventRecord> events = Events();
    ASSERT_FALSE(events.empty());
    const EventRecord& event = events.back();
    EXPECT_EQ(event.eventId, 0xC000010Au);
    EXPECT_EQ(event.strings[0], FileName());
    EXPECT_EQ(event.strings[3], "2");
    ASSERT_EQ(event.data.size(), 80u);
    uint32_t pairs[4];
    std::memcpy(pairs, event.data.data(), sizeof pairs);
    EXPECT_EQ(pairs[1], ~pairs[0]);
    EXPECT_EQ(pairs[3], ~pairs[2]);
    RunFixture::TearDown();
  }
}

// Buffers from kOverlapCheckBytes on are checked on a second thread while the
// next pass is read into a second buffer. What a run reports and counts must
// still be what the passes one after the other would give: the failing
// pass is named and stamped, the pass read ahead is not counted, and a
// failure of the pass read ahead never hides the comparison before it.
TEST_F(SyncFaultTest, ReadingAheadOfTheCheckKeepsReportsAndCountersInPassOrder) {
  constexpr uint32_t kBuffer = kOverlapCheckBytes;
  constexpr uint32_t kChunk = 16 << 10;
  constexpr uint32_t kChunks = kBuffer / kChunk;
  g_nPatternKind = kPatternCrpat;
  struct Case {
    const char* szWhat;
    uint32_t dwTransfer;
    bool bCorrupt;      // pass 21 comes back with two words flipped in chunk 3
    bool bFailAfter;    // pass 22 fails at chunk 5 (or in its single call)
    bool bFailAlone;    // pass 6 fails at chunk 5, nothing corrupted
    const char* szError;
    uint64_t qwIos;     // counted when the worker ends
  } cases[] = {
      {"single, corrupted", kBuffer, true, false, false, "DATA COMPARISON", 21},
      {"chunked, corrupted", kChunk, true, false, false, "DATA COMPARISON", 21 * kChunks},
      {"chunked, corrupted, next pass fails", kChunk, true, true, false, "DATA COMPARISON", 21 * kChunks},
      {"single, corrupted, next pass fails", kBuffer, true, true, false, "DATA COMPARISON", 21},
      {"chunked, read fails", kChunk, false, false, true, "READ API", 5 * kChunks + 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szWhat);
    ASSERT_TRUE(m_fs.ClearRules());
    ASSERT_TRUE(PrepareOnFaultFs(kBuffer, c.dwTransfer, MODE_ERROR_CHECKING | MODE_PERFORMANCE));
    if (c.bCorrupt) {
      ASSERT_GE(m_fs.Arm(FaultRule::Corrupt("KORVA0.DAT", FaultRule::EOp::Read, 3 * kChunk + 8, 8, 0xFF).Skip(20).Times(1)), 0);
    }
    if (c.bFailAfter || c.bFailAlone) {
      ASSERT_GE(m_fs.Arm(FaultRule::Error("KORVA0.DAT", FaultRule::EOp::Read, 5 * kChunk, kChunk, EIO)
                             .Skip(c.bFailAfter ? 21 : 5)),
                0);
    }
    const size_t nEventsBefore = Events().size();
    Launch(false);
    WaitEnded();
    EXPECT_EQ(ExitCode(), c.dwTransfer == kBuffer ? 9u : 10u);
    EXPECT_EQ(Error(), c.szError);
    EXPECT_EQ(Ios(), c.qwIos);
    const std::vector<EventRecord> events = Events();
    ASSERT_EQ(events.size(), nEventsBefore + 1);
    const EventRecord& event = events.back();
    if (c.bCorrupt) {
      EXPECT_EQ(Stored().substr(0, kStampBytes), std::string(kCrcStamp, kStampBytes));
      // The words listed are those of the corrupted buffer, not of the other one.
      EXPECT_EQ(event.strings[3], "2");
    } else {
      EXPECT_EQ(Stored().substr(0, kStampBytes), std::string(kApiStamp, kStampBytes));
      EXPECT_EQ(event.strings[0], "READ");
    }
    RunFixture::TearDown();
  }
}

TEST_F(SyncFaultTest, OneFailedWorkerLeavesTheOthersRunning) {
  ASSERT_TRUE(PrepareOnFaultFs(64 << 10, 16 << 10, MODE_ERROR_CHECKING | MODE_PERFORMANCE));
  ASSERT_GE(m_fs.Arm(FaultRule::Error("KORVA25.DAT", FaultRule::EOp::Read, 0, 0, EIO).Skip(8)), 0);
  Launch(true);
  LaunchWorker(0, kWriteSlot + 1, CreateWorker<CWriteAdvancedClass>, kWorkerWriteAdvanced);
  ASSERT_TRUE(Eventually([&] { return Ended(); }));
  EXPECT_EQ(Error(), "READ API");
  const HTHREAD hOther = g_pTargetRecords[0].hThread[kWriteSlot + 1];
  const SlotIoEntry& other = g_pTargetRecords[0].entries[kWriteSlot + 1 + kWriteEntryOffset];
  auto otherIos = [&] { return other.qwIos.load(); };
  const uint64_t qwAtFailure = otherIos();
  ASSERT_TRUE(Eventually([&] { return otherIos() >= qwAtFailure + 64; })) << "the other worker goes on";
  EXPECT_TRUE(hOther->IsActive());
  StopAndWait();
  EXPECT_EQ(hOther->ExitCode(), 40u);
  EXPECT_EQ(other.hFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Events().size(), 1u);
}

TEST_F(SyncFaultTest, WithoutErrorCheckingFailedReadsAreSkippedUntilStopped) {
  ASSERT_TRUE(PrepareOnFaultFs(64 << 10, 16 << 10, MODE_PERFORMANCE));
  const int nRule = m_fs.Arm(FaultRule::Error("KORVA0.DAT", FaultRule::EOp::Read, 0, 0, EIO));
  Launch(false);
  ASSERT_TRUE(Eventually([&] { return m_fs.Hits(nRule) >= 50 && m_fs.Hits(nRule) != UINT64_MAX; }));
  EXPECT_EQ(Status(), "RUN");
  EXPECT_EQ(Ios(), 0u);
  StopAndWait();
  EXPECT_EQ(ExitCode(), 8u);
  EXPECT_EQ(Status(), "STOP");
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(TargetIoErrors(0).qwCalls, m_fs.Hits(nRule)) << "every failed read is counted";
}

TEST_F(SyncFaultTest, FailedSeedWriteEndsTheReaderEvenWithoutChecking) {
  ASSERT_TRUE(PrepareOnFaultFs(64 << 10, 64 << 10, 0));
  ASSERT_GE(m_fs.Arm(FaultRule::Error("KORVA0.DAT", FaultRule::EOp::Write, 0, 0, EIO)), 0);
  Launch(false);
  WaitEnded();
  EXPECT_EQ(ExitCode(), 3u);
  EXPECT_EQ(Error(), "WRITE API");
}

// Real devices: a 4 KiB-sector disk refuses 512-byte transfers; a full file
// system refuses writes.
class SyncDeviceTest : public SyncEngineTest {
 protected:
  void SetUp() override {
    const std::string szWhy = test::CLoopMount::Unavailable();
    if (!szWhy.empty()) GTEST_SKIP() << szWhy;
  }
};

// btrfs reports no alignment and would serve 512-byte direct transfers from
// the page cache; they are refused there as on ext4.
class SyncSectorTest : public SyncDeviceTest, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    SyncDeviceTest::SetUp();
    if (const std::string szWhy = test::CLoopMount::Unavailable(GetParam()); !szWhy.empty()) GTEST_SKIP() << szWhy;
  }
};

INSTANTIATE_TEST_SUITE_P(FileSystems, SyncSectorTest, ::testing::Values("ext4", "btrfs"));

TEST_P(SyncSectorTest, TransfersBelowTheSectorSize) {
  test::CLoopMount loop(GetParam() == std::string("btrfs") ? 128 << 20 : 16 << 20, 4096, GetParam());
  ASSERT_TRUE(loop.Ok()) << loop.Error();
  DiskSpaceInfo disk;
  ASSERT_TRUE(GetDiskFreeSpace(loop.Root(), disk));
  EXPECT_EQ(disk.dwBytesPerSector, 4096u);
  EXPECT_TRUE(disk.bAlignmentKnown);
  ASSERT_TRUE(Prepare({loop.Root()}, MakeSettings(8192, 512, MODE_ERROR_CHECKING)));
  Launch(true);
  ASSERT_TRUE(Eventually([&] { return Ended(); }));
  test::WorkersEnded();
  EXPECT_EQ(Error(), "WRITE API");
  RunFixture::TearDown();

  ASSERT_TRUE(Prepare({loop.Root()}, MakeSettings(8192, 512, MODE_PERFORMANCE)));
  Launch(true);
  // A counting run goes on past refused calls: two buffers' worth of them.
  ASSERT_TRUE(Eventually([&] { return TargetIoErrors(0).qwCalls >= 2 * 8192 / 512 || Ended(); }));
  EXPECT_EQ(Status(), "RUN");
  EXPECT_FALSE(Ended());
  StopAndWait();
  EXPECT_EQ(Ios(), 0u) << "refused calls are not counted";
  EXPECT_EQ(ExitCode(), 38u);

  ASSERT_TRUE(Prepare({loop.Root()}, MakeSettings(8192, 512, MODE_ERROR_CHECKING)));
  Launch(false);
  ASSERT_TRUE(Eventually([&] { return Ended(); }));
  test::WorkersEnded();
  EXPECT_EQ(Error(), "READ API") << "the seed write of the whole buffer passes, the chunk reads do not";
}

// Work files are laid out at their full size at start-up: writers that
// together do not fit find it out there, the later ones with DISK SPACE, and
// none of those that started meets a full file system in the middle of a pass.
TEST_F(SyncDeviceTest, FullFileSystemIsFoundAtStartUp) {
  test::CLoopMount loop(16 << 20, 512);
  ASSERT_TRUE(loop.Ok()) << loop.Error();
  ASSERT_TRUE(Prepare({loop.Root()}, MakeSettings(4 << 20, 1 << 20, MODE_ERROR_CHECKING)));
  // Each writer alone fits; together they do not.
  for (int s = kFirstWriteSlot; s < kFirstWriteSlot + 4; ++s) {
    LaunchWorker(0, s, CreateWorker<CWriteAdvancedClass>, kWorkerWriteAdvanced);
  }
  m_bWrite = true;
  ASSERT_TRUE(Eventually([&] { return Error() == "DISK SPACE"; })) << Status() << " " << Error();
  StopAndWait();
  for (const EventRecord& event : Events()) {
    EXPECT_FALSE(event.eventId == kEventApiError && !event.strings.empty() && event.strings[0] == "WRITE")
        << "a writer met the full file system mid-run";
  }
}

}  // namespace
}  // namespace stratavon
