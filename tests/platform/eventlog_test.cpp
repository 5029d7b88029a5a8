#include "platform/EventCatalog.h"
#include "platform/EventLog.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace stratavon {
namespace {

constexpr const char* kSource = "Halvex Stratavon Utility";

class EventLogTest : public ::testing::Test {
 protected:
  test::CStateHome m_home;

  bool Report(HEVENTLOG hSource, uint32_t dwEventId, const std::vector<std::string>& strings,
              const std::vector<uint8_t>& data = {}) {
    std::vector<const char*> pointers;
    for (const std::string& sz : strings) pointers.push_back(sz.c_str());
    return ReportEvent(hSource, EVENTLOG_ERROR_TYPE, 1, dwEventId, nullptr, static_cast<uint16_t>(pointers.size()),
                       static_cast<uint32_t>(data.size()), pointers.data(), data.data());
  }
};

TEST_F(EventLogTest, EntriesRoundTripWithAwkwardStringsAndRawData) {
  // The state directory is made on first use.
  setenv("STRATAVON_HOME", (m_home.Dir() + "nested/state/").c_str(), 1);
  HEVENTLOG hSource = RegisterEventSource(kSource);
  ASSERT_NE(hSource, nullptr);
  EXPECT_EQ(EventLogPath(), m_home.Dir() + "nested/state/events.jsonl");

  const std::vector<std::string> strings = {
      "say \"hi\" \\ there",
      "line1\nline2\r\ttab\x01\x1f end",
      "stray \xff\xfe bytes \xc3( and \xed\xa0\x80 a surrogate",
      "valid UTF-8: \xc3\x9c \xe2\x82\xac \xf0\x9d\x84\x9e",
      "/mnt/" + std::string(3995, 'p'),
      ""};
  std::vector<uint8_t> data(80);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 200);
  ASSERT_TRUE(Report(hSource, 0xC000010A, strings, data));
  ASSERT_TRUE(Report(hSource, 0xC000010E, {}));
  DeregisterEventSource(hSource);

  size_t nSkipped = 99;
  const std::vector<EventRecord> records = ReadEventLog(EventLogPath(), &nSkipped);
  EXPECT_EQ(nSkipped, 0u);
  ASSERT_EQ(records.size(), 2u);
  const EventRecord& first = records[0];
  EXPECT_EQ(first.source, kSource);
  EXPECT_EQ(first.type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(first.category, 1u);
  EXPECT_EQ(first.eventId, 0xC000010Au);
  EXPECT_EQ(first.strings, strings);
  EXPECT_EQ(first.data, data);
  EXPECT_TRUE(records[1].strings.empty());
  EXPECT_TRUE(records[1].data.empty());

  // The stored form others read: fixed field order, plain decimal id, hex
  // data, \u00XX for stray bytes.
  const std::string& line = first.line;
  size_t nLast = 0;
  for (const char* szKey : {"\"time\"", "\"source\"", "\"type\"", "\"category\"", "\"event_id\"", "\"strings\"",
                            "\"data\""}) {
    const size_t nAt = line.find(szKey);
    ASSERT_NE(nAt, std::string::npos) << szKey;
    EXPECT_GT(nAt, nLast) << szKey;
    nLast = nAt;
  }
  EXPECT_NE(line.find("\"event_id\": 3221225738,"), std::string::npos);
  EXPECT_NE(line.find("\\u00ff\\u00fe"), std::string::npos);
  EXPECT_NE(line.find("\"data\": \"c8ed"), std::string::npos) << "raw data as lowercase hex";
  EXPECT_NE(records[1].line.find("\"data\": \"\"}"), std::string::npos);
  EXPECT_EQ(first.time.size(), 20u);
  EXPECT_EQ(first.time.back(), 'Z');

  struct stat st {};
  ASSERT_EQ(stat(EventLogPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0133, 0u) << "log file must not be executable or writable by others";
}

TEST_F(EventLogTest, ConcurrentWritersLeaveWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kEntries = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      // One source per worker, as the workers open them.
      HEVENTLOG hSource = RegisterEventSource(kSource);
      ASSERT_NE(hSource, nullptr);
      for (int i = 0; i < kEntries; ++i) {
        const std::string szPadding(1000 + 97 * ((t + i) % 31), static_cast<char>('a' + t));
        EXPECT_TRUE(Report(hSource, 0xC000010F, {std::to_string(t), std::to_string(i), szPadding}));
      }
      DeregisterEventSource(hSource);
    });
  }
  for (std::thread& thread : threads) thread.join();

  size_t nSkipped = 0;
  const std::vector<EventRecord> records = ReadEventLog(EventLogPath(), &nSkipped);
  EXPECT_EQ(nSkipped, 0u);
  ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kEntries));
  std::set<std::pair<int, int>> seen;
  for (const EventRecord& record : records) {
    ASSERT_EQ(record.strings.size(), 3u);
    const int t = std::stoi(record.strings[0]);
    EXPECT_EQ(record.strings[2], std::string(record.strings[2].size(), static_cast<char>('a' + t)));
    seen.emplace(t, std::stoi(record.strings[1]));
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
}

TEST_F(EventLogTest, NoLogWhereNothingCanBeWritten) {
  const char* szStrings[] = {"x"};
  EXPECT_FALSE(ReportEvent(nullptr, EVENTLOG_ERROR_TYPE, 1, 0xC000010E, nullptr, 1, 0, szStrings, nullptr));

  // A state directory below a regular file cannot exist, even for root.
  const std::string szFile = m_home.Dir() + "plain-file";
  std::ofstream(szFile) << "x";
  setenv("STRATAVON_HOME", (szFile + "/state").c_str(), 1);
  errno = 0;
  EXPECT_EQ(RegisterEventSource(kSource), nullptr);
  EXPECT_NE(errno, 0);
  EXPECT_EQ(RegisterEventSourceAt(kSource, szFile + "/events.jsonl"), nullptr);
  EXPECT_TRUE(ReadEventLog(szFile + "/events.jsonl").empty());
}

TEST_F(EventLogTest, CatalogCoversEveryIdAndMessagesInsertTheirStrings) {
  for (uint32_t dwId = kFirstCatalogEventId; dwId <= kLastCatalogEventId; ++dwId) {
    ASSERT_NE(EventCatalogText(dwId), nullptr) << std::hex << dwId;
    EXPECT_GT(std::string(EventCatalogText(dwId)).size(), 20u) << std::hex << dwId;
    // With every string given, no insertion point is left over.
    EXPECT_EQ(FormatEventMessage(dwId, {"a", "b", "c", "d"}).find('%'), std::string::npos) << std::hex << dwId;
  }
  EXPECT_EQ(EventCatalogText(kFirstCatalogEventId - 1), nullptr);
  EXPECT_EQ(EventCatalogText(kLastCatalogEventId + 1), nullptr);

  const std::string szApi = FormatEventMessage(0xC000010B, {"WRITE", "/mnt/data disk/", "27", "No space left on device"});
  EXPECT_EQ(szApi.rfind("WRITE", 0), 0u) << szApi;
  for (const char* szPart : {"/mnt/data disk/", "27", "No space left on device"}) {
    EXPECT_NE(szApi.find(szPart), std::string::npos) << szApi;
  }
  const std::string szCompare = FormatEventMessage(0xC000010A, {"/t/WRITE/KORVA25.DAT"});
  EXPECT_NE(szCompare.find("/t/WRITE/KORVA25.DAT"), std::string::npos);
  EXPECT_EQ(szCompare.find('%'), std::string::npos) << "missing strings insert nothing";

  EXPECT_EQ(FormatEventMessage(0xC0000199, {}), "Event 0xC0000199 (no catalog text)");
  const std::string szUnknown = FormatEventMessage(0xC0000199, {"one", "two"});
  EXPECT_EQ(szUnknown.rfind("Event 0xC0000199 (no catalog text)", 0), 0u);
  EXPECT_NE(szUnknown.find("one"), std::string::npos);
  EXPECT_NE(szUnknown.find("two"), std::string::npos);
}

constexpr const char* kValidLine =
    R"({"time": "2026-12-06T19:00:00Z", "source": "S", "type": 1, "category": 1, )"
    R"("event_id": 3221225738, "strings": ["a", "b"], "data": "0aff"})";

TEST_F(EventLogTest, ParserAcceptsAnyLayoutAndEveryEscape) {
  EventRecord record;
  ASSERT_TRUE(ParseEventRecord(kValidLine, record));
  EXPECT_EQ(record.strings, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(record.data, (std::vector<uint8_t>{0x0a, 0xff}));

  const std::string szShuffled =
      "\t{ \"strings\" :[ ] ,\"data\":\"\",\n\"event_id\":0,\"category\" : 7,\"type\":4,"
      "\"source\":\"\\u0053\\/x\",\"time\":\"2000-01-01T00:00:00Z\"}  \r";
  ASSERT_TRUE(ParseEventRecord(szShuffled, record));
  EXPECT_EQ(record.source, "S/x");
  EXPECT_EQ(record.category, 7u);
  EXPECT_TRUE(record.strings.empty());
  EXPECT_EQ(record.line, szShuffled);

  const std::string szEscapes =
      R"({"time": "2026-12-06T19:00:00Z", "source": "S", "type": 1, "category": 1, "event_id": 1, )"
      R"("strings": ["\ud834\udd1e", "\u20ac\u00e9\u0000", "\b\f\n\r\t\"\\"], "data": "AbCd"})";
  ASSERT_TRUE(ParseEventRecord(szEscapes, record));
  EXPECT_EQ(record.strings[0], "\xf0\x9d\x84\x9e");
  EXPECT_EQ(record.strings[1], std::string("\xe2\x82\xac\xe9\0", 5)) << "\\u00XX is the byte the writer escaped";
  EXPECT_EQ(record.strings[2], "\b\f\n\r\t\"\\");
  EXPECT_EQ(record.data, (std::vector<uint8_t>{0xab, 0xcd}));
}

TEST_F(EventLogTest, ParserRejectsMalformedLinesAndLeavesTheRecordAlone) {
  const std::string szValid = kValidLine;
  EventRecord record;
  record.source = "untouched";
  for (size_t n = 0; n < szValid.size(); ++n) {
    EXPECT_FALSE(ParseEventRecord(szValid.substr(0, n), record)) << "truncated at " << n;
  }
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string sz = szValid;
    sz.replace(sz.find(from), from.size(), to);
    return sz;
  };
  const std::vector<std::string> bad = {
      szValid + "x",
      szValid + "}",
      szValid + " {}",
      replaced("\"type\": 1", "\"type\": \"1\""),
      replaced("\"type\": 1", "\"type\": -1"),
      replaced("\"type\": 1", "\"type\": 1.5"),
      replaced("\"type\": 1", "\"type\": 1e3"),
      replaced("\"type\": 1", "\"type\": 01"),
      replaced("\"type\": 1", "\"type\": true"),
      replaced("3221225738", "4294967296"),
      replaced("3221225738", "99999999999999999999999"),
      replaced("[\"a\", \"b\"]", "\"a\""),
      replaced("[\"a\", \"b\"]", "[\"a\", 2]"),
      replaced("[\"a\", \"b\"]", "[\"a\",]"),
      replaced("[\"a\", \"b\"]", "[\"a\" \"b\"]"),
      replaced("[\"a\", \"b\"]", "[[\"a\"]]"),
      replaced("\"0aff\"", "10"),
      replaced("\"0aff\"", "\"0af\""),
      replaced("\"0aff\"", "\"0g\""),
      replaced("\"source\": \"S\", ", ""),
      replaced("\"source\": \"S\"", "\"source\": \"S\", \"source\": \"T\""),
      replaced("\"source\": \"S\"", "\"source\": \"S\", \"extra\": 1"),
      replaced("\"source\": \"S\"", "\"source\": null"),
      replaced("\"2026-12-06T19:00:00Z\"", "\"yesterday\""),
      replaced("\"a\"", "\"\\ud834\""),
      replaced("\"a\"", "\"\\udd1e\""),
      replaced("\"a\"", "\"\\ud834\\u0041\""),
      replaced("\"a\"", "\"\\x41\""),
      replaced("\"a\"", "\"\\u12\""),
      replaced("\"a\"", "\"tab\there\""),
      replaced("\"a\"", "\"bad \xff byte\""),
      replaced("\"a\"", "\"overlong \xc0\xaf\""),
      replaced(", \"category\"", " \"category\""),
      replaced("{", "["),
      std::string(kValidLine).insert(10, 1, '\0'),
      "",
      "{}",
      "null",
  };
  for (const std::string& sz : bad) EXPECT_FALSE(ParseEventRecord(sz, record)) << sz;
  EXPECT_EQ(record.source, "untouched");
}

TEST_F(EventLogTest, ReaderSkipsAndCountsLinesThatAreNoEntries) {
  const std::string szPath = m_home.Dir() + "events.jsonl";
  EXPECT_TRUE(ReadEventLog(szPath).empty()) << "a missing log is an empty log";
  std::ofstream(szPath) << kValidLine << "\nnot json\n\n" << kValidLine << "\n{\"time\": \"2026-";
  size_t nSkipped = 0;
  EXPECT_EQ(ReadEventLog(szPath, &nSkipped).size(), 2u);
  EXPECT_EQ(nSkipped, 2u);
}

TEST_F(EventLogTest, EntryAfterATornLastLineSurvives) {
  const std::string szPath = m_home.Dir() + "torn.jsonl";
  const std::string szTorn = "{\"time\": \"2026-";
  std::ofstream(szPath) << kValidLine << "\n" << szTorn;
  HEVENTLOG hSource = RegisterEventSourceAt(kSource, szPath);
  ASSERT_NE(hSource, nullptr);
  EXPECT_TRUE(Report(hSource, 0xC000010E, {"after the tear"}));
  DeregisterEventSource(hSource);
  size_t nSkipped = 0;
  std::vector<EventRecord> records = ReadEventLog(szPath, &nSkipped);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].strings, std::vector<std::string>{"after the tear"});
  EXPECT_EQ(nSkipped, 1u) << "the torn line itself";

  // An entry an older writer glued onto a torn line is still read.
  std::ofstream(szPath) << szTorn << kValidLine << "\n";
  EXPECT_EQ(ReadEventLog(szPath).size(), 1u);
}

}  // namespace
}  // namespace stratavon
