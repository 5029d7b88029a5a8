#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "faultfs/FaultRules.h"
#include "faultfs/WriteCache.h"
#include "support/TempDir.h"

namespace stratavon {
namespace {

// What the backing file holds at [qwOffset, qwOffset + nBytes).
std::string OnDisk(int fd, uint64_t qwOffset, size_t nBytes) {
  std::string sz(nBytes, '?');
  const ssize_t n = pread(fd, sz.data(), nBytes, static_cast<off_t>(qwOffset));
  sz.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return sz;
}

// The cache holds writes (reads see them, the file does not) until a flush
// of the file writes them back in order; a power cut loses what it holds,
// a torn one lets part of the oldest write through; a full cache writes its
// oldest back on its own.
TEST(WriteCacheTest, HoldsWritesUntilFlushAndPowerCutLosesThem) {
  test::CTempDir dir;
  const int fd = open(dir.Path("A.DAT").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  CWriteCache cache;
  std::string szError;
  int nError = -1;
  EXPECT_FALSE(cache.Write(fd, "x", 1, 0, &nError)) << "off: the caller writes through";
  ASSERT_TRUE(cache.Enable(true, 1 << 20, &szError));

  const std::string a(4096, 'A'), b(4096, 'B'), c(4096, 'C');
  ASSERT_TRUE(cache.Write(fd, a.data(), a.size(), 0, &nError));
  ASSERT_TRUE(cache.Write(fd, b.data(), b.size(), 4096, &nError));
  ASSERT_TRUE(cache.Write(fd, c.data(), 2048, 6144, &nError)) << "overlaps the write before";
  EXPECT_EQ(nError, 0);
  EXPECT_EQ(OnDisk(fd, 0, 8192), std::string(8192, '\0')) << "grown, not yet written";
  std::string read(8192, '\0');
  EXPECT_EQ(cache.Overlay(fd, read.data(), read.size(), 0, 0), 8192u);
  EXPECT_EQ(read, a + b.substr(0, 2048) + c.substr(0, 2048)) << "later writes win";

  ASSERT_EQ(cache.Flush(fd, true), 0);
  EXPECT_EQ(OnDisk(fd, 0, 8192), read);
  ASSERT_TRUE(cache.Write(fd, c.data(), c.size(), 0, &nError));
  EXPECT_EQ(cache.PowerCut(false, 0), 1u);
  EXPECT_EQ(OnDisk(fd, 0, 4096), a) << "the unflushed write is gone";

  ASSERT_TRUE(cache.Write(fd, c.data(), c.size(), 0, &nError));
  ASSERT_TRUE(cache.Write(fd, c.data(), c.size(), 4096, &nError));
  EXPECT_EQ(cache.PowerCut(true, 0), 2u);
  EXPECT_EQ(OnDisk(fd, 0, 8192), c.substr(0, 2048) + a.substr(2048) + read.substr(4096)) << "half of the oldest";

  // Room for two writes: the third pushes the oldest out to the file.
  ASSERT_TRUE(cache.Enable(true, 8192, &szError));
  for (uint64_t qw = 0; qw < 3; ++qw) ASSERT_TRUE(cache.Write(fd, b.data(), b.size(), qw * 4096, &nError));
  EXPECT_EQ(OnDisk(fd, 0, 8192), b + read.substr(4096));
  ASSERT_TRUE(cache.Enable(false, 0, &szError)) << szError;
  EXPECT_EQ(OnDisk(fd, 0, 12288), b + b + b) << "off writes everything back";
  close(fd);
}

// The control language of the cache: turning it on and off, power cuts,
// flushes that lie; refusals leave the table as it was.
TEST(WriteCacheTest, ControlTextDrivesTheCacheAndFlushRules) {
  FaultSetting setting;
  std::string szError;
  ASSERT_TRUE(ParseFaultSetting("lie-flush name=A.DAT skip=1", &setting, &szError)) << szError;
  EXPECT_EQ(setting.op, EFaultOp::Flush) << "a lie is about a flush";
  EXPECT_EQ(setting.action, EFaultAction::LieFlush);
  EXPECT_TRUE(ParseFaultSetting("op=flush error=EIO", &setting, &szError));
  EXPECT_FALSE(ParseFaultSetting("op=write lie-flush", &setting, &szError));
  EXPECT_FALSE(ParseFaultSetting("op=flush drop", &setting, &szError));
  EXPECT_FALSE(ParseFaultSetting("op=flush lie-flush=1", &setting, &szError));

  CFaultTable table;
  for (const char* szBad : {"cache\n", "cache on limit=0\n", "cache on size=1M\n", "powercut tear=x\n",
                            "powercut now\n", "add op=flush lie-flush\ncache of\n"}) {
    EXPECT_FALSE(table.Apply(szBad, &szError)) << szBad;
  }
  EXPECT_EQ(table.Report(), "") << "nothing applied, the cache never on";
  ASSERT_TRUE(table.Apply("cache on limit=1M\nadd lie-flush name=A.DAT skip=1 times=1\n", &szError)) << szError;
  EXPECT_TRUE(table.Cache().Enabled());
  EXPECT_FALSE(table.Consult("/t/A.DAT", EFaultOp::Flush, 0, 0).bLieFlush) << "skipped";
  EXPECT_FALSE(table.Consult("/t/B.DAT", EFaultOp::Flush, 0, 0).bLieFlush) << "another file";
  EXPECT_TRUE(table.Consult("/t/A.DAT", EFaultOp::Flush, 0, 0).bLieFlush);
  EXPECT_FALSE(table.Consult("/t/A.DAT", EFaultOp::Write, 0, 4096).bLieFlush);
  ASSERT_TRUE(table.Apply("powercut tear=2K\npowercut\n", &szError)) << szError;
  EXPECT_EQ(table.Report(),
            "0 armed=1 seen=2 hits=1 lie-flush name=A.DAT skip=1 times=1\n"
            "cache on limit=1048576 held=0 writes=0 flushes=0 cuts=2\n");
}

}  // namespace
}  // namespace stratavon
