#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "run/TargetRecords.h"
#include "workers/AsyncEngines.h"
#include "workers/SyncEngines.h"
#include "support/LoopMount.h"
#include "support/RunFixture.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace stratavon {
namespace {

using test::Eventually;
using test::MakeSettings;
using test::ReadWholeFile;

// How many extents FIEMAP (what filefrag shows) finds in a file; -1 when it cannot tell.
int Extents(const std::string& szPath) {
  const int h = open(szPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (h < 0) return -1;
  // No room for extents: the call then only counts them.
  alignas(fiemap) unsigned char abyMap[sizeof(fiemap)] = {};
  auto* pMap = reinterpret_cast<fiemap*>(abyMap);
  pMap->fm_length = FIEMAP_MAX_OFFSET;
  pMap->fm_flags = FIEMAP_FLAG_SYNC;
  const int nExtents = ioctl(h, FS_IOC_FIEMAP, pMap) == 0 ? static_cast<int>(pMap->fm_mapped_extents) : -1;
  close(h);
  return nExtents;
}

class WorkFileLayoutTest : public test::RunFixture {
 protected:
  struct Case {
    const char* szName;
    bool bAsync, bWrite;
    uint32_t dwBuffer, dwDepth, nWorkers;
    uint64_t qwSpan;
  };
  // Runs the case's workers on the target until each has moved some I/O,
  // stops them, and returns their work files.
  std::vector<std::string> RunCase(const std::string& szRoot, const Case& c) {
    const uint32_t dwMode = (c.bAsync ? MODE_ASYNC : 0) | MODE_PERFORMANCE;
    RunSettings settings = MakeSettings(c.dwBuffer, c.dwBuffer, dwMode, FUNCTION_WRITE, c.dwDepth);
    settings.qwSpanBytes = c.qwSpan;
    settings.dwThreads = c.nWorkers;
    std::vector<std::string> files;
    if (!Prepare({szRoot}, settings)) return files;
    const int nFirst = c.bWrite ? kFirstWriteSlot : 0;
    const WorkerFactory pfnCreate = c.bAsync ? (c.bWrite ? CreateWorker<CWriteAdvancedAsyncClass>
                                                         : CreateWorker<CReadAdvancedAsyncClass>)
                                             : (c.bWrite ? CreateWorker<CWriteAdvancedClass>
                                                         : CreateWorker<CReadAdvancedClass>);
    const uint32_t nKind = c.bAsync ? (c.bWrite ? kWorkerWriteAdvancedAsync : kWorkerReadAdvancedAsync)
                                    : (c.bWrite ? kWorkerWriteAdvanced : kWorkerReadAdvanced);
    for (uint32_t i = 0; i < c.nWorkers; ++i) {
      LaunchWorker(0, nFirst + static_cast<int>(i), pfnCreate, nKind);
      files.push_back(WorkFileName(szRoot, c.bWrite, nFirst + static_cast<int>(i)));
    }
    // A whole pass and then some, so every region has been written.
    const uint64_t qwFileIos = std::max<uint64_t>(c.qwSpan, uint64_t{c.dwDepth} * c.dwBuffer) / c.dwBuffer;
    EXPECT_TRUE(Eventually([&] {
      for (uint32_t i = 0; i < c.nWorkers; ++i) {
        const int nEntry = c.bWrite ? nFirst + static_cast<int>(i) + kWriteEntryOffset : static_cast<int>(i);
        if (g_pTargetRecords[0].entries[nEntry].qwIos.load() < 2 * qwFileIos) return false;
      }
      return true;
    }));
    StopAndWait();
    return files;
  }
};

// Files laid out before the run are contiguous however many writes were in
// flight, and the run leaves them as it always did: the size of the regions,
// the pattern in every byte. A second run reuses them as they are.
TEST_F(WorkFileLayoutTest, FreshExtFourKeepsEveryWorkFileInAtMostTwoExtents) {
  if (const std::string szWhy = test::CLoopMount::Unavailable(); !szWhy.empty()) GTEST_SKIP() << szWhy;
  test::CLoopMount disk(320u << 20, 512);
  ASSERT_TRUE(disk.Ok()) << disk.Error();
  const Case cases[] = {
      {"async write 4 KiB depth 32, 4 workers", true, true, 4096, 32, 4, 0},
      {"async write 64 KiB depth 8 over 64 MiB", true, true, 64 << 10, 8, 1, 64 << 20},
      {"async read 1 MiB depth 8, 2 workers", true, false, 1 << 20, 8, 2, 0},
      {"sync write 1 MiB over 16 MiB", false, true, 1 << 20, 1, 1, 16 << 20},
  };
  for (const Case& c : cases) {
    for (int nRun = 1; nRun <= 2; ++nRun) {
      SCOPED_TRACE(testing::Message() << c.szName << ", run " << nRun);
      const std::vector<std::string> files = RunCase(disk.Root(), c);
      ASSERT_EQ(files.size(), c.nWorkers);
      EXPECT_EQ(m_console.Cell(0, kColumnStatus), "STOP");
      for (const std::string& szFile : files) {
        const std::string szData = ReadWholeFile(szFile);
        EXPECT_EQ(szData.size(), std::max<uint64_t>(c.qwSpan, uint64_t{c.dwDepth} * c.dwBuffer)) << szFile;
        EXPECT_EQ(std::count(szData.begin(), szData.end(), '\xAA'), static_cast<ptrdiff_t>(szData.size()))
            << szFile << ": the pattern throughout";
        const int nExtents = Extents(szFile);
        EXPECT_GE(nExtents, 1) << szFile;
        EXPECT_LE(nExtents, 2) << szFile;
      }
      RunFixture::TearDown();
    }
  }
}

}  // namespace
}  // namespace stratavon
