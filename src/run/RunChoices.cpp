#include "run/RunChoices.h"

namespace stratavon {

bool ApplyRunChoices(const RunChoices& choices, int nThreads, RunSettings& settings) {
  const auto apply = [&settings](bool bSet, uint32_t dwBit) {
    settings.dwMode = bSet ? (settings.dwMode | dwBit) : (settings.dwMode & ~dwBit);
  };
  apply(choices.bErrorChecking, MODE_ERROR_CHECKING);
  apply(choices.bPerformance, MODE_PERFORMANCE);
  apply(choices.bAsynchronous, MODE_ASYNC);
  if (choices.bAsynchronous) settings.dwQueueDepth = choices.dwQueueDepth;
  if (choices.dwTransferSize != 0) settings.dwTransferSize = choices.dwTransferSize;
  if (choices.dwBufferSize != 0) settings.dwBufferSize = choices.dwBufferSize;
  settings.dwThreads = static_cast<uint32_t>(nThreads);
  settings.qwSpanBytes = choices.qwSpanBytes;
  settings.bKeepDepth = choices.bKeepDepth;
  settings.dwPasses = choices.dwPasses;
  return settings.dwTransferSize <= settings.dwBufferSize;
}

}  // namespace stratavon
