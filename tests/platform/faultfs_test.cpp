// The fault-injecting FUSE mount the suites use to prove that workers see
// errors, short transfers and silent corruption: here it is checked with
// the same kind of I/O the workers do (O_DIRECT, aligned buffers, read/write
// at the file position, pread/pwrite, io_uring).

#include <dirent.h>
#include <fcntl.h>
#include <liburing.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/FaultFs.h"

namespace stratavon {
namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kFileSize = 1024 * 1024;
constexpr size_t kChunks = kFileSize / kChunk;
constexpr int kDirectCreate = O_RDWR | O_CREAT | O_TRUNC | O_DIRECT | O_CLOEXEC;
using EOp = FaultRule::EOp;

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};
using AlignedBytes = std::unique_ptr<char[], FreeDeleter>;

AlignedBytes Aligned(size_t nBytes) {
  void* p = nullptr;
  return AlignedBytes(posix_memalign(&p, 4096, nBytes) == 0 ? static_cast<char*>(p) : nullptr);
}

class CFd {
 public:
  explicit CFd(int fd) : m_hFd(fd) {}
  ~CFd() {
    if (m_hFd >= 0) close(m_hFd);
  }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  int Get() const { return m_hFd; }

 private:
  int m_hFd;
};

// Every byte depends on its file offset, so a byte in the wrong place or a
// stale chunk shows as a mismatch.
char PatternByte(uint64_t qwOffset, uint32_t dwSeed) {
  uint64_t x = (qwOffset / 8 + 1) * 0x9E3779B97F4A7C15ull ^ (uint64_t(dwSeed) << 32);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return static_cast<char>(x >> ((qwOffset % 8) * 8));
}

void FillPattern(char* p, uint64_t qwOffset, size_t nBytes, uint32_t dwSeed) {
  for (size_t n = 0; n < nBytes; ++n) p[n] = PatternByte(qwOffset + n, dwSeed);
}

std::vector<char> Pattern(uint64_t qwOffset, size_t nBytes, uint32_t dwSeed) {
  std::vector<char> bytes(nBytes);
  FillPattern(bytes.data(), qwOffset, nBytes, dwSeed);
  return bytes;
}

bool MatchesPattern(const char* p, uint64_t qwOffset, size_t nBytes, uint32_t dwSeed) {
  for (size_t n = 0; n < nBytes; ++n)
    if (p[n] != PatternByte(qwOffset + n, dwSeed)) return false;
  return true;
}

std::vector<char> ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::set<std::string> ListNames(const std::string& dir) {
  std::set<std::string> names;
  if (DIR* pDir = opendir(dir.c_str())) {
    while (dirent* pEntry = readdir(pDir)) names.insert(pEntry->d_name);
    closedir(pDir);
  }
  return names;
}

class FaultFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!CFaultFs::Available(&why)) GTEST_SKIP() << why;
    ASSERT_TRUE(m_fs.Mount()) << m_fs.LastError();
    m_pBuffer = Aligned(kChunk);
    ASSERT_TRUE(m_pBuffer);
  }

  std::string Path(const std::string& name) const { return m_fs.Root() + name; }

  // Creates name through the mount the way the workers do and fills it.
  int CreateFilled(const std::string& name, uint32_t dwSeed) {
    int fd = open(Path(name).c_str(), kDirectCreate, 0644);
    if (fd < 0) return -1;
    for (size_t n = 0; n < kChunks; ++n) {
      FillPattern(m_pBuffer.get(), n * kChunk, kChunk, dwSeed);
      if (pwrite(fd, m_pBuffer.get(), kChunk, off_t(n * kChunk)) != ssize_t(kChunk)) {
        close(fd);
        return -1;
      }
    }
    return fd;
  }

  ssize_t ReadChunk(int fd, size_t nChunk) { return pread(fd, m_pBuffer.get(), kChunk, off_t(nChunk * kChunk)); }

  CFaultFs m_fs;
  AlignedBytes m_pBuffer;
};

TEST_F(FaultFsTest, DirectIoRoundTripsThroughTheMount) {
  CFd fd(open(Path("KORVA25.DAT").c_str(), kDirectCreate, 0644));
  ASSERT_GE(fd.Get(), 0) << std::strerror(errno);
  for (size_t n = 0; n < kChunks; ++n) {
    FillPattern(m_pBuffer.get(), n * kChunk, kChunk, 1);
    ASSERT_EQ(write(fd.Get(), m_pBuffer.get(), kChunk), ssize_t(kChunk)) << "chunk " << n;
  }
  EXPECT_EQ(fsync(fd.Get()), 0);
  EXPECT_EQ(fdatasync(fd.Get()), 0);
  ASSERT_EQ(lseek(fd.Get(), 0, SEEK_SET), 0);
  for (size_t n = 0; n < kChunks; ++n) {
    ASSERT_EQ(read(fd.Get(), m_pBuffer.get(), kChunk), ssize_t(kChunk)) << "chunk " << n;
    EXPECT_TRUE(MatchesPattern(m_pBuffer.get(), n * kChunk, kChunk, 1)) << "chunk " << n;
  }
  EXPECT_EQ(read(fd.Get(), m_pBuffer.get(), kChunk), 0);
  struct stat st;
  ASSERT_EQ(fstat(fd.Get(), &st), 0);
  EXPECT_EQ(st.st_size, off_t(kFileSize));
  EXPECT_EQ(ReadWhole(m_fs.Backing() + "KORVA25.DAT"), Pattern(0, kFileSize, 1));
}

TEST_F(FaultFsTest, NamespaceOperationsReachTheBackingFolder) {
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
  {
    CFd fd(open(Path("sub/a.dat").c_str(), kDirectCreate, 0644));
    ASSERT_GE(fd.Get(), 0) << std::strerror(errno);
    FillPattern(m_pBuffer.get(), 0, 4096, 2);
    ASSERT_EQ(write(fd.Get(), m_pBuffer.get(), 4096), 4096);
  }
  ASSERT_EQ(rename(Path("sub/a.dat").c_str(), Path("sub/b.dat").c_str()), 0);
  struct stat st;
  EXPECT_NE(stat(Path("sub/a.dat").c_str(), &st), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(ReadWhole(m_fs.Backing() + "sub/b.dat"), Pattern(0, 4096, 2));

  std::set<std::string> root = ListNames(m_fs.Root());
  EXPECT_EQ(root, (std::set<std::string>{".", "..", "sub"})) << "the control file must stay out of listings";
  EXPECT_EQ(ListNames(Path("sub")), (std::set<std::string>{".", "..", "b.dat"}));

  ASSERT_EQ(truncate(Path("sub/b.dat").c_str(), off_t(kFileSize)), 0);
  ASSERT_EQ(stat(Path("sub/b.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, off_t(kFileSize));
  { CFd fd(open(Path("sub/b.dat").c_str(), kDirectCreate, 0644)); }
  ASSERT_EQ(stat((m_fs.Backing() + "sub/b.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0) << "O_TRUNC must reach the backing file";

  // What a test puts into the backing folder shows through at once.
  { std::ofstream(m_fs.Backing() + "sub/direct.txt") << "seen"; }
  ASSERT_EQ(stat(Path("sub/direct.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4);

  EXPECT_LT(open(Path("sub/missing.dat").c_str(), O_RDWR | O_DIRECT), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(unlink(Path("sub/b.dat").c_str()), 0);
  EXPECT_EQ(unlink(Path("sub/direct.txt").c_str()), 0);
  EXPECT_EQ(rmdir(Path("sub").c_str()), 0);
  EXPECT_NE(stat((m_fs.Backing() + "sub").c_str(), &st), 0);
}

TEST_F(FaultFsTest, ReadErrorFailsOnlyTheChosenChunkUntilDisarmed) {
  CFd fd(CreateFilled("KORVA25.DAT", 3));
  CFd other(CreateFilled("OTHER.DAT", 4));
  ASSERT_GE(fd.Get(), 0);
  ASSERT_GE(other.Get(), 0);
  // Armed while the files are open, as a running test would.
  int nRule = m_fs.Arm(FaultRule::Error("KORVA25.DAT", EOp::Read, 5 * kChunk, kChunk, EIO));
  ASSERT_GE(nRule, 0) << m_fs.LastError();
  for (size_t n = 0; n < kChunks; ++n) {
    errno = 0;
    ssize_t nGot = ReadChunk(fd.Get(), n);
    if (n == 5) {
      EXPECT_EQ(nGot, -1);
      EXPECT_EQ(errno, EIO);
    } else {
      ASSERT_EQ(nGot, ssize_t(kChunk)) << "chunk " << n;
      EXPECT_TRUE(MatchesPattern(m_pBuffer.get(), n * kChunk, kChunk, 3)) << "chunk " << n;
    }
  }
  EXPECT_EQ(ReadChunk(fd.Get(), 5), -1) << "an unlimited rule keeps firing";
  EXPECT_EQ(ReadChunk(other.Get(), 5), ssize_t(kChunk)) << "other files are not matched";
  FillPattern(m_pBuffer.get(), 5 * kChunk, kChunk, 3);
  EXPECT_EQ(pwrite(fd.Get(), m_pBuffer.get(), kChunk, 5 * kChunk), ssize_t(kChunk)) << "writes are not matched";
  EXPECT_EQ(m_fs.Hits(nRule), 2u);
  EXPECT_EQ(m_fs.Seen(nRule), 2u);

  ASSERT_TRUE(m_fs.Disarm(nRule)) << m_fs.LastError();
  ASSERT_EQ(ReadChunk(fd.Get(), 5), ssize_t(kChunk));
  EXPECT_TRUE(MatchesPattern(m_pBuffer.get(), 5 * kChunk, kChunk, 3));
  EXPECT_EQ(m_fs.Hits(nRule), 2u) << "a disarmed rule keeps its count";
}

TEST_F(FaultFsTest, WriteErrorFailsOnlyTheChosenChunk) {
  CFd fd(open(Path("KORVA25.DAT").c_str(), kDirectCreate, 0644));
  ASSERT_GE(fd.Get(), 0);
  int nRule = m_fs.Arm(FaultRule::Error("KORVA25.DAT", EOp::Write, 3 * kChunk, kChunk, ENOSPC).Times(1));
  ASSERT_GE(nRule, 0) << m_fs.LastError();
  for (size_t n = 0; n < kChunks; ++n) {
    ASSERT_EQ(lseek(fd.Get(), off_t(n * kChunk), SEEK_SET), off_t(n * kChunk));
    FillPattern(m_pBuffer.get(), n * kChunk, kChunk, 5);
    errno = 0;
    ssize_t nPut = write(fd.Get(), m_pBuffer.get(), kChunk);
    if (n == 3) {
      EXPECT_EQ(nPut, -1);
      EXPECT_EQ(errno, ENOSPC);
    } else {
      EXPECT_EQ(nPut, ssize_t(kChunk)) << "chunk " << n;
    }
  }
  EXPECT_EQ(m_fs.Hits(nRule), 1u);
  std::vector<char> expected = Pattern(0, kFileSize, 5);
  std::fill(expected.begin() + 3 * kChunk, expected.begin() + 4 * kChunk, '\0');
  EXPECT_EQ(ReadWhole(m_fs.Backing() + "KORVA25.DAT"), expected) << "the failed chunk must not be stored";

  FillPattern(m_pBuffer.get(), 3 * kChunk, kChunk, 5);
  EXPECT_EQ(pwrite(fd.Get(), m_pBuffer.get(), kChunk, 3 * kChunk), ssize_t(kChunk)) << "Times(1) is used up";
  EXPECT_EQ(ReadWhole(m_fs.Backing() + "KORVA25.DAT"), Pattern(0, kFileSize, 5));
}

TEST_F(FaultFsTest, ShortTransfersReturnTheShortCount) {
  CFd fd(CreateFilled("KORVA25.DAT", 6));
  ASSERT_GE(fd.Get(), 0);
  int nRead = m_fs.Arm(FaultRule::Short("KORVA25.DAT", EOp::Read, 2 * kChunk, kChunk, 4096));
  int nWrite = m_fs.Arm(FaultRule::Short("KORVA25.DAT", EOp::Write, 7 * kChunk, kChunk, 512));
  ASSERT_GE(nRead, 0) << m_fs.LastError();
  ASSERT_GE(nWrite, 0) << m_fs.LastError();

  ASSERT_EQ(ReadChunk(fd.Get(), 2), 4096);
  EXPECT_TRUE(MatchesPattern(m_pBuffer.get(), 2 * kChunk, 4096, 6));
  EXPECT_EQ(ReadChunk(fd.Get(), 1), ssize_t(kChunk));
  // At the file position the short count is also how far the position moves.
  ASSERT_EQ(lseek(fd.Get(), 2 * kChunk, SEEK_SET), off_t(2 * kChunk));
  EXPECT_EQ(read(fd.Get(), m_pBuffer.get(), kChunk), 4096);
  EXPECT_EQ(lseek(fd.Get(), 0, SEEK_CUR), off_t(2 * kChunk + 4096));

  FillPattern(m_pBuffer.get(), 7 * kChunk, kChunk, 7);
  EXPECT_EQ(pwrite(fd.Get(), m_pBuffer.get(), kChunk, 7 * kChunk), 512);
  std::vector<char> expected = Pattern(0, kFileSize, 6);
  FillPattern(expected.data() + 7 * kChunk, 7 * kChunk, 512, 7);
  EXPECT_EQ(ReadWhole(m_fs.Backing() + "KORVA25.DAT"), expected) << "only the short part may be stored";
  EXPECT_EQ(m_fs.Hits(nRead), 2u);
  EXPECT_EQ(m_fs.Hits(nWrite), 1u);
}

TEST_F(FaultFsTest, CorruptReadFlipsExactlyTheChosenBytes) {
  CFd fd(CreateFilled("KORVA25.DAT", 8));
  ASSERT_GE(fd.Get(), 0);
  const uint64_t qwAt = 4 * kChunk + 100;
  int nInside = m_fs.Arm(FaultRule::Corrupt("KORVA25.DAT", EOp::Read, qwAt, 37));
  // Straddles two chunks: each request gets only its own part flipped.
  const uint64_t qwEdge = 9 * kChunk - 8;
  int nEdge = m_fs.Arm(FaultRule::Corrupt("KORVA25.DAT", EOp::Read, qwEdge, 16, 0x01));
  ASSERT_GE(nInside, 0) << m_fs.LastError();
  ASSERT_GE(nEdge, 0) << m_fs.LastError();

  for (size_t n = 0; n < kChunks; ++n) {
    ASSERT_EQ(ReadChunk(fd.Get(), n), ssize_t(kChunk));
    std::vector<char> expected = Pattern(n * kChunk, kChunk, 8);
    for (uint64_t qw = qwAt; qw < qwAt + 37; ++qw)
      if (qw / kChunk == n) expected[qw % kChunk] ^= char(0xFF);
    for (uint64_t qw = qwEdge; qw < qwEdge + 16; ++qw)
      if (qw / kChunk == n) expected[qw % kChunk] ^= char(0x01);
    EXPECT_EQ(std::memcmp(m_pBuffer.get(), expected.data(), kChunk), 0) << "chunk " << n;
  }
  EXPECT_EQ(m_fs.Hits(nInside), 1u);
  EXPECT_EQ(m_fs.Hits(nEdge), 2u);
  EXPECT_EQ(ReadWhole(m_fs.Backing() + "KORVA25.DAT"), Pattern(0, kFileSize, 8)) << "the medium stays intact";
}

TEST_F(FaultFsTest, CorruptWriteStoresAlteredBytesSilently) {
  const uint64_t qwAt = 6 * kChunk + 4000;
  int nRule = m_fs.Arm(FaultRule::Corrupt("KORVA25.DAT", EOp::Write, qwAt, 200, 0x5A));
  ASSERT_GE(nRule, 0) << m_fs.LastError();
  CFd fd(CreateFilled("KORVA25.DAT", 9));
  ASSERT_GE(fd.Get(), 0) << "every write reports full success";
  EXPECT_EQ(m_fs.Hits(nRule), 1u);

  std::vector<char> expected = Pattern(0, kFileSize, 9);
  for (uint64_t qw = qwAt; qw < qwAt + 200; ++qw) expected[qw] ^= char(0x5A);
  EXPECT_EQ(ReadWhole(m_fs.Backing() + "KORVA25.DAT"), expected);
  ASSERT_EQ(ReadChunk(fd.Get(), 6), ssize_t(kChunk));
  EXPECT_EQ(std::memcmp(m_pBuffer.get(), expected.data() + 6 * kChunk, kChunk), 0)
      << "reading back must show the stored damage";
}

TEST_F(FaultFsTest, SkipAndTimesChooseTheOccurrences) {
  CFd fd(CreateFilled("KORVA25.DAT", 10));
  ASSERT_GE(fd.Get(), 0);
  int nRule = m_fs.Arm(FaultRule::Error("KORVA25.DAT", EOp::Read, 0, 0, EIO).Skip(3).Times(2));
  ASSERT_GE(nRule, 0) << m_fs.LastError();
  std::vector<size_t> failed;
  for (size_t n = 0; n < kChunks; ++n)
    if (ReadChunk(fd.Get(), n) < 0) failed.push_back(n);
  EXPECT_EQ(failed, (std::vector<size_t>{3, 4}));
  EXPECT_EQ(m_fs.Seen(nRule), uint64_t(kChunks));
  EXPECT_EQ(m_fs.Hits(nRule), 2u);
}

TEST_F(FaultFsTest, StallHoldsTheRequestUntilDisarmed) {
  CFd fd(CreateFilled("KORVA25.DAT", 11));
  ASSERT_GE(fd.Get(), 0);
  int nRule = m_fs.Arm(FaultRule::Stall("KORVA25.DAT", EOp::Read, 10 * kChunk, kChunk, 0));
  ASSERT_GE(nRule, 0) << m_fs.LastError();
  AlignedBytes pStalled = Aligned(kChunk);
  std::atomic<bool> bDone{false};
  ssize_t nGot = 0;
  std::thread reader([&] {
    nGot = pread(fd.Get(), pStalled.get(), kChunk, 10 * kChunk);
    bDone = true;
  });
  // The hit is counted before the daemon starts holding the request.
  while (m_fs.Hits(nRule) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(m_fs.Hits(nRule), 1u);
  EXPECT_FALSE(bDone) << "the request must wait for the rule";
  EXPECT_EQ(ReadChunk(fd.Get(), 0), ssize_t(kChunk)) << "other requests go on meanwhile";
  EXPECT_TRUE(m_fs.Disarm(nRule)) << m_fs.LastError();
  reader.join();
  EXPECT_EQ(nGot, ssize_t(kChunk));
  EXPECT_TRUE(MatchesPattern(pStalled.get(), 10 * kChunk, kChunk, 11));

  int nTimed = m_fs.Arm(FaultRule::Stall("KORVA25.DAT", EOp::Write, 0, kChunk, 20));
  ASSERT_GE(nTimed, 0) << m_fs.LastError();
  FillPattern(m_pBuffer.get(), 0, kChunk, 11);
  EXPECT_EQ(pwrite(fd.Get(), m_pBuffer.get(), kChunk, 0), ssize_t(kChunk));
  EXPECT_EQ(m_fs.Hits(nTimed), 1u);
}

TEST_F(FaultFsTest, ConcurrentWorkersMeetOnlyTheirOwnFaults) {
  constexpr int kWorkers = 50;
  int nRule = m_fs.Arm(FaultRule::Error("W07.DAT", EOp::Read, 5 * kChunk, kChunk, EIO).Times(1));
  ASSERT_GE(nRule, 0) << m_fs.LastError();
  std::vector<std::vector<std::pair<size_t, int>>> failures(kWorkers);
  std::vector<int> mismatches(kWorkers, 0);
  std::vector<std::thread> workers;
  for (int nWorker = 0; nWorker < kWorkers; ++nWorker) {
    workers.emplace_back([&, nWorker] {
      char szName[16];
      std::snprintf(szName, sizeof szName, "W%02d.DAT", nWorker);
      AlignedBytes p = Aligned(kChunk);
      CFd fd(open(Path(szName).c_str(), kDirectCreate, 0644));
      if (fd.Get() < 0 || !p) {
        failures[nWorker].emplace_back(SIZE_MAX, errno);
        return;
      }
      for (int nPass = 0; nPass < 2; ++nPass) {
        for (size_t n = 0; n < kChunks; ++n) {
          if (nPass == 0) FillPattern(p.get(), n * kChunk, kChunk, uint32_t(nWorker));
          ssize_t nDone = nPass == 0 ? pwrite(fd.Get(), p.get(), kChunk, off_t(n * kChunk))
                                     : pread(fd.Get(), p.get(), kChunk, off_t(n * kChunk));
          if (nDone != ssize_t(kChunk))
            failures[nWorker].emplace_back(n, errno);
          else if (nPass == 1 && !MatchesPattern(p.get(), n * kChunk, kChunk, uint32_t(nWorker)))
            ++mismatches[nWorker];
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  for (int nWorker = 0; nWorker < kWorkers; ++nWorker) {
    std::vector<std::pair<size_t, int>> expected;
    if (nWorker == 7) expected.emplace_back(5, EIO);
    EXPECT_EQ(failures[nWorker], expected) << "worker " << nWorker;
    EXPECT_EQ(mismatches[nWorker], 0) << "worker " << nWorker;
  }
  EXPECT_EQ(m_fs.Hits(nRule), 1u);
}

TEST_F(FaultFsTest, IoUringRequestsMeetTheFaults) {
  io_uring ring;
  int nInit = io_uring_queue_init(8, &ring, 0);
  if (nInit < 0) GTEST_SKIP() << "io_uring unavailable: " << std::strerror(-nInit);
  CFd fd(CreateFilled("KORVA25.DAT", 12));
  ASSERT_GE(fd.Get(), 0);
  ASSERT_GE(m_fs.Arm(FaultRule::Error("KORVA25.DAT", EOp::Read, 3 * kChunk, kChunk, EIO).Times(1)), 0);
  ASSERT_GE(m_fs.Arm(FaultRule::Short("KORVA25.DAT", EOp::Read, 5 * kChunk, kChunk, 1024).Times(1)), 0);
  ASSERT_GE(m_fs.Arm(FaultRule::Error("KORVA25.DAT", EOp::Write, 4 * kChunk, kChunk, ENOSPC).Times(1)), 0);
  auto run = [&](bool bWrite, size_t nChunk) {
    io_uring_sqe* pSqe = io_uring_get_sqe(&ring);
    if (bWrite)
      io_uring_prep_write(pSqe, fd.Get(), m_pBuffer.get(), kChunk, nChunk * kChunk);
    else
      io_uring_prep_read(pSqe, fd.Get(), m_pBuffer.get(), kChunk, nChunk * kChunk);
    io_uring_submit(&ring);
    io_uring_cqe* pCqe = nullptr;
    int nRes = io_uring_wait_cqe(&ring, &pCqe);
    if (nRes == 0) {
      nRes = pCqe->res;
      io_uring_cqe_seen(&ring, pCqe);
    }
    return nRes;
  };
  EXPECT_EQ(run(false, 3), -EIO);
  EXPECT_EQ(run(false, 2), int(kChunk));
  EXPECT_TRUE(MatchesPattern(m_pBuffer.get(), 2 * kChunk, kChunk, 12));
  EXPECT_EQ(run(false, 5), 1024);
  EXPECT_TRUE(MatchesPattern(m_pBuffer.get(), 5 * kChunk, 1024, 12));
  // (A short write is not tried here: the kernel turns a short asynchronous
  // direct write on FUSE into -EIO, so it would test the kernel, not us.)
  EXPECT_EQ(run(true, 4), -ENOSPC);
  EXPECT_EQ(run(false, 3), int(kChunk)) << "Times(1) is used up";
  io_uring_queue_exit(&ring);
}

TEST_F(FaultFsTest, ControlTextIsCheckedAndAppliedAllOrNothing) {
  for (const char* pszBad : {"add op=read error=EBOGUS\n", "add op=frob error=EIO\n", "add op=read\n",
                             "add op=read error=EIO short=5\n", "add op=read stall=0\n", "add op=read off=-1 error=EIO\n",
                             "add op=read times=0 error=EIO\n", "disarm 0\n", "frobnicate\n"}) {
    EXPECT_FALSE(m_fs.Control(pszBad)) << pszBad;
  }
  EXPECT_FALSE(m_fs.Control("add op=read name=X.DAT error=EIO\nadd op=read bogus=1 error=EIO\n"));
  EXPECT_EQ(m_fs.Report(), "") << "a rejected text must leave no rule behind";

  // Units and hex as a person would type them.
  ASSERT_TRUE(m_fs.Control("# chunk 1 of K.DAT\nadd op=read name=K.DAT off=64K len=0x1000 times=1 error=EIO\n"))
      << m_fs.LastError();
  CFd fd(CreateFilled("K.DAT", 13));
  ASSERT_GE(fd.Get(), 0);
  EXPECT_EQ(ReadChunk(fd.Get(), 0), ssize_t(kChunk));
  EXPECT_EQ(ReadChunk(fd.Get(), 1), -1);
  EXPECT_EQ(ReadChunk(fd.Get(), 1), ssize_t(kChunk));
  EXPECT_EQ(m_fs.Hits(0), 1u);
  EXPECT_EQ(m_fs.Hits(1), UINT64_MAX) << "an unknown rule has no count";
}

TEST_F(FaultFsTest, StatfsForwardsTheBackingFileSystem) {
  struct statvfs mnt, backing;
  ASSERT_EQ(statvfs(m_fs.Root().c_str(), &mnt), 0);
  ASSERT_EQ(statvfs(m_fs.Backing().c_str(), &backing), 0);
  EXPECT_EQ(uint64_t(mnt.f_blocks) * mnt.f_frsize, uint64_t(backing.f_blocks) * backing.f_frsize);
  // Others write to the same disk between the two calls.
  double dMnt = double(mnt.f_bavail) * double(mnt.f_frsize);
  double dBacking = double(backing.f_bavail) * double(backing.f_frsize);
  EXPECT_NEAR(dMnt, dBacking, 0.01 * double(backing.f_blocks) * double(backing.f_frsize));
}

TEST_F(FaultFsTest, TmpfileIsServedOrRefusedCleanly) {
  int fd = open(m_fs.Root().c_str(), O_TMPFILE | O_RDWR | O_DIRECT, 0600);
  if (fd >= 0) {
    CFd tmp(fd);
    FillPattern(m_pBuffer.get(), 0, kChunk, 14);
    EXPECT_EQ(pwrite(fd, m_pBuffer.get(), kChunk, 0), ssize_t(kChunk));
  } else {
    EXPECT_TRUE(errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) << std::strerror(errno);
  }
  CFd after(CreateFilled("AFTER.DAT", 14));
  EXPECT_GE(after.Get(), 0) << "the mount must still serve files";
}

TEST(FaultFsLifetime, DestructorUnmountsEvenWithFilesOpenAndRequestsStalled) {
  std::string why;
  if (!CFaultFs::Available(&why)) GTEST_SKIP() << why;
  std::string root;
  int fd = -1;
  AlignedBytes p = Aligned(4096);
  ssize_t nStalled = 0;
  std::thread reader;
  {
    CFaultFs fs;
    ASSERT_TRUE(fs.Mount()) << fs.LastError();
    root = fs.Root();
    fd = open((root + "LEAKED.DAT").c_str(), kDirectCreate, 0644);
    ASSERT_GE(fd, 0);
    FillPattern(p.get(), 0, 4096, 15);
    ASSERT_EQ(pwrite(fd, p.get(), 4096, 0), 4096);
    int nRule = fs.Arm(FaultRule::Stall("LEAKED.DAT", EOp::Read, 0, 0, 0));
    ASSERT_GE(nRule, 0) << fs.LastError();
    reader = std::thread([&] { nStalled = pread(fd, p.get(), 4096, 0); });
    while (fs.Hits(nRule) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  reader.join();  // the destructor must have let the stalled request go
  EXPECT_TRUE(nStalled == 4096 || nStalled < 0) << nStalled;
  CFd leaked(fd);
  struct stat st;
  EXPECT_NE(stat(root.c_str(), &st), 0);
  EXPECT_EQ(errno, ENOENT) << "the folders must be gone";
  std::string mountinfo;
  {
    std::ifstream in("/proc/self/mountinfo");
    mountinfo.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(mountinfo.find(root.substr(0, root.size() - 1)), std::string::npos);
  EXPECT_LT(pread(fd, p.get(), 4096, 0), 0) << "a file of a torn-down mount must fail, not hang";
}

}  // namespace
}  // namespace stratavon
