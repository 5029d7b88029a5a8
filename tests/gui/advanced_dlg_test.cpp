#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <fstream>
#include <thread>

#include "engine/DataFile.h"
#include "run/Statistics.h"
#include "gui/advanced/AdvancedTexts.h"
#include "gui/advanced/CorvaneAdvancedDlg.h"
#include "gui/simple/DialogUnits.h"
#include "engine/LatencyHistogram.h"
#include "engine/RunRecord.h"
#include "GuiTestSupport.h"
#include "platform/CriticalSection.h"
#include "support/FaultFs.h"
#include "support/LoopMount.h"

namespace stratavon::test {
namespace {

// The advanced console with its Open dialog replaced: each import takes
// the next path a test put in (empty: cancelled).
class CTestAdvanced : public CCorvaneAdvancedDlg {
 public:
  using CCorvaneAdvancedDlg::CCorvaneAdvancedDlg;

  QString m_szNextFile;
  int m_nFileDialogs = 0;
  // The devices a run asked to destroy, and the operator's answer.
  std::vector<std::string> m_asked;
  bool m_bDestroy = false;

  template <class T>
  T* Control(int nId) const {
    return findChild<T*>(QString::number(nId));
  }
  QString Text(int nId) const { return Control<QLineEdit>(nId)->text(); }

 protected:
  QString ChooseDataFile() override {
    ++m_nFileDialogs;
    return m_szNextFile;
  }
  bool ConfirmDestroy(const Target& target) override {
    m_asked.push_back(target.szPath);
    return m_bDestroy;
  }
};

// A simple console that opens the real advanced console.
class CRealAdvancedConsole : public CTestConsole {
 protected:
  void OpenAdvancedConsole(const std::string& szPatternText) override {
    CTestConsole::OpenAdvancedConsole(szPatternText);
    CCorvaneAdvancedDlg dlg(nullptr, this, szPatternText);
    dlg.exec();
  }
};

// A worker that says what it does through its console, as the advanced
// workers do: "INIT" in start-up, "RUN" when started, "STOP" when stopped.
class CTalkingWorker : public CSlotWorker {
 public:
  static CSlotWorker* Create() { return new CTalkingWorker(); }

 protected:
  bool InitInstance() override {
    Say("INIT");
    return true;
  }
  void OnThreadMessage(const ThreadMessage& msg) override {
    if (msg.message != WM_START_IO) return;
    Say("RUN");
    while (!StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Say("STOP");
    EndThread(0);
  }

 private:
  void Say(const char* szWord) {
    IWorkerConsole* pConsole = g_pTargetRecords[m_nTarget].settings.pDialog;
    if (pConsole != nullptr) pConsole->SetTargetText(m_nTarget, kColumnStatus, szWord);
  }
};

struct Launch {
  int nTarget;
  int nSlot;
  uint32_t nKind;
  bool operator==(const Launch&) const = default;
};

class AdvancedDlgTest : public GuiTest {
 protected:
  void TearDown() override {
    // A running console is closed before it goes, as the program does.
    if (m_pDlg && m_pDlg->IsRunning()) m_pDlg->OnClose();
    m_pDlg.reset();
    m_pSimple.reset();
    ReleaseDataFile();
    GuiTest::TearDown();
  }

  // The simple console as Features > Logical leaves it: targets chosen,
  // function and threads picked, records and work directories made.
  // Fresh folders as targets unless roots are given.
  void OpenSimple(int nTargets, int nFunctionId, int nThreadIndex, std::vector<std::string> roots = {}) {
    m_pSimple = std::make_unique<CTestConsole>();
    m_pSimple->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pSimple.get()));
    for (int i = static_cast<int>(roots.size()); i < nTargets; ++i) {
      m_dirs.push_back(std::make_unique<CTempDir>());
      roots.push_back(m_dirs.back()->Root());
    }
    std::sort(roots.begin(), roots.end());
    m_roots = roots;
    m_pSimple->ApplyTargetChoice(roots);
    QTest::mouseClick(m_pSimple->Control<QAbstractButton>(nFunctionId), Qt::LeftButton);
    m_pSimple->Control<QComboBox>(IDC_THREADS)->setCurrentIndex(nThreadIndex);
    m_pSimple->Control<QAction>(ID_FEATURES_LOGICAL)->trigger();
    ASSERT_EQ(m_pSimple->m_nAdvancedOpened, 1);
    ASSERT_EQ(g_nTargetRecords, nTargets);
  }

  // The advanced console over the simple one; launches are only recorded
  // unless bRecordOnly is false.
  void Open(int nTargets, int nFunctionId, int nThreadIndex, bool bRecordOnly = true,
            std::vector<std::string> roots = {}) {
    OpenSimple(nTargets, nFunctionId, nThreadIndex, std::move(roots));
    m_pDlg = std::make_unique<CTestAdvanced>(nullptr, m_pSimple.get(), m_pSimple->m_szAdvancedPattern);
    if (bRecordOnly) {
      m_pDlg->RunControl().SetLauncher([this](int t, int s, uint32_t k) { m_launches.push_back({t, s, k}); });
    }
    m_pDlg->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pDlg.get()));
  }

  CTestAdvanced& Dlg() { return *m_pDlg; }
  void Click(int nId) { QTest::mouseClick(Dlg().Control<QAbstractButton>(nId), Qt::LeftButton); }
  void Check(int nId, bool bChecked) {
    if (Dlg().Control<QCheckBox>(nId)->isChecked() != bChecked) Click(nId);
  }
  void Select(int nId, int nIndex) { Dlg().Control<QComboBox>(nId)->setCurrentIndex(nIndex); }
  void SelectRow(int nRow) {
    auto* pList = Dlg().Control<QTreeWidget>(IDC_ADV_TARGETS);
    pList->setCurrentItem(pList->topLevelItem(nRow));
    ASSERT_TRUE(pList->topLevelItem(nRow)->isSelected());
  }
  std::vector<std::string> Row(int nRow, int nFirst = 0, int nLast = kTargetColumns - 1) {
    std::vector<std::string> cells;
    for (int c = nFirst; c <= nLast; ++c) cells.push_back(Dlg().TargetText(nRow, c).toStdString());
    return cells;
  }
  std::vector<Launch> LaunchesOf(int nTarget) const {
    std::vector<Launch> of;
    for (const Launch& launch : m_launches) {
      if (launch.nTarget == nTarget) of.push_back(launch);
    }
    return of;
  }
  static std::vector<Launch> Slots(int nTarget, int nFirst, int nCount, uint32_t nKind) {
    std::vector<Launch> launches;
    for (int s = 0; s < nCount; ++s) launches.push_back({nTarget, nFirst + s, nKind});
    return launches;
  }
  std::string WriteFile(const std::string& szName, const std::string& szBytes) {
    const std::string szPath = m_files.Path(szName);
    std::ofstream(szPath, std::ios::binary) << szBytes;
    return szPath;
  }
  void Import(const std::string& szPath) {
    Dlg().m_szNextFile = QString::fromStdString(szPath);
    Dlg().Control<QAction>(ID_OPTIONS_IMPORT_DATA_FILE)->trigger();
  }

  std::unique_ptr<CTestConsole> m_pSimple;
  std::unique_ptr<CTestAdvanced> m_pDlg;
  std::vector<std::unique_ptr<CTempDir>> m_dirs;
  std::vector<std::string> m_roots;
  std::vector<Launch> m_launches;
  CTempDir m_files;
};

// A whole drive as the target: a run that writes it asks first, and a
// declined one starts nothing and leaves the drive read-only; a read run
// asks nothing and may not write it.
TEST_F(AdvancedDlgTest, AWritingRunOnADriveStartsOnlyOnceTheOperatorAgrees) {
  if (const std::string szWhy = CLoopMount::Unavailable(); !szWhy.empty()) GTEST_SKIP() << szWhy;
  CLoopDevice device(16 << 20, 512);
  ASSERT_TRUE(device.Ok()) << device.Error();
  Open(1, IDC_WRITE, 0, true, {device.Device()});
  ASSERT_TRUE(g_pTargetRecords[0].target.IsDevice());
  Click(IDC_ADV_START);
  EXPECT_EQ(Dlg().m_asked, std::vector<std::string>{device.Device()});
  EXPECT_FALSE(Dlg().IsRunning());
  EXPECT_TRUE(m_launches.empty());
  EXPECT_FALSE(g_pTargetRecords[0].target.bWritable);

  Dlg().m_bDestroy = true;
  Click(IDC_ADV_START);
  EXPECT_EQ(Dlg().m_asked.size(), 2u);
  EXPECT_TRUE(Dlg().IsRunning());
  EXPECT_FALSE(m_launches.empty());
  EXPECT_TRUE(g_pTargetRecords[0].target.bWritable);
  Click(IDC_ADV_STOP);

  TearDown();
  m_launches.clear();
  Open(1, IDC_READ, 0, true, {device.Device()});
  Click(IDC_ADV_START);
  EXPECT_TRUE(Dlg().m_asked.empty());
  EXPECT_TRUE(Dlg().IsRunning());
  EXPECT_FALSE(g_pTargetRecords[0].target.bWritable);
  Click(IDC_ADV_STOP);
}

TEST_F(AdvancedDlgTest, NewConsoleShowsWhatTheSimpleConsoleHandedOver) {
  Open(2, IDC_BOTH, 2);
  EXPECT_EQ(Dlg().windowTitle(), "Stratavon Advanced");
  EXPECT_FALSE(m_pSimple->isVisible()) << "the simple console hides behind the advanced one";

  // What the simple console handed over; the texts of the template are its own.
  const QWidget* pClient = Dlg().Control<QWidget>(IDC_ADV_START)->parentWidget();
  EXPECT_EQ(Dlg().Text(IDC_ADV_THREADS), "3");
  EXPECT_EQ(Dlg().Text(IDC_ADV_OPERATION), "READ/WRITE");
  EXPECT_EQ(Dlg().Text(IDC_ADV_PATTERN), "AA");
  EXPECT_EQ(Dlg().Text(IDC_ADV_LOCATION), m_pSimple->LocationText());
  EXPECT_EQ(Dlg().Text(IDC_ADV_STATUS), "IDLE");
  EXPECT_FALSE(Dlg().Control<QComboBox>(IDC_ADV_DEPTH)->isEnabled());
  auto* pList = Dlg().Control<QTreeWidget>(IDC_ADV_TARGETS);
  ASSERT_EQ(Dlg().TargetRows(), 2);
  for (int t = 0; t < 2; ++t) {
    EXPECT_EQ(Row(t), (std::vector<std::string>{m_roots[static_cast<size_t>(t)], "IDLE", "0", "0", "NONE", "", "", "",
                                                "", ""}));
    EXPECT_LE(pList->fontMetrics().horizontalAdvance(Dlg().TargetText(t, kColumnTarget)),
              pList->columnWidth(kColumnTarget))
        << "no root is cut";
  }

  // The sixteen controls of the template and File Size, placed without overlaps.
  std::vector<QWidget*> placed;
  for (QWidget* pWidget : Dlg().findChildren<QWidget*>()) {
    if (pWidget->property("dialogId").isValid()) placed.push_back(pWidget);
  }
  EXPECT_EQ(placed.size(), 20u) << "seventeen controls and the three buttons";
  for (size_t i = 0; i < placed.size(); ++i) {
    EXPECT_TRUE(pClient->rect().contains(placed[i]->geometry())) << placed[i]->objectName().toStdString();
    for (size_t j = i + 1; j < placed.size(); ++j) {
      EXPECT_FALSE(placed[i]->geometry().intersects(placed[j]->geometry()))
          << placed[i]->objectName().toStdString() << " overlaps " << placed[j]->objectName().toStdString();
    }
  }
  SaveScreenshot(Dlg(), "advanced_console_idle");
}

TEST_F(AdvancedDlgTest, AsynchronousEnablesTheDepthListAndClearingKeepsItsSelection) {
  Open(1, IDC_WRITE, 0);
  auto* pDepth = Dlg().Control<QComboBox>(IDC_ADV_DEPTH);
  Click(IDC_ADV_ASYNCHRONOUS);
  EXPECT_TRUE(pDepth->isEnabled());
  pDepth->setCurrentIndex(30);
  Click(IDC_ADV_ASYNCHRONOUS);
  EXPECT_FALSE(pDepth->isEnabled());
  EXPECT_EQ(pDepth->currentText(), "31");

  // The depth is read only by Start, and only with Asynchronous ticked.
  Click(IDC_ADV_START);
  EXPECT_EQ(Dlg().RunControl().Settings().dwQueueDepth, 0u);
  Click(IDC_ADV_STOP);
  Click(IDC_ADV_ASYNCHRONOUS);
  Click(IDC_ADV_START);
  EXPECT_EQ(Dlg().RunControl().Settings().dwQueueDepth, 31u);
}

TEST_F(AdvancedDlgTest, ModifyFillsTheRowAndServesOneStart) {
  Open(2, IDC_WRITE, 1);
  // Nothing selected: nothing happens.
  Click(IDC_ADV_MODIFY);
  EXPECT_EQ(Row(1, 5), std::vector<std::string>(5, ""));

  Check(IDC_ADV_ERROR_CHECKING, true);
  Check(IDC_ADV_ASYNCHRONOUS, true);
  Select(IDC_ADV_DEPTH, 15);
  Select(IDC_ADV_TRANSFER, 7);
  Select(IDC_ADV_BUFFER, 9);
  SelectRow(1);
  Click(IDC_ADV_MODIFY);
  EXPECT_TRUE(m_presenter.All().empty());
  EXPECT_EQ(Row(1, 4), (std::vector<std::string>{"NONE", "ASYNC", "64K", "256K", "DISABLED", "ENABLED"}));
  EXPECT_EQ(Row(0, 5), std::vector<std::string>(5, "")) << "other rows untouched";
  auto* pList = Dlg().Control<QTreeWidget>(IDC_ADV_TARGETS);
  EXPECT_TRUE(pList->selectedItems().isEmpty());
  // The changed cells to the right of the list's width were scrolled into view.
  EXPECT_TRUE(pList->viewport()->rect().intersects(pList->visualRect(pList->model()->index(1, kColumnChunk))));
  const RunSettings& custom = g_pTargetRecords[1].settings;
  EXPECT_EQ(custom.bCustom, 1);
  EXPECT_EQ(custom.dwMode, MODE_ERROR_CHECKING | MODE_ASYNC);
  EXPECT_EQ(custom.dwQueueDepth, 16u);
  EXPECT_EQ(custom.dwTransferSize, 65536u);
  EXPECT_EQ(custom.dwBufferSize, 262144u);
  EXPECT_EQ(custom.dwThreads, 2u);
  EXPECT_EQ(custom.pDialog, &Dlg().WorkerView());

  // Modify twice: the second replaces the first; equal sizes are accepted.
  Check(IDC_ADV_ENABLE_PERFORMANCE, true);
  Select(IDC_ADV_TRANSFER, 9);
  SelectRow(1);
  Click(IDC_ADV_MODIFY);
  EXPECT_TRUE(m_presenter.All().empty());
  EXPECT_EQ(Row(1, 5), (std::vector<std::string>{"ASYNC", "256K", "256K", "ENABLED", "ENABLED"}));

  // The console's own settings for the Start: plain synchronous 1MB.
  Check(IDC_ADV_ERROR_CHECKING, false);
  Check(IDC_ADV_ENABLE_PERFORMANCE, false);
  Check(IDC_ADV_ASYNCHRONOUS, false);
  Select(IDC_ADV_TRANSFER, 11);
  Select(IDC_ADV_BUFFER, 11);
  Click(IDC_ADV_START);
  ASSERT_TRUE(Dlg().IsRunning());
  EXPECT_EQ(Row(0, 5), (std::vector<std::string>{"SYNC", "1MB", "1MB", "DISABLED", "DISABLED"}));
  EXPECT_EQ(Row(1, 5), (std::vector<std::string>{"ASYNC", "256K", "256K", "ENABLED", "ENABLED"}));
  EXPECT_EQ(LaunchesOf(0), Slots(0, 25, 2, kWorkerWriteAdvanced));
  EXPECT_EQ(LaunchesOf(1), Slots(1, 25, 2, kWorkerWriteAdvancedAsync));
  EXPECT_EQ(g_pTargetRecords[1].settings.bCustom, 0);
  EXPECT_EQ(g_pTargetRecords[1].settings.dwFunction, 0u)
      << "Modify leaves the function alone; Start uses the console's";

  // Modify does nothing during a run.
  SelectRow(0);
  Click(IDC_ADV_MODIFY);
  EXPECT_EQ(g_pTargetRecords[0].settings.bCustom, 0);
  EXPECT_TRUE(Dlg().Control<QTreeWidget>(IDC_ADV_TARGETS)->topLevelItem(0)->isSelected());

  // The next Start gives target 1 the console's settings again.
  Click(IDC_ADV_STOP);
  m_launches.clear();
  Click(IDC_ADV_START);
  EXPECT_EQ(Row(1, 5), (std::vector<std::string>{"SYNC", "1MB", "1MB", "DISABLED", "DISABLED"}));
  EXPECT_EQ(LaunchesOf(1), Slots(1, 25, 2, kWorkerWriteAdvanced));

  // Settings given but never started do not outlive the console whose
  // view they name.
  Click(IDC_ADV_STOP);
  SelectRow(0);
  Click(IDC_ADV_MODIFY);
  ASSERT_EQ(g_pTargetRecords[0].settings.bCustom, 1);
  Dlg().close();
  EXPECT_EQ(g_pTargetRecords[0].settings.bCustom, 0);
  EXPECT_EQ(g_pTargetRecords[0].settings.pDialog, nullptr);
}

// Start's refusal is the run control's; Modify refuses in the dialog.
TEST_F(AdvancedDlgTest, ModifyRefusesATransferLargerThanTheBufferAndKeepsNoTargetSettings) {
  Open(1, IDC_WRITE, 3);
  Select(IDC_ADV_TRANSFER, 12);
  EXPECT_TRUE(Dlg().Control<QPushButton>(IDC_ADV_START)->toolTip().contains("larger than the Buffer Size"));
  SelectRow(0);
  Click(IDC_ADV_MODIFY);
  EXPECT_EQ(m_presenter.Texts().size(), 1u) << "the refusal's box";
  EXPECT_EQ(g_pTargetRecords[0].settings.bCustom, 0);
  EXPECT_EQ(Row(0, 5), std::vector<std::string>(5, ""));
  SaveScreenshot(Dlg(), "advanced_console_refused");
}

// The rates are the statistics' business; the latency of a period shows in
// the row's tooltip.
TEST_F(AdvancedDlgTest, RowTooltipShowsThePeriodsLatency) {
  Open(2, IDC_WRITE, 0);
  Check(IDC_ADV_ENABLE_PERFORMANCE, true);
  Click(IDC_ADV_START);
  ASSERT_TRUE(Dlg().IsRunning());
  // Target 0's worker timed its I/Os: 99 took 0.2 ms, one 40 ms.
  auto pLatency = std::make_shared<CLatencyHistogram>();
  for (int i = 0; i < 99; ++i) pLatency->Record(uint64_t{200000});
  pLatency->Record(uint64_t{40000000});
  g_pTargetRecords[0].entries[0].pLatency = pLatency;
  const auto tipFigures = [this](int nRow) {
    const QString szTip = Dlg().Control<QTreeWidget>(IDC_ADV_TARGETS)->topLevelItem(nRow)->toolTip(kColumnIops);
    const QRegularExpressionMatch match = QRegularExpression("p99 ([0-9.]+) us, max ([0-9.]+) us").match(szTip);
    return match.hasMatch() ? std::vector<double>{match.captured(1).toDouble(), match.captured(2).toDouble()}
                            : std::vector<double>{};
  };
  Dlg().OnTimer(TIMER_STATS);
  const std::vector<double> figures = tipFigures(0);
  ASSERT_EQ(figures.size(), 2u) << "the row's tooltip shows the period's p99 and max";
  EXPECT_NEAR(figures[0], 200.0, 2.0);
  EXPECT_NEAR(figures[1], 40000.0, 400.0);
  EXPECT_TRUE(tipFigures(1).empty()) << "no timed I/O, no figures";
  Click(IDC_ADV_STOP);
}

TEST_F(AdvancedDlgTest, EveryWayOfEndingStopsTheRunWaitsAndShowsTheSimpleConsole) {
  struct Way {
    const char* szName;
    std::function<void(CTestAdvanced&)> end;
    int nResult;
  };
  const std::vector<Way> ways = {
      {"close box", [](CTestAdvanced& dlg) { dlg.close(); }, QDialog::Rejected},
      {"Escape", [](CTestAdvanced& dlg) { QTest::keyClick(&dlg, Qt::Key_Escape); }, QDialog::Rejected},
      {"default command", [](CTestAdvanced& dlg) { dlg.OnOK(); }, QDialog::Accepted},
  };
  // The operator's ways ask before they stop the run.
  auto pStop = std::make_unique<CBoxAnswerer>("Stop and Close");
  for (const Way& way : ways) {
    SCOPED_TRACE(way.szName);
    m_pDlg.reset();
    m_pSimple.reset();
    ReleaseTargetRecords();
    Open(2, IDC_WRITE, 1, false);
    Dlg().RunControl().SetLauncher([](int t, int s, uint32_t k) { LaunchWorker(t, s, &CTalkingWorker::Create, k); });
    Click(IDC_ADV_START);
    ASSERT_TRUE(Dlg().IsRunning());
    ASSERT_TRUE(ProcessEventsUntil([&] { return Dlg().TargetText(0, 1) == "RUN" && Dlg().TargetText(1, 1) == "RUN"; }));
    way.end(Dlg());
    EXPECT_FALSE(Dlg().isVisible());
    EXPECT_EQ(Dlg().result(), way.nResult);
    EXPECT_FALSE(Dlg().IsRunning());
    EXPECT_EQ(Dlg().Text(IDC_ADV_STATUS), "STOP");
    EXPECT_EQ(Dlg().Text(IDC_ADV_EXTENDED), "NONE");
    // The workers' last words arrived while the console waited for them.
    EXPECT_EQ(Dlg().TargetText(0, 1), "STOP");
    EXPECT_EQ(Dlg().TargetText(1, 1), "STOP");
    for (int t = 0; t < 2; ++t) {
      for (int s = 0; s < kSlotsPerTarget; ++s) EXPECT_TRUE(g_pTargetRecords[t].hEndEvent[s]->IsSet()) << t << "/" << s;
    }
    EXPECT_TRUE(m_pSimple->isVisible());
  }

  EXPECT_EQ(pStop->Texts().size(), 2u);
  pStop.reset();

  // Enter on a focused button is that button's click; anywhere else it ends
  // nothing, and a close the operator does not confirm keeps the run.
  m_pDlg.reset();
  m_pSimple.reset();
  ReleaseTargetRecords();
  Open(1, IDC_WRITE, 0);
  Dlg().Control<QPushButton>(IDC_ADV_START)->setFocus();
  QTest::keyClick(Dlg().Control<QPushButton>(IDC_ADV_START), Qt::Key_Return);
  EXPECT_TRUE(Dlg().IsRunning());
  for (int nId : {IDC_ADV_ERROR_CHECKING, IDC_ADV_TRANSFER, IDC_ADV_ELAPSED}) {
    QWidget* pField = Dlg().Control<QWidget>(nId);
    pField->setFocus();
    QTest::keyClick(pField, Qt::Key_Return);
    EXPECT_TRUE(Dlg().isVisible()) << nId;
  }
  CBoxAnswerer keep("Keep Running");
  Dlg().close();
  EXPECT_EQ(keep.Texts().size(), 1u);
  EXPECT_TRUE(Dlg().isVisible());
  EXPECT_TRUE(Dlg().IsRunning());
}

// Destroyed during a run (the program closes it first), the console serves
// no event in its destructor, yet its workers have ended before it is gone.
TEST_F(AdvancedDlgTest, DestroyedDuringARunItServesNoEventsAndOutlivesItsWorkers) {
  Open(1, IDC_WRITE, 1, false);
  Dlg().RunControl().SetLauncher([](int t, int s, uint32_t k) { LaunchWorker(t, s, &CTalkingWorker::Create, k); });
  Click(IDC_ADV_START);
  ASSERT_TRUE(ProcessEventsUntil([&] { return Dlg().TargetText(0, kColumnStatus) == "RUN"; }));
  SetIoTimeout(std::chrono::seconds(10));  // the destructor's bound, should a worker hold it
  bool bServed = false;
  QTimer::singleShot(0, m_pDlg.get(), [&] { bServed = true; });
  m_pDlg.reset();
  EXPECT_FALSE(bServed) << "an event reached the console inside its destructor";
  for (int s = 0; s < kSlotsPerTarget; ++s) EXPECT_TRUE(g_pTargetRecords[0].hEndEvent[s]->IsSet()) << s;
}

TEST_F(AdvancedDlgTest, WorkersWordsArriveFromTheirThreadsAndFailedRowsTurnRed) {
  Open(2, IDC_WRITE, 0);
  Click(IDC_ADV_START);
  std::atomic<bool> bDone{false};
  std::thread worker([&] {
    IAdvancedView& view = Dlg().WorkerView();
    view.SetTargetText(1, kColumnStatus, "FAIL");
    view.SetTargetText(1, kColumnError, "DATA COMPARISON");
    view.SetStatusText("FAIL");
    view.SetExtendedText("HALVEX GOT CRC ERROR ON LAST I/O");
    view.SetTargetText(7, kColumnStatus, "RUN");  // no such row: ignored
    bDone = true;
  });
  ASSERT_TRUE(ProcessEventsUntil([&] { return bDone.load(); }));
  worker.join();
  EXPECT_EQ(Row(1, 1, 4), (std::vector<std::string>{"FAIL", "0", "0", "DATA COMPARISON"}));
  EXPECT_EQ(Dlg().Text(IDC_ADV_STATUS), "FAIL");
  EXPECT_EQ(Dlg().Text(IDC_ADV_EXTENDED), "HALVEX GOT CRC ERROR ON LAST I/O");
  EXPECT_EQ(Dlg().TargetRows(), 2);

  auto* pList = Dlg().Control<QTreeWidget>(IDC_ADV_TARGETS);
  const auto textColour = [&](int nRow, int nColumn) {
    return pList->topLevelItem(nRow)->data(nColumn, Qt::ForegroundRole).value<QBrush>().color();
  };
  for (int c = 0; c < kTargetColumns; ++c) {
    EXPECT_GT(textColour(1, c).red(), 2 * textColour(1, c).green()) << c;
    EXPECT_FALSE(pList->topLevelItem(0)->data(c, Qt::ForegroundRole).isValid()) << c;
  }
  SaveScreenshot(Dlg(), "advanced_console_failed_row");

  // Only the next Start takes the failure away.
  Dlg().WorkerView().SetTargetText(1, kColumnStatus, "INIT");
  EXPECT_EQ(Dlg().TargetText(1, kColumnStatus), "FAIL");
  Click(IDC_ADV_STOP);
  Click(IDC_ADV_START);
  Dlg().WorkerView().SetTargetText(1, kColumnStatus, "INIT");
  EXPECT_EQ(Dlg().TargetText(1, kColumnStatus), "INIT");
  EXPECT_FALSE(pList->topLevelItem(1)->data(0, Qt::ForegroundRole).isValid());
  EXPECT_FALSE(pList->topLevelItem(1)->data(0, Qt::BackgroundRole).isValid());
}

TEST_F(AdvancedDlgTest, FailedTargetKeepsItsFailureThroughStopUntilTheNextStart) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  // The first of two writers fails; the second runs on until Stop.
  const int nRule = fs.Arm(FaultRule::Error("KORVA25.DAT", FaultRule::EOp::Write, 0, 1 << 30, EIO));
  ASSERT_GE(nRule, 0) << fs.LastError();
  Open(1, IDC_WRITE, 1, false, {fs.Root()});
  Check(IDC_ADV_ERROR_CHECKING, true);
  Click(IDC_ADV_START);
  ASSERT_TRUE(ProcessEventsUntil([&] { return Dlg().TargetText(0, kColumnStatus) == "FAIL"; }))
      << fs.Report();
  // The other writer is well into its passes when Stop comes.
  ASSERT_TRUE(ProcessEventsUntil([&] { return Dlg().RunControl().Elapsed() >= 1; }));
  const QString szError = Dlg().TargetText(0, kColumnError);
  const QString szExtended = Dlg().Text(IDC_ADV_EXTENDED);
  ASSERT_NE(szError, "NONE");

  Click(IDC_ADV_STOP);
  ASSERT_TRUE(g_pTargetRecords[0].hEndEvent[kFirstWriteSlot + 1]->IsSet());
  EXPECT_EQ(Dlg().TargetText(0, kColumnStatus), "FAIL");
  EXPECT_EQ(Dlg().TargetText(0, kColumnError), szError);
  EXPECT_EQ(Dlg().Text(IDC_ADV_STATUS), "FAIL");
  EXPECT_EQ(Dlg().Text(IDC_ADV_EXTENDED), szExtended);
  auto* pList = Dlg().Control<QTreeWidget>(IDC_ADV_TARGETS);
  EXPECT_TRUE(pList->topLevelItem(0)->data(kColumnStatus, Qt::ForegroundRole).isValid());
  Dlg().resize(Dlg().size() + QSize(240, 120));
  SaveScreenshot(Dlg(), "advanced_console_failed_after_stop_grown");

  ASSERT_TRUE(fs.Disarm(nRule));
  Click(IDC_ADV_START);
  ASSERT_TRUE(ProcessEventsUntil([&] { return Dlg().TargetText(0, kColumnStatus) == "RUN"; }))
      << Dlg().TargetText(0, kColumnStatus).toStdString();
  EXPECT_FALSE(pList->topLevelItem(0)->data(kColumnStatus, Qt::ForegroundRole).isValid());
  Click(IDC_ADV_STOP);
  EXPECT_EQ(Dlg().TargetText(0, kColumnStatus), "STOP");
  EXPECT_EQ(Dlg().Text(IDC_ADV_EXTENDED), "NONE");
}

// A stop waits for a call that does not come back no longer than the I/O
// time-out: the operator learns which call holds it and may wait on, and
// the stalled worker's row shows the failure as the command line reports it.
TEST_F(AdvancedDlgTest, StopOutlastingTheIoTimeoutNamesTheStalledCallAndFailsItsRow) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  Open(1, IDC_WRITE, 0, false, {fs.Root()});
  Click(IDC_ADV_START);
  ASSERT_TRUE(ProcessEventsUntil([&] { return Dlg().TargetText(0, kColumnStatus) == "RUN"; }));
  const int nRule = fs.Arm(FaultRule::Stall("KORVA25.DAT", FaultRule::EOp::Write, 0, 0, 0));
  ASSERT_GE(nRule, 0) << fs.LastError();
  ASSERT_TRUE(ProcessEventsUntil([&] { return fs.Hits(nRule) > 0; })) << fs.Report();
  SetIoTimeout(std::chrono::seconds(1));

  // "Wait" keeps the stop waiting; the call comes back once the box has
  // been answered (or after a bound, so that a stop that never asks ends).
  CBoxAnswerer wait("Wait");
  QTimer release;
  const auto tGiveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  QObject::connect(&release, &QTimer::timeout, [&] {
    if (!wait.Texts().empty() || std::chrono::steady_clock::now() > tGiveUp) fs.Disarm(nRule);
  });
  release.start(10);
  Click(IDC_ADV_STOP);
  release.stop();

  ASSERT_FALSE(wait.Texts().empty()) << "no box named the worker the stop waited for";
  EXPECT_NE(wait.Texts()[0].find("WRITE/KORVA25.DAT inside a write for"), std::string::npos) << wait.Texts()[0];
  EXPECT_FALSE(Dlg().IsRunning());
  EXPECT_EQ(Dlg().TargetText(0, kColumnStatus), "FAIL");
  EXPECT_EQ(Dlg().TargetText(0, kColumnError), "I/O TIMEOUT");
  EXPECT_EQ(Dlg().Text(IDC_ADV_STATUS), "FAIL");
}

TEST_F(AdvancedDlgTest, RealRunOnTwoTargetsShowsItsWordsAndRates) {
  Open(2, IDC_WRITE, 1, false);
  Check(IDC_ADV_ENABLE_PERFORMANCE, true);
  Select(IDC_ADV_TRANSFER, 7);
  Click(IDC_ADV_START);
  ASSERT_TRUE(Dlg().IsRunning());
  ASSERT_TRUE(ProcessEventsUntil([&] { return Dlg().TargetText(0, 1) == "RUN" && Dlg().TargetText(1, 1) == "RUN"; }))
      << Dlg().TargetText(0, 1).toStdString() << " " << Dlg().TargetText(0, 4).toStdString();
  // Long enough for one sample of the rates (timer 2 runs every two seconds).
  ASSERT_TRUE(ProcessEventsUntil([&] { return Dlg().RunControl().Elapsed() >= 3; }));
  EXPECT_NE(Dlg().Text(IDC_ADV_ELAPSED), "00:00:00:00");
  EXPECT_EQ(Row(0, 4, 9), (std::vector<std::string>{"NONE", "SYNC", "64K", "1MB", "ENABLED", "DISABLED"}));
  SaveScreenshot(Dlg(), "advanced_console_running");

  Click(IDC_ADV_STOP);
  EXPECT_EQ(Dlg().Text(IDC_ADV_STATUS), "STOP");
  for (int t = 0; t < 2; ++t) {
    EXPECT_EQ(Dlg().TargetText(t, 1), "STOP") << t;
    EXPECT_EQ(Dlg().TargetText(t, 4), "NONE") << t;
  }
}

TEST_F(AdvancedDlgTest, SimpleConsoleHidesWhileTheAdvancedOneRunsModallyAndGoesOnAfter) {
  CRealAdvancedConsole simple;
  m_dirs.push_back(std::make_unique<CTempDir>());
  simple.ApplyTargetChoice({m_dirs.back()->Root()});
  simple.OnWrite();
  bool bHiddenWhileOpen = false;
  bool bShownAfter = false;
  bool bStillRunningAfter = false;
  bool bEndedByTest = false;
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(50, [&] {
      for (QWidget* pWidget : QApplication::topLevelWidgets()) {
        if (auto* pAdvanced = qobject_cast<CCorvaneAdvancedDlg*>(pWidget); pAdvanced && pAdvanced->isVisible()) {
          bHiddenWhileOpen = !simple.isVisible();
          pAdvanced->close();
        }
      }
    });
    simple.Control<QAction>(ID_FEATURES_LOGICAL)->trigger();
    bShownAfter = simple.isVisible();
    // The simple console's own modal loop must still be running.
    QTimer::singleShot(50, [&] {
      bStillRunningAfter = simple.isVisible();
      bEndedByTest = true;
      simple.OnOK();
    });
  });
  simple.exec();
  EXPECT_EQ(simple.m_nAdvancedOpened, 1);
  EXPECT_TRUE(bHiddenWhileOpen);
  EXPECT_TRUE(bShownAfter);
  EXPECT_TRUE(bEndedByTest) << "the simple console's loop ended with the advanced console";
  EXPECT_TRUE(bStillRunningAfter);
  EXPECT_TRUE(m_presenter.All().empty());
}

}  // namespace
}  // namespace stratavon::test
