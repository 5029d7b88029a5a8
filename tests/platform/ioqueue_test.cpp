// The I/O queue the asynchronous workers drive: both backends run the same
// cases on real O_DIRECT files, and the stalls come from the fault-injecting
// FUSE mount, so "in flight" means a request really held in the kernel.

#include "platform/IoQueue.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/AlignedBuffer.h"
#include "support/Fd.h"
#include "support/FaultFs.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace stratavon {

// Names the backend in gtest's messages instead of its bytes.
void PrintTo(IoBackend eBackend, std::ostream* pOut) { *pOut << IoBackendName(eBackend); }

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kRegion = 8192;
constexpr auto kPatience = 30s;  // far above any honest completion; never the thing tested

using test::CFd;

int OpenDirect(const std::string& szPath) { return open(szPath.c_str(), O_RDWR | O_CREAT | O_DIRECT | O_CLOEXEC, 0600); }

// Every byte depends on its offset and the round, so a region read into the
// wrong slot or left over from an earlier round shows.
uint8_t PatternByte(uint64_t qwAt, unsigned nRound) { return static_cast<uint8_t>((qwAt * 131 + qwAt / 4093 + nRound * 7) & 0xFF); }

void Fill(uint8_t* p, uint64_t qwOffset, size_t nBytes, unsigned nRound) {
  for (size_t n = 0; n < nBytes; ++n) p[n] = PatternByte(qwOffset + n, nRound);
}

bool Matches(const uint8_t* p, uint64_t qwOffset, size_t nBytes, unsigned nRound) {
  for (size_t n = 0; n < nBytes; ++n)
    if (p[n] != PatternByte(qwOffset + n, nRound)) return false;
  return true;
}

class IoQueueTest : public ::testing::TestWithParam<IoBackend> {
 protected:
  // The queue under test (SetUp has already skipped where io_uring is refused).
  std::unique_ptr<CIoQueue> Make(unsigned nDepth) {
    std::unique_ptr<CIoQueue> pQueue = CIoQueue::Create(nDepth, GetParam());
    EXPECT_TRUE(pQueue) << std::strerror(errno);
    if (pQueue) {
      EXPECT_EQ(pQueue->Backend(), GetParam());
    }
    return pQueue;
  }

  // A queue of nDepth slots, a direct-I/O work file and a buffer of
  // nRegions regions; call under ASSERT_NO_FATAL_FAILURE.
  void Open(unsigned nDepth, const std::string& szName, size_t nRegions) {
    m_pQueue = Make(nDepth);
    ASSERT_TRUE(m_pQueue);
    m_pFd = std::make_unique<CFd>(OpenDirect(m_dir.Path(szName)));
    ASSERT_GE(m_pFd->Get(), 0) << std::strerror(errno);
    ASSERT_TRUE(m_buffer.Allocate(nRegions * kRegion));
  }
  uint8_t* Region(size_t n) { return m_buffer.Data() + n * kRegion; }

  void SetUp() override {
    int nError = 0;
    if (GetParam() == IoBackend::kIoUring && !CIoQueue::UringUsable(&nError))
      GTEST_SKIP() << "this machine refuses io_uring: " << std::strerror(nError);
  }

  test::CTempDir m_dir;
  // Declared last, so the queue is gone before its file and buffer.
  CAlignedBuffer m_buffer;
  std::unique_ptr<CFd> m_pFd;
  std::unique_ptr<CIoQueue> m_pQueue;
};

TEST_P(IoQueueTest, WritesAndReadsEveryRegionAtDepthsOneAndSixtyFour) {
  for (unsigned nDepth : {1u, 64u}) {
    SCOPED_TRACE(nDepth);
    ASSERT_NO_FATAL_FAILURE(Open(nDepth, "work" + std::to_string(nDepth) + ".dat", nDepth));
    EXPECT_EQ(m_pQueue->Depth(), nDepth);
    const int hFile = m_pFd->Get();

    // Two rounds on the same slots: results and data must be this round's.
    // The second goes through the registered buffer area and file where
    // the backend has them (io_uring; STRATAVON_IO_REGISTER=off declines).
    for (unsigned nRound = 1; nRound <= 2; ++nRound) {
      if (nRound == 2) {
        const bool bRegistered = m_pQueue->RegisterBuffers(m_buffer.Data(), m_buffer.Size());
        EXPECT_EQ(m_pQueue->RegisterFile(hFile), bRegistered);
        EXPECT_EQ(bRegistered, GetParam() == IoBackend::kIoUring && std::getenv("STRATAVON_IO_REGISTER") == nullptr);
      }
      for (unsigned n = 0; n < nDepth; ++n) {
        Fill(Region(n), uint64_t(n) * kRegion, kRegion, nRound);
        ASSERT_EQ(m_pQueue->Issue(n, hFile, true, Region(n), kRegion, uint64_t(n) * kRegion), 0);
      }
      ASSERT_EQ(m_pQueue->WaitAll(kPatience), IoWaitResult::kAllDone);
      for (unsigned n = 0; n < nDepth; ++n) {
        EXPECT_FALSE(m_pQueue->InFlight(n));
        EXPECT_EQ(m_pQueue->Result(n), kRegion) << n;
      }

      // Slot n reads the region of slot depth-1-n, so offsets and buffers
      // must not be mixed up between slots.
      std::memset(m_buffer.Data(), 0, m_buffer.Size());
      for (unsigned n = 0; n < nDepth; ++n)
        ASSERT_EQ(m_pQueue->Issue(n, hFile, false, Region(n), kRegion, uint64_t(nDepth - 1 - n) * kRegion), 0);
      EXPECT_EQ(m_pQueue->Submit(), 0);
      ASSERT_EQ(m_pQueue->WaitAll(kPatience), IoWaitResult::kAllDone);
      EXPECT_EQ(m_pQueue->InFlightCount(), 0u);
      for (unsigned n = 0; n < nDepth; ++n) {
        EXPECT_EQ(m_pQueue->Result(n), kRegion) << n;
        EXPECT_TRUE(Matches(Region(n), uint64_t(nDepth - 1 - n) * kRegion, kRegion, nRound)) << "slot " << n;
      }
    }
    // A buffer outside the registered area goes the ordinary way.
    CAlignedBuffer outside;
    ASSERT_TRUE(outside.Allocate(kRegion));
    ASSERT_EQ(m_pQueue->Issue(0, hFile, false, outside.Data(), kRegion, 0), 0);
    ASSERT_EQ(m_pQueue->WaitAll(kPatience), IoWaitResult::kAllDone);
    EXPECT_EQ(m_pQueue->Result(0), kRegion);
    EXPECT_TRUE(Matches(outside.Data(), 0, kRegion, 2));
  }
}

// WaitOne takes one slot; a caller that submits and then only looks must
// also see requests finish.
TEST_P(IoQueueTest, WaitOneAndPollingSeeCompletions) {
  ASSERT_NO_FATAL_FAILURE(Open(4, "one.dat", 4));
  CIoQueue* pQueue = m_pQueue.get();
  Fill(m_buffer.Data(), 0, 4 * kRegion, 3);
  for (unsigned n = 0; n < 4; ++n) ASSERT_EQ(pQueue->Issue(n, m_pFd->Get(), true, Region(n), kRegion, n * kRegion), 0);
  ASSERT_EQ(pQueue->WaitOne(2, kPatience), IoWaitResult::kAllDone);
  EXPECT_FALSE(pQueue->InFlight(2));
  EXPECT_EQ(pQueue->Result(2), kRegion);
  EXPECT_EQ(pQueue->WaitOne(2, 0ms), IoWaitResult::kAllDone);  // not in flight: nothing to wait for

  auto giveUp = std::chrono::steady_clock::now() + kPatience;
  while (pQueue->InFlightCount() > 0 && std::chrono::steady_clock::now() < giveUp) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(pQueue->InFlightCount(), 0u);
  for (unsigned n = 0; n < 4; ++n) EXPECT_EQ(pQueue->Result(n), kRegion);
}

TEST_P(IoQueueTest, RefusesBadRequestsAtOnceAndReportsBadHandlesAsResults) {
  errno = 0;
  EXPECT_EQ(CIoQueue::Create(0, GetParam()), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(CIoQueue::Create(CIoQueue::kMaxDepth + 1, GetParam()), nullptr);
  EXPECT_EQ(errno, EINVAL);

  ASSERT_NO_FATAL_FAILURE(Open(2, "bad.dat", 1));
  CIoQueue* pQueue = m_pQueue.get();
  EXPECT_EQ(pQueue->Issue(2, m_pFd->Get(), false, Region(0), kRegion, 0), EINVAL);
  EXPECT_EQ(pQueue->Issue(0, m_pFd->Get(), false, nullptr, kRegion, 0), EINVAL);
  EXPECT_EQ(pQueue->Issue(0, -1, false, Region(0), kRegion, 0), EBADF);
  errno = 0;
  EXPECT_EQ(pQueue->WaitOne(2, 0ms), IoWaitResult::kFailed);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(pQueue->InFlightCount(), 0u);  // nothing refused was taken on

  // A handle that looks valid but is closed is only found out by the I/O.
  int hClosed = dup(m_pFd->Get());
  ASSERT_GE(hClosed, 0);
  close(hClosed);
  ASSERT_EQ(pQueue->Issue(1, hClosed, true, Region(0), kRegion, 0), 0);
  ASSERT_EQ(pQueue->WaitAll(kPatience), IoWaitResult::kAllDone);
  EXPECT_EQ(pQueue->Result(1), -EBADF);
}

TEST_P(IoQueueTest, ReadsAtTheEndOfTheFileComeBackShort) {
  ASSERT_NO_FATAL_FAILURE(Open(2, "short.dat", 8));
  const int hFile = m_pFd->Get();
  Fill(Region(0), 0, 3 * kRegion, 5);
  ASSERT_EQ(pwrite(hFile, Region(0), 3 * kRegion, 0), ssize_t(3 * kRegion));
  std::memset(m_buffer.Data(), 0, m_buffer.Size());

  ASSERT_EQ(m_pQueue->Issue(0, hFile, false, Region(0), 4 * kRegion, 0), 0);
  ASSERT_EQ(m_pQueue->Issue(1, hFile, false, Region(4), kRegion, 5 * kRegion), 0);
  ASSERT_EQ(m_pQueue->WaitAll(kPatience), IoWaitResult::kAllDone);
  EXPECT_EQ(m_pQueue->Result(0), 3 * kRegion);
  EXPECT_TRUE(Matches(Region(0), 0, 3 * kRegion, 5));
  EXPECT_EQ(m_pQueue->Result(1), 0);
}

// Mounts the fault file system with one file of kRegion * nRegions pattern
// bytes whose reads stall until the rule goes; skips where FUSE is missing.
class StalledFile {
 public:
  bool Prepare(unsigned nRegions) {
    if (!m_fs.Mount()) return false;
    m_hFile = std::make_unique<CFd>(OpenDirect(m_fs.Root() + "STALL.DAT"));
    if (m_hFile->Get() < 0 || !m_buffer.Allocate(size_t(nRegions) * kRegion)) return false;
    Fill(m_buffer.Data(), 0, m_buffer.Size(), 9);
    if (pwrite(m_hFile->Get(), m_buffer.Data(), m_buffer.Size(), 0) != ssize_t(m_buffer.Size())) return false;
    return m_fs.Arm(FaultRule::Stall("STALL.DAT", FaultRule::EOp::Read, 0, 0, 0)) >= 0;
  }
  // Lets the stalled reads go on, from another thread, once the calling
  // thread sleeps in the wait it goes into next (and still sleeps a while
  // on, so a wait that gives up early shows), and records that it did so
  // before letting them go.
  void ReleaseOnceWaiting() {
    const pid_t nWaiter = gettid();
    m_releaser = std::thread([this, nWaiter] {
      const auto Asleep = [nWaiter] { return test::ThreadAsleep(nWaiter); };
      (void)test::Eventually([&] { return Asleep() && test::Throughout(Asleep, 100ms); });
      m_bReleased = true;
      m_fs.ClearRules();
    });
  }
  ~StalledFile() {
    if (m_releaser.joinable()) m_releaser.join();
  }

  CFaultFs m_fs;
  std::unique_ptr<CFd> m_hFile;
  CAlignedBuffer m_buffer;
  std::atomic<bool> m_bReleased{false};
  std::thread m_releaser;
};

TEST_P(IoQueueTest, TimesOutOnAStalledReadAndCancelAllAwaitsIt) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  constexpr unsigned kDepth = 8;  // more than the thread pool runs at once
  StalledFile file;
  ASSERT_TRUE(file.Prepare(kDepth)) << file.m_fs.LastError() << " " << std::strerror(errno);
  std::unique_ptr<CIoQueue> pQueue = Make(kDepth);
  ASSERT_TRUE(pQueue);
  std::memset(file.m_buffer.Data(), 0, file.m_buffer.Size());

  int hFile = file.m_hFile->Get();
  for (unsigned n = 0; n < kDepth; ++n)
    ASSERT_EQ(pQueue->Issue(n, hFile, false, file.m_buffer.Data() + n * kRegion, kRegion, n * kRegion), 0);
  EXPECT_EQ(pQueue->WaitAll(200ms), IoWaitResult::kTimeout);
  EXPECT_EQ(pQueue->WaitOne(0, 50ms), IoWaitResult::kTimeout);
  EXPECT_TRUE(pQueue->InFlight(0));
  EXPECT_EQ(pQueue->InFlightCount(), kDepth);
  EXPECT_EQ(pQueue->Issue(0, hFile, false, file.m_buffer.Data(), kRegion, 0), EBUSY);

  // A bounded cancel gives up on the request the kernel still holds, but keeps it.
  EXPECT_FALSE(pQueue->CancelAllFor(100ms));
  EXPECT_GT(pQueue->InFlightCount(), 0u);

  file.ReleaseOnceWaiting();
  pQueue->CancelAll();
  EXPECT_EQ(pQueue->InFlightCount(), 0u);
  for (unsigned n = 0; n < kDepth; ++n) {
    EXPECT_FALSE(pQueue->InFlight(n));
    int64_t nResult = pQueue->Result(n);
    if (nResult >= 0) {
      EXPECT_EQ(nResult, kRegion) << n;
      EXPECT_TRUE(Matches(file.m_buffer.Data() + n * kRegion, n * kRegion, kRegion, 9)) << n;
    } else {
      EXPECT_TRUE(nResult == -ECANCELED || nResult == -EINTR) << n << ": " << nResult;
    }
  }

  // The queue is fit for the next batch.
  ASSERT_EQ(pQueue->Issue(3, hFile, false, file.m_buffer.Data(), kRegion, 2 * kRegion), 0);
  ASSERT_EQ(pQueue->WaitAll(kPatience), IoWaitResult::kAllDone);
  EXPECT_EQ(pQueue->Result(3), kRegion);
  EXPECT_TRUE(Matches(file.m_buffer.Data(), 2 * kRegion, kRegion, 9));
}

// Requests in flight when the queue goes must all be over when the
// destructor returns: nothing may land in the buffer afterwards.
TEST_P(IoQueueTest, DestructorAwaitsRequestsStillInFlight) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  StalledFile file;
  ASSERT_TRUE(file.Prepare(4)) << file.m_fs.LastError() << " " << std::strerror(errno);
  {
    std::unique_ptr<CIoQueue> pQueue = Make(4);
    ASSERT_TRUE(pQueue);
    for (unsigned n = 0; n < 4; ++n)
      ASSERT_EQ(pQueue->Issue(n, file.m_hFile->Get(), false, file.m_buffer.Data() + n * kRegion, kRegion, n * kRegion), 0);
    EXPECT_EQ(pQueue->WaitAll(100ms), IoWaitResult::kTimeout);
    file.ReleaseOnceWaiting();
  }
  EXPECT_TRUE(file.m_bReleased);  // it could not have returned while the reads were held
  std::memset(file.m_buffer.Data(), 0xA5, file.m_buffer.Size());
  std::this_thread::sleep_for(100ms);
  for (size_t n = 0; n < file.m_buffer.Size(); ++n) ASSERT_EQ(file.m_buffer.Data()[n], 0xA5) << n;
}

TEST_P(IoQueueTest, DestructorWithPlainRequestsInFlightLeavesNothingBehind) {
  CFd fd(OpenDirect(m_dir.Path("drop.dat")));
  ASSERT_GE(fd.Get(), 0);
  CAlignedBuffer buffer;
  ASSERT_TRUE(buffer.Allocate(64 * kRegion));
  ASSERT_EQ(pwrite(fd.Get(), buffer.Data(), buffer.Size(), 0), ssize_t(buffer.Size()));
  for (int nRound = 0; nRound < 20; ++nRound) {
    std::unique_ptr<CIoQueue> pQueue = Make(64);
    ASSERT_TRUE(pQueue);
    for (unsigned n = 0; n < 64; ++n)
      ASSERT_EQ(pQueue->Issue(n, fd.Get(), false, buffer.Data() + n * kRegion, kRegion, n * kRegion), 0);
    if (nRound % 2 == 1) pQueue->Submit();
  }
  std::memset(buffer.Data(), 0xA5, buffer.Size());
  std::this_thread::sleep_for(50ms);
  for (size_t n = 0; n < buffer.Size(); ++n) ASSERT_EQ(buffer.Data()[n], 0xA5) << n;
}

// A read on an empty pipe waits in the kernel until io_uring withdraws it, so
// only a cancellation that really reaches the kernel lets this finish.  (The
// thread pool cannot withdraw a running pread; the stall cases cover it.)
TEST(IoQueueUring, CancelAllWithdrawsARequestTheKernelCanCancel) {
  int nError = 0;
  if (!CIoQueue::UringUsable(&nError)) GTEST_SKIP() << "this machine refuses io_uring: " << std::strerror(nError);
  int ahPipe[2];
  ASSERT_EQ(pipe2(ahPipe, O_CLOEXEC), 0);
  CFd reader(ahPipe[0]);
  CFd writer(ahPipe[1]);
  std::unique_ptr<CIoQueue> pQueue = CIoQueue::Create(2, IoBackend::kIoUring);
  ASSERT_TRUE(pQueue);
  char ach[2][16];
  ASSERT_EQ(pQueue->Issue(0, reader.Get(), false, ach[0], sizeof(ach[0]), 0), 0);
  ASSERT_EQ(pQueue->Issue(1, reader.Get(), false, ach[1], sizeof(ach[1]), 0), 0);
  EXPECT_EQ(pQueue->WaitAll(100ms), IoWaitResult::kTimeout);
  EXPECT_EQ(pQueue->InFlightCount(), 2u);
  ASSERT_TRUE(pQueue->CancelAllFor(kPatience));
  EXPECT_EQ(pQueue->Result(0), -ECANCELED);
  EXPECT_EQ(pQueue->Result(1), -ECANCELED);
}

// A flush queued behind a batch starts once the batch has completed, so
// behind the fault file system's volatile write cache a power cut keeps
// every write it covered; a write of the batch that fails leaves the flush
// of the others standing, and a flush that fails says so in its result
// (the cache then loses what it held). The thread pool cannot order one
// and says so, for its caller to drain, then flush.
TEST(IoQueueUring, FlushQueuedBehindABatchCoversItsWritesAndReportsItsOwnFailure) {
  constexpr unsigned kDepth = 4;
  std::unique_ptr<CIoQueue> pPool = CIoQueue::Create(kDepth, IoBackend::kThreadPool);
  ASSERT_TRUE(pPool);
  EXPECT_EQ(pPool->IssueFlush(0), EOPNOTSUPP);
  int nError = 0;
  if (!CIoQueue::UringUsable(&nError)) GTEST_SKIP() << "this machine refuses io_uring: " << std::strerror(nError);
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  CFd fd(OpenDirect(fs.Root() + "FLUSH.DAT"));
  ASSERT_GE(fd.Get(), 0) << std::strerror(errno);
  std::unique_ptr<CIoQueue> pQueue = CIoQueue::Create(kDepth, IoBackend::kIoUring);
  ASSERT_TRUE(pQueue);
  EXPECT_EQ(pQueue->FlushResult(), -ENODATA);
  EXPECT_EQ(pQueue->IssueFlush(-1), EBADF);
  CAlignedBuffer buffer;
  ASSERT_TRUE(buffer.Allocate(kDepth * kRegion));
  // One batch of round nRound and its flush; the results, flush last.
  const auto Batch = [&](unsigned nRound) {
    std::vector<int64_t> results;
    for (unsigned n = 0; n < kDepth; ++n) {
      Fill(buffer.Data() + n * kRegion, n * kRegion, kRegion, nRound);
      EXPECT_EQ(pQueue->Issue(n, fd.Get(), true, buffer.Data() + n * kRegion, kRegion, n * kRegion), 0);
    }
    EXPECT_EQ(pQueue->IssueFlush(fd.Get()), 0);
    EXPECT_EQ(pQueue->IssueFlush(fd.Get()), EBUSY);
    EXPECT_EQ(pQueue->WaitAll(kPatience), IoWaitResult::kAllDone);
    EXPECT_FALSE(pQueue->FlushInFlight());
    for (unsigned n = 0; n < kDepth; ++n) results.push_back(pQueue->Result(n));
    results.push_back(pQueue->FlushResult());
    return results;
  };
  // Which round each region of the backing file holds after a power cut.
  const auto RoundsAfterCut = [&] {
    EXPECT_TRUE(fs.Control("powercut\n")) << fs.LastError();
    CFd backing(open((fs.Backing() + "FLUSH.DAT").c_str(), O_RDONLY | O_CLOEXEC));
    std::vector<int> rounds;
    std::vector<uint8_t> region(kRegion);
    for (unsigned n = 0; n < kDepth; ++n) {
      int nRound = -1;
      if (pread(backing.Get(), region.data(), kRegion, n * kRegion) == ssize_t(kRegion)) {
        for (unsigned r = 1; r <= 3 && nRound < 0; ++r)
          if (Matches(region.data(), n * kRegion, kRegion, r)) nRound = int(r);
      }
      rounds.push_back(nRound);
    }
    return rounds;
  };
  const int64_t kDone = kRegion;
  ASSERT_TRUE(fs.Control("cache on\n")) << fs.LastError();
  EXPECT_EQ(Batch(1), (std::vector<int64_t>{kDone, kDone, kDone, kDone, 0}));
  EXPECT_EQ(RoundsAfterCut(), (std::vector<int>{1, 1, 1, 1}));

  ASSERT_TRUE(fs.Control("add op=write name=FLUSH.DAT off=8192 len=8192 times=1 error=EIO\n")) << fs.LastError();
  EXPECT_EQ(Batch(2), (std::vector<int64_t>{kDone, -EIO, kDone, kDone, 0}));
  EXPECT_EQ(RoundsAfterCut(), (std::vector<int>{2, 1, 2, 2}));

  ASSERT_TRUE(fs.Control("add op=flush name=FLUSH.DAT times=1 error=EIO\n")) << fs.LastError();
  EXPECT_EQ(Batch(3), (std::vector<int64_t>{kDone, kDone, kDone, kDone, -EIO}));
  EXPECT_EQ(RoundsAfterCut(), (std::vector<int>{2, 1, 2, 2})) << "nothing of the failed flush's batch is kept";
}

INSTANTIATE_TEST_SUITE_P(Backends, IoQueueTest, ::testing::Values(IoBackend::kIoUring, IoBackend::kThreadPool),
                         [](const ::testing::TestParamInfo<IoBackend>& info) {
                           return info.param == IoBackend::kIoUring ? "IoUring" : "ThreadPool";
                         });

// STRATAVON_IO_BACKEND, restored afterwards.
class IoBackendVariable : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* psz = std::getenv("STRATAVON_IO_BACKEND");
    m_bHad = psz != nullptr;
    if (m_bHad) m_szPrevious = psz;
  }
  void TearDown() override {
    if (m_bHad)
      setenv("STRATAVON_IO_BACKEND", m_szPrevious.c_str(), 1);
    else
      unsetenv("STRATAVON_IO_BACKEND");
  }
  bool m_bHad = false;
  std::string m_szPrevious;
};

TEST_F(IoBackendVariable, ForcesOrRefusesTheBackend) {
  unsetenv("STRATAVON_IO_BACKEND");
  IoBackend eNatural = CIoQueue::DefaultBackend();
  EXPECT_EQ(eNatural, CIoQueue::UringUsable() ? IoBackend::kIoUring : IoBackend::kThreadPool);
  std::unique_ptr<CIoQueue> pQueue = CIoQueue::Create(4);
  ASSERT_TRUE(pQueue);
  EXPECT_EQ(pQueue->Backend(), eNatural);

  setenv("STRATAVON_IO_BACKEND", "threads", 1);
  EXPECT_EQ(CIoQueue::DefaultBackend(), IoBackend::kThreadPool);
  pQueue = CIoQueue::Create(4);
  ASSERT_TRUE(pQueue);
  EXPECT_EQ(pQueue->Backend(), IoBackend::kThreadPool);

  setenv("STRATAVON_IO_BACKEND", "uring", 1);
  EXPECT_EQ(CIoQueue::DefaultBackend(), IoBackend::kIoUring);
  pQueue = CIoQueue::Create(4);
  EXPECT_EQ(pQueue != nullptr, CIoQueue::UringUsable());
  if (pQueue) {
    EXPECT_EQ(pQueue->Backend(), IoBackend::kIoUring);
  }

  setenv("STRATAVON_IO_BACKEND", "turbo", 1);
  errno = 0;
  EXPECT_EQ(CIoQueue::Create(4), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

}  // namespace
}  // namespace stratavon
