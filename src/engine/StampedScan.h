#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/StampedPattern.h"

namespace stratavon {

// What a stamped run leaves in the state directory so that a later check
// (after a crash, a power cut, a reboot) knows what a work file should hold:
// one line when a worker has created its file (pass 0) and one when it ends
// (the last pass it wrote). A file's last line counts. A stop can come in
// the middle of a pass (between a span's buffers, between batches of the
// walk): the line then also says where that pass ended, written as
// "PASS@OFFSET" in the pass field; lines without it hold the pass whole.
struct StampRecord {
  uint64_t qwRunId = 0;
  uint32_t dwPass = 0;   // 0: the worker never ended (or has not yet)
  uint64_t qwBytes = 0;  // the work file's size
  uint32_t dwSlot = 0;
  uint32_t dwUnitBytes = 0;
  std::string szPath;
  // Units from this offset on hold the pass before dwPass (none at all when
  // dwPass is 1); 0: the whole file holds dwPass.
  uint64_t qwPassEnd = 0;
  // Where the worker's extent starts in the file (a device's slice).
  uint64_t qwBase = 0;
};
std::string StampRecordPath();
// Appends one line; a failure is passed over (the record is a help, not a need).
void AppendStampRecord(const StampRecord& record);
// The last record of the path, if any.
bool FindStampRecord(const std::string& szPath, StampRecord* pRecord);
// The newest run's records of the path, the last of each slot's: a device's
// slices, in the order of their bases.
std::vector<StampRecord> FindSliceRecords(const std::string& szPath);

// A run of neighbouring units in the same bad state.
struct BadRange {
  uint64_t qwOffset = 0;
  uint64_t qwBytes = 0;
  UnitFinding first;  // what its first unit holds
};

// The account of one work file.
struct FileScan {
  std::string szPath;
  std::string szError;        // the file could not be read
  uint64_t qwBytes = 0;
  uint64_t qwExpectedBytes = 0;  // from the record, 0 when unknown
  StampIdentity id;
  bool bIdentityKnown = false;   // a header of ours was found (or the record)
  uint32_t dwPass = 0;           // what every unit is judged against
  uint64_t qwPassEnd = 0;        // ... up to here, the pass before after it (0: throughout)
  uint64_t aqwUnits[kUnitStates] = {};
  uint64_t qwMissingBytes = 0;   // short of the record's size, or a partial unit at the end
  std::vector<BadRange> bad;
  // Units that could not be read at all (a device's bad sectors).
  uint64_t qwUnreadableBytes = 0;
  uint64_t qwFirstUnreadable = UINT64_MAX;
  // The end of the last good unit (the file's offset); 0 when none is good.
  uint64_t qwLastGoodEnd = 0;
  uint64_t qwStart = 0;  // the scan's first offset in the file
  bool Good() const;
  // The pass the unit at qwOffset should hold.
  // (qwOffset is the file's; qwPassEnd counts from the scan's start.)
  uint32_t PassAt(uint64_t qwOffset) const {
    return qwPassEnd != 0 && qwOffset - qwStart >= qwPassEnd ? dwPass - 1 : dwPass;
  }
};
// Reads the file in phases: the unit size and then the run and slot that
// most headers carry (unless the record says), the newest pass among the
// units in their place (unless dwPass or the record say), and then every
// unit judged against it. A record that says where its pass stopped is
// followed when it names the pass judged.
// qwStart and qwLength (0: to the end) bound the scan to one extent; the
// units' offsets are the file's.
FileScan ScanStampedFile(const std::string& szPath, uint32_t dwPass, const StampRecord* pRecord,
                         uint64_t qwStart = 0, uint64_t qwLength = 0);

// Where the pass a file is judged against comes from.
enum class PassSource : uint8_t {
  kGiven,        // the caller named it
  kRecorded,     // the last pass the file's worker wrote, from its record
  kNewestFound,  // the newest pass among the file's own units
};
// "given", "recorded", "newest found".
const char* PassSourceWord(PassSource nSource);

// The offline judgement of one work file, as `stratavon-cli verify` gives it.
struct FileVerdict {
  FileScan scan;
  PassSource nPassFrom = PassSource::kNewestFound;
  // PASS only when every unit holds what was written and the file is whole.
  bool Good() const { return scan.Good(); }
};
// Finds the file's record (under the name as given, else its real path:
// the record names the file as its worker did), takes the pass to judge
// (dwPass unless 0, else the record's when its worker ended, else the
// newest found) and scans the file.
FileVerdict VerifyStampedFile(const std::string& szPath, uint32_t dwPass);
// A device's slices as its stamped fill left them: one verdict per slice
// record of the newest run on szNode, each scanned over its extent.
std::vector<FileVerdict> VerifyStampedSlices(const std::string& szNode, uint32_t dwPass);
// What a device's slices add up to: the good bytes, the first bad offset
// (a bad unit or an unreadable one; UINT64_MAX when none), the units in
// each state, the unreadable bytes, and the real capacity (0 when none is
// found): where the device wraps, when every bad unit is misdirected by
// the same distance (the units at X and X + N share their storage: N bytes
// are real), or else where everything from some offset on is bad.
struct DeviceVerdict {
  uint64_t qwGoodBytes = 0;
  uint64_t qwFirstBad = UINT64_MAX;
  uint64_t aqwUnits[kUnitStates] = {};
  uint64_t qwUnreadableBytes = 0;
  uint64_t qwRealCapacity = 0;
  bool bWraps = false;  // the capacity is the distance of the wrap
};
DeviceVerdict SumSlices(const std::vector<FileVerdict>& slices);
// The verdict over several files: PASS only when every one is good.
bool EveryFileGood(const std::vector<FileVerdict>& verdicts);

}  // namespace stratavon
