#pragma once

#include <cstdint>
#include <string>

namespace stratavon {

// How a worker's failure is classified.
enum IoErrorKind : uint32_t {
  kErrorReadApi = 0,
  kErrorDataComparison = 1,
  kErrorWriteApi = 2,
  kErrorDiskSpace = 3,
  kErrorMemoryAllocation = 4,
  kErrorInitialization = 5,
  kErrorMaxQueueDepth = 6,
  kErrorIoTimeout = 7,
  kErrorAbandonedMutex = 8,
  kErrorUnknown = 9,
  kErrorUnderrunOverrun = 10,
  // Stamped units only: what a unit that failed its check holds.
  kErrorCorruptUnit = 11,
  kErrorMisdirected = 12,
  kErrorStale = 13,
  kErrorForeign = 14,
};

// The event ids of the failures.
constexpr uint32_t kEventDataComparison = 0xC000010A;
constexpr uint32_t kEventApiError = 0xC000010B;
constexpr uint32_t kEventMemoryAllocation = 0xC000010C;
constexpr uint32_t kEventDiskSpace = 0xC000010D;
constexpr uint32_t kEventInitialization = 0xC000010E;
constexpr uint32_t kEventIoTimeout = 0xC000010F;
constexpr uint32_t kEventAbandonedMutex = 0xC0000111;
constexpr uint32_t kEventUnderrunOverrun = 0xC0000113;
constexpr uint32_t kEventUnknownError = 0xC0000114;
constexpr uint32_t kEventCorruptUnit = 0xC0000115;
constexpr uint32_t kEventMisdirected = 0xC0000116;
constexpr uint32_t kEventStale = 0xC0000117;
constexpr uint32_t kEventForeign = 0xC0000118;

// The kinds that judge data read back: their reports stamp the block, list
// the differing words and say where the damage is.
constexpr bool IsDataKind(uint32_t nKind) {
  return nKind == kErrorDataComparison || (nKind >= kErrorCorruptUnit && nKind <= kErrorForeign);
}

// What the console and the event log show for a kind. Unknown kinds read
// as INITIALIZATION. dwEventId is 0 for the one kind that writes no entry.
struct IoErrorWords {
  const char* szShort;    // the target list's "Error" column
  const char* szLong;     // the console's Extended text
  uint32_t dwEventId;
};
IoErrorWords DescribeIoError(uint32_t nKind, bool bAsync);

// The failed calls of one target's loops that go on regardless.
struct IoErrorTally {
  uint64_t qwCalls = 0;
  int nFirstError = 0;      // errno of the first
  uint32_t nFirstKind = 0;  // its IoErrorKind
};
// Read under g_csRecords; nothing without a records block.
IoErrorTally TargetIoErrors(int nTarget);
// The first failure in words: the system's text, or "I/O TIMEOUT".
std::string FirstIoErrorText(const IoErrorTally& tally);
// The target row's Error cell for failed calls: "WRITE API x83703".
std::string IoErrorCell(const IoErrorTally& tally);

// The stamps written over the first 41 bytes of a failed block: 40
// characters and a zero byte.
constexpr char kApiStamp[] = "HALVEX GOT API ERROR ON LAST I/O        ";
constexpr char kCrcStamp[] = "HALVEX GOT CRC ERROR ON LAST I/O        ";
constexpr unsigned kStampBytes = 41;
static_assert(sizeof(kApiStamp) == kStampBytes && sizeof(kCrcStamp) == kStampBytes);

// A DATA COMPARISON lists at most this many (expected, found) word pairs.
constexpr unsigned kMaxListedWords = 10;
constexpr unsigned kComparisonDataBytes = kMaxListedWords * 2 * sizeof(uint32_t);  // 80

struct WordMismatch {
  uint32_t dwExpected;
  uint32_t dwFound;
};

// Compares the whole 32-bit words of two buffers and lists the first
// kMaxListedWords that differ; returns how many were listed.
unsigned ListDifferingWords(const uint8_t* pExpected, const uint8_t* pFound, uint32_t dwBytes,
                            WordMismatch (&pairs)[kMaxListedWords]);

}  // namespace stratavon
