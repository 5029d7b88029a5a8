#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/FlushJournal.h"
#include "engine/JournalScan.h"
#include "platform/TcpStream.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace stratavon {
namespace {

JournalRecord Flushed(uint32_t dwSlot, uint64_t qwFrom, uint64_t qwTo) {
  JournalRecord record;
  record.qwRunId = 0x0123456789ABCDEFull;
  record.dwSlot = dwSlot;
  record.dwUnitBytes = 4096;
  record.dwPass = 3;
  record.qwFrom = qwFrom;
  record.qwTo = qwTo;
  record.qwTimeNs = JournalNow();
  record.szPath = "/mnt/a b/WRITE/KORVA" + std::to_string(dwSlot) + ".DAT";
  return record;
}

std::vector<JournalRecord> Read(const std::string& szPath, uint64_t* pqwSkipped) {
  std::vector<JournalRecord> records;
  std::string szError;
  EXPECT_TRUE(ReadJournal(szPath, &records, pqwSkipped, &szError)) << szError;
  return records;
}

// A record survives its line whole; a line changed or cut short by the
// power cut is passed over and counted, never half read.
TEST(FlushJournalTest, LinesCarryEveryFieldAndDamagedOnesArePassedOver) {
  JournalRecord record = Flushed(7, 8192, 65536);
  record.kind = EJournalKind::kFailed;
  record.nError = 5;
  record.qwSliceOffset = 1ull << 40;
  record.qwSliceBytes = 1ull << 30;
  const std::string szLine = JournalLine(record);
  JournalRecord back;
  ASSERT_TRUE(ParseJournalLine(szLine, &back)) << szLine;
  EXPECT_EQ(JournalLine(back), szLine);
  EXPECT_EQ(back.szPath, record.szPath) << "a path with a space";
  EXPECT_EQ(back.kind, EJournalKind::kFailed);
  EXPECT_EQ(back.qwSliceOffset, record.qwSliceOffset);

  std::string szChanged = szLine;
  szChanged[szChanged.find("to=") + 3] = '9';
  EXPECT_FALSE(ParseJournalLine(szChanged, &back));
  EXPECT_FALSE(ParseJournalLine(szLine.substr(0, szLine.size() / 2), &back));

  test::CTempDir dir;
  const std::string szPath = dir.Path("run.journal");
  {
    CFlushJournal journal;
    std::string szError;
    ASSERT_TRUE(journal.Open(szPath, &szError)) << szError;
    ASSERT_TRUE(journal.Append(Flushed(0, 0, 4096), &szError)) << szError;
    ASSERT_TRUE(journal.Append(Flushed(1, 0, 8192), &szError)) << szError;
  }
  std::ofstream(szPath, std::ios::app) << szChanged << szLine.substr(0, 20);  // the cut tore the last line
  uint64_t qwSkipped = 0;
  const std::vector<JournalRecord> records = Read(szPath, &qwSkipped);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].dwSlot, 1u);
  EXPECT_EQ(records[1].qwTo, 8192u);
  EXPECT_EQ(qwSkipped, 2u);

  // A cut leaves the zeroes laid out ahead of the records; a run that goes
  // on with the same journal writes after the last one, on a line of its own.
  std::ofstream(szPath, std::ios::app) << std::string(1 << 20, '\0');
  {
    CFlushJournal journal;
    std::string szError;
    ASSERT_TRUE(journal.Open(szPath, &szError)) << szError;
    ASSERT_TRUE(journal.Append(Flushed(2, 0, 4096), &szError)) << szError;
  }
  const std::vector<JournalRecord> after = Read(szPath, &qwSkipped);
  ASSERT_EQ(after.size(), 3u);
  EXPECT_EQ(after[2].dwSlot, 2u);
  EXPECT_EQ(qwSkipped, 2u) << "the zeroes are no damaged line";

  CFlushJournal journal;
  std::string szError;
  for (const char* szBad : {"tcp:host", "tcp::99", "tcp:host:0", "tcp:host:70000", "/no/such/dir/j"}) {
    EXPECT_FALSE(journal.Open(szBad, &szError)) << szBad;
  }
}

// Over loopback: a frame is on the listener's disk before its answer; a
// writer that goes without its closing frame is journaled as lost, one
// that ends cleanly is not. Records appended by several workers while the
// listener is not yet serving reach it whole, each worker's in its order,
// in far fewer frames than records.
TEST(FlushJournalTest, ListenerStoresEachFrameBeforeItAnswers) {
  test::CTempDir dir;
  CTcpListener listener;
  std::string szError;
  ASSERT_TRUE(listener.Listen(0, &szError)) << szError;
  std::vector<uint64_t> stored;
  const auto serve = [&] {
    for (int n = 0; n < 2; ++n) {
      CTcpStream stream;
      std::string szWhy;
      if (!listener.Accept(&stream, 10000, &szWhy)) return;
      stored.push_back(ServeJournalConnection(stream, dir.Root()));
    }
  };
  const std::string szFile = dir.Path("stratavon-0123456789abcdef.journal");
  constexpr int kWorkers = 4;
  constexpr uint64_t kEach = 300;
  uint64_t qwSkipped = 0;
  std::thread server;
  {
    CFlushJournal journal;
    ASSERT_TRUE(journal.Open("tcp:127.0.0.1:" + std::to_string(listener.Port()), &szError)) << szError;
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
      workers.emplace_back([&journal, w] {
        std::string szWhy;
        for (uint64_t n = 0; n < kEach; ++n) {
          EXPECT_TRUE(journal.Append(Flushed(w, n * 4096, (n + 1) * 4096), &szWhy)) << szWhy;
        }
      });
    }
    for (std::thread& worker : workers) worker.join();
    EXPECT_FALSE(std::ifstream(szFile).good()) << "nothing is stored before the listener serves";
    server = std::thread(serve);
    ASSERT_TRUE(journal.Close(std::chrono::seconds(30), &szError)) << szError;
    EXPECT_EQ(journal.Written(), kWorkers * kEach);
    EXPECT_LE(journal.Writes(), 1 + kWorkers * kEach / 100) << "records queued together go in one frame";
  }
  {
    CTcpStream stream;
    ASSERT_TRUE(stream.Connect("localhost", listener.Port(), 10000)) << stream.LastError();
    ASSERT_TRUE(SendJournalFrame(stream, JournalLine(Flushed(9, 0, 4096)), 10000, &szError)) << szError;
    EXPECT_EQ(Read(szFile, &qwSkipped).size(), kWorkers * kEach + 1) << "stored before the answer";
  }  // gone without a word, as a machine whose power was cut
  server.join();
  EXPECT_EQ(stored, (std::vector<uint64_t>{kWorkers * kEach, 2}));
  const std::vector<JournalRecord> records = Read(szFile, &qwSkipped);
  ASSERT_EQ(records.size(), kWorkers * kEach + 2);
  std::vector<uint64_t> next(kWorkers, 0);
  for (size_t i = 0; i < kWorkers * kEach; ++i) {
    const JournalRecord& record = records[i];
    ASSERT_LT(record.dwSlot, static_cast<uint32_t>(kWorkers));
    EXPECT_EQ(record.qwFrom, next[record.dwSlot] * 4096) << "record " << i << " out of its worker's order";
    ++next[record.dwSlot];
  }
  EXPECT_EQ(records[kWorkers * kEach].dwSlot, 9u);
  EXPECT_EQ(records.back().kind, EJournalKind::kLost);
  EXPECT_EQ(records.back().dwSlot, 9u);
  EXPECT_GE(records.back().qwTimeNs, records[kWorkers * kEach].qwTimeNs);
  EXPECT_EQ(qwSkipped, 0u);
}

// A journal whose writes fail, or do not end within the close's time,
// refuses further records and says how many were not journaled.
TEST(FlushJournalTest, RecordsThatCannotBeWrittenAreCounted) {
  std::string szError;
  {
    CTcpListener listener;
    ASSERT_TRUE(listener.Listen(0, &szError)) << szError;
    CFlushJournal journal;
    ASSERT_TRUE(journal.Open("tcp:127.0.0.1:" + std::to_string(listener.Port()), &szError)) << szError;
    for (uint64_t n = 0; n < 5; ++n) ASSERT_TRUE(journal.Append(Flushed(1, n, n + 1), &szError)) << szError;
    EXPECT_FALSE(journal.Close(std::chrono::milliseconds(300), &szError)) << "the listener never answered";
    EXPECT_EQ(szError.rfind("5 flush journal record(s) could not be written", 0), 0u) << szError;
    EXPECT_FALSE(journal.Append(Flushed(1, 5, 6), &szError)) << "closed";
  }
  CTcpListener listener;
  ASSERT_TRUE(listener.Listen(0, &szError)) << szError;
  std::thread server([&] {
    CTcpStream stream;
    std::string szWhy;
    (void)listener.Accept(&stream, 10000, &szWhy);
  });  // and gone at once: the listener's machine went down
  CFlushJournal journal;
  ASSERT_TRUE(journal.Open("tcp:127.0.0.1:" + std::to_string(listener.Port()), &szError)) << szError;
  server.join();
  ASSERT_TRUE(journal.Append(Flushed(1, 0, 1), &szError)) << szError;
  EXPECT_TRUE(test::Eventually([&] { return !journal.Append(Flushed(1, 1, 2), &szError); }));
  EXPECT_EQ(szError.rfind("journal listener: ", 0), 0u) << szError;
  EXPECT_FALSE(journal.Close(std::chrono::seconds(30), &szError));
  EXPECT_EQ(journal.Written(), 0u);
}

// Each unit judged against what the journal last said of it: flushed
// (pass 2 over units 0..7), failed (unit 8), nothing (9..11).
TEST(FlushJournalTest, UnitsAreJudgedAgainstTheLastJournaledFlush) {
  constexpr uint32_t kUnit = 512;
  const StampIdentity id{0x0123456789ABCDEFull, 2, kUnit};
  std::vector<uint8_t> file(12 * kUnit, 0x5A);
  const auto Stamp = [&](uint32_t nUnit, uint32_t dwPass, uint64_t qwOffset, const StampIdentity& who) {
    std::memset(&file[nUnit * kUnit], 0x5A, kUnit);
    StampUnits(&file[nUnit * kUnit], kUnit, qwOffset, dwPass, who);
  };
  for (uint32_t n = 0; n < 12; ++n) Stamp(n, 2, n * kUnit, id);
  Stamp(1, 1, kUnit, id);                              // LOST FLUSH: the pass before
  std::memset(&file[2 * kUnit], 0, kUnit);             // LOST FLUSH: zeroes
  Stamp(3, 3, 3 * kUnit, id);                          // UNFLUSHED: written after the flush
  std::memset(&file[4 * kUnit + 256], 0, 256);         // TORN where flushed: FAIL
  Stamp(5, 2, 0, id);                                  // MISDIRECTED
  std::memset(&file[8 * kUnit], 0, kUnit);             // UNFLUSHED: its write failed
  Stamp(9, 1, 9 * kUnit, {7, 2, kUnit});               // UNFLUSHED: what the target held before
  Stamp(10, 3, 10 * kUnit, id);
  std::memset(&file[10 * kUnit + 300], 0, kUnit - 300);  // TORN where unflushed: allowed
  test::CTempDir dir;
  const std::string szPath = dir.Path("KORVA2.DAT");
  std::ofstream(szPath, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());

  std::vector<JournalRecord> records = {Flushed(2, 0, 4 * kUnit), Flushed(2, 4 * kUnit, 9 * kUnit),
                                        Flushed(2, 8 * kUnit, 9 * kUnit)};
  for (JournalRecord& record : records) {
    record.dwUnitBytes = kUnit;
    record.dwPass = 2;
    record.szPath = szPath;
  }
  records[2].kind = EJournalKind::kFailed;
  records.push_back(Flushed(5, 0, kUnit));  // another worker's file
  FlushScan scan = ScanWithJournal(szPath, records);
  ASSERT_EQ(scan.szError, "");
  EXPECT_EQ(scan.qwRecords, 3u);
  const uint64_t aqwWant[kFlushClasses] = {3, 2, 4, 2, 0, 1, 0};
  for (int i = 0; i < kFlushClasses; ++i) {
    EXPECT_EQ(scan.aqwUnits[i], aqwWant[i]) << FlushClassWord(static_cast<FlushClass>(i));
  }
  EXPECT_EQ(scan.qwTornFlushed, 1u);
  EXPECT_EQ(scan.aqwFirst[static_cast<int>(FlushClass::kLostFlush)], kUnit);
  EXPECT_EQ(scan.aqwFirst[static_cast<int>(FlushClass::kTorn)], 4 * kUnit);
  EXPECT_FALSE(scan.Good());

  // The flush over unit 4 and 5 never happened: nothing promised there.
  records.erase(records.begin() + 1);
  std::memset(&file[5 * kUnit], 0, kUnit);
  std::ofstream(szPath, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
  records[0].qwTo = kUnit;
  scan = ScanWithJournal(szPath, records);
  EXPECT_EQ(scan.aqwUnits[static_cast<int>(FlushClass::kOk)], 1u);
  EXPECT_EQ(scan.qwTornFlushed, 0u);
  EXPECT_TRUE(scan.Good()) << "only unflushed units and torn ones where nothing was flushed";
}

}  // namespace
}  // namespace stratavon
