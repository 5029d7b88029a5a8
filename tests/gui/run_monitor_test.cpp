#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QSettings>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "GuiTestSupport.h"
#include "app/ConsoleSettings.h"
#include "run/RunReport.h"
#include "run/Statistics.h"
#include "gui/advanced/AdvancedTexts.h"
#include "gui/advanced/CorvaneAdvancedDlg.h"
#include "gui/advanced/EventLogDlg.h"
#include "gui/advanced/RateChart.h"
#include "gui/advanced/ResultsDlg.h"
#include "gui/advanced/RunMonitor.h"
#include "engine/EventSource.h"
#include "platform/CriticalSection.h"

namespace stratavon::test {
namespace {

template <class T>
T* ControlOf(const QWidget& dlg, int nId) {
  return dlg.findChild<T*>(QString::number(nId));
}

class RunMonitorTest : public GuiTest {
 protected:
  void TearDown() override {
    // A running console is closed before it goes, as the program does.
    if (m_pDlg && m_pDlg->IsRunning()) m_pDlg->OnClose();
    m_pDlg.reset();
    m_pSimple.reset();
    QSettings(QSettings::NativeFormat, QSettings::UserScope, "Stratavon", "stratavon").clear();
    GuiTest::TearDown();
  }

  std::unique_ptr<CTestConsole> NewSimple() {
    auto pSimple = std::make_unique<CTestConsole>();
    pSimple->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(pSimple.get()));
    return pSimple;
  }
  // The advanced console over a simple one with nTargets fresh targets; launches are only recorded.
  void Open(int nTargets) {
    m_pSimple = NewSimple();
    std::vector<std::string> roots;
    for (int i = 0; i < nTargets; ++i) {
      m_dirs.push_back(std::make_unique<CTempDir>());
      roots.push_back(m_dirs.back()->Root());
    }
    m_pSimple->ApplyTargetChoice(roots);
    ControlOf<QAbstractButton>(*m_pSimple, IDC_WRITE)->click();
    m_pSimple->Control<QAction>(ID_FEATURES_LOGICAL)->trigger();
    ASSERT_EQ(g_nTargetRecords, nTargets);
    m_pDlg = std::make_unique<CCorvaneAdvancedDlg>(nullptr, m_pSimple.get(), m_pSimple->m_szAdvancedPattern);
    m_pDlg->RunControl().SetLauncher([](int, int, uint32_t) {});
    m_pDlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pDlg.get()));
  }

  std::unique_ptr<CTestConsole> m_pSimple;
  std::unique_ptr<CCorvaneAdvancedDlg> m_pDlg;
  std::vector<std::unique_ptr<CTempDir>> m_dirs;
};

// The results a Stop shows are the document stratavon-cli run --json prints
// for the same counters and words, FAIL kept through the STOP written after it.
TEST_F(RunMonitorTest, ResultsOnStopEqualTheCliJsonAndSaveAsJsonCsvAndPng) {
  Open(2);
  ControlOf<QCheckBox>(*m_pDlg, IDC_ADV_ENABLE_PERFORMANCE)->click();
  ControlOf<QAbstractButton>(*m_pDlg, IDC_ADV_START)->click();
  ASSERT_TRUE(m_pDlg->IsRunning());

  CHeadlessConsole cli(2);
  for (int r = 0; r < 2; ++r) {
    for (int c = 0; c < kTargetColumns; ++c) cli.SetTargetText(r, c, m_pDlg->TargetText(r, c).toStdString());
  }
  // Target 0's I/Os take 200 us in the first interval and 1000 us later
  // (both exact at the histogram's extremes); target 1's are not timed.
  auto pLatency = std::make_shared<CLatencyHistogram>();
  g_pTargetRecords[0].entries[0].pLatency = pLatency;
  for (int nSample = 1; nSample <= 3; ++nSample) {
    for (int i = 0; i < 128; ++i) pLatency->Record(uint64_t{nSample == 1 ? 200000u : 1000000u});
    {
      CScopedLock lock(g_csRecords);
      g_pTargetRecords[0].entries[0].qwBytes += 8388608;
      g_pTargetRecords[0].entries[0].qwIos += 128;
      g_pTargetRecords[1].entries[kWriteEntryOffset + kFirstWriteSlot].qwBytes += 1048576u * nSample;
      g_pTargetRecords[1].entries[kWriteEntryOffset + kFirstWriteSlot].qwIos += 16u * nSample;
    }
    m_pDlg->OnTimer(TIMER_STATS);
  }
  for (IAdvancedView* pView : {&m_pDlg->WorkerView(), static_cast<IAdvancedView*>(&cli)}) {
    pView->SetExtendedText("DATA COMPARISON ERROR");
    pView->SetTargetText(1, kColumnError, "DATA COMPARISON");
    pView->SetTargetText(1, kColumnStatus, "FAIL");
    pView->SetTargetText(1, kColumnStatus, "STOP");  // a second worker of the target stops cleanly
  }
  g_pTargetRecords[1].activity[kFirstWriteSlot].bFailed = 1;
  IntegrityReport report;
  report.nTarget = 1;
  report.nKind = kErrorDataComparison;
  report.mismatch = {1052672, 1052800, 129, 1};
  PublishIntegrityReport(report);
  ControlOf<QAbstractButton>(*m_pDlg, IDC_ADV_STOP)->click();

  CRunMonitor& monitor = m_pDlg->Monitor();
  ASSERT_TRUE(monitor.HasResult());
  CResultsDlg* pResults = monitor.ResultsWindow();
  ASSERT_NE(pResults, nullptr) << "Stop shows the results";
  EXPECT_TRUE(pResults->isVisible());
  // Every reason for the FAIL, as the command line's verdict gives them: the
  // failed worker, and the target that moved no data.
  const QString szVerdict = pResults->findChild<QLabel*>(QStringLiteral("verdict"))->text();
  EXPECT_TRUE(szVerdict.startsWith(QStringLiteral("FAIL"))) << szVerdict.toStdString();
  EXPECT_TRUE(szVerdict.contains(QStringLiteral("completed no I/O"))) << szVerdict.toStdString();
  const RunResult& result = monitor.LastResult();
  for (int r = 0; r < 2; ++r) cli.SetTargetText(r, kColumnStatus, m_pDlg->TargetText(r, kColumnStatus).toStdString());
  const std::string szCli = RunResultJson(CollectRunResult(cli, 2, result.dElapsedSeconds));
  EXPECT_EQ(RunResultJson(result), szCli);
  EXPECT_EQ(result.nFailures, 1);
  EXPECT_EQ(result.targets[1].szStatus, "FAIL");
  EXPECT_EQ(result.targets[1].nFailure, TargetFailure::kWorkerFailed);
  EXPECT_EQ(result.targets[1].szReason, "DATA COMPARISON ERROR");
  EXPECT_EQ(result.targets[0].qwBytes, 3u * 8388608u);
  const std::vector<RatePoint> points = monitor.History().Points();
  ASSERT_EQ(points.size(), 3u) << "one chart point per sample";
  for (size_t i = 0; i < points.size(); ++i) {
    const float fP99 = i == 0 ? 200.0f : 1000.0f;
    EXPECT_EQ(points[i].p99Us, (std::vector<float>{fP99, 0.0f, fP99})) << "sample " << i;
  }

  CTempDir out;
  ASSERT_TRUE(pResults->SaveTo(QString::fromStdString(out.Path("r.json"))));
  EXPECT_EQ(ReadWholeFile(out.Path("r.json")), szCli);
  ASSERT_TRUE(pResults->SaveTo(QString::fromStdString(out.Path("r.csv"))));
  const std::string szCsv = ReadWholeFile(out.Path("r.csv"));
  const std::string szRow = result.targets[1].target.szPath + ",FAIL,DATA COMPARISON," + std::to_string(6u * 1048576u);
  EXPECT_NE(szCsv.find(szRow + ",96,"), std::string::npos)
      << szCsv;
  EXPECT_NE(szCsv.find(",1052672,DATA COMPARISON,,,,,\n"), std::string::npos) << szCsv;
  EXPECT_NE(szCsv.find(",,,1000.000,1000.000,1000.000,1000.000,1000.000\n"), std::string::npos) << szCsv;
  ASSERT_TRUE(pResults->SaveTo(QString::fromStdString(out.Path("chart.png"))));
  EXPECT_FALSE(QImage(QString::fromStdString(out.Path("chart.png"))).isNull());
  QString szReason;
  EXPECT_FALSE(pResults->SaveTo(QString::fromStdString(out.Path("r.txt")), &szReason));
  EXPECT_FALSE(pResults->SaveTo(QString::fromStdString(out.Path("gone/r.json")), &szReason));
  EXPECT_FALSE(szReason.isEmpty());

  SaveScreenshot(*pResults, "results");
  monitor.OnShowChart();
  ASSERT_NE(monitor.ChartWindow(), nullptr);
  SaveScreenshot(*monitor.ChartWindow(), "live_chart");
  auto* pSeries = monitor.ChartWindow()->findChild<QComboBox*>();
  ASSERT_NE(pSeries, nullptr);
  pSeries->setCurrentIndex(CRateChart::kSeriesP99);
  monitor.OnShowChart();
  EXPECT_EQ(pSeries->currentIndex(), CRateChart::kSeriesP99) << "the p99 switch is on with a timed run";
  SaveScreenshot(*monitor.ChartWindow(), "live_chart_p99");
}

// The event viewer lists what the log holds and says how many lines it
// could not read; Clear asks first.
class CAnsweringEventLog : public CEventLogDlg {
 public:
  using CEventLogDlg::CEventLogDlg;
  bool m_bAnswer = false;
  int m_nAsked = 0;

 protected:
  bool ConfirmClear() override {
    ++m_nAsked;
    return m_bAnswer;
  }
};

TEST_F(RunMonitorTest, EventLogFiltersSortsAndClearsOnlyWhenConfirmed) {
  CTempDir dir;
  const std::string szLog = dir.Path("events.jsonl");
  HEVENTLOG hSource = RegisterEventSourceAt(kEventSourceName, szLog);
  ASSERT_NE(hSource, nullptr);
  const WordMismatch pairs[kMaxListedWords] = {{0xAAAAAAAA, 0xAAAAAAAB}};
  const char* const comparison[] = {"/mnt/b/READ/KORVA2.DAT", "/mnt/b/", "2", "1"};
  const char* const api[] = {"READ", "/mnt/a/", "0", "Input/output error"};
  ASSERT_TRUE(ReportEvent(hSource, EVENTLOG_ERROR_TYPE, 1, kEventDataComparison, nullptr, 4, kComparisonDataBytes,
                          comparison, pairs));
  ASSERT_TRUE(ReportEvent(hSource, EVENTLOG_ERROR_TYPE, 1, kEventApiError, nullptr, 4, 0, api, nullptr));
  DeregisterEventSource(hSource);
  { std::ofstream(szLog, std::ios::app) << "{\"time\": \"cut sho"; }

  CAnsweringEventLog dlg(nullptr, szLog);
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  EXPECT_EQ(dlg.VisibleRows(), 2);
  EXPECT_EQ(dlg.SkippedLines(), 1u);
  dlg.List().sortItems(3, Qt::AscendingOrder);  // by target
  EXPECT_EQ(dlg.List().topLevelItem(0)->text(3), "/mnt/a/");
  dlg.List().setCurrentItem(dlg.List().topLevelItem(1));
  SaveScreenshot(dlg, "event_log");
  dlg.SetFilter("korva2");
  EXPECT_EQ(dlg.VisibleRows(), 1);
  dlg.SetFilter("Input/output");  // in the message text only
  EXPECT_EQ(dlg.VisibleRows(), 1);

  dlg.OnClear();
  EXPECT_EQ(dlg.m_nAsked, 1);
  EXPECT_NE(ReadWholeFile(szLog), "") << "declined: nothing removed";
  dlg.m_bAnswer = true;
  dlg.OnClear();
  EXPECT_EQ(ReadWholeFile(szLog), "");
  EXPECT_EQ(dlg.List().topLevelItemCount(), 0);
}

// What the consoles remember comes back in new consoles; a first start
// changes nothing and a target that is gone is dropped.
TEST_F(RunMonitorTest, RememberedSettingsComeBackAndAFirstStartKeepsTheDefaults) {
  {
    auto pFresh = NewSimple();
    RestoreSimpleConsole(*pFresh);
    EXPECT_EQ(pFresh->IoFunction(), 0);
    EXPECT_EQ(pFresh->Targets(), nullptr);
    EXPECT_EQ(pFresh->Pattern()->text(), "AA");
  }
  Open(2);
  CTempDir gone;
  m_pSimple->ApplyTargetChoice({m_dirs[0]->Root(), m_dirs[1]->Root(), gone.Root()});
  ControlOf<QAbstractButton>(*m_pSimple, IDC_BOTH)->click();
  ControlOf<QComboBox>(*m_pSimple, IDC_THREADS)->setCurrentIndex(5);
  m_pSimple->Control<QAction>(ID_PATTERN_CJTPAT)->trigger();
  ControlOf<QComboBox>(*m_pDlg, IDC_ADV_TRANSFER)->setCurrentIndex(3);
  ControlOf<QComboBox>(*m_pDlg, IDC_ADV_BUFFER)->setCurrentIndex(11);
  ControlOf<QCheckBox>(*m_pDlg, IDC_ADV_ERROR_CHECKING)->click();
  ControlOf<QCheckBox>(*m_pDlg, IDC_ADV_ASYNCHRONOUS)->click();
  ControlOf<QComboBox>(*m_pDlg, IDC_ADV_DEPTH)->setCurrentIndex(30);
  m_pDlg->move(40, 50);
  SaveSimpleConsole(*m_pSimple);
  SaveAdvancedConsole(*m_pDlg);
  const std::string szGone = gone.Root();
  std::filesystem::remove_all(szGone);
  m_pDlg.reset();
  m_pSimple.reset();
  ASSERT_TRUE(std::filesystem::exists(ConsoleSettingsPath().toStdString())) << "under XDG_CONFIG_HOME";
  EXPECT_EQ(ConsoleSettingsPath().toStdString().rfind(getenv("XDG_CONFIG_HOME"), 0), 0u);

  g_nPatternKind = kPatternByte;
  auto pSimple = NewSimple();
  RestoreSimpleConsole(*pSimple);
  EXPECT_EQ(pSimple->IoFunction(), 4);
  EXPECT_EQ(ControlOf<QComboBox>(*pSimple, IDC_THREADS)->currentIndex(), 5);
  EXPECT_EQ(g_nPatternKind, static_cast<uint32_t>(kPatternCjtpat));
  ASSERT_NE(pSimple->Targets(), nullptr);
  std::vector<std::string> kept{m_dirs[0]->Root(), m_dirs[1]->Root()};
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(*pSimple->Targets(), kept);
  pSimple->Control<QAction>(ID_FEATURES_LOGICAL)->trigger();
  CCorvaneAdvancedDlg advanced(nullptr, pSimple.get(), pSimple->m_szAdvancedPattern);
  RestoreAdvancedConsole(advanced);
  EXPECT_EQ(ControlOf<QComboBox>(advanced, IDC_ADV_TRANSFER)->currentIndex(), 3);
  EXPECT_EQ(ControlOf<QComboBox>(advanced, IDC_ADV_BUFFER)->currentIndex(), 11);
  EXPECT_TRUE(ControlOf<QCheckBox>(advanced, IDC_ADV_ERROR_CHECKING)->isChecked());
  EXPECT_FALSE(ControlOf<QCheckBox>(advanced, IDC_ADV_ENABLE_PERFORMANCE)->isChecked());
  EXPECT_TRUE(ControlOf<QCheckBox>(advanced, IDC_ADV_ASYNCHRONOUS)->isChecked());
  EXPECT_TRUE(ControlOf<QComboBox>(advanced, IDC_ADV_DEPTH)->isEnabled()) << "Asynchronous enables the depth";
  EXPECT_EQ(ControlOf<QComboBox>(advanced, IDC_ADV_DEPTH)->currentIndex(), 30);
}

}  // namespace
}  // namespace stratavon::test
