#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "engine/IoError.h"
#include "engine/Crc32.h"
#include "engine/Mismatch.h"
#include "engine/Pattern.h"
#include "platform/SystemError.h"
#include "support/FrameWorker.h"
#include "support/RunFixture.h"
#include "support/TempDir.h"

namespace stratavon {
namespace {

using test::CPassWorker;
using test::MakeSettings;
using test::ReadWholeFile;

// The frame's start-up, reporting and clean-up, run on the test's thread so
// that every step can be looked at in between.
class WorkerFrameTest : public test::RunFixture {
 protected:
  void TearDown() override {
    g_nPatternKind = kPatternByte;
    g_byPatternByte = 0xAA;
    g_pPatternFile = nullptr;
    RunFixture::TearDown();
  }

  // A worker in the given slot of target 0, not started.
  std::unique_ptr<CPassWorker> MakeWorker(bool bWriteSide, int nSlot) {
    auto pWorker = std::make_unique<CPassWorker>(bWriteSide);
    pWorker->m_nTarget = 0;
    pWorker->m_nSlot = nSlot;
    pWorker->m_hEndEvent = g_pTargetRecords[0].hEndEvent[nSlot];
    return pWorker;
  }

  // szDetail: what the system said, shown after the words; empty for none.
  void ExpectFailure(const char* szShort, const char* szLong, const std::string& szDetail = "") {
    EXPECT_EQ(m_console.Cell(0, kColumnStatus), "FAIL");
    EXPECT_EQ(m_console.Cell(0, kColumnError), szShort);
    EXPECT_EQ(m_console.StatusText(), "FAIL");
    if (szDetail.empty()) {
      EXPECT_EQ(m_console.ExtendedText(), szLong);
    } else {
      EXPECT_EQ(m_console.ExtendedText().rfind(std::string(szLong) + ": ", 0), 0u) << m_console.ExtendedText();
      EXPECT_NE(m_console.ExtendedText().find(szDetail), std::string::npos) << m_console.ExtendedText();
    }
  }
};

TEST_F(WorkerFrameTest, StartUpCreatesPublishesAndCleanUpWithdraws) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(65536, 4096, MODE_ERROR_CHECKING | MODE_PERFORMANCE)));
  auto pWorker = MakeWorker(true, 25);
  ASSERT_TRUE(pWorker->InitInstance());

  const std::string szFile = m_roots[0] + "WRITE/KORVA25.DAT";
  EXPECT_EQ(pWorker->FileName(), szFile);
  struct stat st {};
  ASSERT_EQ(stat(szFile.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 65536) << "laid out at its full size before any I/O";
  EXPECT_EQ(m_console.Cell(0, kColumnStatus), "INIT");

  const SlotIoEntry& entry = g_pTargetRecords[0].entries[25 + kWriteEntryOffset];
  EXPECT_EQ(entry.pBuffer, pWorker->Buffer());
  EXPECT_NE(entry.hFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(pWorker->Buffer()) % 4096, 0u);
  EXPECT_EQ(std::count(pWorker->Buffer(), pWorker->Buffer() + 65536, 0xAA), 65536);
  EXPECT_EQ(pWorker->ClearFill(), 0x00);
  ASSERT_NE(pWorker->Reference(), nullptr);
  EXPECT_EQ(std::memcmp(pWorker->Reference(), pWorker->Buffer(), 65536), 0);
  EXPECT_EQ(pWorker->StoredCrc(), CCrc32::Compute(pWorker->Buffer(), 65536));
  EXPECT_EQ(g_pTargetRecords[0].entries[25].pBuffer, nullptr) << "the read side of the slot is not touched";

  pWorker->CleanUp();
  EXPECT_EQ(entry.pBuffer, nullptr);
  EXPECT_EQ(entry.hFile, INVALID_HANDLE_VALUE);
  EXPECT_EQ(m_console.Cell(0, kColumnStatus), "STOP");
  EXPECT_EQ(stat(szFile.c_str(), &st), 0) << "the work file stays on the target";
  EXPECT_EQ(st.st_size, 0) << "as long as what the run wrote into it: nothing";
  EXPECT_TRUE(Events().empty());

  g_pTargetRecords[0].hEndEvent[25]->Reset();
  pWorker.reset();
  EXPECT_TRUE(g_pTargetRecords[0].hEndEvent[25]->IsSet()) << "destruction signals the slot's end";
}

TEST_F(WorkerFrameTest, ReadSideNamesAndEntries) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(4096, 4096, 0)));
  auto pWorker = MakeWorker(false, 3);
  ASSERT_TRUE(pWorker->InitInstance());
  EXPECT_EQ(pWorker->FileName(), m_roots[0] + "READ/KORVA3.DAT");
  EXPECT_EQ(g_pTargetRecords[0].entries[3].pBuffer, pWorker->Buffer());
  EXPECT_EQ(pWorker->Reference(), nullptr) << "no reference copy without Error Checking";
  pWorker->CleanUp();
}

TEST_F(WorkerFrameTest, UnpreparedSlotEndsSilently) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(4096, 4096, 0)));
  g_pTargetRecords[0].settings.pDialog = nullptr;
  EXPECT_FALSE(MakeWorker(true, 25)->InitInstance());
  auto pOutOfRange = MakeWorker(true, 25);
  pOutOfRange->m_nTarget = 7;
  EXPECT_FALSE(pOutOfRange->InitInstance());
  EXPECT_EQ(m_console.Cell(0, kColumnStatus), "");
  EXPECT_TRUE(Events().empty());
}

TEST_F(WorkerFrameTest, StartUpFailuresAreReportedAsInitialization) {
  struct Case {
    const char* szWhat;
    uint32_t dwBufferSize;
    std::function<void(WorkerFrameTest&)> prepare;
    const char* szDetail;  // what the system said, shown with the failure
  };
  static std::vector<uint8_t> labelOnly(16, 'L');
  // What a planted link points at; it must come through every case untouched.
  test::CTempDir victim;
  const std::string szVictim = victim.Path("victim");
  std::ofstream(szVictim) << "keep";
  const auto Plant = [](WorkerFrameTest& t, const std::function<int(const char*)>& make) {
    ASSERT_EQ(make((t.m_roots[0] + "WRITE/KORVA26.DAT").c_str()), 0);
  };
  const Case cases[] = {
      {"buffer not a multiple of the sector size", 1000, [](WorkerFrameTest&) {}, "512-byte sectors"},
      {"pattern file without pattern bytes", 4096,
       [](WorkerFrameTest&) {
         g_nPatternKind = kPatternFile;
         g_pPatternFile = &labelOnly;
       },
       ""},
      {"no pattern file at all", 4096, [](WorkerFrameTest&) { g_nPatternKind = kPatternFile; }, ""},
      {"work directory vanished", 4096,
       [](WorkerFrameTest& t) { std::filesystem::remove_all(t.m_roots[0] + "WRITE"); }, "No such file or directory"},
      {"target root vanished", 4096, [](WorkerFrameTest& t) { std::filesystem::remove_all(t.m_roots[0]); },
       "No such file or directory"},
      {"work file planted as a link", 4096,
       [&](WorkerFrameTest& t) { Plant(t, [&](const char* sz) { return symlink(szVictim.c_str(), sz); }); },
       "is a symbolic link, not a regular file"},
      {"work file planted as a second name", 4096,
       [&](WorkerFrameTest& t) {
         std::ofstream(t.m_roots[0] + "kept") << "keep";
         Plant(t, [&](const char* sz) { return link((t.m_roots[0] + "kept").c_str(), sz); });
       },
       "has 2 names"},
      {"work file planted as a FIFO", 4096,
       [&](WorkerFrameTest& t) { Plant(t, [](const char* sz) { return mkfifo(sz, 0600); }); }, "is a FIFO"},
      {"work directory planted as a link", 4096,
       [&](WorkerFrameTest& t) {
         std::filesystem::remove_all(t.m_roots[0] + "WRITE");
         ASSERT_EQ(symlink(victim.Root().c_str(), (t.m_roots[0] + "WRITE").c_str()), 0);
       },
       "WRITE: is a symbolic link, not a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.szWhat);
    ASSERT_TRUE(PrepareTemporary(MakeSettings(c.dwBufferSize, 512, MODE_ERROR_CHECKING)));
    c.prepare(*this);
    const size_t nEventsBefore = Events().size();
    auto pWorker = MakeWorker(true, 26);
    EXPECT_FALSE(pWorker->InitInstance());
    ExpectFailure("INITIALIZATION", "INITIALIZATION ERROR", c.szDetail);
    EXPECT_TRUE(pWorker->Failed());
    EXPECT_EQ(g_pTargetRecords[0].entries[26 + kWriteEntryOffset].hFile, INVALID_HANDLE_VALUE);
    std::vector<EventRecord> events = Events();
    ASSERT_EQ(events.size(), nEventsBefore + 1);
    EXPECT_EQ(events.back().eventId, 0xC000010Eu);
    if (*c.szDetail == '\0') {
      EXPECT_TRUE(events.back().strings.empty());
    } else {
      ASSERT_EQ(events.back().strings.size(), 1u);
      EXPECT_NE(events.back().strings[0].find(c.szDetail), std::string::npos) << events.back().strings[0];
    }
    EXPECT_TRUE(events.back().data.empty());
    EXPECT_EQ(test::ReadWholeFile(szVictim), "keep");
    EXPECT_FALSE(std::filesystem::exists(victim.Path("KORVA26.DAT")));
    pWorker.reset();
    EXPECT_TRUE(g_pTargetRecords[0].hEndEvent[26]->IsSet());
    g_nPatternKind = kPatternByte;
    g_pPatternFile = nullptr;
    TearDown();
  }
}

TEST_F(WorkerFrameTest, UnwritableEventLogFailsTheStartUp) {
  ASSERT_TRUE(PrepareTemporary(MakeSettings(4096, 4096, 0)));
  // A state directory below a regular file can never be created.
  const std::string szBlocker = m_home.Dir() + "blocker";
  std::FILE* pBlocker = std::fopen(szBlocker.c_str(), "w");
  ASSERT_NE(pBlocker, nullptr);
  std::fclose(pBlocker);
  setenv("STRATAVON_HOME", (szBlocker + "/state").c_str(), 1);
  auto pWorker = MakeWorker(true, 25);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(pWorker->InitInstance());
  ExpectFailure("INITIALIZATION", "INITIALIZATION ERROR", "events.jsonl: Not a directory");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("INITIALIZATION ERROR"), std::string::npos)
      << "an entry with no log to go to still reaches standard error";
}

// A worker past its start-up with a buffer of 4 chunks, ready to report.
class ReportTest : public WorkerFrameTest {
 protected:
  static constexpr uint32_t kChunk = 4096;
  static constexpr uint32_t kBuffer = 4 * kChunk;

  void SetUp() override {
    g_nPatternKind = kPatternCrpat;
    ASSERT_TRUE(PrepareTemporary(MakeSettings(kBuffer, kChunk, MODE_ERROR_CHECKING)));
    m_pWorker = MakeWorker(true, 27);
    ASSERT_TRUE(m_pWorker->InitInstance());
    // The file as a pass leaves it: the whole pattern.
    std::FILE* f = std::fopen(m_pWorker->FileName().c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fwrite(m_pWorker->Buffer(), 1, kBuffer, f);
    std::fclose(f);
  }
  void TearDown() override {
    if (m_pWorker) m_pWorker->CleanUp();
    m_pWorker.reset();
    WorkerFrameTest::TearDown();
  }
  std::string FileHead(size_t nBytes) { return ReadWholeFile(m_pWorker->FileName()).substr(0, nBytes); }

  std::unique_ptr<CPassWorker> m_pWorker;
};

TEST_F(ReportTest, ApiErrorStampsTheFailedChunkAtFileOffsetZero) {
  uint8_t* pThird = m_pWorker->Buffer() + 2 * kChunk;
  const std::string szExpectedTail(reinterpret_cast<char*>(pThird) + kStampBytes, kChunk - kStampBytes);
  m_pWorker->ReportIoError(EIO, kErrorReadApi, pThird);

  const std::string szHead = FileHead(kChunk);
  EXPECT_EQ(szHead.substr(0, kStampBytes), std::string(kApiStamp, kStampBytes));
  EXPECT_EQ(szHead.substr(kStampBytes), szExpectedTail) << "the rest of the written data is the failed chunk's";
  const std::string szFile = ReadWholeFile(m_pWorker->FileName());
  EXPECT_EQ(szFile.size(), kBuffer) << "only the first transfer is rewritten";
  ExpectFailure("READ API", "READ API ERROR");

  std::vector<EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].eventId, 0xC000010Bu);
  EXPECT_EQ(events[0].type, 1u);
  EXPECT_EQ(events[0].category, 1u);
  EXPECT_EQ(events[0].source, "Halvex Stratavon Utility");
  EXPECT_EQ(events[0].strings,
            (std::vector<std::string>{"READ", m_roots[0], "27", FormatSystemMessage(EIO)}));
  EXPECT_TRUE(events[0].data.empty());

  m_pWorker->CleanUp();
  EXPECT_EQ(m_console.Cell(0, kColumnStatus), "FAIL") << "clean-up never writes STOP over FAIL";
}

TEST_F(ReportTest, WriteErrorWordsOfTheSynchronousWorkers) {
  m_pWorker->ReportIoError(ENOSPC, kErrorWriteApi, m_pWorker->Buffer());
  ExpectFailure("WRITE API", "WRITE API FAILURE");
  std::vector<EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].strings[0], "WRITE");
  EXPECT_EQ(events[0].strings[3], FormatSystemMessage(ENOSPC));
  EXPECT_EQ(FileHead(kStampBytes), std::string(kApiStamp, kStampBytes));
}

TEST_F(ReportTest, DataComparisonListsTheOnlyDifferingLastWord) {
  uint8_t* pBuffer = m_pWorker->Buffer();
  uint32_t dwExpected;
  std::memcpy(&dwExpected, pBuffer + kBuffer - 4, 4);
  const uint32_t dwFound = dwExpected ^ 0x00FF0000u;
  std::memcpy(pBuffer + kBuffer - 4, &dwFound, 4);
  ClearIntegrityReports();
  const std::vector<uint8_t> asRead(pBuffer, pBuffer + kBuffer);
  m_pWorker->ReportIoError(0, kErrorDataComparison, pBuffer);

  ExpectFailure("DATA COMPARISON", "DATA COMPARISON ERROR");
  EXPECT_EQ(FileHead(kStampBytes), std::string(kCrcStamp, kStampBytes));
  std::vector<EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].eventId, 0xC000010Au);
  // Where the damage is comes after the four strings every entry has.
  ASSERT_EQ(events[0].strings.size(), 5u);
  events[0].strings.pop_back();
  EXPECT_EQ(events[0].strings, (std::vector<std::string>{m_pWorker->FileName(), m_roots[0], "27", "1"}));
  const std::vector<IntegrityReport> reports = IntegrityReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].mismatch.qwFirstOffset, kBuffer - 2);
  EXPECT_EQ(reports[0].mismatch.qwDifferingBytes, 1u);
  EXPECT_EQ(ReadWholeFile(reports[0].szBadFile), std::string(asRead.begin(), asRead.end()));
  ASSERT_EQ(events[0].data.size(), 80u);
  uint32_t pairs[20];
  std::memcpy(pairs, events[0].data.data(), 80);
  EXPECT_EQ(pairs[0], dwExpected);
  EXPECT_EQ(pairs[1], dwFound);
  for (int i = 2; i < 20; ++i) EXPECT_EQ(pairs[i], 0u) << "unused pairs are zero";
}

TEST_F(ReportTest, DataComparisonListsTheFirstTenOfTwentyFive) {
  uint8_t* pBuffer = m_pWorker->Buffer();
  std::vector<uint32_t> expected;
  for (int i = 0; i < 25; ++i) {
    const size_t nAt = 100 + static_cast<size_t>(i) * 150;  // word index, all within the buffer
    uint32_t dw;
    std::memcpy(&dw, pBuffer + nAt * 4, 4);
    expected.push_back(dw);
    dw = ~dw;
    std::memcpy(pBuffer + nAt * 4, &dw, 4);
  }
  m_pWorker->ReportIoError(0, kErrorDataComparison, pBuffer);
  std::vector<EventRecord> events = Events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].strings[3], "10");
  ASSERT_EQ(events[0].data.size(), 80u);
  uint32_t pairs[20];
  std::memcpy(pairs, events[0].data.data(), 80);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(pairs[2 * i], expected[i]) << i;
    EXPECT_EQ(pairs[2 * i + 1], ~expected[i]) << i;
  }
}

TEST_F(ReportTest, DataComparisonWithoutABlockOnlyShowsTheFailure) {
  const std::string szBefore = ReadWholeFile(m_pWorker->FileName());
  m_pWorker->ReportIoError(0, kErrorDataComparison, nullptr);
  ExpectFailure("DATA COMPARISON", "DATA COMPARISON ERROR");
  EXPECT_TRUE(Events().empty());
  EXPECT_EQ(ReadWholeFile(m_pWorker->FileName()), szBefore);
}

// The words are the error table's; what is checked is that the report
// shows the reported kind's, logs its entry with the strings it needs, and
// stamps nothing.
TEST_F(ReportTest, KindsWithoutABlock) {
  const std::string szFile = m_pWorker->FileName();
  const std::pair<uint32_t, std::vector<std::string>> cases[] = {
      {kErrorMemoryAllocation, {FormatSystemMessage(ENOMEM)}}, {kErrorDiskSpace, {}}, {kErrorMaxQueueDepth, {}},
      {kErrorIoTimeout, {szFile}}, {kErrorAbandonedMutex, {}}, {kErrorUnknown, {}},
      {kErrorUnderrunOverrun, {szFile}}, {77, {}}};
  const std::string szBefore = ReadWholeFile(szFile);
  for (const auto& [nKind, strings] : cases) {
    const IoErrorWords words = DescribeIoError(nKind, false);
    SCOPED_TRACE(words.szShort);
    const size_t nBefore = Events().size();
    m_pWorker->ReportIoError(nKind == kErrorMemoryAllocation ? ENOMEM : 0, nKind, nullptr);
    ExpectFailure(words.szShort, words.szLong);
    std::vector<EventRecord> events = Events();
    ASSERT_EQ(events.size(), nBefore + (words.dwEventId != 0 ? 1 : 0));
    if (words.dwEventId == 0) continue;
    EXPECT_EQ(events.back().eventId, words.dwEventId);
    EXPECT_EQ(events.back().strings, strings);
    EXPECT_TRUE(events.back().data.empty());
  }
  EXPECT_EQ(ReadWholeFile(szFile), szBefore) << "only the block kinds stamp the file";
}

}  // namespace
}  // namespace stratavon
