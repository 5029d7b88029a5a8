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

#include "console/advanced/DataFile.h"
#include "console/advanced/Statistics.h"
#include "console/advanced/gui/AdvancedTexts.h"
#include "console/advanced/gui/CorvaneAdvancedDlg.h"
#include "console/simple/gui/DialogUnits.h"
#include "engine/LatencyHistogram.h"
#include "engine/RunRecord.h"
#include "GuiTestSupport.h"
#include "platform/CriticalSection.h"
#include "support/FaultFs.h"

namespace stratavon::test {
namespace {

// The advanced console with its Open dialog replaced: each import takes
// the next path a test put in (empty: cancelled).
class CTestAdvanced : public CCorvaneAdvancedDlg {
 public:
  using CCorvaneAdvancedDlg::CCorvaneAdvancedDlg;

  QString m_szNextFile;
  int m_nFileDialogs = 0;

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

std::vector<Launch> operator+(std::vector<Launch> a, const std::vector<Launch>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(AdvancedDlgTest, NewConsoleShowsWhatTheSimpleConsoleHandedOver) {
  Open(2, IDC_BOTH, 2);
  EXPECT_EQ(Dlg().windowTitle(), "Stratavon Advanced");
  EXPECT_FALSE(m_pSimple->isVisible()) << "the simple console hides behind the advanced one";

  const CDialogUnits du(Dlg().font());
  const QWidget* pClient = Dlg().Control<QWidget>(IDC_ADV_START)->parentWidget();
  EXPECT_EQ(pClient->size(), du.Size(270, 260));
  auto* pImport = Dlg().Control<QAction>(ID_OPTIONS_IMPORT_DATA_FILE);
  ASSERT_NE(pImport, nullptr);
  EXPECT_EQ(pImport->text().remove(QLatin1Char('&')), "Import Data File");
  const QList<QAction*> menus = Dlg().findChild<QMenuBar*>()->actions();
  ASSERT_EQ(menus.size(), 1);
  EXPECT_EQ(menus[0]->text().remove(QLatin1Char('&')), "Options");

  EXPECT_EQ(Dlg().Text(IDC_ADV_THREADS), "3");
  EXPECT_EQ(Dlg().Text(IDC_ADV_OPERATION), "READ/WRITE");
  EXPECT_EQ(Dlg().Text(IDC_ADV_PATTERN), "AA");
  EXPECT_EQ(Dlg().Text(IDC_ADV_LOCATION), m_pSimple->LocationText());
  EXPECT_EQ(Dlg().Text(IDC_ADV_STATUS), "IDLE");
  EXPECT_EQ(Dlg().Text(IDC_ADV_ELAPSED), "00:00:00:00");
  EXPECT_EQ(Dlg().Text(IDC_ADV_PERFORMANCE), "0 MB/s");
  EXPECT_EQ(Dlg().Text(IDC_ADV_IOPS), "0 IO/s");
  EXPECT_EQ(Dlg().Text(IDC_ADV_EXTENDED), "NONE");
  for (int nId : {IDC_ADV_THREADS, IDC_ADV_PATTERN, IDC_ADV_STATUS, IDC_ADV_LOCATION, IDC_ADV_OPERATION,
                  IDC_ADV_ELAPSED, IDC_ADV_PERFORMANCE, IDC_ADV_EXTENDED, IDC_ADV_IOPS}) {
    EXPECT_TRUE(Dlg().Control<QLineEdit>(nId)->isReadOnly()) << nId;
  }
  for (int nId : {IDC_ADV_TRANSFER, IDC_ADV_BUFFER}) {
    auto* pSizes = Dlg().Control<QComboBox>(nId);
    ASSERT_EQ(pSizes->count(), 14) << nId;
    EXPECT_EQ(pSizes->itemText(0), "512B");
    EXPECT_EQ(pSizes->itemText(1), "1KB");
    EXPECT_EQ(pSizes->itemText(13), "4MB");
    EXPECT_EQ(pSizes->currentText(), "1MB");
  }
  for (int nId : {IDC_ADV_ERROR_CHECKING, IDC_ADV_ENABLE_PERFORMANCE, IDC_ADV_ASYNCHRONOUS}) {
    EXPECT_FALSE(Dlg().Control<QCheckBox>(nId)->isChecked()) << nId;
  }
  auto* pDepth = Dlg().Control<QComboBox>(IDC_ADV_DEPTH);
  ASSERT_EQ(pDepth->count(), 63);
  EXPECT_EQ(pDepth->itemText(0), "1");
  EXPECT_EQ(pDepth->itemText(62), "63");
  EXPECT_EQ(pDepth->currentText(), "8");
  EXPECT_FALSE(pDepth->isEnabled());
  EXPECT_TRUE(Dlg().Control<QPushButton>(IDC_ADV_START)->isEnabled());
  EXPECT_TRUE(Dlg().Control<QPushButton>(IDC_ADV_STOP)->isEnabled());
  EXPECT_NE(Dlg().Control<QPushButton>(IDC_ADV_MODIFY), nullptr);

  auto* pList = Dlg().Control<QTreeWidget>(IDC_ADV_TARGETS);
  ASSERT_EQ(pList->columnCount(), 10);
  const std::vector<std::string> headings = {"Target",    "Status", "MB/s",   "IOPS",        "Error",
                                             "Operation", "Chunk",  "Buffer", "Performance", "Error Checking"};
  for (int c = 0; c < 10; ++c) {
    EXPECT_EQ(pList->headerItem()->text(c).toStdString(), headings[static_cast<size_t>(c)]);
    // At least the list's 100 pixels, wider where a word needs more.
    EXPECT_GE(pList->columnWidth(c), 100) << c;
  }
  EXPECT_EQ(pList->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_EQ(pList->selectionBehavior(), QAbstractItemView::SelectRows);
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

  EXPECT_STREQ(OperationWord(FUNCTION_READ), "READ");
  EXPECT_STREQ(OperationWord(FUNCTION_WRITE), "WRITE");
  EXPECT_STREQ(OperationWord(3), "UNKNOWN");
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
  EXPECT_TRUE(m_presenter.Messages().empty());
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
  EXPECT_TRUE(m_presenter.Messages().empty());
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

TEST_F(AdvancedDlgTest, ModifiedFamilyPicksWhichErrorCheckingBoxDecidesTheReads) {
  // An asynchronous target under a synchronous console: its reads follow
  // the console's Error Checking (clear), not its own (set).
  Open(2, IDC_BOTH, 1);
  Check(IDC_ADV_ERROR_CHECKING, true);
  Check(IDC_ADV_ASYNCHRONOUS, true);
  SelectRow(0);
  Click(IDC_ADV_MODIFY);
  Check(IDC_ADV_ERROR_CHECKING, false);
  Check(IDC_ADV_ASYNCHRONOUS, false);
  Click(IDC_ADV_START);
  EXPECT_EQ(LaunchesOf(0), Slots(0, 0, 2, kWorkerReadAdvancedAsync) + Slots(0, 25, 2, kWorkerWriteAdvancedAsync));
  EXPECT_EQ(LaunchesOf(1), Slots(1, 0, 2, kWorkerReadAdvanced) + Slots(1, 25, 2, kWorkerWriteAdvanced));
  Click(IDC_ADV_STOP);

  // A synchronous target under an asynchronous console with Error
  // Checking: its reads follow its own box (clear).
  m_launches.clear();
  SelectRow(0);
  Click(IDC_ADV_MODIFY);  // synchronous, no Error Checking
  Check(IDC_ADV_ERROR_CHECKING, true);
  Check(IDC_ADV_ASYNCHRONOUS, true);
  Click(IDC_ADV_START);
  EXPECT_EQ(LaunchesOf(0), Slots(0, 0, 2, kWorkerReadAdvanced) + Slots(0, 25, 2, kWorkerWriteAdvanced));
  EXPECT_EQ(LaunchesOf(1), Slots(1, 25, 2, kWorkerWriteAdvancedAsync)) << "READ/WRITE with Error Checking writes only";
  EXPECT_EQ(Row(0, 5), (std::vector<std::string>{"SYNC", "1MB", "1MB", "DISABLED", "DISABLED"}));
  EXPECT_EQ(Row(1, 5), (std::vector<std::string>{"ASYNC", "1MB", "1MB", "DISABLED", "ENABLED"}));
}

TEST_F(AdvancedDlgTest, TransferLargerThanBufferIsRefusedKeepingWhatWasReadAndSaysWhy) {
  Open(1, IDC_WRITE, 3);
  Check(IDC_ADV_ERROR_CHECKING, true);
  Check(IDC_ADV_ENABLE_PERFORMANCE, true);
  Check(IDC_ADV_ASYNCHRONOUS, true);
  Select(IDC_ADV_DEPTH, 62);
  Select(IDC_ADV_TRANSFER, 12);
  auto* pStart = Dlg().Control<QPushButton>(IDC_ADV_START);
  EXPECT_TRUE(pStart->toolTip().contains("2MB")) << pStart->toolTip().toStdString();
  EXPECT_TRUE(pStart->toolTip().contains("1MB")) << pStart->toolTip().toStdString();
  EXPECT_FALSE(Dlg().StartHint().isEmpty());

  Click(IDC_ADV_START);
  ASSERT_EQ(m_presenter.Messages().size(), 1u);
  EXPECT_EQ(m_presenter.Messages()[0].szText, "Transfer Size > Buffer Size!");
  EXPECT_EQ(m_presenter.Messages()[0].szCaption, "Error");
  EXPECT_EQ(m_presenter.Messages()[0].icon, MessageIcon::kError);
  EXPECT_FALSE(Dlg().IsRunning());
  EXPECT_EQ(Dlg().Text(IDC_ADV_STATUS), "IDLE");
  EXPECT_TRUE(m_launches.empty());
  EXPECT_FALSE(Dlg().IsTimerActive(TIMER_ELAPSED));
  const RunSettings& settings = Dlg().RunControl().Settings();
  EXPECT_EQ(settings.dwMode, MODE_ERROR_CHECKING | MODE_PERFORMANCE | MODE_ASYNC);
  EXPECT_EQ(settings.dwQueueDepth, 63u);
  EXPECT_EQ(settings.dwTransferSize, 2097152u);
  EXPECT_EQ(settings.dwBufferSize, 1048576u);
  EXPECT_EQ(settings.dwThreads, 4u);
  EXPECT_TRUE(pStart->toolTip().contains("larger than the Buffer Size"));
  SaveScreenshot(Dlg(), "advanced_console_refused");

  // Modify refuses the same way and keeps no per-target settings.
  m_presenter.Clear();
  SelectRow(0);
  Click(IDC_ADV_MODIFY);
  EXPECT_EQ(m_presenter.Texts(), std::vector<std::string>{"Transfer Size > Buffer Size!"});
  EXPECT_EQ(g_pTargetRecords[0].settings.bCustom, 0);
  EXPECT_EQ(Row(0, 5), std::vector<std::string>(5, ""));

  // Equal sizes start.
  Select(IDC_ADV_BUFFER, 12);
  EXPECT_TRUE(Dlg().StartHint().isEmpty());
  Click(IDC_ADV_START);
  EXPECT_TRUE(Dlg().IsRunning());
  EXPECT_EQ(m_launches, Slots(0, 25, 4, kWorkerWriteAdvancedAsync));
  EXPECT_TRUE(pStart->toolTip().contains("in progress"));
}

TEST_F(AdvancedDlgTest, RatesComeFromTheCountersOncePerSample) {
  Open(2, IDC_WRITE, 0);
  Check(IDC_ADV_ENABLE_PERFORMANCE, true);
  Click(IDC_ADV_START);
  ASSERT_TRUE(Dlg().IsRunning());
  EXPECT_TRUE(Dlg().IsTimerActive(TIMER_ELAPSED));
  EXPECT_TRUE(Dlg().IsTimerActive(TIMER_STATS));
  {
    CScopedLock lock(g_csRecords);
    g_pTargetRecords[0].entries[0].qwBytes = 8388608;
    g_pTargetRecords[0].entries[0].qwIos = 100;
    // 3 MiB spread over a read side and a write side of another target.
    g_pTargetRecords[1].entries[2].qwBytes = 1048576;
    g_pTargetRecords[1].entries[2].qwIos = 3;
    g_pTargetRecords[1].entries[27 + kWriteEntryOffset].qwBytes = 2097152;
    g_pTargetRecords[1].entries[27 + kWriteEntryOffset].qwIos = 4;
  }
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
  EXPECT_EQ(Row(0, 2, 3), (std::vector<std::string>{"4", "50"}));
  EXPECT_EQ(Row(1, 2, 3), (std::vector<std::string>{"1", "3"}));
  // The total is shifted after summing: 11 MiB over two seconds.
  EXPECT_EQ(Dlg().Text(IDC_ADV_PERFORMANCE), "5 MB/s");
  EXPECT_EQ(Dlg().Text(IDC_ADV_IOPS), "53 IO/s");

  // Nothing moved since: zero everywhere.
  Dlg().OnTimer(TIMER_STATS);
  EXPECT_EQ(Row(0, 2, 3), (std::vector<std::string>{"0", "0"}));
  EXPECT_TRUE(tipFigures(0).empty()) << "the figures are those of the last period only";
  EXPECT_EQ(Dlg().Text(IDC_ADV_PERFORMANCE), "0 MB/s");
  Dlg().OnTimer(99);  // not a timer of the console
  EXPECT_EQ(Dlg().Text(IDC_ADV_PERFORMANCE), "0 MB/s");

  // Stop kills both timers and keeps the figures; a run without Enable
  // Performance has no timer 2.
  Click(IDC_ADV_STOP);
  EXPECT_FALSE(Dlg().IsTimerActive(TIMER_ELAPSED));
  EXPECT_FALSE(Dlg().IsTimerActive(TIMER_STATS));
  EXPECT_EQ(Dlg().Text(IDC_ADV_STATUS), "STOP");
  Check(IDC_ADV_ENABLE_PERFORMANCE, false);
  Click(IDC_ADV_START);
  EXPECT_TRUE(Dlg().IsTimerActive(TIMER_ELAPSED));
  EXPECT_FALSE(Dlg().IsTimerActive(TIMER_STATS));
  EXPECT_EQ(Row(0, 8, 8), std::vector<std::string>{"DISABLED"});
}

TEST_F(AdvancedDlgTest, ElapsedTimeCountsDaysWithoutLeadingZeros) {
  Open(1, IDC_READ, 0);
  int64_t nNow = 1700000000;
  Dlg().RunControl().SetClock([&nNow] { return nNow; });
  Click(IDC_ADV_START);
  nNow += 86400 + 3600 + 60 + 1;
  Dlg().OnTimer(TIMER_ELAPSED);
  EXPECT_EQ(Dlg().Text(IDC_ADV_ELAPSED), "1:01:01:01");
  nNow += 5;
  Dlg().OnTimer(TIMER_ELAPSED);
  EXPECT_EQ(Dlg().Text(IDC_ADV_ELAPSED), "1:01:01:06");
  Click(IDC_ADV_STOP);
  EXPECT_EQ(Dlg().Text(IDC_ADV_ELAPSED), "1:01:01:06") << "a stopped run keeps its time";
}

TEST_F(AdvancedDlgTest, ImportTakesTheLabelWithinItsLimits) {
  Open(1, IDC_WRITE, 0);
  auto* pPattern = Dlg().Control<QLineEdit>(IDC_ADV_PATTERN);

  // Cancelled: nothing happens.
  Import("");
  EXPECT_EQ(pPattern->text(), "AA");
  EXPECT_EQ(g_nPatternKind, kPatternByte);

  // The largest file, with an empty label.
  std::string szLargest(kMaxDataFileBytes, '\x5A');
  szLargest[0] = '\0';
  Import(WriteFile("largest.hvx", szLargest));
  EXPECT_EQ(pPattern->text(), "");
  EXPECT_EQ(g_nPatternKind, kPatternFile);
  EXPECT_EQ(DataFileBytes(), kMaxDataFileBytes);
  ASSERT_NE(g_pPatternFile, nullptr);

  // One byte more is passed over: the data before stays.
  Import(WriteFile("too_large.hvx", std::string(kMaxDataFileBytes + 1, 'A')));
  EXPECT_EQ(pPattern->text(), "");
  EXPECT_EQ(DataFileBytes(), kMaxDataFileBytes);
  EXPECT_TRUE(pPattern->toolTip().contains("too_large.hvx")) << pPattern->toolTip().toStdString();
  Import(WriteFile("empty.hvx", ""));
  EXPECT_EQ(DataFileBytes(), kMaxDataFileBytes);
  Import(m_files.Path("missing.hvx"));
  EXPECT_EQ(DataFileBytes(), kMaxDataFileBytes);

  // Sixteen label characters are the most.
  Import(WriteFile("sixteen.hvx", std::string("ABCDEFGHIJKLMNOP") + '\0' + "pattern"));
  EXPECT_EQ(pPattern->text(), "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(DataFileBytes(), 24u);

  // Seventeen: "INVALID", and the data before is gone; the kind stays.
  Import(WriteFile("seventeen.hvx", std::string("ABCDEFGHIJKLMNOPQ") + '\0' + "pattern"));
  EXPECT_EQ(pPattern->text(), "INVALID");
  EXPECT_EQ(DataFileBytes(), 0u);
  EXPECT_EQ(g_pPatternFile, nullptr);
  EXPECT_EQ(g_nPatternKind, kPatternFile);
  EXPECT_TRUE(pPattern->toolTip().contains("longer than 16")) << pPattern->toolTip().toStdString();
  EXPECT_TRUE(m_presenter.Messages().empty());
}

TEST_F(AdvancedDlgTest, ImportIsIgnoredDuringARunAndCloseDropsTheData) {
  Open(1, IDC_WRITE, 0);
  const std::string szFile = WriteFile("short.hvx", std::string("LABEL") + '\0' + "xyz");
  Click(IDC_ADV_START);
  ASSERT_TRUE(Dlg().IsRunning());
  Import(szFile);
  EXPECT_EQ(Dlg().m_nFileDialogs, 0) << "no Open dialog during a run";
  EXPECT_EQ(Dlg().Text(IDC_ADV_PATTERN), "AA");
  EXPECT_EQ(DataFileBytes(), 0u);

  Click(IDC_ADV_STOP);
  Import(szFile);
  EXPECT_EQ(Dlg().Text(IDC_ADV_PATTERN), "LABEL");
  EXPECT_EQ(DataFileBytes(), 9u);
  Dlg().close();
  EXPECT_EQ(DataFileBytes(), 0u);
  EXPECT_EQ(g_pPatternFile, nullptr);
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
  EXPECT_TRUE(m_presenter.Messages().empty());
}

}  // namespace
}  // namespace stratavon::test
