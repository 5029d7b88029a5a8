#include "engine/IoError.h"

#include <cstring>

#include "engine/RunRecord.h"
#include "platform/SystemError.h"

namespace stratavon {

IoErrorWords DescribeIoError(uint32_t nKind, bool bAsync) {
  switch (nKind) {
    case kErrorReadApi:
      return {"READ API", "READ API ERROR", kEventApiError};
    case kErrorDataComparison:
      return {"DATA COMPARISON", "DATA COMPARISON ERROR", kEventDataComparison};
    case kErrorWriteApi:
      return {"WRITE API", bAsync ? "WRITE API ERROR" : "WRITE API FAILURE", kEventApiError};
    case kErrorDiskSpace:
      return {"DISK SPACE", "NOT ENOUGH DISK SPACE", kEventDiskSpace};
    case kErrorMemoryAllocation:
      return {"MEMORY ALLOCATION", "MEMORY ALLOCATION ERROR", kEventMemoryAllocation};
    case kErrorMaxQueueDepth:
      return {"MAX QUEUE DEPTH", "MAX QUEUE DEPTH EXCEEDED", 0};
    case kErrorIoTimeout:
      return {"I/O TIMEOUT", "I/O TIMEOUT", kEventIoTimeout};
    case kErrorAbandonedMutex:
      return {"ABANDONED MUTEX", "ABANDONED MUTEX ERROR", kEventAbandonedMutex};
    case kErrorUnknown:
      return {"UNKNOWN ERROR", "UNKNOWN ERROR", kEventUnknownError};
    case kErrorUnderrunOverrun:
      return {"UNDERRUN/OVERRUN", "UNDERRUN/OVERRUN TRANSFER ERROR", kEventUnderrunOverrun};
    case kErrorCorruptUnit:
      return {"CORRUPT", "CORRUPT UNIT ERROR", kEventCorruptUnit};
    case kErrorMisdirected:
      return {"MISDIRECTED", "MISDIRECTED UNIT ERROR", kEventMisdirected};
    case kErrorStale:
      return {"STALE", "STALE UNIT ERROR", kEventStale};
    case kErrorForeign:
      return {"FOREIGN", "FOREIGN UNIT ERROR", kEventForeign};
    case kErrorInitialization:
    default:
      return {"INITIALIZATION", "INITIALIZATION ERROR", kEventInitialization};
  }
}

IoErrorTally TargetIoErrors(int nTarget) {
  IoErrorTally tally;
  if (g_pTargetRecords == nullptr || nTarget < 0 || nTarget >= g_nTargetRecords) return tally;
  CScopedLock lock(g_csRecords);
  const TargetRunRecord& record = g_pTargetRecords[nTarget];
  tally.qwCalls = record.qwIoErrors;
  tally.nFirstError = record.nFirstIoError;
  tally.nFirstKind = record.nFirstIoErrorKind;
  return tally;
}

std::string FirstIoErrorText(const IoErrorTally& tally) {
  if (tally.qwCalls == 0) return "";
  if (tally.nFirstKind == kErrorIoTimeout) return "I/O TIMEOUT";
  return FormatSystemMessage(tally.nFirstError);
}

std::string IoErrorCell(const IoErrorTally& tally) {
  return std::string(DescribeIoError(tally.nFirstKind, false).szShort) + " x" + std::to_string(tally.qwCalls);
}

unsigned ListDifferingWords(const uint8_t* pExpected, const uint8_t* pFound, uint32_t dwBytes,
                            WordMismatch (&pairs)[kMaxListedWords]) {
  std::memset(pairs, 0, sizeof pairs);
  unsigned nListed = 0;
  const uint32_t dwWords = dwBytes / sizeof(uint32_t);
  for (uint32_t i = 0; i < dwWords && nListed < kMaxListedWords; ++i) {
    uint32_t dwExpected;
    uint32_t dwFound;
    std::memcpy(&dwExpected, pExpected + i * sizeof(uint32_t), sizeof dwExpected);
    std::memcpy(&dwFound, pFound + i * sizeof(uint32_t), sizeof dwFound);
    if (dwExpected != dwFound) pairs[nListed++] = {dwExpected, dwFound};
  }
  return nListed;
}

}  // namespace stratavon
