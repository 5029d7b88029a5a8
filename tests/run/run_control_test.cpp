#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <regex>
#include <thread>
#include <tuple>

#include "run/RunControl.h"
#include "run/RunReport.h"
#include "run/RunPreparation.h"
#include "engine/DataFile.h"
#include "run/Statistics.h"
#include "run/WorkerPlan.h"
#include "run/TargetRecords.h"
#include "engine/IoError.h"
#include "engine/Pattern.h"
#include "support/RunFixture.h"
#include "support/TableView.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace stratavon {
namespace {

using test::CMessageCatcher;
using test::CTableView;
using test::MakeSettings;

TEST(SizeListTest, IndexMeansFiveHundredTwelveShiftedByIt) {
  for (int i = 0; i < kSizeItems; ++i) {
    uint32_t dwBytes = 7;
    ASSERT_TRUE(SizeOfListIndex(i, &dwBytes));
    EXPECT_EQ(dwBytes, 512u << i);
    EXPECT_EQ(SizeItemIndex(SizeItemText(i)), i);
    EXPECT_EQ(SizeListIndexOf(dwBytes), i);
  }
  for (uint32_t dwOdd : {0u, 3072u, 8388608u}) EXPECT_EQ(SizeListIndexOf(dwOdd), -1) << dwOdd;
  EXPECT_STREQ(SizeItemText(0), "512B");
  EXPECT_STREQ(SizeItemText(1), "1KB");
  EXPECT_STREQ(SizeItemText(13), "4MB");
  EXPECT_EQ(SizeItemIndex("64kb"), 7);
  for (int nOther : {-1, 14, 100}) {
    uint32_t dwBytes = 7;
    EXPECT_FALSE(SizeOfListIndex(nOther, &dwBytes));
    EXPECT_EQ(dwBytes, 7u) << "no selection leaves the field as it was";
    EXPECT_EQ(SizeItemText(nOther), nullptr);
  }
  for (const char* szOdd : {"1K", "3KB", "", "8MB", "1MB "}) EXPECT_EQ(SizeItemIndex(szOdd), -1) << szOdd;
}

// A refused preparation is a value: what a console shows, what a headless
// front end says, and nothing made under the targets.
TEST(RunPreparationTest, RefusalsAreValuesAndLeaveNothingBehind) {
  test::CTempDir dir;
  RunOptions options;
  options.targets = {FolderTarget(dir.Root())};
  options.dwFunction = FUNCTION_WRITE;
  options.choices.dwTransferSize = 2097152;
  options.choices.dwBufferSize = 1048576;
  StartRefusal refusal = PrepareRun(options);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->ConsoleText(), "Transfer Size > Buffer Size!");
  EXPECT_EQ(refusal->Text(), "Transfer Size > Buffer Size!");
  EXPECT_EQ(g_pTargetRecords, nullptr);

  // The peers refuse before a target is touched; they say why themselves.
  options.bSimple = true;
  refusal = PrepareRun(options, [] { return false; });
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->Text(), "");
  EXPECT_EQ(g_pTargetRecords, nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir.Path("WRITE")));

  // The console's word and the plain why, both said headless.
  const std::string szGone = dir.Path("gone/");
  options.targets = {FolderTarget(szGone)};
  refusal = PrepareRun(options);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->ConsoleText(), "Directory Creation Error!");
  EXPECT_EQ(refusal->Text(), "Directory Creation Error!: no such folder: " + szGone);
  ReleaseTargetRecords();

  // The console names the root; headless only the why is said.
  const std::string szLong = dir.Root() + std::string(4096, 'd') + "/";
  options.targets = {FolderTarget(szLong)};
  refusal = PrepareRun(options);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->ConsoleText(), "Target Path Too Long!\n" + szLong);
  EXPECT_EQ(refusal->Text(), refusal->szWhy);
  EXPECT_NE(refusal->szWhy.find("path limit"), std::string::npos) << refusal->szWhy;
  ReleaseTargetRecords();
}

using Plan = std::vector<PlannedWorker>;

Plan Slots(int nFirst, int nCount, uint32_t nKind) {
  Plan plan;
  for (int s = 0; s < nCount; ++s) plan.push_back({nFirst + s, nKind});
  return plan;
}

Plan operator+(Plan a, const Plan& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(WorkerPlanTest, ClassTable) {
  constexpr uint32_t EC = MODE_ERROR_CHECKING;
  constexpr uint32_t AS = MODE_ASYNC;
  // target mode, console mode, function, threads -> launches in order
  EXPECT_EQ(PlanTargetWorkers(0, 0, FUNCTION_READ, 3), Slots(0, 3, kWorkerReadAdvanced));
  EXPECT_EQ(PlanTargetWorkers(0, 0, FUNCTION_WRITE, 3), Slots(25, 3, kWorkerWriteAdvanced));
  EXPECT_EQ(PlanTargetWorkers(0, 0, FUNCTION_READ_WRITE, 25),
            Slots(0, 25, kWorkerReadAdvanced) + Slots(25, 25, kWorkerWriteAdvanced));
  EXPECT_EQ(PlanTargetWorkers(EC, EC, FUNCTION_READ_WRITE, 2), Slots(25, 2, kWorkerWriteAdvanced))
      << "READ/WRITE with Error Checking writes only";
  EXPECT_EQ(PlanTargetWorkers(EC, EC, FUNCTION_READ, 2), Slots(0, 2, kWorkerReadAdvanced));
  EXPECT_EQ(PlanTargetWorkers(AS, AS, FUNCTION_READ, 2), Slots(0, 2, kWorkerReadAdvancedAsync));
  EXPECT_EQ(PlanTargetWorkers(AS, AS, FUNCTION_WRITE, 2), Slots(25, 2, kWorkerWriteAdvancedAsync));

  // An asynchronous target asks the console's box...
  EXPECT_EQ(PlanTargetWorkers(AS | EC, 0, FUNCTION_READ_WRITE, 2),
            Slots(0, 2, kWorkerReadAdvancedAsync) + Slots(25, 2, kWorkerWriteAdvancedAsync));
  EXPECT_EQ(PlanTargetWorkers(AS, EC, FUNCTION_READ_WRITE, 2), Slots(25, 2, kWorkerWriteAdvancedAsync));
  // ... a synchronous one its own.
  EXPECT_EQ(PlanTargetWorkers(0, AS | EC, FUNCTION_READ_WRITE, 2),
            Slots(0, 2, kWorkerReadAdvanced) + Slots(25, 2, kWorkerWriteAdvanced));
  EXPECT_EQ(PlanTargetWorkers(EC, AS, FUNCTION_READ_WRITE, 2), Slots(25, 2, kWorkerWriteAdvanced));

  for (uint32_t dwFunction : {0u, 3u, 5u, 8u}) {
    EXPECT_TRUE(PlanTargetWorkers(0, 0, dwFunction, 2).empty());
    EXPECT_TRUE(PlanSimpleWorkers(dwFunction, 2).empty());
  }
  // The simple console checks nothing: READ/WRITE takes both sides.
  EXPECT_EQ(PlanSimpleWorkers(FUNCTION_READ_WRITE, 2), Slots(0, 2, kWorkerSimpleRead) + Slots(25, 2, kWorkerSimpleWrite));
  EXPECT_EQ(PlanSimpleWorkers(FUNCTION_WRITE, 1), Slots(25, 1, kWorkerSimpleWrite));
}

struct Launch {
  int nTarget;
  int nSlot;
  uint32_t nKind;
  bool operator==(const Launch&) const = default;
};

class RunControlTest : public test::RunFixture {
 protected:
  // A control whose launches are only recorded, over n prepared targets.
  void Open(uint32_t dwFunction, int nThreadIndex, int nTargets = 1) {
    ASSERT_TRUE(PrepareTemporary(RunSettings{}, nTargets));
    m_view = std::make_unique<CTableView>(static_cast<size_t>(nTargets));
    m_control = std::make_unique<CRunControl>(*m_view, dwFunction, nThreadIndex + 1);
    m_control->SetLauncher([this](int t, int s, uint32_t k) { m_launches.push_back({t, s, k}); });
  }

  std::vector<Launch> LaunchesOf(int nTarget) const {
    std::vector<Launch> of;
    for (const Launch& launch : m_launches) {
      if (launch.nTarget == nTarget) of.push_back(launch);
    }
    return of;
  }

  std::unique_ptr<CTableView> m_view;
  std::unique_ptr<CRunControl> m_control;
  std::vector<Launch> m_launches;
};

TEST_F(RunControlTest, TransferLargerThanBufferIsRefusedButItsReadingsStay) {
  Open(FUNCTION_WRITE, 3);
  CMessageCatcher messages;
  RunChoices controls;
  controls.bErrorChecking = controls.bPerformance = controls.bAsynchronous = true;
  controls.dwQueueDepth = 63;
  controls.dwTransferSize = 2097152;
  controls.dwBufferSize = 1048576;
  EXPECT_FALSE(m_control->OnStart(controls));

  ASSERT_EQ(messages.All().size(), 1u);
  EXPECT_EQ(messages.All()[0].szText, "Transfer Size > Buffer Size!");
  EXPECT_EQ(messages.All()[0].szCaption, "Error");
  EXPECT_EQ(messages.All()[0].icon, MessageIcon::kError);
  const RunSettings& settings = m_control->Settings();
  EXPECT_EQ(settings.dwMode, MODE_ERROR_CHECKING | MODE_PERFORMANCE | MODE_ASYNC);
  EXPECT_EQ(settings.dwQueueDepth, 63u);
  EXPECT_EQ(settings.dwTransferSize, 2097152u);
  EXPECT_EQ(settings.dwBufferSize, 1048576u);
  EXPECT_EQ(settings.dwThreads, 4u);
  EXPECT_EQ(settings.dwFunction, FUNCTION_WRITE);

  EXPECT_FALSE(m_control->IsRunning());
  EXPECT_TRUE(m_launches.empty());
  EXPECT_TRUE(m_view->Calls().empty()) << "nothing else changes";
  EXPECT_EQ(g_pTargetRecords[0].settings.dwBufferSize, 0u) << "no target was given the settings";

  // Equal sizes start; a list without a selection keeps the size read before.
  controls.bAsynchronous = false;
  controls.dwQueueDepth = 1;
  controls.dwTransferSize = 0;
  controls.dwBufferSize = 2097152;
  EXPECT_TRUE(m_control->OnStart(controls));
  EXPECT_TRUE(messages.All().size() == 1u);
  EXPECT_EQ(m_control->Settings().dwTransferSize, 2097152u);
  EXPECT_EQ(m_control->Settings().dwQueueDepth, 63u) << "the depth is read only with Asynchronous";
  EXPECT_EQ(m_control->Settings().dwMode, MODE_ERROR_CHECKING | MODE_PERFORMANCE);
  EXPECT_TRUE(m_control->IsRunning());
  EXPECT_EQ(m_launches, (std::vector<Launch>{{0, 25, 4}, {0, 26, 4}, {0, 27, 4}, {0, 28, 4}}));
}

TEST_F(RunControlTest, StartFillsEveryTargetAndRunsTheTimers) {
  Open(FUNCTION_READ_WRITE, 24, 2);
  RunChoices controls;
  controls.bPerformance = true;
  controls.dwTransferSize = 65536;
  ASSERT_TRUE(m_control->OnStart(controls));

  for (int t = 0; t < 2; ++t) {
    const std::vector<Launch> launches = LaunchesOf(t);
    ASSERT_EQ(launches.size(), 50u) << "thread index 24, READ/WRITE, no Error Checking fills every slot";
    for (int s = 0; s < kSlotsPerTarget; ++s) {
      EXPECT_EQ(launches[static_cast<size_t>(s)].nSlot, s);
      EXPECT_EQ(launches[static_cast<size_t>(s)].nKind, s < 25 ? 3u : 4u);
    }
    const RunSettings& settings = g_pTargetRecords[t].settings;
    EXPECT_EQ(settings.dwTransferSize, 65536u);
    EXPECT_EQ(settings.dwBufferSize, 1048576u);
    EXPECT_EQ(settings.dwThreads, 25u);
    EXPECT_EQ(settings.pDialog, m_view.get());
    EXPECT_EQ(m_view->m_table.Cell(t, kColumnChunk), "64K");
    EXPECT_EQ(m_view->m_table.Cell(t, kColumnPerformance), "ENABLED");
  }
  EXPECT_EQ(m_launches.front(), (Launch{0, 0, 3})) << "targets in order";
  EXPECT_EQ(m_view->m_table.StatusText(), "RUN");
  EXPECT_EQ(m_view->m_table.ExtendedText(), "NONE");
  EXPECT_FALSE(m_view->m_bStart);
  EXPECT_TRUE(m_view->m_bStop);
  EXPECT_TRUE(m_view->m_bTimer1);
  EXPECT_TRUE(m_view->m_bTimer2);
  EXPECT_FALSE(m_control->OnStart(controls)) << "a running console does not start again";
  EXPECT_EQ(m_launches.size(), 100u);

  m_control->OnTimer(TIMER_ELAPSED);
  EXPECT_TRUE(std::regex_match(m_view->m_szElapsed, std::regex("0:00:00:[0-9][0-9]"))) << m_view->m_szElapsed;
  // Failed calls of loops that go on regardless show in their row and in Extended.
  CountFailedCall(1, kErrorWriteApi, EIO);
  CountFailedCall(1, kErrorReadApi, ENOSPC);
  m_control->OnTimer(TIMER_ELAPSED);
  EXPECT_EQ(m_view->m_table.Cell(1, kColumnError), "WRITE API x2");
  EXPECT_EQ(m_view->m_table.Cell(0, kColumnError), "NONE");
  EXPECT_EQ(m_view->m_table.ExtendedText(), "2 FAILED I/O CALLS: Input/output error");
  m_control->OnStop({});
  EXPECT_FALSE(m_view->m_bTimer1);
  EXPECT_EQ(m_view->m_table.StatusText(), "STOP");
  EXPECT_TRUE(m_view->m_bStart && m_view->m_bStop);

  // Without Enable Performance only the clock runs.
  controls.bPerformance = false;
  ASSERT_TRUE(m_control->OnStart(controls));
  EXPECT_EQ(TargetIoErrors(1).qwCalls, 0u) << "every Start begins a new count";
  EXPECT_TRUE(m_view->m_bTimer1);
  EXPECT_FALSE(m_view->m_bTimer2);
}

// The simple run through the same control: the simple console's plan
// into every target, one Start at a time, over once it is stopped.
TEST_F(RunControlTest, SimpleRunLaunchesThePlanIntoEveryTarget) {
  ASSERT_TRUE(PrepareTemporary(RunSettings{}, 2));
  CRunControl control;
  control.SetLauncher([this](int t, int s, uint32_t k) { m_launches.push_back({t, s, k}); });
  EXPECT_FALSE(control.OnStart(RunChoices{})) << "the advanced Start is not the simple run's";
  ASSERT_TRUE(control.OnStartSimple(FUNCTION_READ_WRITE, 2));
  EXPECT_EQ(LaunchesOf(1), (std::vector<Launch>{{1, 0, kWorkerSimpleRead}, {1, 1, kWorkerSimpleRead},
                                                {1, 25, kWorkerSimpleWrite}, {1, 26, kWorkerSimpleWrite}}));
  EXPECT_EQ(control.PlannedWorkers(), 4);
  EXPECT_EQ(control.LaunchedWorkers(0), 0) << "recorded launches create no worker";
  EXPECT_FALSE(control.OnStartSimple(FUNCTION_READ, 1));
  EXPECT_EQ(m_launches.size(), 8u);
  control.OnStop({});
  EXPECT_FALSE(control.IsRunning());
}

// A run's result names why each target failed, the first that holds, and
// keeps the words of its first failure as the failing thread wrote them,
// whatever another thread wrote in between.
TEST_F(RunControlTest, ResultsNameWhyEachTargetFailed) {
  ASSERT_TRUE(PrepareTemporary(RunSettings{}, 4));
  CHeadlessConsole console(4);
  FillTargetList(console, 4);
  std::promise<void> extendedWritten, stopping;
  std::thread worker([&] {
    console.SetExtendedText("WRITE API ERROR: Input/output error");
    extendedWritten.set_value();
    stopping.get_future().wait();
    g_pTargetRecords[0].activity[25].bFailed = 1;
    console.SetTargetText(0, kColumnError, "WRITE API");
    console.SetTargetText(0, kColumnStatus, "FAIL");
  });
  extendedWritten.get_future().wait();
  console.SetExtendedText("Please Wait. Shutting down I/O in Process ...");
  stopping.set_value();
  worker.join();
  console.SetTargetText(0, kColumnStatus, "STOP");
  for (int t : {0, 1, 3}) g_pTargetRecords[t].activity[25].bMoved = 1;
  CountFailedCall(1, kErrorWriteApi, EIO);

  const RunResult result = CollectRunResult(console, 4, 1.0);
  ASSERT_EQ(result.targets.size(), 4u);
  EXPECT_EQ(result.nFailures, 1);
  EXPECT_EQ(result.targets[0].nFailure, TargetFailure::kWorkerFailed);
  EXPECT_EQ(result.targets[0].szStatus, "FAIL");
  EXPECT_EQ(result.targets[0].szReason, "WRITE API ERROR: Input/output error");
  EXPECT_EQ(result.targets[1].nFailure, TargetFailure::kCallsFailed);
  EXPECT_EQ(result.targets[1].szError, "WRITE API");
  EXPECT_EQ(result.targets[1].szReason, "");
  EXPECT_EQ(result.targets[2].nFailure, TargetFailure::kNoIo);
  EXPECT_EQ(result.targets[2].szStatus, "FAIL");
  EXPECT_FALSE(result.targets[3].Failed());
  EXPECT_EQ(result.targets[3].szStatus, "IDLE");
  console.BeginRun();
  EXPECT_EQ(console.ReasonOf(0), "") << "a new run forgets the last one's failures";
}

// Modify's settings serve one Start; the family follows the target, the
// function and the thread count the console.
TEST_F(RunControlTest, PerTargetSettingsServeOneStart) {
  Open(FUNCTION_READ_WRITE, 1, 2);
  RunSettings& custom = g_pTargetRecords[1].settings;
  custom = MakeSettings(65536, 4096, MODE_ASYNC | MODE_ERROR_CHECKING, FUNCTION_READ, 4);
  custom.dwThreads = 9;
  custom.bCustom = 1;

  RunChoices controls;  // synchronous, no Error Checking, 1MB/1MB
  ASSERT_TRUE(m_control->OnStart(controls));
  EXPECT_EQ(LaunchesOf(0), (std::vector<Launch>{{0, 0, 3}, {0, 1, 3}, {0, 25, 4}, {0, 26, 4}}));
  EXPECT_EQ(LaunchesOf(1), (std::vector<Launch>{{1, 0, 5}, {1, 1, 5}, {1, 25, 6}, {1, 26, 6}}))
      << "an asynchronous target under a synchronous console: its reads follow the console's box";
  EXPECT_EQ(g_pTargetRecords[1].settings.dwTransferSize, 4096u);
  EXPECT_EQ(g_pTargetRecords[1].settings.bCustom, 0);
  EXPECT_EQ(m_view->m_table.Cell(1, kColumnOperation), "ASYNC");
  EXPECT_EQ(m_view->m_table.Cell(1, kColumnChunk), "4K");
  EXPECT_EQ(m_view->m_table.Cell(0, kColumnOperation), "SYNC");
  m_control->OnStop({});

  m_launches.clear();
  ASSERT_TRUE(m_control->OnStart(controls));
  EXPECT_EQ(g_pTargetRecords[1].settings.dwTransferSize, 1048576u) << "the next Start gives the console's settings";
  EXPECT_EQ(LaunchesOf(1), (std::vector<Launch>{{1, 0, 3}, {1, 1, 3}, {1, 25, 4}, {1, 26, 4}}));
  EXPECT_EQ(m_view->m_table.Cell(1, kColumnOperation), "SYNC");
  m_control->OnStop({});
}

TEST_F(RunControlTest, UnknownFunctionLaunchesNothingButRuns) {
  Open(0, 2);
  ASSERT_TRUE(m_control->OnStart(RunChoices{}));
  EXPECT_TRUE(m_launches.empty());
  EXPECT_TRUE(m_control->IsRunning());
  EXPECT_TRUE(m_view->m_bStart) << "Start and Stop are enabled again";
  EXPECT_TRUE(m_view->m_bStop);
}

TEST_F(RunControlTest, StopWhileIdleDoesNothing) {
  Open(FUNCTION_WRITE, 0);
  int nDispatched = 0;
  m_control->OnStop({[&] { ++nDispatched; }, nullptr, {}});
  EXPECT_TRUE(m_view->Calls().empty());
  EXPECT_EQ(nDispatched, 0);
  EXPECT_FALSE(m_control->IsRunning());
}

TEST_F(RunControlTest, CloseDropsTheImportedData) {
  Open(FUNCTION_WRITE, 0);
  test::CTempDir dir;
  {
    std::FILE* pFile = std::fopen(dir.Path("p.hvx").c_str(), "wb");
    ASSERT_NE(pFile, nullptr);
    std::fputs("LABEL", pFile);
    std::fputc(0, pFile);
    std::fputs("0123456789abcdefXYZ", pFile);
    std::fclose(pFile);
  }
  g_nPatternKind = kPatternCspat;
  ASSERT_EQ(ImportDataFile(dir.Path("p.hvx"), nullptr), DataFileResult::kLoaded);
  ASSERT_NE(g_pPatternFile, nullptr);
  ASSERT_TRUE(m_control->OnStart(RunChoices{}));
  m_control->OnClose({});
  EXPECT_FALSE(m_control->IsRunning());
  EXPECT_EQ(m_view->m_table.StatusText(), "STOP");
  EXPECT_EQ(g_pPatternFile, nullptr);
  // The next console's workers use the pattern the simple console shows.
  EXPECT_EQ(g_nPatternKind, kPatternCspat);

  // A kind that names data no longer loaded starts nothing, and says so.
  CMessageCatcher messages;
  g_nPatternKind = kPatternFile;
  m_launches.clear();
  EXPECT_FALSE(m_control->OnStart(RunChoices{}));
  EXPECT_TRUE(m_launches.empty());
  EXPECT_EQ(messages.All().size(), 1u);
  g_nPatternKind = kPatternByte;
}

// The real synchronous workers through the control: write workers with
// Error Checking and counting, stopped with the protocol while the wait
// keeps dispatching.
TEST_F(RunControlTest, RealWorkersRunAndStop) {
  ASSERT_TRUE(PrepareTemporary(RunSettings{}, 1));
  CTableView view(1);
  FillTargetList(view, 1);
  CRunControl control(view, FUNCTION_READ_WRITE, 2);
  RunChoices controls;
  controls.bErrorChecking = controls.bPerformance = true;
  controls.dwTransferSize = 4096;  // 4KB chunks
  controls.dwBufferSize = 32768;   // of a 32KB buffer
  ASSERT_TRUE(control.OnStart(controls));
  EXPECT_EQ(g_pTargetRecords[0].workerKind[25], kWorkerWriteAdvanced);
  EXPECT_EQ(g_pTargetRecords[0].workerKind[0], kWorkerNone) << "Error Checking with READ/WRITE writes only";

  ASSERT_TRUE(test::Eventually([] {
    CScopedLock lock(g_csRecords);
    return g_pTargetRecords[0].entries[25 + kWriteEntryOffset].qwIos > 0 &&
           g_pTargetRecords[0].entries[26 + kWriteEntryOffset].qwIos > 0;
  }));
  control.OnTimer(TIMER_STATS);
  EXPECT_NE(view.m_szIops, "0 IO/s");

  int nDispatched = 0;
  control.OnStop({[&] { ++nDispatched; }, nullptr, {}});
  EXPECT_GE(nDispatched, 1);
  EXPECT_EQ(view.m_table.StatusText(), "STOP");
  EXPECT_EQ(view.m_table.ExtendedText(), "NONE");
  EXPECT_EQ(view.m_table.Cell(0, kColumnStatus), "STOP");
  EXPECT_EQ(view.m_table.Cell(0, kColumnError), "NONE");
  const std::vector<std::string> calls = view.Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "extended Please Wait. Shutting down I/O in Process ..."),
            calls.end());
  for (int s : {25, 26}) {
    EXPECT_TRUE(g_pTargetRecords[0].hEndEvent[s]->IsSet());
    EXPECT_EQ(test::FileSize(WorkFileName(m_roots[0], true, s)), 32768) << s;
  }
  EXPECT_EQ(test::FileSize(WorkFileName(m_roots[0], false, 0)), -1);
  EXPECT_TRUE(Events().empty());
}

}  // namespace
}  // namespace stratavon
