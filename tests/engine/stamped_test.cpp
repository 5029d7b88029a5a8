#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "run/TargetRecords.h"
#include "workers/AsyncEngines.h"
#include "engine/IoError.h"
#include "engine/Mismatch.h"
#include "engine/Pattern.h"
#include "engine/StampedPattern.h"
#include "engine/StampedScan.h"
#include "workers/SyncEngines.h"
#include "support/FaultFs.h"
#include "support/SlotFixture.h"
#include "support/Wait.h"

namespace stratavon {
namespace {

using test::Eventually;
using test::MakeSettings;
using test::ReadWholeFile;

constexpr uint32_t kUnit = 512;
constexpr StampIdentity kId{0x1234567890ABCDEFull, 25, kUnit};

std::vector<uint8_t> StampedBuffer(size_t nBytes, uint32_t dwPass, const StampIdentity& id = kId) {
  std::vector<uint8_t> buffer(nBytes, 0xAA);
  StampUnits(buffer.data(), buffer.size(), 0, dwPass, id);
  return buffer;
}

// What each kind of damage to a stamped buffer (file offset 0, pass 3) is
// found to be, and where.
TEST(StampedUnits, DamageIsNamedByKindAndPlace) {
  struct Case {
    const char* szName;
    void (*pfnDamage)(std::vector<uint8_t>&);
    UnitState state;
    uint64_t qwFirstBad;
    uint64_t qwFoundOffset;
    uint32_t dwFoundPass;
  } cases[] = {
      {"untouched", [](std::vector<uint8_t>&) {}, UnitState::kGood, 0, 0, 0},
      {"flipped bit", [](std::vector<uint8_t>& b) { b[5 * kUnit + 100] ^= 0x04; }, UnitState::kCorrupt, 5 * kUnit, 0, 0},
      {"flipped bit in the header", [](std::vector<uint8_t>& b) { b[2 * kUnit + 9] ^= 0x01; }, UnitState::kCorrupt,
       2 * kUnit, 0, 0},
      {"sectors swapped",
       [](std::vector<uint8_t>& b) { std::swap_ranges(&b[2 * kUnit], &b[3 * kUnit], &b[6 * kUnit]); },
       UnitState::kMisdirected, 2 * kUnit, 6 * kUnit, 3},
      {"old copy written back",
       [](std::vector<uint8_t>& b) {
         const std::vector<uint8_t> old = StampedBuffer(b.size(), 2);
         std::memcpy(&b[4 * kUnit], &old[4 * kUnit], kUnit);
       },
       UnitState::kStale, 4 * kUnit, 4 * kUnit, 2},
      {"write that landed further on: the place it missed is stale",
       [](std::vector<uint8_t>& b) {
         std::memcpy(&b[6 * kUnit], &b[2 * kUnit], kUnit);
         std::memcpy(&b[2 * kUnit], &StampedBuffer(b.size(), 2)[2 * kUnit], kUnit);
       },
       UnitState::kMisdirected, 6 * kUnit, 2 * kUnit, 3},
      {"another run's unit",
       [](std::vector<uint8_t>& b) {
         const std::vector<uint8_t> other = StampedBuffer(b.size(), 3, {kId.qwRunId + 1, kId.dwSlot, kUnit});
         std::memcpy(&b[kUnit], &other[kUnit], kUnit);
       },
       UnitState::kForeign, kUnit, kUnit, 3},
      {"another worker's unit",
       [](std::vector<uint8_t>& b) {
         const std::vector<uint8_t> other = StampedBuffer(b.size(), 3, {kId.qwRunId, kId.dwSlot + 1, kUnit});
         std::memcpy(&b[7 * kUnit], &other[7 * kUnit], kUnit);
       },
       UnitState::kMisdirected, 7 * kUnit, 7 * kUnit, 3},
      {"never written", [](std::vector<uint8_t>& b) { std::memset(&b[3 * kUnit], 0, kUnit); }, UnitState::kForeign,
       3 * kUnit, 0, 0},
      {"read that delivered nothing", [](std::vector<uint8_t>& b) { PoisonUnits(b.data(), b.size(), kUnit); },
       UnitState::kForeign, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szName);
    std::vector<uint8_t> buffer = StampedBuffer(8 * kUnit, 3);
    c.pfnDamage(buffer);
    const bool bGood = c.state == UnitState::kGood;
    EXPECT_EQ(UnitsGood(buffer.data(), buffer.size(), 0, 3, kId), bGood);
    const StampVerdict verdict = JudgeUnits(buffer.data(), buffer.size(), 0, 3, kId);
    EXPECT_EQ(verdict.first.state, c.state);
    if (bGood) continue;
    EXPECT_EQ(verdict.qwFirstBadOffset, c.qwFirstBad);
    if (c.dwFoundPass != 0) {
      EXPECT_EQ(verdict.first.qwFoundOffset, c.qwFoundOffset);
      EXPECT_EQ(verdict.first.dwFoundPass, c.dwFoundPass);
    }
  }
}

TEST(StampedUnits, HeadersFollowTheFileOffsetAndTheUnitSize) {
  const StampIdentity id4k{kId.qwRunId, 3, 4096};
  std::vector<uint8_t> buffer(4 * 4096, 0x5A);
  StampUnits(buffer.data(), buffer.size(), 1 << 20, 9, id4k);
  EXPECT_TRUE(UnitsGood(buffer.data(), buffer.size(), 1 << 20, 9, id4k));
  // Read back as if it lay at offset 0: every unit is somewhere else's.
  const StampVerdict verdict = JudgeUnits(buffer.data(), buffer.size(), 0, 9, id4k);
  EXPECT_EQ(verdict.aqwUnits[static_cast<int>(UnitState::kMisdirected)], 4u);
  EXPECT_EQ(verdict.first.qwFoundOffset, 1u << 20);
  // The base pattern stays where the header ends.
  EXPECT_EQ(buffer[4096 + kStampHeaderBytes], 0x5A);
  // The stamper's shortcut gives the same bytes as a checksum in full, for
  // every unit of a span several buffers long.
  for (const StampIdentity& id : {kId, id4k}) {
    std::vector<uint8_t> pattern(4 * id.dwUnitBytes);
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 3);
    CUnitStamper stamper;
    ASSERT_TRUE(stamper.Prepare(pattern.data(), pattern.size(), id));
    std::vector<uint8_t> full(3 * pattern.size());
    for (int b = 0; b < 3; ++b) std::memcpy(&full[b * pattern.size()], pattern.data(), pattern.size());
    std::vector<uint8_t> quick = full;
    StampUnits(full.data(), full.size(), 1 << 20, 77, id);
    stamper.Stamp(quick.data(), quick.size(), 1 << 20, 77);
    EXPECT_EQ(quick, full) << id.dwUnitBytes;
    EXPECT_TRUE(stamper.Matches(quick.data(), quick.size(), 1 << 20, 77, pattern.data()));
    // A buffer that fails stays as it was read; one that passes comes out
    // spoiled, as a read that delivers nothing must not find it.
    quick[quick.size() - 1] ^= 1;
    const std::vector<uint8_t> bad = quick;
    EXPECT_FALSE(stamper.MatchesThenSpoil(quick.data(), quick.size(), 1 << 20, 77, pattern.data()));
    EXPECT_EQ(quick, bad);
    quick[quick.size() - 1] ^= 1;
    EXPECT_TRUE(stamper.MatchesThenSpoil(quick.data(), quick.size(), 1 << 20, 77, pattern.data()));
    for (size_t n = 0; n < quick.size(); n += id.dwUnitBytes) {
      EXPECT_NE(JudgeUnit(&quick[n], (1 << 20) + n, 77, id).state, UnitState::kGood) << n;
    }
    EXPECT_FALSE(stamper.Matches(full.data(), full.size(), 1 << 20, 76, pattern.data()));
  }
  EXPECT_EQ(StampUnitBytes(4096), 4096u);
  EXPECT_EQ(StampUnitBytes(0), kUnit);
}

TEST(Mismatch, LocatesTheDifferences) {
  std::vector<uint8_t> expected(4096, 0x11);
  std::vector<uint8_t> found = expected;
  found[700] ^= 1;
  found[701] ^= 1;
  found[3000] ^= 0x80;
  const MismatchInfo info = AnalyseMismatch(expected.data(), found.data(), found.size(), 1 << 20);
  EXPECT_EQ(info.qwFirstOffset, (1u << 20) + 700);
  EXPECT_EQ(info.qwLastOffset, (1u << 20) + 3000);
  EXPECT_EQ(info.qwDifferingBytes, 3u);
  EXPECT_EQ(info.qwBadUnits, 2u);
}

// The engines over the fault file system: damage done on the way to the
// medium is found on the read-back (or the reader's reads) and named.
class StampedEngineTest : public test::FaultFsFixture<test::SlotFixture> {
 protected:
  void TearDown() override {
    FaultFsFixture::TearDown();
    unsetenv("STRATAVON_IO_BACKEND");
    g_bStampedPattern = false;
    g_nPatternKind = kPatternByte;
  }
  void Launch(bool bWrite, bool bAsync) {
    if (bAsync) {
      LaunchIn(bWrite, bWrite ? CreateWorker<CWriteAdvancedAsyncClass> : CreateWorker<CReadAdvancedAsyncClass>,
               bWrite ? kWorkerWriteAdvancedAsync : kWorkerReadAdvancedAsync);
    } else {
      LaunchIn(bWrite, bWrite ? CreateWorker<CWriteAdvancedClass> : CreateWorker<CReadAdvancedClass>,
               bWrite ? kWorkerWriteAdvanced : kWorkerReadAdvanced);
    }
  }
};

constexpr uint32_t kChunk = 64 << 10;
constexpr uint32_t kBuffer = 4 * kChunk;

TEST_F(StampedEngineTest, EachDamageIsReportedWithItsKindPlaceAndEvent) {
  struct Case {
    const char* szName;
    bool bWrite;
    FaultRule rule;
    uint32_t nKind;
    uint64_t qwFirstBad;
    uint64_t qwFoundOffset;
    uint32_t dwFoundPass;
    uint32_t dwExpectedPass;
  } cases[] = {
      {"flipped bit on the way to the disk", true,
       FaultRule::Corrupt("KORVA25.DAT", FaultRule::EOp::Write, kChunk + 0x240, 1, 0x01).Skip(2), kErrorCorruptUnit,
       kChunk + 0x200, 0, 0, 3},
      {"flipped bit on the way back", false,
       FaultRule::Corrupt("KORVA0.DAT", FaultRule::EOp::Read, kChunk + 0x240, 1, 0x01).Skip(2), kErrorCorruptUnit,
       kChunk + 0x200, 0, 0, 1},
      {"lost write", true, FaultRule::Drop("KORVA25.DAT", 2 * kChunk, kChunk).Skip(1).Times(1), kErrorStale,
       2 * kChunk, 2 * kChunk, 1, 2},
      {"misdirected write", true, FaultRule::Move("KORVA25.DAT", 3 * kChunk, kChunk, 0x8000).Skip(1).Times(1),
       kErrorMisdirected, 0x8000, 3 * kChunk, 2, 2},
      {"lost first write", true, FaultRule::Drop("KORVA25.DAT", kChunk, kChunk).Times(1), kErrorForeign, kChunk, 0,
       0, 1},
  };
  g_nPatternKind = kPatternCrpat;
  g_bStampedPattern = true;
  g_qwStampRunId = NewStampRunId();
  for (bool bAsync : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << c.szName << (bAsync ? ", async" : ", sync"));
      ASSERT_TRUE(m_fs.ClearRules());
      const uint32_t dwMode = MODE_ERROR_CHECKING | (bAsync ? MODE_ASYNC : 0);
      ASSERT_TRUE(Prepare({m_fs.Root()}, MakeSettings(kBuffer, kChunk, dwMode, FUNCTION_WRITE, 2)));
      ClearIntegrityReports();
      const size_t nEventsBefore = Events().size();
      ASSERT_GE(m_fs.Arm(c.rule), 0) << m_fs.LastError();
      Launch(c.bWrite, bAsync);
      WaitEnded();
      const IoErrorWords words = DescribeIoError(c.nKind, bAsync);
      EXPECT_EQ(Error(), words.szShort);

      const std::vector<IntegrityReport> reports = IntegrityReports();
      ASSERT_EQ(reports.size(), 1u);
      const IntegrityReport& report = reports[0];
      EXPECT_EQ(report.nKind, c.nKind);
      EXPECT_EQ(report.stamps.qwFirstBadOffset, c.qwFirstBad);
      EXPECT_EQ(report.dwExpectedPass, c.dwExpectedPass);
      if (c.dwFoundPass != 0) {
        EXPECT_EQ(report.stamps.first.qwFoundOffset, c.qwFoundOffset);
        EXPECT_EQ(report.stamps.first.dwFoundPass, c.dwFoundPass);
      }
      // The damage lies inside the bad unit, and the buffer as read is kept.
      EXPECT_GE(report.mismatch.qwFirstOffset, c.qwFirstBad);
      EXPECT_LT(report.mismatch.qwFirstOffset, c.qwFirstBad + kUnit);
      EXPECT_EQ(ReadWholeFile(report.szBadFile).size(), kBuffer);

      // The entry keeps the comparison's strings and data and adds where.
      const std::vector<EventRecord> events = Events();
      ASSERT_EQ(events.size(), nEventsBefore + 1);
      const EventRecord& event = events.back();
      EXPECT_EQ(event.eventId, words.dwEventId);
      ASSERT_EQ(event.strings.size(), 6u);
      EXPECT_EQ(event.strings[0], FileName());
      EXPECT_EQ(event.data.size(), kComparisonDataBytes);
      EXPECT_EQ(event.strings[4], DescribeMismatch(report.mismatch));
      RunFixture::TearDown();
    }
  }
}

// A span: the work file is several buffers long, written (or laid down) and
// read buffer by buffer, each judged at its own offset; the asynchronous
// engines' two requests walk it together, so the damage lies past the
// first batch's regions. A span larger than the free space is refused as
// the buffer would be.
TEST_F(StampedEngineTest, SpanIsWalkedBufferByBuffer) {
  constexpr uint64_t kSpan = 4 * kBuffer;
  struct Case {
    bool bWrite;
    FaultRule rule;
    uint32_t nKind;
    uint64_t qwFirstBad;
  } cases[] = {
      {true, FaultRule::Drop("KORVA25.DAT", 3 * kBuffer + kChunk, kChunk).Skip(1).Times(1), kErrorStale,
       3 * kBuffer + kChunk},
      {false, FaultRule::Corrupt("KORVA0.DAT", FaultRule::EOp::Read, 2 * kBuffer + 0x240, 1, 0x01).Skip(1),
       kErrorCorruptUnit, 2 * kBuffer + 0x200},
  };
  g_bStampedPattern = true;
  g_qwStampRunId = NewStampRunId();
  for (const char* pszBackend : {"", "uring", "threads"}) {
    const bool bAsync = *pszBackend != '\0';
    setenv("STRATAVON_IO_BACKEND", pszBackend, 1);
    const uint32_t dwMode = MODE_ERROR_CHECKING | (bAsync ? MODE_ASYNC : 0);
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << (c.bWrite ? "write " : "read ") << pszBackend);
      ASSERT_TRUE(m_fs.ClearRules());
      RunSettings settings = MakeSettings(kBuffer, kChunk, dwMode, FUNCTION_WRITE, 2);
      settings.qwSpanBytes = kSpan;
      ASSERT_TRUE(Prepare({m_fs.Root()}, settings));
      ClearIntegrityReports();
      ASSERT_GE(m_fs.Arm(c.rule), 0) << m_fs.LastError();
      Launch(c.bWrite, bAsync);
      WaitEnded();
      EXPECT_EQ(Error(), DescribeIoError(c.nKind, bAsync).szShort);
      EXPECT_EQ(test::FileSize(FileName()), static_cast<int64_t>(kSpan));
      const std::vector<IntegrityReport> reports = IntegrityReports();
      ASSERT_EQ(reports.size(), 1u);
      EXPECT_EQ(reports[0].stamps.qwFirstBadOffset, c.qwFirstBad);
      RunFixture::TearDown();
    }
    RunSettings settings = MakeSettings(kBuffer, kChunk, dwMode, FUNCTION_WRITE, 2);
    settings.qwSpanBytes = uint64_t{1} << 60;
    ASSERT_TRUE(Prepare({m_fs.Root()}, settings));
    Launch(true, bAsync);
    WaitEnded();
    EXPECT_EQ(Error(), "DISK SPACE");
    RunFixture::TearDown();
  }
}

// A stop in the middle of a span's pass (the synchronous writer between
// buffers, the asynchronous one between cycles of its walk, pieces of a
// cycle written whole): the record says where that pass ended, and the
// units it had not reached yet, holding the pass before, verify as good; a
// unit older than that, anywhere, is stale.
TEST_F(StampedEngineTest, StopInTheMiddleOfAPassVerifies) {
  g_bStampedPattern = true;
  g_qwStampRunId = NewStampRunId();
  for (const uint32_t dwMode : {MODE_ERROR_CHECKING, MODE_ERROR_CHECKING | MODE_ASYNC, MODE_ASYNC}) {
    const bool bAsync = (dwMode & MODE_ASYNC) != 0;
    SCOPED_TRACE(testing::Message() << "mode " << dwMode);
    RunSettings settings = MakeSettings(kBuffer, kChunk, dwMode, FUNCTION_WRITE, 2);
    settings.qwSpanBytes = 4 * kBuffer;
    ASSERT_TRUE(Prepare({m_fs.Root()}, settings));
    // Held at the start of pass 3 until the stop is on its way.
    const int nStall = m_fs.Arm(FaultRule::Stall("KORVA25.DAT", FaultRule::EOp::Write, 0, kUnit, 0).Skip(2).Times(1));
    ASSERT_GE(nStall, 0) << m_fs.LastError();
    Launch(true, bAsync);
    ASSERT_TRUE(Eventually([&] { return m_fs.Hits(nStall) == 1; })) << "the writer never began pass 3";
    StopWorkers();
    ASSERT_TRUE(m_fs.Disarm(nStall));
    WaitEnded();
    ASSERT_EQ(Status(), "STOP") << Error();
    StampRecord record;
    ASSERT_TRUE(FindStampRecord(FileName(), &record));
    EXPECT_EQ(record.dwPass, 3u);
    EXPECT_EQ(record.qwPassEnd, (bAsync ? 2 : 1) * kBuffer);  // one buffer; one cycle of two regions

    const int hFile = open(FileName().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(hFile, 0);
    const struct {
      uint64_t qwOffset;
      uint32_t dwPass;  // what the unit is rewritten with; 0: left as it is
    } cases[] = {{0, 0}, {3 * kBuffer + kUnit, 1}, {kUnit, 2}};
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << "pass " << c.dwPass << " at " << c.qwOffset);
      uint8_t abyWas[kUnit];
      uint8_t abyUnit[kUnit];
      ASSERT_EQ(pread(hFile, abyWas, kUnit, static_cast<off_t>(c.qwOffset)), static_cast<ssize_t>(kUnit));
      std::memcpy(abyUnit, abyWas, kUnit);
      if (c.dwPass != 0) StampUnits(abyUnit, kUnit, c.qwOffset, c.dwPass, {record.qwRunId, record.dwSlot, kUnit});
      ASSERT_EQ(pwrite(hFile, abyUnit, kUnit, static_cast<off_t>(c.qwOffset)), static_cast<ssize_t>(kUnit));
      const FileScan scan = ScanStampedFile(FileName(), record.dwPass, &record);
      EXPECT_EQ(scan.Good(), c.dwPass == 0);
      EXPECT_EQ(scan.aqwUnits[static_cast<int>(UnitState::kStale)], c.dwPass == 0 ? 0u : 1u);
      ASSERT_EQ(pwrite(hFile, abyWas, kUnit, static_cast<off_t>(c.qwOffset)), static_cast<ssize_t>(kUnit));
    }
    close(hFile);
    RunFixture::TearDown();
  }
}

// Without stamps, every region of every pass holds the same bytes: a
// misplaced write goes unnoticed. That is what stamped units are for.
TEST_F(StampedEngineTest, PlainPatternMissesAMisdirectedWrite) {
  ASSERT_TRUE(Prepare({m_fs.Root()}, MakeSettings(kBuffer, kChunk, MODE_ERROR_CHECKING | MODE_PERFORMANCE)));
  const int nRule = m_fs.Arm(FaultRule::Move("KORVA25.DAT", 3 * kChunk, kChunk, 0x8000).Skip(1).Times(1));
  ASSERT_GE(nRule, 0) << m_fs.LastError();
  Launch(true, false);
  ASSERT_TRUE(Eventually([&] { return Ios() >= 40; }));
  StopAndWait();
  EXPECT_EQ(m_fs.Hits(nRule), 1u);
  EXPECT_EQ(Status(), "STOP") << Error();
}

}  // namespace
}  // namespace stratavon
