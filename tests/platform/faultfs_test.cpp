// The fault-injecting FUSE mount itself: what the engine suites rely on but
// do not exercise through the engines (the control text, counters, disarm,
// pass-through of the file system's figures, teardown, dropped and misdirected
// writes, the write cache and its power cut). Errors, short transfers, corruption and stalls are proven end to
// end by those suites.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
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
#include <vector>

#include <gtest/gtest.h>

#include "support/Fd.h"
#include "support/FaultFs.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace stratavon {
namespace {

constexpr size_t kChunk = 64 * 1024;
constexpr size_t kChunks = 16;
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

using test::CFd;

// Each chunk holds its own number and the file's seed, so a stale or
// misplaced chunk shows.
char ChunkByte(size_t nChunk, int nSeed) { return static_cast<char>(nChunk * 16 + static_cast<size_t>(nSeed)); }

class FaultFsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!CFaultFs::Available(&why)) GTEST_SKIP() << why;
    ASSERT_TRUE(m_fs.Mount()) << m_fs.LastError();
    m_pBuffer = Aligned(kChunk);
    ASSERT_TRUE(m_pBuffer);
  }

  // Creates name through the mount with direct I/O, as the workers do.
  int CreateFilled(const std::string& name, int nSeed) {
    int fd = open((m_fs.Root() + name).c_str(), kDirectCreate, 0644);
    for (size_t n = 0; fd >= 0 && n < kChunks; ++n) {
      std::memset(m_pBuffer.get(), ChunkByte(n, nSeed), kChunk);
      if (pwrite(fd, m_pBuffer.get(), kChunk, off_t(n * kChunk)) != ssize_t(kChunk)) {
        close(fd);
        fd = -1;
      }
    }
    return fd;
  }

  ssize_t ReadChunk(int fd, size_t nChunk) { return pread(fd, m_pBuffer.get(), kChunk, off_t(nChunk * kChunk)); }
  bool BufferHolds(size_t nChunk, int nSeed) const {
    const char c = ChunkByte(nChunk, nSeed);
    return std::all_of(m_pBuffer.get(), m_pBuffer.get() + kChunk, [c](char b) { return b == c; });
  }

  CFaultFs m_fs;
  AlignedBytes m_pBuffer;
};

TEST_F(FaultFsTest, RuleCountsItsHitsAndDisarmRestoresNormalIo) {
  CFd fd(CreateFilled("KORVA25.DAT", 3));
  CFd other(CreateFilled("OTHER.DAT", 4));
  ASSERT_GE(fd.Get(), 0);
  ASSERT_GE(other.Get(), 0);
  // Armed while the files are open, as a running test would.
  int nRule = m_fs.Arm(FaultRule::Error("KORVA25.DAT", EOp::Read, 5 * kChunk, kChunk, EIO));
  ASSERT_GE(nRule, 0) << m_fs.LastError();
  EXPECT_EQ(ReadChunk(fd.Get(), 5), -1);
  EXPECT_EQ(ReadChunk(fd.Get(), 5), -1) << "an unlimited rule keeps firing";
  EXPECT_EQ(ReadChunk(other.Get(), 5), ssize_t(kChunk)) << "other files are not matched";
  EXPECT_EQ(pwrite(fd.Get(), m_pBuffer.get(), kChunk, 6 * kChunk), ssize_t(kChunk)) << "writes are not matched";
  EXPECT_EQ(m_fs.Hits(nRule), 2u);
  EXPECT_EQ(m_fs.Seen(nRule), 2u);

  ASSERT_TRUE(m_fs.Disarm(nRule)) << m_fs.LastError();
  ASSERT_EQ(ReadChunk(fd.Get(), 5), ssize_t(kChunk));
  EXPECT_TRUE(BufferHolds(5, 3));
  EXPECT_EQ(m_fs.Hits(nRule), 2u) << "a disarmed rule keeps its count";
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

// The two faults a drive commits silently: the caller is told every byte
// landed, and the backing file shows where (if anywhere) they did.
TEST_F(FaultFsTest, DroppedAndMisdirectedWritesReportSuccessAndStoreNothingOrElsewhere) {
  CFd fd(CreateFilled("KORVA25.DAT", 1));
  ASSERT_GE(fd.Get(), 0);
  int nDrop = m_fs.Arm(FaultRule::Drop("KORVA25.DAT", 2 * kChunk, kChunk).Times(1));
  int nMove = m_fs.Arm(FaultRule::Move("KORVA25.DAT", 3 * kChunk, kChunk, 5 * kChunk).Times(1));
  ASSERT_GE(nMove, 0) << m_fs.LastError();
  for (size_t n : {2, 3}) {
    std::memset(m_pBuffer.get(), ChunkByte(n, 2), kChunk);
    EXPECT_EQ(pwrite(fd.Get(), m_pBuffer.get(), kChunk, off_t(n * kChunk)), ssize_t(kChunk));
  }
  EXPECT_EQ(m_fs.Hits(nDrop), 1u);
  EXPECT_EQ(m_fs.Hits(nMove), 1u);
  CFd backing(open((m_fs.Backing() + "KORVA25.DAT").c_str(), O_RDONLY | O_CLOEXEC));
  for (auto [nChunk, bNew] : {std::pair{2, false}, {3, false}, {5, true}}) {
    ASSERT_EQ(pread(backing.Get(), m_pBuffer.get(), kChunk, off_t(nChunk * kChunk)), ssize_t(kChunk));
    const char cWant = bNew ? ChunkByte(3, 2) : ChunkByte(size_t(nChunk), 1);
    EXPECT_TRUE(std::all_of(m_pBuffer.get(), m_pBuffer.get() + kChunk, [cWant](char b) { return b == cWant; }))
        << "chunk " << nChunk;
  }
}

// With the write cache on, writes reach the backing file at an honest
// fsync only; a lying one answers the same and writes nothing back, and the
// power cut then loses it while the mount shows the file as the backing
// folder holds it.
TEST_F(FaultFsTest, CachedWritesReachTheBackingFileOnlyAtAnHonestFlush) {
  CFd fd(CreateFilled("KORVA25.DAT", 1));
  ASSERT_GE(fd.Get(), 0);
  ASSERT_TRUE(m_fs.Control("cache on\nadd lie-flush name=KORVA25.DAT skip=1\n")) << m_fs.LastError();
  CFd backing(open((m_fs.Backing() + "KORVA25.DAT").c_str(), O_RDONLY | O_CLOEXEC));
  const auto BackingHolds = [&](size_t nChunk, int nSeed) {
    return pread(backing.Get(), m_pBuffer.get(), kChunk, off_t(nChunk * kChunk)) == ssize_t(kChunk) &&
           BufferHolds(nChunk, nSeed);
  };
  const auto WriteChunk = [&](size_t nChunk, int nSeed) {
    std::memset(m_pBuffer.get(), ChunkByte(nChunk, nSeed), kChunk);
    return pwrite(fd.Get(), m_pBuffer.get(), kChunk, off_t(nChunk * kChunk)) == ssize_t(kChunk);
  };
  ASSERT_TRUE(WriteChunk(2, 2));
  EXPECT_TRUE(BackingHolds(2, 1)) << "held in the cache";
  ASSERT_EQ(ReadChunk(fd.Get(), 2), ssize_t(kChunk));
  EXPECT_TRUE(BufferHolds(2, 2)) << "reads see the cache";
  ASSERT_EQ(fdatasync(fd.Get()), 0);
  EXPECT_TRUE(BackingHolds(2, 2)) << "an honest flush";
  ASSERT_TRUE(WriteChunk(3, 2));
  ASSERT_EQ(fdatasync(fd.Get()), 0) << "the lie looks like success";
  EXPECT_TRUE(BackingHolds(3, 1));
  ASSERT_TRUE(m_fs.Control("powercut\n")) << m_fs.LastError();
  ASSERT_EQ(ReadChunk(fd.Get(), 3), ssize_t(kChunk));
  EXPECT_TRUE(BufferHolds(3, 1)) << "the acknowledged flush is lost";
  EXPECT_NE(m_fs.Report().find("cache on limit=67108864 held=0 writes=0 flushes=1 cuts=1"), std::string::npos)
      << m_fs.Report();
}

TEST_F(FaultFsTest, ControlTextIsCheckedAndAppliedAllOrNothing) {
  // The language itself is the rule table's to check (tests/faultfs); here
  // a refusal reaches the writer of the control file.
  for (const char* pszBad : {"add op=read error=EBOGUS\n", "frobnicate\n"}) EXPECT_FALSE(m_fs.Control(pszBad)) << pszBad;
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

TEST_F(FaultFsTest, ListingsAndStatfsShowTheBackingFolder) {
  CFd fd(CreateFilled("KORVA25.DAT", 1));
  ASSERT_GE(fd.Get(), 0);
  std::set<std::string> names;
  if (DIR* pDir = opendir(m_fs.Root().c_str())) {
    while (dirent* pEntry = readdir(pDir)) names.insert(pEntry->d_name);
    closedir(pDir);
  }
  EXPECT_EQ(names, (std::set<std::string>{".", "..", "KORVA25.DAT"})) << "the control file must stay out of listings";

  struct statvfs mnt, backing;
  ASSERT_EQ(statvfs(m_fs.Root().c_str(), &mnt), 0);
  ASSERT_EQ(statvfs(m_fs.Backing().c_str(), &backing), 0);
  EXPECT_EQ(uint64_t(mnt.f_blocks) * mnt.f_frsize, uint64_t(backing.f_blocks) * backing.f_frsize);
  // Others write to the same disk between the two calls.
  double dMnt = double(mnt.f_bavail) * double(mnt.f_frsize);
  double dBacking = double(backing.f_bavail) * double(backing.f_frsize);
  EXPECT_NEAR(dMnt, dBacking, 0.01 * double(backing.f_blocks) * double(backing.f_frsize));
}

// What a killed test or selftest left behind goes with the next mount.
TEST(FaultFsLifetime, MountSweepsFoldersOfOwnersThatAreGone) {
  std::string why;
  if (!CFaultFs::Available(&why)) GTEST_SKIP() << why;
  test::CTempDir parent;
  const std::string left = parent.Path("stratavon-faultfs-LEFT01");
  ASSERT_EQ(mkdir(left.c_str(), 0755), 0);
  ASSERT_EQ(mkdir((left + "/mnt").c_str(), 0755), 0);
  std::ofstream(left + "/owner") << "2147483647\n";  // above any pid_max
  const std::string mine = parent.Path("stratavon-faultfs-MINE01");
  ASSERT_EQ(mkdir(mine.c_str(), 0755), 0);
  std::ofstream(mine + "/owner") << getpid() << "\n";
  const std::string young = parent.Path("stratavon-faultfs-YOUNG1");  // record not written yet
  ASSERT_EQ(mkdir(young.c_str(), 0755), 0);
  std::ofstream(young + "/owner").flush();
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount(parent.Root())) << fs.LastError();
  struct stat st;
  EXPECT_NE(stat(left.c_str(), &st), 0) << "a dead owner's folder must be swept";
  EXPECT_EQ(stat(mine.c_str(), &st), 0) << "a live owner's folder must stay";
  EXPECT_EQ(stat(young.c_str(), &st), 0) << "a folder still being made must stay";
  EXPECT_EQ(fs.Root().rfind(parent.Root(), 0), 0u) << fs.Root();
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
    std::memset(p.get(), 0x5A, 4096);
    ASSERT_EQ(pwrite(fd, p.get(), 4096, 0), 4096);
    int nRule = fs.Arm(FaultRule::Stall("LEAKED.DAT", EOp::Read, 0, 0, 0));
    ASSERT_GE(nRule, 0) << fs.LastError();
    reader = std::thread([&] { nStalled = pread(fd, p.get(), 4096, 0); });
    ASSERT_TRUE(test::Eventually([&] { return fs.Hits(nRule) != 0; }, std::chrono::seconds(10)))
        << "the read never reached the stall rule";
  }
  reader.join();  // the destructor must have let the stalled request go
  EXPECT_TRUE(nStalled == 4096 || nStalled < 0) << nStalled;
  CFd leaked(fd);
  struct stat st;
  EXPECT_NE(stat(root.c_str(), &st), 0);
  EXPECT_EQ(errno, ENOENT) << "the folders must be gone";
  std::ifstream in("/proc/self/mountinfo");
  const std::string mountinfo((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(mountinfo.find(root.substr(0, root.size() - 1)), std::string::npos);
  EXPECT_LT(pread(fd, p.get(), 4096, 0), 0) << "a file of a torn-down mount must fail, not hang";
}

}  // namespace
}  // namespace stratavon
