#include "engine/FlushJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "engine/Crc32.h"
#include "engine/RunRecord.h"
#include "engine/StampedPattern.h"
#include "platform/SystemError.h"
#include "platform/TcpStream.h"

namespace stratavon {
namespace {

constexpr int kAnswerTimeoutMs = 30000;   // a listener that takes longer is gone
constexpr int kConnectTimeoutMs = 10000;
constexpr uint32_t kFrameLimit = 1 << 16;  // a record is a line with a path
// What one synced write (one frame) carries at most: whole lines, at least
// one, so that a frame stays within the limit.
constexpr size_t kBatchBytes = kFrameLimit / 2;
// Synced journal writes start at most this often: records that come closer
// together go in one write. Each synced write is one more write the device
// under test must fit in between the run's own; this bounds them to a
// hundred a second however often the workers flush, at the price of
// records that reach the journal up to this much after their flush.
constexpr std::chrono::milliseconds kGroupInterval{10};

constexpr const char* kKindWords[] = {"flushed", "failed", "ended", "lost"};

uint32_t LineCrc(const std::string& szBody) { return CCrc32::Compute(szBody.data(), szBody.size()); }

void PutLe32(uint8_t* p, uint32_t dw) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(dw >> (8 * i));
}

uint32_t GetLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool ParseU64(const std::string& sz, int nBase, uint64_t* pqw) {
  if (sz.empty() || sz[0] == '-' || sz[0] == '+') return false;
  errno = 0;
  char* pEnd = nullptr;
  *pqw = std::strtoull(sz.c_str(), &pEnd, nBase);
  return errno == 0 && *pEnd == '\0';
}

// A journal file written in place: records go with one synced write each
// over zeroes laid down ahead of them, a chunk at a time, so that a record
// changes no file size and its sync is the data and a cache flush alone, not
// a file system commit as well. The zeroes past the last record are cut off
// at a clean close; after a cut they stay, and readers pass over them. An
// existing file is continued after its last record.
class CSyncedLog {
 public:
  CSyncedLog() = default;
  CSyncedLog(const CSyncedLog&) = delete;
  CSyncedLog& operator=(const CSyncedLog&) = delete;
  ~CSyncedLog() { Close(); }

  bool Open(const std::string& szPath, int* pnError) {
    m_fd = open(szPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct stat st = {};
    if (m_fd < 0 || fstat(m_fd, &st) != 0) return Fail(pnError);
    m_qwReserved = static_cast<uint64_t>(st.st_size);
    m_qwAt = m_qwReserved;
    char ab[4096];
    while (m_qwAt > 0) {  // back over the zeroes an earlier cut left
      const uint64_t qwFrom = m_qwAt > sizeof ab ? m_qwAt - sizeof ab : 0;
      const ssize_t n = pread(m_fd, ab, m_qwAt - qwFrom, static_cast<off_t>(qwFrom));
      if (n != static_cast<ssize_t>(m_qwAt - qwFrom)) return Fail(pnError);
      ssize_t i = n;
      while (i > 0 && ab[i - 1] == '\0') --i;
      m_qwAt = qwFrom + static_cast<uint64_t>(i);
      if (i > 0) {
        m_bBreakLine = ab[i - 1] != '\n';  // a torn last line is not run on into the next
        break;
      }
    }
    return true;
  }

  // Whole lines with one call, so that a record is never interleaved with
  // another writer's, durable when it returns.
  bool Append(const std::string& szLines, int* pnError) {
    const std::string szOut = m_bBreakLine ? "\n" + szLines : szLines;
    if (m_qwAt + szOut.size() > m_qwReserved) {
      const uint64_t qwTo = (m_qwAt + szOut.size() + kChunk) / kChunk * kChunk;
      const std::vector<char> zeroes(qwTo - m_qwReserved, '\0');
      if (!WriteAt(zeroes.data(), zeroes.size(), m_qwReserved, pnError)) return false;
      m_qwReserved = qwTo;
    }
    if (!WriteAt(szOut.data(), szOut.size(), m_qwAt, pnError)) return false;
    m_qwAt += szOut.size();
    m_bBreakLine = false;
    return true;
  }

  void Close() {
    if (m_fd < 0) return;
    if (m_qwReserved > m_qwAt && ftruncate(m_fd, static_cast<off_t>(m_qwAt)) == 0) (void)fdatasync(m_fd);
    close(m_fd);
    m_fd = -1;
  }

  bool IsOpen() const { return m_fd >= 0; }

 private:
  static constexpr uint64_t kChunk = 1 << 20;

  bool Fail(int* pnError) {
    *pnError = errno;
    if (m_fd >= 0) close(m_fd);
    m_fd = -1;
    return false;
  }

  bool WriteAt(const char* p, size_t nBytes, uint64_t qwAt, int* pnError) {
    while (nBytes > 0) {
      const ssize_t n = pwrite(m_fd, p, nBytes, static_cast<off_t>(qwAt));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        *pnError = n < 0 ? errno : EIO;
        return false;
      }
      p += n;
      nBytes -= static_cast<size_t>(n);
      qwAt += static_cast<uint64_t>(n);
    }
    if (fdatasync(m_fd) == 0) return true;
    *pnError = errno;
    return false;
  }

  int m_fd = -1;
  uint64_t m_qwAt = 0;        // where the next record goes
  uint64_t m_qwReserved = 0;  // the file's size: zeroes from m_qwAt on
  bool m_bBreakLine = false;
};

}  // namespace

uint64_t g_qwFlushEveryBytes = 0;
CFlushJournal* g_pFlushJournal = nullptr;

const char* JournalKindWord(EJournalKind kind) { return kKindWords[static_cast<int>(kind)]; }

uint64_t JournalNow() {
  timespec ts = {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

std::string JournalLine(const JournalRecord& r) {
  std::string szBody = std::string(JournalKindWord(r.kind)) + " run=" + StampRunIdText(r.qwRunId) +
                       " slot=" + std::to_string(r.dwSlot) + " unit=" + std::to_string(r.dwUnitBytes) +
                       " pass=" + std::to_string(r.dwPass) + " from=" + std::to_string(r.qwFrom) +
                       " to=" + std::to_string(r.qwTo) + " slice=" + std::to_string(r.qwSliceOffset) + "+" +
                       std::to_string(r.qwSliceBytes) + " time=" + std::to_string(r.qwTimeNs) +
                       " error=" + std::to_string(r.nError) + " path=" + r.szPath;
  char szCrc[16];
  std::snprintf(szCrc, sizeof szCrc, "%08" PRIx32 " ", LineCrc(szBody));
  return szCrc + szBody + "\n";
}

bool ParseJournalLine(const std::string& szLine, JournalRecord* pRecord) {
  std::string sz = szLine;
  if (!sz.empty() && sz.back() == '\n') sz.pop_back();
  uint64_t qwCrc = 0;
  if (sz.size() < 10 || sz[8] != ' ' || !ParseU64(sz.substr(0, 8), 16, &qwCrc)) return false;
  const std::string szBody = sz.substr(9);
  if (LineCrc(szBody) != qwCrc) return false;
  const size_t nPath = szBody.find(" path=");
  if (nPath == std::string::npos) return false;
  JournalRecord r;
  r.szPath = szBody.substr(nPath + 6);
  std::istringstream in(szBody.substr(0, nPath));
  std::string szWord;
  in >> szWord;
  bool bKind = false;
  for (int i = 0; i < 4; ++i) {
    if (szWord == kKindWords[i]) {
      r.kind = static_cast<EJournalKind>(i);
      bKind = true;
    }
  }
  int nFields = 0;
  while (bKind && in >> szWord) {
    const size_t nEq = szWord.find('=');
    const std::string szKey = szWord.substr(0, nEq);
    const std::string szValue = nEq == std::string::npos ? std::string() : szWord.substr(nEq + 1);
    uint64_t qw = 0;
    uint64_t qw2 = 0;
    bool bOk = true;
    if (szKey == "run") {
      bOk = ParseU64(szValue, 16, &r.qwRunId);
    } else if (szKey == "slice") {
      const size_t nPlus = szValue.find('+');
      bOk = nPlus != std::string::npos && ParseU64(szValue.substr(0, nPlus), 10, &qw) &&
            ParseU64(szValue.substr(nPlus + 1), 10, &qw2);
      r.qwSliceOffset = qw;
      r.qwSliceBytes = qw2;
    } else {
      bOk = ParseU64(szValue, 10, &qw);
      if (szKey == "slot") r.dwSlot = static_cast<uint32_t>(qw);
      else if (szKey == "unit") r.dwUnitBytes = static_cast<uint32_t>(qw);
      else if (szKey == "pass") r.dwPass = static_cast<uint32_t>(qw);
      else if (szKey == "from") r.qwFrom = qw;
      else if (szKey == "to") r.qwTo = qw;
      else if (szKey == "time") r.qwTimeNs = qw;
      else if (szKey == "error") r.nError = static_cast<int>(qw);
      else bOk = false;
    }
    if (!bOk) return false;
    ++nFields;
  }
  if (!bKind || nFields != 9 || r.qwFrom > r.qwTo) return false;
  *pRecord = std::move(r);
  return true;
}

bool ReadJournal(const std::string& szPath, std::vector<JournalRecord>* pRecords, uint64_t* pqwSkipped,
                 std::string* pszError) {
  std::ifstream in(szPath);
  if (!in) {
    *pszError = szPath + ": " + FormatSystemMessage(errno);
    return false;
  }
  *pqwSkipped = 0;
  std::string szLine;
  while (std::getline(in, szLine)) {
    JournalRecord record;
    if (ParseJournalLine(szLine, &record)) {
      pRecords->push_back(std::move(record));
    } else if (szLine.find_first_not_of('\0') != std::string::npos) {  // not the zeroes ahead of records
      ++*pqwSkipped;
    }
  }
  return true;
}

bool SendJournalFrame(CTcpStream& stream, const std::string& szLine, int nTimeoutMs, std::string* pszError) {
  std::string szFrame(8, '\0');
  auto* p = reinterpret_cast<uint8_t*>(szFrame.data());
  const uint32_t dwCrc = CCrc32::Compute(szLine.data(), szLine.size());
  PutLe32(p, static_cast<uint32_t>(szLine.size()));
  PutLe32(p + 4, dwCrc);
  szFrame += szLine;
  uint8_t abAnswer[4];
  if (!stream.SendAll(szFrame.data(), szFrame.size()) || !stream.ReceiveAll(abAnswer, 4, nTimeoutMs)) {
    *pszError = "journal listener: " + stream.LastError();
    return false;
  }
  if (GetLe32(abAnswer) != dwCrc) {
    *pszError = "journal listener: answered for another record";
    return false;
  }
  return true;
}

bool ReceiveJournalFrame(CTcpStream& stream, std::string* pszLine, bool* pbClean, std::string* pszError) {
  *pbClean = false;
  uint8_t abHead[8];
  if (!stream.ReceiveAll(abHead, 8, -1)) {
    *pszError = stream.LastError();
    return false;
  }
  const uint32_t dwBytes = GetLe32(abHead);
  if (dwBytes == 0) {
    *pbClean = true;
    return false;
  }
  if (dwBytes > kFrameLimit) {
    *pszError = "a frame of " + std::to_string(dwBytes) + " bytes";
    return false;
  }
  pszLine->assign(dwBytes, '\0');
  if (!stream.ReceiveAll(pszLine->data(), dwBytes, kAnswerTimeoutMs)) {
    *pszError = stream.LastError();
    return false;
  }
  if (CCrc32::Compute(pszLine->data(), dwBytes) != GetLe32(abHead + 4)) {
    *pszError = "a frame whose CRC fails";
    return false;
  }
  return true;
}

bool AnswerJournalFrame(CTcpStream& stream, const std::string& szLine) {
  uint8_t abAnswer[4];
  PutLe32(abAnswer, CCrc32::Compute(szLine.data(), szLine.size()));
  return stream.SendAll(abAnswer, 4);
}

struct CFlushJournal::Shared {
  std::mutex mutex;
  std::condition_variable queued;  // a record, or the close
  std::condition_variable ended;   // the writer is done
  std::deque<std::string> lines;
  bool bClosing = false;
  bool bAbandoned = false;  // the close gave up waiting
  bool bRunning = false;
  std::string szFailure;    // the write that failed, and why
  uint64_t qwUnwritten = 0;
  uint64_t qwInFlight = 0;  // in the write under way
  uint64_t qwWrites = 0;
  uint64_t qwWritten = 0;
  std::string szWhere;
  CSyncedLog file;
  std::unique_ptr<CTcpStream> pStream;

  bool Write(const std::string& szLines, std::string* pszError) {
    if (pStream) return SendJournalFrame(*pStream, szLines, kAnswerTimeoutMs, pszError);
    int nError = EBADF;
    if (file.IsOpen() && file.Append(szLines, &nError)) return true;
    *pszError = "journal " + szWhere + ": " + FormatSystemMessage(nError);
    return false;
  }

  // The writer thread: takes whatever is queued, writes it at once, and
  // repeats until closed with nothing left.
  void Serve() {
    std::unique_lock<std::mutex> lock(mutex);
    std::chrono::steady_clock::time_point tNext{};
    for (;;) {
      queued.wait(lock, [this] { return bClosing || !lines.empty(); });
      if (lines.empty() || bAbandoned) break;
      queued.wait_until(lock, tNext, [this] { return bClosing; });
      tNext = std::chrono::steady_clock::now() + kGroupInterval;
      std::string szBatch;
      uint64_t qwLines = 0;
      while (!lines.empty() && (szBatch.empty() || szBatch.size() + lines.front().size() <= kBatchBytes)) {
        szBatch += lines.front();
        lines.pop_front();
        ++qwLines;
      }
      qwInFlight = qwLines;
      lock.unlock();
      std::string szError;
      const bool bOk = Write(szBatch, &szError);
      lock.lock();
      qwInFlight = 0;
      if (bAbandoned) break;  // counted unwritten by the close already
      if (!bOk) {
        szFailure = szError;
        qwUnwritten += qwLines + lines.size();
        lines.clear();
        break;
      }
      ++qwWrites;
      qwWritten += qwLines;
    }
    if (pStream && pStream->IsOpen() && szFailure.empty() && !bAbandoned) {
      const uint8_t abEnd[8] = {};
      (void)pStream->SendAll(abEnd, sizeof abEnd);
    }
    bRunning = false;
    ended.notify_all();
  }
};

CFlushJournal::CFlushJournal() = default;

CFlushJournal::~CFlushJournal() {
  std::string szError;
  (void)Close(IoTimeout(), &szError);
}

bool CFlushJournal::Open(const std::string& szWhere, std::string* pszError) {
  std::string szDiscard;
  (void)Close(IoTimeout(), &szDiscard);
  auto pShared = std::make_shared<Shared>();
  m_szWhere = pShared->szWhere = szWhere;
  if (szWhere.rfind("tcp:", 0) == 0) {
    const size_t nColon = szWhere.rfind(':');
    uint64_t qwPort = 0;
    std::string szHost = szWhere.substr(4, nColon - 4);
    if (szHost.size() > 2 && szHost.front() == '[' && szHost.back() == ']') szHost = szHost.substr(1, szHost.size() - 2);
    if (nColon <= 4 || szHost.empty() || !ParseU64(szWhere.substr(nColon + 1), 10, &qwPort) || qwPort == 0 ||
        qwPort > 65535) {
      *pszError = "--journal takes FILE or tcp:HOST:PORT, not \"" + szWhere + "\"";
      return false;
    }
    pShared->pStream = std::make_unique<CTcpStream>();
    if (!pShared->pStream->Connect(szHost, static_cast<uint16_t>(qwPort), kConnectTimeoutMs)) {
      *pszError = "journal listener: " + pShared->pStream->LastError();
      return false;
    }
  } else {
    int nError = 0;
    if (!pShared->file.Open(szWhere, &nError)) {
      *pszError = "journal " + szWhere + ": " + FormatSystemMessage(nError);
      return false;
    }
  }
  pShared->bRunning = true;
  std::thread([pShared] { pShared->Serve(); }).detach();
  m_pShared = std::move(pShared);
  return true;
}

bool CFlushJournal::Append(const JournalRecord& record, std::string* pszError) {
  std::string szLine = JournalLine(record);
  if (!m_pShared) {
    *pszError = "journal " + m_szWhere + ": not open";
    return false;
  }
  Shared& shared = *m_pShared;
  std::lock_guard<std::mutex> lock(shared.mutex);
  if (!shared.szFailure.empty() || shared.bClosing) {
    ++shared.qwUnwritten;
    *pszError = shared.szFailure.empty() ? "journal " + m_szWhere + ": closed" : shared.szFailure;
    return false;
  }
  // The writer waits for the first record only; later ones wait for its
  // next write with it.
  const bool bFirst = shared.lines.empty();
  shared.lines.push_back(std::move(szLine));
  if (bFirst) shared.queued.notify_one();
  return true;
}

bool CFlushJournal::Close(std::chrono::milliseconds timeout, std::string* pszError) {
  if (!m_pShared) return true;
  Shared& shared = *m_pShared;
  std::unique_lock<std::mutex> lock(shared.mutex);
  if (!shared.bClosing) {
    shared.bClosing = true;
    shared.queued.notify_one();
    // A writer stuck in its write past the time keeps the shared part
    // alive on its own and ends once the write returns.
    if (!shared.ended.wait_for(lock, timeout, [&] { return !shared.bRunning; })) {
      shared.bAbandoned = true;
      shared.qwUnwritten += shared.lines.size() + shared.qwInFlight;
      shared.lines.clear();
      if (shared.szFailure.empty()) {
        shared.szFailure = "journal " + m_szWhere + ": a write took longer than " +
                           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) + " s";
      }
    }
  }
  if (shared.qwUnwritten == 0) return true;
  *pszError = std::to_string(shared.qwUnwritten) + " flush journal record(s) could not be written: " + shared.szFailure;
  return false;
}

uint64_t CFlushJournal::Writes() const {
  if (!m_pShared) return 0;
  std::lock_guard<std::mutex> lock(m_pShared->mutex);
  return m_pShared->qwWrites;
}

uint64_t CFlushJournal::Written() const {
  if (!m_pShared) return 0;
  std::lock_guard<std::mutex> lock(m_pShared->mutex);
  return m_pShared->qwWritten;
}

uint64_t ServeJournalConnection(CTcpStream& stream, const std::string& szDir) {
  std::map<uint64_t, std::unique_ptr<CSyncedLog>> files;  // by run
  std::map<std::pair<uint64_t, uint32_t>, JournalRecord> open;  // workers seen and not ended
  uint64_t qwStored = 0;
  // The lines of one frame, all of one run.
  const auto store = [&](const JournalRecord& record, const std::string& szLine, uint64_t qwLines) {
    std::unique_ptr<CSyncedLog>& pFile = files[record.qwRunId];
    int nError = 0;
    if (!pFile) pFile = std::make_unique<CSyncedLog>();
    const bool bOpen =
        pFile->IsOpen() || pFile->Open(szDir + "/stratavon-" + StampRunIdText(record.qwRunId) + ".journal", &nError);
    if (!bOpen || !pFile->Append(szLine, &nError)) {
      std::fprintf(stderr, "journal-listen: cannot store a record in %s: %s\n", szDir.c_str(),
                   FormatSystemMessage(nError).c_str());
      return false;
    }
    qwStored += qwLines;
    return true;
  };
  std::string szFrame;
  std::string szError;
  bool bClean = false;
  while (ReceiveJournalFrame(stream, &szFrame, &bClean, &szError)) {
    // One frame carries one or more whole lines, stored with one write.
    std::vector<JournalRecord> records;
    bool bWhole = !szFrame.empty() && szFrame.back() == '\n';
    for (size_t nAt = 0; bWhole && nAt < szFrame.size();) {
      const size_t nEnd = szFrame.find('\n', nAt) + 1;
      JournalRecord record;
      bWhole = ParseJournalLine(szFrame.substr(nAt, nEnd - nAt), &record) &&
               (records.empty() || record.qwRunId == records.front().qwRunId);
      records.push_back(std::move(record));
      nAt = nEnd;
    }
    if (!bWhole) {
      std::fprintf(stderr, "journal-listen: a frame that holds no record, connection closed\n");
      break;
    }
    // Unanswered, the writer does not count the flushes as journaled.
    if (!store(records.front(), szFrame, records.size()) || !AnswerJournalFrame(stream, szFrame)) break;
    for (const JournalRecord& record : records) {
      const auto key = std::make_pair(record.qwRunId, record.dwSlot);
      if (record.kind == EJournalKind::kEnded) {
        open.erase(key);
      } else {
        open[key] = record;
      }
    }
  }
  if (!bClean) {
    for (auto& [key, last] : open) {
      JournalRecord lost = last;
      lost.kind = EJournalKind::kLost;
      lost.qwFrom = lost.qwTo = 0;
      lost.nError = 0;
      lost.qwTimeNs = JournalNow();
      (void)store(lost, JournalLine(lost), 1);
    }
  }
  return qwStored;
}

}  // namespace stratavon
