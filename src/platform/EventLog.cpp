#include "platform/EventLog.h"

#include "platform/JsonText.h"

#include "platform/AtomicFile.h"
#include "platform/EventCatalog.h"
#include "platform/StateDirectory.h"
#include "platform/SystemError.h"
#include "platform/SystemLog.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace stratavon {

// An open log file. The descriptor is O_APPEND, so every write lands at the
// end of the file whatever other sources (or processes) wrote meanwhile.
struct CEventSource {
  CEventSource(std::string szSource, int hFile) : m_szSource(std::move(szSource)), m_hFile(hFile) {}
  ~CEventSource() { close(m_hFile); }
  CEventSource(const CEventSource&) = delete;
  CEventSource& operator=(const CEventSource&) = delete;

  std::string m_szSource;
  int m_hFile;
};

namespace {


std::string UtcTimestamp() {
  const time_t now = time(nullptr);
  tm parts{};
  char szTime[32] = "1970-01-01T00:00:00Z";
  if (gmtime_r(&now, &parts) != nullptr) strftime(szTime, sizeof szTime, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return szTime;
}

void ReportUnlogged(uint16_t wType, uint32_t dwEventId, const std::string& szText) {
  MirrorToSystemLog(wType, dwEventId, szText);
  std::fprintf(stderr, "stratavon: not in the event log (%s): %s\n", EventLogPath().c_str(), szText.c_str());
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A cursor over one stored line. Every read checks the bounds first: the
// file may have been edited, truncated or filled with anything.
class CJsonCursor {
 public:
  explicit CJsonCursor(std::string_view szText) : m_szText(szText) {}

  void SkipSpace() {
    while (m_nPos < m_szText.size() &&
           (m_szText[m_nPos] == ' ' || m_szText[m_nPos] == '\t' || m_szText[m_nPos] == '\n' ||
            m_szText[m_nPos] == '\r')) {
      ++m_nPos;
    }
  }

  bool Consume(char c) {
    SkipSpace();
    if (m_nPos >= m_szText.size() || m_szText[m_nPos] != c) return false;
    ++m_nPos;
    return true;
  }

  bool AtEnd() {
    SkipSpace();
    return m_nPos == m_szText.size();
  }

  // A JSON number that is a whole number in 0..UINT32_MAX, no sign, no
  // fraction, no exponent (a fraction or exponent is left behind and then
  // fails as the next token).
  bool ReadUnsigned(uint32_t& dw) {
    SkipSpace();
    const size_t nStart = m_nPos;
    uint64_t qw = 0;
    while (m_nPos < m_szText.size() && m_szText[m_nPos] >= '0' && m_szText[m_nPos] <= '9') {
      qw = qw * 10 + static_cast<uint64_t>(m_szText[m_nPos] - '0');
      if (qw > UINT32_MAX) return false;
      ++m_nPos;
    }
    const size_t nDigits = m_nPos - nStart;
    if (nDigits == 0 || (nDigits > 1 && m_szText[nStart] == '0')) return false;
    dw = static_cast<uint32_t>(qw);
    return true;
  }

  bool ReadString(std::string& out) {
    out.clear();
    if (!Consume('"')) return false;
    while (m_nPos < m_szText.size()) {
      const unsigned char c = static_cast<unsigned char>(m_szText[m_nPos]);
      if (c == '"') {
        ++m_nPos;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        if (!ReadEscape(out)) return false;
        continue;
      }
      const size_t nLength = Utf8SequenceLength(m_szText.substr(m_nPos));
      if (nLength == 0) return false;
      out.append(m_szText, m_nPos, nLength);
      m_nPos += nLength;
    }
    return false;
  }

 private:
  bool ReadHex4(uint32_t& dw) {
    if (m_szText.size() - m_nPos < 4) return false;
    dw = 0;
    for (size_t i = 0; i < 4; ++i) {
      const int nDigit = HexValue(m_szText[m_nPos + i]);
      if (nDigit < 0) return false;
      dw = dw << 4 | static_cast<uint32_t>(nDigit);
    }
    m_nPos += 4;
    return true;
  }

  // At a backslash inside a string.
  bool ReadEscape(std::string& out) {
    ++m_nPos;
    if (m_nPos >= m_szText.size()) return false;
    const char c = m_szText[m_nPos++];
    switch (c) {
      case '"': out += '"'; return true;
      case '\\': out += '\\'; return true;
      case '/': out += '/'; return true;
      case 'b': out += '\b'; return true;
      case 'f': out += '\f'; return true;
      case 'n': out += '\n'; return true;
      case 'r': out += '\r'; return true;
      case 't': out += '\t'; return true;
      case 'u': break;
      default: return false;
    }
    uint32_t dwUnit = 0;
    if (!ReadHex4(dwUnit)) return false;
    if (dwUnit >= 0xDC00 && dwUnit <= 0xDFFF) return false;  // a low half on its own
    if (dwUnit >= 0xD800 && dwUnit <= 0xDBFF) {
      uint32_t dwLow = 0;
      if (m_szText.size() - m_nPos < 2 || m_szText[m_nPos] != '\\' || m_szText[m_nPos + 1] != 'u') return false;
      m_nPos += 2;
      if (!ReadHex4(dwLow) || dwLow < 0xDC00 || dwLow > 0xDFFF) return false;
      AppendUtf8(out, 0x10000 + ((dwUnit - 0xD800) << 10) + (dwLow - 0xDC00));
    } else if (dwUnit <= 0xFF) {
      out += static_cast<char>(dwUnit);  // a byte as the writer escaped it
    } else {
      AppendUtf8(out, dwUnit);
    }
    return true;
  }

  std::string_view m_szText;
  size_t m_nPos = 0;
};

bool DecodeHex(const std::string& szHex, std::vector<uint8_t>& data) {
  data.clear();
  if (szHex.size() % 2 != 0) return false;
  data.reserve(szHex.size() / 2);
  for (size_t i = 0; i < szHex.size(); i += 2) {
    const int nHigh = HexValue(szHex[i]);
    const int nLow = HexValue(szHex[i + 1]);
    if (nHigh < 0 || nLow < 0) return false;
    data.push_back(static_cast<uint8_t>(nHigh << 4 | nLow));
  }
  return true;
}

// "2026-12-06T19:00:00Z": the shape the writer produces, nothing else.
bool IsTimestamp(const std::string& szTime) {
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (szTime.size() != kShape.size()) return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const bool bDigit = szTime[i] >= '0' && szTime[i] <= '9';
    if (kShape[i] == 'd' ? !bDigit : szTime[i] != kShape[i]) return false;
  }
  return true;
}

bool ReadStringArray(CJsonCursor& cursor, std::vector<std::string>& strings) {
  strings.clear();
  if (!cursor.Consume('[')) return false;
  if (cursor.Consume(']')) return true;
  do {
    std::string szItem;
    if (!cursor.ReadString(szItem)) return false;
    strings.push_back(std::move(szItem));
  } while (cursor.Consume(','));
  return cursor.Consume(']');
}

// True for an empty file or one whose last byte ends a line; a file that
// cannot be examined counts as ending cleanly (the write will tell).
bool EndsWithNewline(int hFile) {
  struct stat st {};
  if (fstat(hFile, &st) != 0 || st.st_size <= 0) return true;
  char cLast = '\n';
  ssize_t n;
  do {
    n = pread(hFile, &cLast, 1, st.st_size - 1);
  } while (n < 0 && errno == EINTR);
  return n != 1 || cLast == '\n';
}

// A line that does not parse may still end in a whole entry: one appended
// by an older writer right after a torn line. The last entry start that
// parses to the end of the line is taken.
bool ParseTailEntry(const std::string& szLine, EventRecord& record) {
  static constexpr std::string_view kStart = "{\"time\"";
  for (size_t nPos = szLine.rfind(kStart); nPos != std::string::npos && nPos > 0;
       nPos = szLine.rfind(kStart, nPos - 1)) {
    if (ParseEventRecord(szLine.substr(nPos), record)) return true;
  }
  return false;
}

}  // namespace

std::string EventLogPath() { return StateDirectory() + "/events.jsonl"; }

bool CheckEventLogWritable(std::string* pszWhy) {
  const auto Fail = [&](const std::string& szPath) {
    const int nError = errno;
    if (pszWhy != nullptr) *pszWhy = szPath + ": " + FormatSystemMessage(nError);
    return false;
  };
  if (!EnsureStateDirectory()) return Fail(StateDirectory());
  // The registry file is rewritten in the folder, not only the log appended.
  if (access(StateDirectory().c_str(), W_OK) != 0) return Fail(StateDirectory());
  HEVENTLOG hLog = RegisterEventSourceAt("", EventLogPath());
  if (hLog == nullptr) return Fail(EventLogPath());
  DeregisterEventSource(hLog);
  return true;
}

HEVENTLOG RegisterEventSource(const std::string& source) {
  if (!EnsureStateDirectory()) return nullptr;
  return RegisterEventSourceAt(source, EventLogPath());
}

HEVENTLOG RegisterEventSourceAt(const std::string& source, const std::string& logPath) {
  const int hFile = OpenForAppend(logPath);
  if (hFile < 0) return nullptr;
  return new CEventSource(source, hFile);
}

void DeregisterEventSource(HEVENTLOG hSource) { delete hSource; }

bool ReportEvent(HEVENTLOG hSource, uint16_t wType, uint16_t wCategory, uint32_t dwEventId,
                 const void* /*pUserSid: entries carry no user*/, uint16_t wNumStrings, uint32_t dwDataSize,
                 const char* const* lpStrings, const void* lpRawData) {
  if ((wNumStrings > 0 && lpStrings == nullptr) || (dwDataSize > 0 && lpRawData == nullptr)) return false;

  std::vector<std::string> strings;
  strings.reserve(wNumStrings);
  for (uint16_t i = 0; i < wNumStrings; ++i) strings.emplace_back(lpStrings[i] != nullptr ? lpStrings[i] : "");
  if (hSource == nullptr) {
    // No log to write to: the entry still reaches syslog and whoever watches
    // standard error.
    ReportUnlogged(wType, dwEventId, FormatEventMessage(dwEventId, strings));
    return false;
  }

  std::string szLine = "{\"time\": \"" + UtcTimestamp() + "\", \"source\": ";
  AppendJsonString(szLine, hSource->m_szSource);
  szLine += ", \"type\": " + std::to_string(wType) + ", \"category\": " + std::to_string(wCategory) +
            ", \"event_id\": " + std::to_string(dwEventId) + ", \"strings\": [";
  for (size_t i = 0; i < strings.size(); ++i) {
    if (i > 0) szLine += ", ";
    AppendJsonString(szLine, strings[i]);
  }
  szLine += "], \"data\": \"";
  const auto* pbyData = static_cast<const unsigned char*>(lpRawData);
  for (uint32_t i = 0; i < dwDataSize; ++i) {
    AppendHexByte(szLine, pbyData[i]);
  }
  szLine += "\"}\n";

  // A crash or a full disk can leave the file ending in part of a line; an
  // entry glued onto it would be lost with it, so it starts a line of its own.
  // (Another writer's entry in between only leaves a blank line.)
  // One write per entry; never a second write for the rest, which could land
  // after another writer's entry and split this one. This process's writers
  // also take turns, so an append that is not one step everywhere (Wine's)
  // cannot interleave theirs.
  static std::mutex s_writing;
  ssize_t nWritten;
  {
    std::lock_guard<std::mutex> turn(s_writing);
    if (!EndsWithNewline(hSource->m_hFile)) szLine.insert(szLine.begin(), '\n');
    do {
      nWritten = write(hSource->m_hFile, szLine.data(), szLine.size());
    } while (nWritten < 0 && errno == EINTR);
  }

  const bool bWritten = nWritten == static_cast<ssize_t>(szLine.size());
  if (bWritten) {
    MirrorToSystemLog(wType, dwEventId, FormatEventMessage(dwEventId, strings));
  } else {
    ReportUnlogged(wType, dwEventId, FormatEventMessage(dwEventId, strings));
  }
  return bWritten;
}

bool ParseEventRecord(const std::string& line, EventRecord& record) {
  enum : unsigned { kTime = 1, kSource = 2, kType = 4, kCategory = 8, kEventId = 16, kStrings = 32, kData = 64 };
  constexpr unsigned kAll = 127;

  EventRecord parsed;
  CJsonCursor cursor(line);
  unsigned nSeen = 0;
  if (!cursor.Consume('{')) return false;
  do {
    std::string szKey;
    if (!cursor.ReadString(szKey) || !cursor.Consume(':')) return false;
    unsigned nField = 0;
    bool bOk = false;
    if (szKey == "time") {
      nField = kTime;
      bOk = cursor.ReadString(parsed.time) && IsTimestamp(parsed.time);
    } else if (szKey == "source") {
      nField = kSource;
      bOk = cursor.ReadString(parsed.source);
    } else if (szKey == "type") {
      nField = kType;
      bOk = cursor.ReadUnsigned(parsed.type);
    } else if (szKey == "category") {
      nField = kCategory;
      bOk = cursor.ReadUnsigned(parsed.category);
    } else if (szKey == "event_id") {
      nField = kEventId;
      bOk = cursor.ReadUnsigned(parsed.eventId);
    } else if (szKey == "strings") {
      nField = kStrings;
      bOk = ReadStringArray(cursor, parsed.strings);
    } else if (szKey == "data") {
      nField = kData;
      std::string szHex;
      bOk = cursor.ReadString(szHex) && DecodeHex(szHex, parsed.data);
    }
    if (!bOk || (nSeen & nField) != 0) return false;
    nSeen |= nField;
  } while (cursor.Consume(','));
  if (!cursor.Consume('}') || !cursor.AtEnd() || nSeen != kAll) return false;

  parsed.line = line;
  record = std::move(parsed);
  return true;
}

std::vector<EventRecord> ReadEventLog(const std::string& path, size_t* pnSkipped) {
  std::vector<EventRecord> records;
  size_t nSkipped = 0;
  std::ifstream file(path, std::ios::binary);
  for (std::string szLine; file && std::getline(file, szLine);) {
    if (szLine.find_first_not_of(" \t\r") == std::string::npos) continue;  // blank lines are no entries
    EventRecord record;
    if (ParseEventRecord(szLine, record) || ParseTailEntry(szLine, record)) {
      records.push_back(std::move(record));
    } else {
      ++nSkipped;
    }
  }
  if (pnSkipped != nullptr) *pnSkipped = nSkipped;
  return records;
}

std::string FormatEventMessage(uint32_t dwEventId, const std::vector<std::string>& strings) {
  const char* szTemplate = EventCatalogText(dwEventId);
  if (szTemplate == nullptr) {
    char szId[48];
    std::snprintf(szId, sizeof szId, "Event 0x%08X (no catalog text)", dwEventId);
    std::string szText = szId;
    for (size_t i = 0; i < strings.size(); ++i) szText += (i == 0 ? ": " : ", ") + strings[i];
    return szText;
  }
  std::string szText;
  size_t nUsed = 0;
  for (const char* p = szTemplate; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
      const size_t nIndex = static_cast<size_t>(p[1] - '1');
      if (nIndex < strings.size()) szText += strings[nIndex];
      nUsed = std::max(nUsed, nIndex + 1);
      ++p;
    } else {
      szText += *p;
    }
  }
  // Strings past the text's own (what the system said) follow it.
  for (size_t i = nUsed; i < strings.size(); ++i) szText += " " + strings[i];
  return szText;
}

}  // namespace stratavon
