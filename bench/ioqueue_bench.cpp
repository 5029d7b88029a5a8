// One batch of the asynchronous workers' loop: issue D 4 KiB O_DIRECT reads,
// wait for all of them, take the results.  On /dev/shm the device costs
// nothing, so the numbers are the queue's own overhead; on /tmp they include
// whatever disk is behind it.  Both backends, at depths 1, 8 and 64.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/AlignedBuffer.h"
#include "platform/IoQueue.h"

namespace stratavon {
namespace {

constexpr uint32_t kBlock = 4096;
constexpr uint64_t kFileBytes = 64ull << 20;

// A file of real data (not unwritten extents, which direct reads skip) in
// the folder, removed again when the object goes.
class CBenchFile {
 public:
  explicit CBenchFile(const std::string& szFolder) {
    std::string szPath = szFolder + "/stratavon-ioq-bench-XXXXXX";
    m_hFile = mkostemp(szPath.data(), O_CLOEXEC);
    if (m_hFile < 0) return;
    unlink(szPath.c_str());
    CAlignedBuffer chunk;
    if (!chunk.Allocate(1 << 20)) return;
    std::memset(chunk.Data(), 0x5A, chunk.Size());
    for (uint64_t q = 0; q < kFileBytes; q += chunk.Size())
      if (pwrite(m_hFile, chunk.Data(), chunk.Size(), static_cast<off_t>(q)) != ssize_t(chunk.Size())) return;
    fsync(m_hFile);
    // Reopen for direct I/O through /proc, the file having no name any more.
    int hDirect = open(("/proc/self/fd/" + std::to_string(m_hFile)).c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    m_nError = hDirect < 0 ? errno : 0;
    close(m_hFile);
    m_hFile = hDirect;
  }
  ~CBenchFile() {
    if (m_hFile >= 0) close(m_hFile);
  }
  int Handle() const { return m_hFile; }
  int Error() const { return m_nError; }

 private:
  int m_hFile = -1;
  int m_nError = EIO;
};

void BM_Batch(benchmark::State& state, IoBackend eBackend, const char* pszFolder) {
  const unsigned nDepth = static_cast<unsigned>(state.range(0));
  std::unique_ptr<CIoQueue> pQueue = CIoQueue::Create(nDepth, eBackend);
  if (!pQueue) {
    state.SkipWithError((std::string(IoBackendName(eBackend)) + " refused: " + std::strerror(errno)).c_str());
    return;
  }
  CBenchFile file(pszFolder);
  if (file.Error() != 0) {
    state.SkipWithError((std::string("direct I/O file in ") + pszFolder + ": " + std::strerror(file.Error())).c_str());
    return;
  }
  CAlignedBuffer buffer;
  if (!buffer.Allocate(size_t(nDepth) * kBlock)) {
    state.SkipWithError("no memory");
    return;
  }
  // Scattered offsets, so that neither backend benefits from read-ahead.
  uint64_t qwNext = 0x9E3779B97F4A7C15ull;
  for (auto _ : state) {
    for (unsigned n = 0; n < nDepth; ++n) {
      qwNext = qwNext * 6364136223846793005ull + 1442695040888963407ull;
      uint64_t qwOffset = ((qwNext >> 20) % (kFileBytes / kBlock)) * kBlock;
      if (pQueue->Issue(n, file.Handle(), false, buffer.Data() + n * kBlock, kBlock, qwOffset) != 0) {
        state.SkipWithError("issue refused");
        return;
      }
    }
    if (pQueue->WaitAll(std::chrono::seconds(120)) != IoWaitResult::kAllDone) {
      state.SkipWithError("wait failed");
      return;
    }
    for (unsigned n = 0; n < nDepth; ++n) benchmark::DoNotOptimize(pQueue->Result(n));
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * nDepth);
  state.SetBytesProcessed(int64_t(state.iterations()) * nDepth * kBlock);
}

BENCHMARK_CAPTURE(BM_Batch, uring_shm, IoBackend::kIoUring, "/dev/shm")->Arg(1)->Arg(8)->Arg(64)->UseRealTime();
BENCHMARK_CAPTURE(BM_Batch, threads_shm, IoBackend::kThreadPool, "/dev/shm")->Arg(1)->Arg(8)->Arg(64)->UseRealTime();
BENCHMARK_CAPTURE(BM_Batch, uring_tmp, IoBackend::kIoUring, "/tmp")->Arg(1)->Arg(8)->Arg(64)->UseRealTime();
BENCHMARK_CAPTURE(BM_Batch, threads_tmp, IoBackend::kThreadPool, "/tmp")->Arg(1)->Arg(8)->Arg(64)->UseRealTime();

}  // namespace
}  // namespace stratavon
