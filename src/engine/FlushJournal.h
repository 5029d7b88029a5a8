#pragma once

// The flush journal of a stamped run: after each flush a worker records
// which units the target has now acknowledged as durable, so that a check
// after a power cut can tell a lost flush (the device lied) from writes
// that were never promised. Writes that failed are recorded too, so they
// are never taken for lost ones.
//
// A record is one text line, "CRC KIND key=value ... path=PATH", the CRC
// (eight hex digits, CRC-32/MPEG-2) over everything after the first space;
// a line whose CRC fails (torn by the cut) is passed over. The same lines
// go over TCP to `stratavon-cli journal-listen`, framed as a 4-byte length,
// the 4-byte CRC of the lines and one or more whole lines (little-endian);
// the listener answers each frame, once its lines are on its disk, with the
// CRC back. A frame of length 0 ends the connection cleanly; one that ends
// otherwise is journaled by the listener as lost, with the time it noticed.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace stratavon {

class CTcpStream;
class CFlushJournal;

// Opt-in, process-wide, set by a front end before a stamped run: each
// writer flushes after every this many bytes of acknowledged writes (0:
// never) and journals what is durable then in g_pFlushJournal.
extern uint64_t g_qwFlushEveryBytes;
extern CFlushJournal* g_pFlushJournal;

enum class EJournalKind {
  kFlushed,  // [from, to) of pass `pass` is durable
  kFailed,   // a write over [from, to) of pass `pass` failed with `error`
  kEnded,    // the worker ended on its own; nothing was written after
  kLost,     // (listener) the writer's connection broke: the cut, or near it
};
const char* JournalKindWord(EJournalKind kind);

struct JournalRecord {
  EJournalKind kind = EJournalKind::kFlushed;
  uint64_t qwRunId = 0;
  uint32_t dwSlot = 0;        // the worker
  uint32_t dwUnitBytes = 0;
  uint32_t dwPass = 0;
  uint64_t qwFrom = 0;        // byte offsets in szPath
  uint64_t qwTo = 0;
  // The part of szPath the worker owns: a whole work file (0, 0) or a
  // slice of a larger target.
  uint64_t qwSliceOffset = 0;
  uint64_t qwSliceBytes = 0;
  uint64_t qwTimeNs = 0;      // wall clock, ns since the epoch
  int nError = 0;             // kFailed: the errno
  std::string szPath;
};

// Wall clock now, as records carry it.
uint64_t JournalNow();
// The line for a record, newline included.
std::string JournalLine(const JournalRecord& record);
// False for a line that is not a whole, unchanged record.
bool ParseJournalLine(const std::string& szLine, JournalRecord* pRecord);
// Every good record of a journal file, in order; *pqwSkipped counts the
// lines passed over. False when the file cannot be read.
bool ReadJournal(const std::string& szPath, std::vector<JournalRecord>* pRecords, uint64_t* pqwSkipped,
                 std::string* pszError);

// The journal's frames on a stream (szLines: one or more whole lines): Send
// waits for the listener's answer.
bool SendJournalFrame(CTcpStream& stream, const std::string& szLine, int nTimeoutMs, std::string* pszError);
// Receives one frame; false at the clean end (*pbClean) or on any fault.
bool ReceiveJournalFrame(CTcpStream& stream, std::string* pszLine, bool* pbClean, std::string* pszError);
bool AnswerJournalFrame(CTcpStream& stream, const std::string& szLine);

// Appends records to a local file, each write synced (the file is laid out
// with zeroes a chunk ahead, so a record's sync commits no size change), or
// to a listener ("tcp:HOST:PORT") that answers once they are on its disk.
// Shared by a run's workers, none of which waits for the journal: Append queues the
// record for the journal's own writer thread, which writes whatever is
// queued with one synced write (one frame and its answer) and repeats, at
// most every 10 ms (records in between wait for the next write). A
// record only ever claims what a flush achieved already, so one that is
// late, or lost with the power, makes less durable than was, never more.
// Records keep the order they were appended in, so one worker's stay in its
// order.
class CFlushJournal {
 public:
  CFlushJournal();
  ~CFlushJournal();  // closes, waiting at most the I/O time-out
  CFlushJournal(const CFlushJournal&) = delete;
  CFlushJournal& operator=(const CFlushJournal&) = delete;

  bool Open(const std::string& szWhere, std::string* pszError);
  // Queues the record; false (with why) once the journal has failed or
  // closed, the record then unwritten.
  bool Append(const JournalRecord& record, std::string* pszError);
  // Waits at most `timeout` for every queued record to be written, then
  // ends the writer (and a connection, cleanly). False, with what could
  // not be written and why, when a write failed or the time ran out.
  bool Close(std::chrono::milliseconds timeout, std::string* pszError);
  const std::string& Where() const { return m_szWhere; }
  // Synced writes (frames answered) so far, and records they carried.
  uint64_t Writes() const;
  uint64_t Written() const;

 private:
  struct Shared;
  std::string m_szWhere;
  std::shared_ptr<Shared> m_pShared;  // the writer thread holds it too
};
// The listener's side of one connection: stores every good record in
// szDir/stratavon-RUNID.journal (synced before the answer) until the peer
// ends; a connection that breaks is recorded as lost for each worker it
// carried. Returns how many records were stored.
uint64_t ServeJournalConnection(CTcpStream& stream, const std::string& szDir);

}  // namespace stratavon
