#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <future>
#include <mutex>
#include <set>
#include <span>
#include <thread>
#include <vector>

#include "run/TargetRecords.h"
#include "engine/Pattern.h"
#include "platform/DiskSpace.h"
#include "platform/MessageBox.h"
#include "support/RunFixture.h"
#include "support/TableView.h"
#include "support/FaultFs.h"
#include "support/LoopMount.h"
#include "support/TempDir.h"
#include "support/Wait.h"
#include "workers/simple/SimpleWorkers.h"

namespace stratavon {
namespace {

using namespace std::chrono_literals;
using test::Eventually;
using test::WorkersEnded;
using test::FileSize;
using test::ReadWholeFile;

constexpr int64_t kMiB = kSimpleIoBytes;

using CRecordingPresenter = test::CMessageCatcher;

class CRecordingWatch : public ISimpleWorkerWatch {
 public:
  struct Call {
    bool bStart;
    int nTarget, nSlot;
    IoErrorKind nKind;
    int nError;
  };
  void OnStartFailed(int nTarget, int nSlot, IoErrorKind nKind, const std::string&) override {
    Add({true, nTarget, nSlot, nKind, 0});
  }
  void OnTransferFailed(int nTarget, int nSlot, IoErrorKind nKind, int nError) override {
    Add({false, nTarget, nSlot, nKind, nError});
  }
  std::vector<Call> All() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
  }

 private:
  void Add(const Call& call) {
    std::lock_guard lock(m_mutex);
    m_calls.push_back(call);
  }
  mutable std::mutex m_mutex;
  std::vector<Call> m_calls;
};

// Bytes this process has read through read() calls so far.
uint64_t ProcessReadBytes() {
  std::ifstream io("/proc/self/io");
  std::string szKey;
  uint64_t qwValue = 0;
  while (io >> szKey >> qwValue) {
    if (szKey == "rchar:") return qwValue;
  }
  return 0;
}

// The pattern the simple workers lay down, built byte by byte.
std::string ExpectedFile() {
  std::span<const uint8_t> unit = PatternUnit(g_nPatternKind == kPatternFile ? kPatternByte : g_nPatternKind);
  std::string sz(kMiB, '\0');
  for (size_t j = 0; j < sz.size(); ++j) sz[j] = static_cast<char>(unit[j % unit.size()]);
  return sz;
}

class SimpleWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMessagePresenter(&m_presenter);
    SetSimpleWorkerWatch(&m_watch);
  }
  void TearDown() override {
    EndRun();
    SetMessagePresenter(nullptr);
    SetSimpleWorkerWatch(nullptr);
    g_nPatternKind = kPatternByte;
    g_byPatternByte = 0xAA;
    g_pPatternFile = nullptr;
  }

  // Stops whatever runs and releases the records, as a console reset does.
  void EndRun() {
    m_presenter.m_gate.Set();
    StopWorkers();
    WorkersEnded();
    ReleaseTargetRecords();
  }

  void Prepare(const std::vector<std::string>& roots) {
    m_roots = roots;
    ASSERT_TRUE(BuildTargetRecords(FolderTargets(roots)));
    ASSERT_EQ(CreateWorkDirectories(FolderTargets(roots)), WorkDirectoryResult::kCreated);
    ResetTargetRecords();
  }
  void PrepareTemporary(int nTargets = 1) {
    std::vector<std::string> roots;
    for (int t = 0; t < nTargets; ++t) {
      m_dirs.push_back(std::make_unique<test::CTempDir>());
      roots.push_back(m_dirs.back()->Root());
    }
    Prepare(roots);
  }
  // The simple console's Start: per target, reads in 0.., then writes in 25...
  void LaunchLikeTheConsole(uint32_t dwFunction, int nThreads) {
    for (int t = 0; t < static_cast<int>(m_roots.size()); ++t) {
      if (dwFunction != FUNCTION_WRITE) {
        for (int s = 0; s < nThreads; ++s) LaunchWorker(t, s, CreateWorker<CThreadClass>, kWorkerSimpleRead);
      }
      if (dwFunction != FUNCTION_READ) {
        for (int s = kFirstWriteSlot; s < kFirstWriteSlot + nThreads; ++s) {
          LaunchWorker(t, s, CreateWorker<CWriteThreadClass>, kWorkerSimpleWrite);
        }
      }
    }
  }
  // LaunchWorker's steps up to the resume: the worker is in its slot but parked.
  HTHREAD Park(CSimpleWorker* pWorker, int nTarget, int nSlot) {
    TargetRunRecord& record = g_pTargetRecords[nTarget];
    EXPECT_TRUE(pWorker->CreateSuspended());
    record.pWorker[nSlot] = pWorker;
    record.hEndEvent[nSlot]->Reset();
    pWorker->m_nTarget = nTarget;
    pWorker->m_nSlot = nSlot;
    pWorker->m_hEndEvent = record.hEndEvent[nSlot];
    record.workerKind[nSlot] = pWorker->IsWriteSide() ? kWorkerSimpleWrite : kWorkerSimpleRead;
    record.hThread[nSlot] = pWorker->Handle();
    return record.hThread[nSlot];
  }

  std::string File(int t, int s) const { return WorkFileName(m_roots[t], s >= kFirstWriteSlot, s); }
  static bool Ended(int t, int s) { return g_pTargetRecords[t].hEndEvent[s]->IsSet(); }
  static bool Running(int t, int s) { return g_pTargetRecords[t].hThread[s]->IsActive(); }
  static uint32_t ExitCode(int t, int s) { return g_pTargetRecords[t].hThread[s]->ExitCode(); }
  static std::pair<int, uint8_t*> FileAndBuffer(int t, int e) {
    CScopedLock lock(g_csRecords);
    const SlotIoEntry& entry = g_pTargetRecords[t].entries[e];
    return {entry.hFile, entry.pBuffer};
  }
  static bool Published(int t, int e) {
    const auto [hFile, pBuffer] = FileAndBuffer(t, e);
    return hFile != INVALID_HANDLE_VALUE && pBuffer != nullptr;
  }
  static bool Cleared(int t, int e) {
    const auto [hFile, pBuffer] = FileAndBuffer(t, e);
    return hFile == INVALID_HANDLE_VALUE && pBuffer == nullptr;
  }

  CRecordingPresenter m_presenter;
  CRecordingWatch m_watch;
  std::vector<std::string> m_roots;
  std::vector<std::unique_ptr<test::CTempDir>> m_dirs;
};

TEST_F(SimpleWorkerTest, FilesHoldOneMebibyteOfThePattern) {
  const std::vector<uint8_t> dataFile = {'L', 'A', 'B', 'E', 'L', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3};
  struct Case {
    uint32_t nKind;
    uint8_t byTyped;
  } cases[] = {{kPatternCrpat, 0xAA}, {kPatternCjtpat, 0xAA}, {kPatternCspat, 0xAA},
               {kPatternByte, 0x5A},  {kPatternFile, 0x3C}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "kind " << c.nKind);
    g_nPatternKind = c.nKind;
    g_byPatternByte = c.byTyped;
    g_pPatternFile = &dataFile;
    PrepareTemporary();
    LaunchLikeTheConsole(FUNCTION_READ_WRITE, 1);
    ASSERT_TRUE(Eventually([&] { return FileSize(File(0, 0)) == kMiB && FileSize(File(0, 25)) == kMiB; }));
    StopWorkers();
    WorkersEnded();
    const std::string szExpected = ExpectedFile();
    for (int s : {0, 25}) {
      const std::string szFile = ReadWholeFile(File(0, s));
      ASSERT_EQ(szFile.size(), static_cast<size_t>(kMiB)) << File(0, s);
      EXPECT_TRUE(szFile == szExpected) << File(0, s);
      // 1048576 = 12 x 87381 + 4: CRPAT ends with its unit's first four bytes.
      if (c.nKind == kPatternCrpat) {
        EXPECT_EQ(szFile.substr(kMiB - 4), "\xBE\xD7\x23\x47");
      }
    }
    EndRun();
  }
  EXPECT_TRUE(m_presenter.All().empty());
  EXPECT_TRUE(m_watch.All().empty());
}

// The slots of the console's table are used and nothing else; every entry
// is cleared and every file closed at the end.
TEST_F(SimpleWorkerTest, SlotsEntriesAndExitCodes) {
  for (int nThreads : {2, 25}) {
    SCOPED_TRACE(testing::Message() << nThreads << " threads");
    PrepareTemporary();
    LaunchLikeTheConsole(FUNCTION_READ_WRITE, nThreads);
    const auto used = [&](int s) { return s < nThreads || (s >= kFirstWriteSlot && s < kFirstWriteSlot + nThreads); };
    for (int s = 0; s < kSlotsPerTarget; ++s) {
      EXPECT_EQ(g_pTargetRecords[0].workerKind[s],
                !used(s) ? kWorkerNone : s < kFirstWriteSlot ? kWorkerSimpleRead : kWorkerSimpleWrite)
          << s;
    }
    ASSERT_TRUE(Eventually([&] {
      for (int s = 0; s < kSlotsPerTarget; ++s) {
        if (used(s) && FileSize(File(0, s)) != kMiB) return false;
      }
      return true;
    }));
    std::vector<std::pair<int, std::string>> openFiles;
    for (int s = 0; s < kSlotsPerTarget; ++s) {
      const int nEntry = s < kFirstWriteSlot ? s : s + kWriteEntryOffset;
      const int nOtherSide = s < kFirstWriteSlot ? s + kWriteEntryOffset : s;
      EXPECT_EQ(Published(0, nEntry), used(s)) << s;
      EXPECT_TRUE(Cleared(0, nOtherSide)) << s;
      if (!used(s)) continue;
      EXPECT_TRUE(Running(0, s)) << s;
      const auto [hFile, pBuffer] = FileAndBuffer(0, nEntry);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(pBuffer) % 4096, 0u);
      openFiles.emplace_back(hFile, File(0, s));
    }
    for (const auto& [hFile, szPath] : openFiles) {
      EXPECT_EQ(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(hFile)).string(), szPath);
    }

    StopWorkers();
    WorkersEnded();
    for (int s = 0; s < kSlotsPerTarget; ++s) {
      EXPECT_TRUE(Cleared(0, s) && Cleared(0, s + kWriteEntryOffset)) << s;
      if (used(s)) {
        EXPECT_EQ(ExitCode(0, s), s < kFirstWriteSlot ? kSimpleReadExitCode : kSimpleWriteExitCode);
      }
    }
    for (const auto& [hFile, szPath] : openFiles) {
      std::error_code ec;
      EXPECT_NE(std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(hFile), ec).string(), szPath);
    }
    EndRun();
  }
}

TEST_F(SimpleWorkerTest, StopBeforeTheLoopStillLeavesOnePass) {
  PrepareTemporary();
  // Old work files of any size are emptied and rewritten to exactly 1 MiB.
  std::ofstream(File(0, 0)) << "stale";
  std::ofstream(File(0, 25)).close();
  std::filesystem::resize_file(File(0, 25), 3 * kMiB);

  // Workers told to stop before their loop can begin.
  auto* pReader = new CThreadClass;
  auto* pWriter = new CWriteThreadClass;
  HTHREAD hReader = Park(pReader, 0, 0);
  HTHREAD hWriter = Park(pWriter, 0, 25);
  for (CSimpleWorker* pWorker : {static_cast<CSimpleWorker*>(pReader), static_cast<CSimpleWorker*>(pWriter)}) {
    pWorker->m_bStop = 1;
  }
  const uint64_t qwReadBefore = ProcessReadBytes();
  for (const HTHREAD& hThread : {hReader, hWriter}) {
    hThread->PostMessage({WM_START_IO, 0, 0});
    hThread->Resume();
  }
  WorkersEnded();
  if (std::filesystem::exists("/proc/self/io")) {
    EXPECT_LT(ProcessReadBytes() - qwReadBefore, static_cast<uint64_t>(kMiB)) << "the reader read nothing back";
  }
  EXPECT_EQ(ExitCode(0, 0), kSimpleReadExitCode);
  EXPECT_EQ(ExitCode(0, 25), kSimpleWriteExitCode);
  for (int s : {0, 25}) EXPECT_TRUE(ReadWholeFile(File(0, s)) == ExpectedFile()) << File(0, s);

  // The console's own path: Stop right after the launch, while workers are
  // still starting.
  ResetTargetRecords();
  LaunchLikeTheConsole(FUNCTION_READ_WRITE, 3);
  StopWorkers();
  WorkersEnded();
  for (int s : {0, 1, 2, 25, 26, 27}) {
    EXPECT_EQ(FileSize(File(0, s)), kMiB) << s;
    EXPECT_EQ(ExitCode(0, s), s < kFirstWriteSlot ? kSimpleReadExitCode : kSimpleWriteExitCode);
  }
  EXPECT_TRUE(m_presenter.All().empty());
}

TEST_F(SimpleWorkerTest, EndIoReleasesWithoutAnyTransfer) {
  PrepareTemporary();
  HTHREAD hThread = Park(new CThreadClass, 0, 3);
  hThread->Resume();
  ASSERT_TRUE(Eventually([&] { return Published(0, 3); }));
  hThread->PostMessage({WM_END_IO, 0, 0});
  ASSERT_TRUE(g_pTargetRecords[0].hEndEvent[3]->Wait(30s));
  EXPECT_EQ(hThread->ExitCode(), kSimpleEndIoExitCode);
  EXPECT_TRUE(Cleared(0, 3));
  EXPECT_EQ(FileSize(File(0, 3)), 0);
}

TEST_F(SimpleWorkerTest, StartUpFailuresShowOneBoxPerTargetAndReasonAndEndOnlyTheirWorkers) {
  PrepareTemporary(2);
  std::filesystem::create_directory(File(0, 26));  // cannot be opened as a file
  std::filesystem::remove_all(m_roots[1]);         // nothing to ask for free space
  // A worker in a slot the console never prepared ends silently.
  auto* pStray = new CWriteThreadClass;
  HTHREAD hStray = Park(pStray, 0, 40);
  pStray->m_nTarget = g_nTargetRecords;

  // The boxes stay open until all are up: one per target and reason, each
  // on its own worker's thread, naming the target.
  m_presenter.m_gate.Reset();
  LaunchLikeTheConsole(FUNCTION_READ_WRITE, 2);
  hStray->Resume();
  ASSERT_TRUE(Eventually([&] { return m_presenter.All().size() == 2 && Ended(0, 40); }));
  std::set<std::thread::id> threads;
  for (const CRecordingPresenter::Shown& shown : m_presenter.All()) {
    threads.insert(shown.thread);
    EXPECT_EQ(shown.szCaption, "Error");
    EXPECT_EQ(shown.icon, MessageIcon::kError);
    const bool bFirst = shown.szText.find(m_roots[0]) != std::string::npos;
    EXPECT_EQ(shown.szText.rfind(bFirst ? "File Creation Error!\n" : "INITIALIZATION ERROR\n", 0), 0u) << shown.szText;
    EXPECT_NE(shown.szText.find(bFirst ? "KORVA26.DAT: " : m_roots[1]), std::string::npos) << shown.szText;
  }
  EXPECT_EQ(threads.size(), 2u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
  m_presenter.m_gate.Set();
  ASSERT_TRUE(Eventually([&] { return Ended(0, 26) && Ended(1, 0) && Ended(1, 1) && Ended(1, 25) && Ended(1, 26); }));
  EXPECT_EQ(m_presenter.All().size(), 2u) << "the other workers of target 1 end without a box";
  EXPECT_EQ(m_watch.All().size(), 5u);
  for (const CRecordingWatch::Call& call : m_watch.All()) EXPECT_TRUE(call.bStart);

  EXPECT_EQ(ExitCode(0, 26), 0u);
  EXPECT_EQ(ExitCode(0, 40), 0u);
  EXPECT_TRUE(Cleared(0, 26 + kWriteEntryOffset));
  for (int s : {0, 1, 25}) EXPECT_TRUE(Running(0, s)) << "the rest of the run goes on: " << s;
  StopWorkers();
  WorkersEnded();
  for (int s : {0, 1, 25}) EXPECT_EQ(FileSize(File(0, s)), kMiB);
}

// A box that waits for the operator holds its own worker and nothing else;
// a Stop raised meanwhile completes once the box is closed.
TEST_F(SimpleWorkerTest, OpenMessageBoxHoldsOnlyItsWorker) {
  PrepareTemporary();
  std::filesystem::create_directory(File(0, 25));
  m_presenter.m_gate.Reset();
  LaunchLikeTheConsole(FUNCTION_READ_WRITE, 2);
  ASSERT_TRUE(Eventually([&] { return m_presenter.All().size() == 1; }));
  EXPECT_EQ(m_presenter.All()[0].szText.rfind("File Creation Error!", 0), 0u);
  EXPECT_NE(m_presenter.All()[0].szText.find(File(0, 25) + ": is a directory, not a regular file; left untouched"),
            std::string::npos);
  EXPECT_TRUE(Cleared(0, 25 + kWriteEntryOffset)) << "released before the box";

  if (std::filesystem::exists("/proc/self/io")) {
    const uint64_t qwRead = ProcessReadBytes();
    ASSERT_TRUE(Eventually([&] { return ProcessReadBytes() - qwRead >= 8 * static_cast<uint64_t>(kMiB); }))
        << "the readers keep reading";
  }
  ASSERT_TRUE(Eventually([&] { return FileSize(File(0, 26)) == kMiB; }));
  for (int s : {0, 1, 25, 26}) EXPECT_TRUE(Running(0, s)) << s;

  StopWorkers();
  std::future<void> wait = std::async(std::launch::async, [] { WorkersEnded(); });
  ASSERT_TRUE(Eventually([&] { return Ended(0, 0) && Ended(0, 1) && Ended(0, 26); }));
  EXPECT_FALSE(Ended(0, 25));
  EXPECT_EQ(wait.wait_for(0s), std::future_status::timeout);
  m_presenter.m_gate.Set();
  ASSERT_EQ(wait.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(ExitCode(0, 25), 0u);
  EXPECT_EQ(ExitCode(0, 26), kSimpleWriteExitCode);
}

// Transfer failures do not stop the load; the watch hears of the first one.
TEST_F(SimpleWorkerTest, FailedTransfersAreReportedOnceAndTheLoadGoesOn) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  Prepare({fs.Root()});
  const int nReadRule = fs.Arm(FaultRule::Error("KORVA0.DAT", FaultRule::EOp::Read, 0, 0, EIO));
  const int nWriteRule = fs.Arm(FaultRule::Short("KORVA25.DAT", FaultRule::EOp::Write, 0, 0, 4096).Skip(2));
  ASSERT_GE(nReadRule, 0) << fs.LastError();
  ASSERT_GE(nWriteRule, 0) << fs.LastError();
  LaunchLikeTheConsole(FUNCTION_READ_WRITE, 1);
  ASSERT_TRUE(Eventually([&] { return fs.Hits(nReadRule) >= 5 && fs.Hits(nWriteRule) >= 5; })) << fs.Report();
  EXPECT_TRUE(Running(0, 0));
  EXPECT_TRUE(Running(0, 25));
  StopWorkers();
  WorkersEnded();
  fs.Unmount();

  std::vector<CRecordingWatch::Call> calls = m_watch.All();
  ASSERT_EQ(calls.size(), 2u);
  std::sort(calls.begin(), calls.end(), [](const auto& a, const auto& b) { return a.nSlot < b.nSlot; });
  EXPECT_FALSE(calls[0].bStart);
  EXPECT_EQ(calls[0].nSlot, 0);
  EXPECT_EQ(calls[0].nKind, kErrorReadApi);
  EXPECT_EQ(calls[0].nError, EIO);
  EXPECT_EQ(calls[1].nSlot, 25);
  EXPECT_EQ(calls[1].nKind, kErrorUnderrunOverrun);
  EXPECT_TRUE(m_presenter.All().empty());
  EXPECT_EQ(ExitCode(0, 0), kSimpleReadExitCode);
}

// A target with less than 1 MiB free: every worker tells the watch, one box
// tells the operator, and Stop still completes.
TEST_F(SimpleWorkerTest, FullTargetRefusesEveryWorker) {
  const std::string szWhy = test::CLoopMount::Unavailable();
  if (!szWhy.empty()) GTEST_SKIP() << szWhy;
  test::CLoopMount loop(8 << 20, 4096);
  ASSERT_TRUE(loop.Ok()) << loop.Error();
  Prepare({loop.Root()});
  {
    std::ofstream filler(loop.Root() + "filler", std::ios::binary);
    const std::string szChunk(64 << 10, 'x');
    while (filler.write(szChunk.data(), static_cast<std::streamsize>(szChunk.size())) && filler.flush()) {
    }
  }
  DiskSpaceInfo disk;
  ASSERT_TRUE(GetDiskFreeSpace(loop.Root(), disk));
  ASSERT_LT(disk.qwFreeBytes, static_cast<uint64_t>(kMiB));

  LaunchLikeTheConsole(FUNCTION_READ_WRITE, 3);
  StopWorkers();
  WorkersEnded();
  std::vector<CRecordingPresenter::Shown> shown = m_presenter.All();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].szText.rfind("NOT ENOUGH DISK SPACE\n", 0), 0u) << shown[0].szText;
  EXPECT_EQ(m_watch.All().size(), 6u);
  for (int s : {0, 1, 2, 25, 26, 27}) {
    EXPECT_EQ(ExitCode(0, s), 0u);
    EXPECT_EQ(FileSize(File(0, s)), -1) << "no file is made";
  }
  for (const CRecordingWatch::Call& call : m_watch.All()) EXPECT_EQ(call.nKind, kErrorDiskSpace);
}

}  // namespace
}  // namespace stratavon
