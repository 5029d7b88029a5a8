#pragma once

#include <cstdint>

#include "engine/RunRecord.h"
#include "platform/IoQueue.h"
#include "run/SizeList.h"

namespace stratavon {

// The bounds of what a front end may choose. The CLI's options, the dialogs'
// lists and the worker plan read them here; the engines' own bounds (the
// slot layout, the I/O queue's capacity) hold them.
constexpr int kMinThreads = 1;
constexpr int kMaxThreads = kMaxThreadsPerTarget;
constexpr int kDefaultThreads = 1;
constexpr uint32_t kMinQueueDepth = 1;
constexpr uint32_t kMaxQueueDepth = 63;
constexpr uint32_t kDefaultQueueDepth = 8;
static_assert(kMaxQueueDepth <= CIoQueue::kMaxDepth, "a chosen depth must fit the I/O queue");

// What a front end chose for the advanced workers, as values.
struct RunChoices {
  bool bErrorChecking = false;
  bool bPerformance = false;
  bool bAsynchronous = false;
  // 0: nothing chosen (a list without a selection); the setting keeps what it had.
  uint32_t dwTransferSize = kDefaultSizeBytes;
  uint32_t dwBufferSize = kDefaultSizeBytes;
  uint32_t dwQueueDepth = kDefaultQueueDepth;  // taken only when asynchronous
  uint64_t qwSpanBytes = 0;  // 0: one buffer per work file (kSpanFill: share the free space)
  bool bKeepDepth = false;   // asynchronous: each request replaced as it completes
  uint32_t dwPasses = 0;     // each worker ends after this many passes; 0: no limit
};

// Start's and Modify's refusal of settings whose transfer would not fit the buffer.
constexpr char kMsgTransferOverBuffer[] = "Transfer Size > Buffer Size!";

// The one mapping of choices into a record's settings: the mode bits, the
// sizes, the depth of an asynchronous run and the thread count. False when
// the transfer would not fit the buffer (kMsgTransferOverBuffer); what was
// chosen is written all the same.
bool ApplyRunChoices(const RunChoices& choices, int nThreads, RunSettings& settings);

}  // namespace stratavon
