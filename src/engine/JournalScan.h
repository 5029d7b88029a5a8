#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/FlushJournal.h"
#include "engine/StampedPattern.h"

namespace stratavon {

// The check after a power cut: every unit of a stamped file (or slice)
// judged against what the flush journal says was durable.
enum class FlushClass : uint8_t {
  kOk = 0,       // holds the pass last journaled as flushed there
  kLostFlush,    // journaled flushed, and holds an older pass, zeroes or nothing of ours: the device lied
  kUnflushed,    // written after the last flush there (or its write failed): old or new, both allowed
  kTorn,         // its header and first bytes from one write, zeroes after: a write cut off in the unit
  kCorrupt,
  kMisdirected,
  kForeign,
};
constexpr int kFlushClasses = 7;
// "OK", "LOST FLUSH", "UNFLUSHED", "TORN", "CORRUPT", "MISDIRECTED", "FOREIGN".
const char* FlushClassWord(FlushClass nClass);

struct FlushScan {
  std::string szPath;
  std::string szError;         // the file could not be read, or the journal names no unit of it
  StampIdentity id;            // from the journal
  uint64_t qwSliceOffset = 0;  // where the worker's part begins, and how long it is (0: to the end)
  uint64_t qwSliceBytes = 0;
  uint64_t qwBytes = 0;        // judged
  uint64_t qwRecords = 0;      // journal records of this file
  uint64_t aqwUnits[kFlushClasses] = {};
  uint64_t qwTornFlushed = 0;  // torn units where a flush had covered the pass torn: a failure
  uint64_t aqwFirst[kFlushClasses];  // offset of each class's first unit, UINT64_MAX for none
  uint64_t qwLastFlushNs = 0;
  uint64_t qwCutNs = 0;        // when the listener lost the writer; 0: not journaled
  bool bEnded = false;         // the worker ended on its own before the cut
  FlushScan();
  bool Good() const;
};

// The files (work files or slices of one target) the journal names, in
// the order they first appear; with szUnder, only those under that folder.
std::vector<std::string> JournalFiles(const std::vector<JournalRecord>& records, const std::string& szUnder);
// Judges szPath against the records that name it (by name, or the same
// file under another) of the newest run among them.
FlushScan ScanWithJournal(const std::string& szPath, const std::vector<JournalRecord>& records);

}  // namespace stratavon
