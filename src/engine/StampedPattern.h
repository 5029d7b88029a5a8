#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace stratavon {

// Stamped units: every unit of the work file (512 bytes, or the target's
// sector when larger) begins with a header that says where and when it was
// written, so that a read can tell a lost write, a misplaced sector or
// another run's data from the right bytes, which one pattern CRC cannot.
// The rest of the unit is the base pattern, as the fill laid it down.

// Opt-in, process-wide, written by a console between runs.
extern bool g_bStampedPattern;
// A random id per run; a front end draws it when a stamped run starts.
extern uint64_t g_qwStampRunId;
uint64_t NewStampRunId();
// Sixteen hex digits, as the front ends print it.
std::string StampRunIdText(uint64_t qwRunId);

constexpr uint32_t kStampMagic = 0x4B565453;  // "STVK" in file order
constexpr uint32_t kStampMinUnitBytes = 512;
constexpr uint32_t kStampHeaderBytes = 32;

// The header as it lies at the start of a unit (little-endian). The
// checksum is CRC-32/MPEG-2 over the rest of the unit, header included.
struct StampHeader {
  uint32_t dwChecksum;
  uint32_t dwMagic;
  uint64_t qwOffset;   // the unit's file offset
  uint64_t qwRunId;
  uint32_t dwPass;     // 1 for the first pass
  uint16_t wSlot;
  uint16_t wUnitShift; // log2 of the unit size
};
static_assert(sizeof(StampHeader) == kStampHeaderBytes);

// Who writes: the run, the worker's slot, the unit size.
struct StampIdentity {
  uint64_t qwRunId = 0;
  uint32_t dwSlot = 0;
  uint32_t dwUnitBytes = kStampMinUnitBytes;
};

// The unit size for a target: its sector when larger than 512, which must
// be a power of two.
uint32_t StampUnitBytes(uint32_t dwBytesPerSector);

// Writes a fresh header (and checksum) into every whole unit of the
// buffer, which lies at qwFileOffset in the file.
void StampUnits(uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass, const StampIdentity& id);
// The same stamps at a fraction of the cost, for the hot path. A unit's
// checksum is an affine function of its bytes, and from pass to pass only
// the offset and pass fields change: the body is the pattern at the same
// place in the buffer, the other fields are the worker's. So the checksum is
// the one of the unit with offset and pass zero, XORed with one table entry
// per byte of offset and pass. Prepare once per worker on a buffer of pure
// pattern; Stamp then writes headers only.
class CUnitStamper {
 public:
  // False when the allocation fails. nBufferBytes: a whole number of units.
  bool Prepare(const uint8_t* pPattern, size_t nBufferBytes, const StampIdentity& id);
  // As StampUnits, on a buffer (or several, back to back) whose unit bodies
  // still hold the pattern Prepare saw.
  void Stamp(uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass) const;
  bool Prepared() const { return !m_baseChecksum.empty(); }
  // The hot path's check: whether every unit is exactly what Stamp would
  // have written over pPattern (one buffer of the pattern Prepare saw).
  // Comparing bytes runs faster than a checksum over them, and a unit that
  // equals what was written needs no checksum of its own.
  bool Matches(const uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass,
               const uint8_t* pPattern) const;
  // Matches, and when it holds, spoils every unit's header as PoisonUnits
  // would, while the header is still in the cache from the comparison: the
  // next read into the buffer then needs no poisoning pass of its own. A
  // buffer that does not match is left exactly as it was read.
  bool MatchesThenSpoil(uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass,
                        const uint8_t* pPattern) const;

 private:
  uint32_t PassPart(uint32_t dwPass) const;
  // The share of an offset's bytes above the low two, which stays the same
  // for 64 KiB of units at a time.
  uint32_t HighOffsetPart(uint64_t qwOffset) const;
  // Calls pfnUnit(n, header) for every whole unit, n its place in the buffer.
  template <typename UnitFn>
  bool ForEachHeader(size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass, UnitFn&& pfnUnit) const;

  StampIdentity m_id;
  size_t m_nBufferBytes = 0;
  std::vector<uint32_t> m_baseChecksum;  // per unit of one buffer: offset 0, pass 0
  uint32_t m_adwOffsetByte[8][256] = {};  // what each byte of the offset adds
  uint32_t m_adwPassByte[4][256] = {};
};

// Spoils the header of every unit, so that a read that delivers nothing
// cannot leave the expected headers behind. Costs one store per unit.
void PoisonUnits(uint8_t* pBuffer, size_t nBytes, uint32_t dwUnitBytes);

enum class UnitState : uint8_t { kGood = 0, kCorrupt, kMisdirected, kStale, kForeign };
constexpr int kUnitStates = 5;
const char* UnitStateWord(UnitState state);

// What one unit holds against what it should.
struct UnitFinding {
  UnitState state = UnitState::kGood;
  uint64_t qwFoundOffset = 0;  // MISDIRECTED: the offset it carries
  uint32_t dwFoundPass = 0;    // STALE: the pass it carries
  uint32_t dwFoundSlot = 0;
  uint64_t qwFoundRunId = 0;
};
// CORRUPT: the checksum fails on a unit of ours; FOREIGN: not ours at all or
// another run's; MISDIRECTED: another offset or another worker's file;
// STALE: an older pass of this run (a newer one counts as CORRUPT).
UnitFinding JudgeUnit(const uint8_t* pUnit, uint64_t qwOffset, uint32_t dwPass, const StampIdentity& id);
// Whether the unit holds a header of ours with a checksum that holds; fills
// *pHeader then. The offline check uses it to learn what a file holds.
bool ReadStampHeader(const uint8_t* pUnit, uint32_t dwUnitBytes, StampHeader* pHeader);

// Every unit of a buffer at once. The unit that names the fault is the
// first bad one, except that a misdirected write leaves two marks: the unit
// it missed, stale, and the unit it landed on, carrying the missed one's
// offset and the pass it should hold. When the buffer holds both, the
// misplaced unit names the fault, wherever it lies.
struct StampVerdict {
  uint64_t qwFirstBadOffset = 0;  // the naming unit's own offset
  UnitFinding first;  // what it holds, or kGood
  uint64_t aqwUnits[kUnitStates] = {};
  bool Good() const { return first.state == UnitState::kGood; }
};
// The fast test of the hot path: true when every unit is as expected.
bool UnitsGood(const uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass, const StampIdentity& id);
// The full account, after UnitsGood said no (or offline).
StampVerdict JudgeUnits(const uint8_t* pBuffer, size_t nBytes, uint64_t qwFileOffset, uint32_t dwPass,
                        const StampIdentity& id);

}  // namespace stratavon
