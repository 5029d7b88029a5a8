#include <fcntl.h>
#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cstring>
#include <filesystem>

#include "gui/simple/ConsoleTexts.h"
#include "gui/simple/QtMessagePresenter.h"
#include "engine/RunRecord.h"
#include "GuiTestSupport.h"
#include "platform/AlignedBuffer.h"
#include "platform/SystemError.h"
#include "support/FaultFs.h"
#include "support/LoopMount.h"
#include "support/Wait.h"

namespace stratavon::test {
namespace {

class CorvaneDlgTest : public GuiTest {
 protected:
  void Show(CTestConsole& dlg) {
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  }
  void Click(CTestConsole& dlg, int nId) { QTest::mouseClick(dlg.Control<QAbstractButton>(nId), Qt::LeftButton); }
  void Trigger(CTestConsole& dlg, int nId) { dlg.Control<QAction>(nId)->trigger(); }
  void TypePattern(CTestConsole& dlg, const QString& szText) {
    QLineEdit* pEdit = dlg.Pattern();
    pEdit->setFocus();
    pEdit->selectAll();
    QTest::keyClick(pEdit, Qt::Key_Delete);
    QTest::keyClicks(pEdit, szText);
  }
  bool StartEnabled(CTestConsole& dlg) { return dlg.Control<QPushButton>(IDC_START)->isEnabled(); }
  bool StopEnabled(CTestConsole& dlg) { return dlg.Control<QPushButton>(IDC_STOP)->isEnabled(); }
  std::vector<std::string> Roots(int nTargets) {
    std::vector<std::string> roots;
    for (int i = 0; i < nTargets; ++i) {
      m_dirs.push_back(std::make_unique<CTempDir>());
      roots.push_back(m_dirs.back()->Root());
    }
    std::sort(roots.begin(), roots.end());
    return roots;
  }

  // Starts two writers on root and stops them at once, answering each
  // worker's message box as it appears with the real presenter. The GUI
  // thread serves nothing between Start and Stop, so the boxes can only
  // appear while Stop waits for the workers; *pnWhileWaiting counts those.
  std::vector<std::string> StartAndStopAnsweringBoxes(CTestConsole& dlg, const std::string& szRoot,
                                                      int* pnWhileWaiting = nullptr) {
    CQtMessagePresenter presenter;
    SetMessagePresenter(&presenter);
    dlg.ApplyTargetChoice({szRoot});
    Click(dlg, IDC_WRITE);
    dlg.Control<QComboBox>(IDC_THREADS)->setCurrentIndex(1);
    std::vector<std::string> answered;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
      QMessageBox* pBox = VisibleMessageBox();
      if (pBox == nullptr) return;
      if (answered.empty()) SaveScreenshot(*pBox, "worker_message_box");
      answered.push_back(pBox->windowTitle().toStdString() + ": " + pBox->text().toStdString());
      if (pnWhileWaiting != nullptr && dlg.IsWaitingForWorkers()) ++*pnWhileWaiting;
      pBox->button(QMessageBox::Ok)->click();
    });
    answer.start(10);
    Click(dlg, IDC_START);
    EXPECT_TRUE(dlg.IsRunning());
    Click(dlg, IDC_STOP);
    answer.stop();
    SetMessagePresenter(&m_presenter);
    return answered;
  }

  std::vector<std::unique_ptr<CTempDir>> m_dirs;
};


TEST_F(CorvaneDlgTest, StartsIdleWithItsDefaults) {
  CTestConsole dlg;
  Show(dlg);
  EXPECT_EQ(dlg.StatusText(), "IDLE");
  EXPECT_EQ(dlg.Pattern()->text(), "AA");
  EXPECT_FALSE(dlg.Pattern()->isReadOnly());
  EXPECT_EQ(dlg.Control<QComboBox>(IDC_THREADS)->currentText(), "5");
  for (int nId : {IDC_READ, IDC_WRITE, IDC_BOTH}) EXPECT_FALSE(dlg.Control<QRadioButton>(nId)->isChecked()) << nId;
  EXPECT_EQ(dlg.IoFunction(), 0);
  EXPECT_FALSE(dlg.IsRunning());
  EXPECT_TRUE(StartEnabled(dlg));
  EXPECT_TRUE(StopEnabled(dlg));
  // Setting the initial "AA" counts as a change, as every Pattern text does.
  EXPECT_TRUE(dlg.PatternChanged());
  EXPECT_FALSE(dlg.TargetsChanged());
  EXPECT_EQ(dlg.TargetCount(), 0);
  EXPECT_EQ(dlg.Targets(), nullptr);
  // Controls of the template must not overlap one another.
  std::vector<QWidget*> placed;
  for (QObject* pObject : dlg.findChildren<QObject*>()) {
    if (auto* pWidget = qobject_cast<QWidget*>(pObject); pWidget != nullptr && pWidget->property("dialogId").isValid()) {
      placed.push_back(pWidget);
    }
  }
  ASSERT_EQ(placed.size(), 10u);
  for (size_t i = 0; i < placed.size(); ++i) {
    for (size_t j = i + 1; j < placed.size(); ++j) {
      EXPECT_FALSE(placed[i]->geometry().intersects(placed[j]->geometry()))
          << placed[i]->objectName().toStdString() << " overlaps " << placed[j]->objectName().toStdString();
    }
  }
  SaveScreenshot(dlg, "simple_console");
}

TEST_F(CorvaneDlgTest, RadioButtonsChooseTheFunctionAndThreadsComeFromTheCombo) {
  CTestConsole dlg;
  Show(dlg);
  Click(dlg, IDC_READ);
  EXPECT_EQ(dlg.IoFunction(), 1);
  Click(dlg, IDC_WRITE);
  EXPECT_EQ(dlg.IoFunction(), 2);
  EXPECT_FALSE(dlg.Control<QRadioButton>(IDC_READ)->isChecked());
  Click(dlg, IDC_BOTH);
  EXPECT_EQ(dlg.IoFunction(), 4);

  // The thread count is read from the combo at the start, not when picked.
  auto* pThreads = dlg.Control<QComboBox>(IDC_THREADS);
  pThreads->setFocus();
  QTest::keyClick(pThreads, Qt::Key_Home);
  QTest::keyClick(pThreads, Qt::Key_Down);
  EXPECT_EQ(pThreads->currentText(), "2");
  EXPECT_EQ(dlg.ThreadIndex(), 0);
}

TEST_F(CorvaneDlgTest, TypedPatternsAreValidatedAsTwoHexDigits) {
  CTestConsole dlg;
  Show(dlg);
  struct Case {
    const char* szTyped;
    const char* szShown;
    bool bValid;
    uint8_t byValue;
  };
  for (const Case& c : {Case{"AA", "AA", true, 0xAA}, Case{"0F", "0F", true, 0x0F}, Case{"9c", "9C", true, 0x9C},
                        Case{"", "", false, 0}, Case{"7", "7", false, 0}, Case{"G1", "G1", false, 0},
                        Case{"12345", "12", true, 0x12}}) {
    g_byPatternByte = 0x55;
    TypePattern(dlg, QString::fromLatin1(c.szTyped));
    EXPECT_EQ(dlg.Pattern()->text(), c.szShown) << c.szTyped;
    EXPECT_EQ(dlg.ParsePatternByte(), c.bValid) << c.szTyped;
    if (c.bValid) {
      EXPECT_EQ(g_byPatternByte, c.byValue) << c.szTyped;
    }
  }

  // At the start, an invalid pattern is refused with its own message.
  const std::vector<std::string> roots = Roots(1);
  dlg.ApplyTargetChoice(roots);
  Click(dlg, IDC_WRITE);
  TypePattern(dlg, "G1");
  Click(dlg, IDC_START);
  ASSERT_EQ(m_presenter.All().size(), 1u);
  EXPECT_EQ(m_presenter.All()[0].szText, "Invalid Data Pattern!");
  EXPECT_EQ(m_presenter.All()[0].szCaption, "Error");
  EXPECT_EQ(m_presenter.All()[0].icon, MessageIcon::kError);
  EXPECT_EQ(dlg.StatusText(), "IDLE");
  EXPECT_FALSE(dlg.IsRunning());
  EXPECT_FALSE(std::filesystem::exists(roots[0] + "WRITE"));
}

TEST_F(CorvaneDlgTest, NamedPatternsLockTheEditAndResetFreesIt) {
  CTestConsole dlg;
  Show(dlg);
  struct Case {
    int nId;
    uint32_t nKind;
    const char* szShown;
  };
  for (const Case& c : {Case{ID_PATTERN_CRPAT, kPatternCrpat, "CRP"}, Case{ID_PATTERN_CJTPAT, kPatternCjtpat, "CJT"},
                        Case{ID_PATTERN_CSPAT, kPatternCspat, "CSP"}}) {
    Trigger(dlg, c.nId);
    EXPECT_EQ(g_nPatternKind, c.nKind);
    EXPECT_EQ(dlg.Pattern()->text(), c.szShown);
    EXPECT_TRUE(dlg.Pattern()->isReadOnly());
  }
  Trigger(dlg, ID_PATTERN_CRPAT);
  TypePattern(dlg, "0F");
  EXPECT_EQ(dlg.Pattern()->text(), "CRP");
  // Not hexadecimal, but a named pattern is not read from the edit.
  g_byPatternByte = 0x33;
  EXPECT_TRUE(dlg.ParsePatternByte());
  EXPECT_EQ(g_byPatternByte, 0x33);
  SaveScreenshot(dlg, "simple_console_crpat");

  Trigger(dlg, ID_PATTERN_RESET);
  EXPECT_EQ(g_nPatternKind, kPatternByte);
  EXPECT_EQ(dlg.Pattern()->text(), "AA");
  EXPECT_FALSE(dlg.Pattern()->isReadOnly());
  // RESET shows AA; the byte is taken from the text at the next validation.
  EXPECT_EQ(g_byPatternByte, 0x33);
  TypePattern(dlg, "3d");
  EXPECT_TRUE(dlg.ParsePatternByte());
  EXPECT_EQ(g_byPatternByte, 0x3D);
}

// Where each worker goes is the records' and workers' business; the console
// decides the order: target by target, reads before writes, slot by slot.
TEST_F(CorvaneDlgTest, WorkersAreStartedTargetByTargetInSlotOrder) {
  CTestConsole dlg;
  dlg.m_pfnRead = &CParkedWorker::Create<kWorkerSimpleRead>;
  dlg.m_pfnWrite = &CParkedWorker::Create<kWorkerSimpleWrite>;
  Show(dlg);
  dlg.ApplyTargetChoice(Roots(2));
  Click(dlg, IDC_BOTH);
  dlg.Control<QComboBox>(IDC_THREADS)->setCurrentIndex(2);
  CParkedWorker::TakeCreated();
  Click(dlg, IDC_START);
  ASSERT_TRUE(dlg.IsRunning());

  std::vector<std::pair<int, int>> order;
  for (const CParkedWorker::Created& created : CParkedWorker::TakeCreated()) {
    for (int t = 0; t < g_nTargetRecords; ++t) {
      for (int s = 0; s < kSlotsPerTarget; ++s) {
        if (g_pTargetRecords[t].pWorker[s] == created.pWorker) {
          EXPECT_EQ(g_pTargetRecords[t].workerKind[s], created.nKind);
          order.emplace_back(t, s);
        }
      }
    }
  }
  const std::vector<std::pair<int, int>> expected = {{0, 0}, {0, 1}, {0, 2}, {0, 25}, {0, 26}, {0, 27},
                                                     {1, 0}, {1, 1}, {1, 2}, {1, 25}, {1, 26}, {1, 27}};
  EXPECT_EQ(order, expected);
  for (int t = 0; t < 2; ++t) EXPECT_TRUE(std::filesystem::is_directory(g_pTargetRecords[t].target.szPath + "WRITE"));
  SaveScreenshot(dlg, "simple_console_running");
  Click(dlg, IDC_STOP);
  EXPECT_EQ(dlg.StatusText(), "STOP");
}

TEST_F(CorvaneDlgTest, RefusedStartsResetTheConsoleUntilTargetsAreChosenAgain) {
  CTestConsole dlg;
  Show(dlg);
  // Nothing chosen yet.
  Click(dlg, IDC_START);
  EXPECT_EQ(m_presenter.Texts(), std::vector<std::string>{"No Targets Selected!"});

  const std::vector<std::string> roots = Roots(2);
  dlg.ApplyTargetChoice(roots);
  const QString szSummary = dlg.LocationText();
  m_presenter.Clear();
  Click(dlg, IDC_START);
  Click(dlg, IDC_WRITE);
  Click(dlg, IDC_START);
  Click(dlg, IDC_START);
  EXPECT_EQ(m_presenter.Texts(), (std::vector<std::string>{"Select an I/O Function!", "Target Initialization Failure.",
                                                           "Target Initialization Failure."}));
  for (const ShownMessage& message : m_presenter.All()) {
    EXPECT_EQ(message.szCaption, "Error");
    EXPECT_EQ(message.icon, MessageIcon::kError);
  }
  // The reset keeps the count and the Location text but drops the rows.
  EXPECT_EQ(dlg.StatusText(), "IDLE");
  EXPECT_EQ(dlg.TargetCount(), 2);
  EXPECT_EQ(dlg.Targets(), nullptr);
  EXPECT_EQ(dlg.LocationText(), szSummary);
  EXPECT_EQ(g_pTargetRecords, nullptr);
  EXPECT_FALSE(dlg.IsRunning());

  m_presenter.Clear();
  dlg.ApplyTargetChoice(roots);
  Click(dlg, IDC_START);
  EXPECT_TRUE(m_presenter.All().empty());
  EXPECT_EQ(dlg.StatusText(), "RUN");
  Click(dlg, IDC_STOP);

  // No thread count.
  dlg.Control<QComboBox>(IDC_THREADS)->setCurrentIndex(-1);
  m_presenter.Clear();
  Click(dlg, IDC_START);
  EXPECT_EQ(m_presenter.Texts(), std::vector<std::string>{"Select a Thread Count!"});
  EXPECT_EQ(dlg.StatusText(), "IDLE");
}

TEST_F(CorvaneDlgTest, MissingRootIsRefusedAsDirectoryCreationError) {
  CTestConsole dlg;
  Show(dlg);
  std::string szGone;
  {
    CTempDir gone;
    szGone = gone.Root() + "sub/";
  }
  dlg.ApplyTargetChoice({szGone});
  Click(dlg, IDC_READ);
  Click(dlg, IDC_START);
  EXPECT_EQ(m_presenter.Texts(), std::vector<std::string>{"Directory Creation Error!"});
  EXPECT_EQ(dlg.StatusText(), "IDLE");
  EXPECT_EQ(g_pTargetRecords, nullptr);

  // Existing work directories do not stop a start.
  const std::vector<std::string> roots = Roots(1);
  std::filesystem::create_directory(roots[0] + "READ");
  m_presenter.Clear();
  dlg.ApplyTargetChoice(roots);
  Click(dlg, IDC_START);
  EXPECT_TRUE(m_presenter.All().empty());
  EXPECT_EQ(dlg.StatusText(), "RUN");
  Click(dlg, IDC_STOP);
}

TEST_F(CorvaneDlgTest, StartAfterStopReusesTheRecordsUntilTargetsAreChosenAgain) {
  CTestConsole dlg;
  dlg.m_pfnRead = &CParkedWorker::Create<kWorkerSimpleRead>;
  dlg.m_pfnWrite = &CParkedWorker::Create<kWorkerSimpleWrite>;
  Show(dlg);
  std::vector<std::string> roots = Roots(3);
  dlg.ApplyTargetChoice({roots[0], roots[1]});
  Click(dlg, IDC_WRITE);
  Click(dlg, IDC_START);
  ASSERT_TRUE(dlg.IsRunning());
  TargetRunRecord* pBlock = g_pTargetRecords;
  const HEVENT hEvent = g_pTargetRecords[1].hEndEvent[25];
  Click(dlg, IDC_STOP);

  Click(dlg, IDC_START);
  ASSERT_TRUE(dlg.IsRunning());
  EXPECT_EQ(g_pTargetRecords, pBlock);
  EXPECT_EQ(g_pTargetRecords[1].hEndEvent[25], hEvent);
  EXPECT_EQ(g_nTargetRecords, 2);
  Click(dlg, IDC_STOP);

  // Re-chosen targets: the next start builds a new block for three.
  dlg.ApplyTargetChoice(roots);
  EXPECT_TRUE(dlg.TargetsChanged());
  Click(dlg, IDC_START);
  ASSERT_TRUE(dlg.IsRunning());
  EXPECT_FALSE(dlg.TargetsChanged());
  ASSERT_EQ(g_nTargetRecords, 3);
  EXPECT_NE(g_pTargetRecords[1].hEndEvent[25], hEvent);
  for (int t = 0; t < 3; ++t) {
    EXPECT_EQ(g_pTargetRecords[t].target.szPath, roots[t]);
    EXPECT_EQ(g_pTargetRecords[t].workerKind[29], kWorkerSimpleWrite) << "every target gets its workers again";
  }
  Click(dlg, IDC_STOP);
  EXPECT_TRUE(m_presenter.All().empty());
}

TEST_F(CorvaneDlgTest, TargetsCannotBeChosenDuringARun) {
  CTestConsole dlg;
  dlg.m_pfnRead = &CParkedWorker::Create<kWorkerSimpleRead>;
  Show(dlg);
  const std::vector<std::string> roots = Roots(2);
  dlg.ApplyTargetChoice({roots[0]});
  Click(dlg, IDC_READ);
  Click(dlg, IDC_START);
  ASSERT_TRUE(dlg.IsRunning());
  Trigger(dlg, ID_SELECT_LOGICAL);
  dlg.ApplyTargetChoice(roots);
  EXPECT_EQ(dlg.m_nSelectionsRun, 0);
  EXPECT_EQ(dlg.TargetCount(), 1);
  EXPECT_FALSE(dlg.TargetsChanged());
  Click(dlg, IDC_STOP);
}

TEST_F(CorvaneDlgTest, SelectLogicalDrivesKeepsPathOrderAndSummarises) {
  CTestConsole dlg;
  Show(dlg);
  const std::vector<std::string> roots = Roots(2);
  // The operator adds the later folder first.
  dlg.m_selection = [&roots](CTargetSelectionDlg& selection) {
    EXPECT_TRUE(selection.AddFolder(roots[1]));
    EXPECT_TRUE(selection.AddFolder(roots[0].substr(0, roots[0].size() - 1)));
    selection.OnOK();
    return selection.result();
  };
  Trigger(dlg, ID_SELECT_LOGICAL);
  EXPECT_EQ(dlg.m_nSelectionsRun, 1);
  ASSERT_NE(dlg.Targets(), nullptr);
  EXPECT_EQ(*dlg.Targets(), roots);
  EXPECT_EQ(dlg.TargetCount(), 2);
  EXPECT_TRUE(dlg.TargetsChanged());
  EXPECT_EQ(dlg.LocationText().toStdString(), "2 Target(s):   " + roots[0] + " " + roots[1]);

  // Cancel leaves everything as it was.
  dlg.m_selection = [](CTargetSelectionDlg& selection) {
    selection.List()->selectAll();
    selection.reject();
    return selection.result();
  };
  const QString szSummary = dlg.LocationText();
  Trigger(dlg, ID_SELECT_LOGICAL);
  EXPECT_EQ(dlg.TargetCount(), 2);
  EXPECT_EQ(*dlg.Targets(), roots);
  EXPECT_EQ(dlg.LocationText(), szSummary);

  // OK with nothing marked keeps the rows but asks for a choice again.
  dlg.m_selection = [](CTargetSelectionDlg& selection) {
    selection.List()->clearSelection();
    selection.OnOK();
    return selection.result();
  };
  Trigger(dlg, ID_SELECT_LOGICAL);
  EXPECT_EQ(dlg.TargetCount(), 2);
  EXPECT_EQ(*dlg.Targets(), roots);
  EXPECT_TRUE(dlg.TargetsChanged());
  Click(dlg, IDC_WRITE);
  Click(dlg, IDC_START);
  EXPECT_EQ(m_presenter.Texts(), std::vector<std::string>{"No Targets Selected!"});
}

TEST_F(CorvaneDlgTest, FeaturesLogicalStopsTheRunAndPreparesTheRecords) {
  CTestConsole dlg;
  dlg.m_pfnWrite = &CParkedWorker::Create<kWorkerSimpleWrite>;
  Show(dlg);
  // Refused like a start.
  Trigger(dlg, ID_FEATURES_LOGICAL);
  EXPECT_EQ(m_presenter.Texts(), std::vector<std::string>{"No Targets Selected!"});
  EXPECT_EQ(dlg.m_nAdvancedOpened, 0);

  m_presenter.Clear();
  const std::vector<std::string> roots = Roots(2);
  dlg.ApplyTargetChoice(roots);
  Click(dlg, IDC_WRITE);
  TypePattern(dlg, "5a");
  Click(dlg, IDC_START);
  ASSERT_TRUE(dlg.IsRunning());
  Trigger(dlg, ID_FEATURES_LOGICAL);
  EXPECT_TRUE(m_presenter.All().empty());
  EXPECT_FALSE(dlg.IsRunning());
  EXPECT_EQ(dlg.StatusText(), "STOP");
  EXPECT_EQ(dlg.m_nAdvancedOpened, 1);
  EXPECT_EQ(dlg.m_szAdvancedPattern, "5A");
  ASSERT_EQ(g_nTargetRecords, 2);
  EXPECT_EQ(g_pTargetRecords[1].target.szPath, roots[1]);

  // Without a run: re-chosen targets are rebuilt, directories made, and
  // the Status is left alone.
  const std::vector<std::string> others = Roots(1);
  dlg.ApplyTargetChoice(others);
  Trigger(dlg, ID_FEATURES_LOGICAL);
  EXPECT_EQ(dlg.m_nAdvancedOpened, 2);
  EXPECT_EQ(dlg.StatusText(), "STOP");
  ASSERT_EQ(g_nTargetRecords, 1);
  EXPECT_EQ(g_pTargetRecords[0].target.szPath, others[0]);
  EXPECT_TRUE(std::filesystem::is_directory(others[0] + "READ"));
  EXPECT_TRUE(std::filesystem::is_directory(others[0] + "WRITE"));
}

TEST_F(CorvaneDlgTest, EnterNeverEndsTheConsoleAndClosingARunAsksFirst) {
  for (int nId : {IDC_PATTERN, IDC_THREADS, IDC_READ}) {
    CTestConsole dlg;
    Show(dlg);
    QWidget* pField = dlg.Control<QWidget>(nId);
    pField->setFocus();
    QTest::keyClick(pField, Qt::Key_Return);
    EXPECT_TRUE(dlg.isVisible()) << nId;
  }
  {
    // On a focused push button Enter is that button's click.
    CTestConsole dlg;
    Show(dlg);
    dlg.Control<QPushButton>(IDC_START)->setFocus();
    QTest::keyClick(dlg.Control<QPushButton>(IDC_START), Qt::Key_Return);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(m_presenter.Texts(), std::vector<std::string>{"No Targets Selected!"});
  }
  {
    CTestConsole dlg;
    dlg.m_pfnRead = &CParkedWorker::Create<kWorkerSimpleRead>;
    Show(dlg);
    dlg.ApplyTargetChoice(Roots(1));
    Click(dlg, IDC_READ);
    Click(dlg, IDC_START);
    ASSERT_TRUE(dlg.IsRunning());
    dlg.Control<QComboBox>(IDC_THREADS)->setFocus();
    {
      CBoxAnswerer keep("Keep Running");
      QTest::keyClick(&dlg, Qt::Key_Escape);
      ASSERT_EQ(keep.Texts().size(), 1u);
      EXPECT_TRUE(dlg.isVisible());
      EXPECT_TRUE(dlg.IsRunning());
    }
    CBoxAnswerer stop("Stop and Close");
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_EQ(stop.Texts().size(), 1u);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_FALSE(dlg.IsRunning());
    EXPECT_EQ(dlg.StatusText(), "IDLE");
    EXPECT_EQ(g_pTargetRecords, nullptr);
    EXPECT_EQ(dlg.Targets(), nullptr);
  }
  {
    // The close box does what Escape does.
    CTestConsole dlg;
    dlg.m_pfnWrite = &CParkedWorker::Create<kWorkerSimpleWrite>;
    Show(dlg);
    dlg.ApplyTargetChoice(Roots(1));
    Click(dlg, IDC_WRITE);
    Click(dlg, IDC_START);
    ASSERT_TRUE(dlg.IsRunning());
    CBoxAnswerer stop("Stop and Close");
    dlg.close();
    EXPECT_EQ(stop.Texts().size(), 1u);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_FALSE(dlg.IsRunning());
    EXPECT_EQ(dlg.StatusText(), "IDLE");
  }
}

TEST_F(CorvaneDlgTest, WithAnAutomationClientClosingOnlyHides) {
  QObject proxy;
  CTestConsole dlg;
  dlg.m_pfnWrite = &CParkedWorker::Create<kWorkerSimpleWrite>;
  dlg.SetAutomationProxy(&proxy);
  Show(dlg);
  dlg.ApplyTargetChoice(Roots(1));
  Click(dlg, IDC_WRITE);
  Click(dlg, IDC_START);
  ASSERT_TRUE(dlg.IsRunning());
  dlg.OnOK();
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_TRUE(dlg.IsRunning());  // the default command does not stop the run

  Show(dlg);
  CBoxAnswerer stop("Stop and Close");
  dlg.close();
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_FALSE(dlg.IsRunning());  // the close box still stops it first
  EXPECT_EQ(dlg.StatusText(), "IDLE");

  // Without a client the default command ends the console, stopping the run first.
  dlg.SetAutomationProxy(nullptr);
  Show(dlg);
  dlg.ApplyTargetChoice(Roots(1));
  Click(dlg, IDC_START);
  ASSERT_TRUE(dlg.IsRunning());
  dlg.OnOK();
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_FALSE(dlg.IsRunning());
  EXPECT_EQ(dlg.StatusText(), "STOP");
}

TEST_F(CorvaneDlgTest, AboutEntryRunsTheAboutHook) {
  CTestConsole dlg;
  Trigger(dlg, IDM_ABOUTBOX);
  EXPECT_EQ(dlg.m_nAboutShown, 1);
  dlg.OnSysCommand(IDM_ABOUTBOX | 0x3);  // low four bits are the system's
  EXPECT_EQ(dlg.m_nAboutShown, 2);
  dlg.OnSysCommand(0xF060);  // any other command is not ours
  EXPECT_EQ(dlg.m_nAboutShown, 2);
}

TEST_F(CorvaneDlgTest, WorkerMessageBoxShowsWhileTheConsoleWaitsForWorkers) {
  CTestConsole dlg;
  dlg.m_pfnWrite = &CBoxWorker::Create;
  Show(dlg);
  int nWhileWaiting = 0;
  const std::vector<std::string> answered = StartAndStopAnsweringBoxes(dlg, Roots(1)[0], &nWhileWaiting);

  EXPECT_EQ(dlg.StatusText(), "STOP");
  EXPECT_FALSE(dlg.IsRunning());
  EXPECT_EQ(answered, (std::vector<std::string>{"Error: NOT ENOUGH DISK SPACE", "Error: NOT ENOUGH DISK SPACE"}));
  EXPECT_EQ(nWhileWaiting, 2);
  EXPECT_TRUE(StartEnabled(dlg));
}

TEST_F(CorvaneDlgTest, FullTargetShowsOneBoxNamingItAndStopStillCompletes) {
  if (const std::string szWhy = CLoopMount::Unavailable(); !szWhy.empty()) GTEST_SKIP() << szWhy;
  CLoopMount disk(8 * 1024 * 1024, 512);
  ASSERT_TRUE(disk.Ok()) << disk.Error();
  // Leave less than the 1 MiB a simple worker needs.
  struct statvfs fs {};
  ASSERT_EQ(statvfs(disk.Root().c_str(), &fs), 0);
  const uint64_t qwFree = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  ASSERT_GT(qwFree, 512u * 1024u);
  {
    FILE* pFill = std::fopen((disk.Root() + "fill").c_str(), "wb");
    ASSERT_NE(pFill, nullptr);
    const std::vector<char> block(4096, 0x11);
    for (uint64_t qw = 0; qw + 512 * 1024 < qwFree; qw += block.size()) std::fwrite(block.data(), 1, block.size(), pFill);
    std::fclose(pFill);
  }

  CTestConsole dlg;
  Show(dlg);
  const std::vector<std::string> answered = StartAndStopAnsweringBoxes(dlg, disk.Root());

  EXPECT_EQ(dlg.StatusText(), "STOP");
  ASSERT_EQ(answered.size(), 1u) << "one box for both writers";
  EXPECT_EQ(answered[0].rfind("Error: NOT ENOUGH DISK SPACE\n", 0), 0u) << answered[0];
  EXPECT_NE(answered[0].find(disk.Root()), std::string::npos) << answered[0];
  dlg.ResetConsole();
}

// The simple writers go on past failed calls; the console shows them per
// target while the run is on, and the run ends in FAIL, not STOP.
TEST_F(CorvaneDlgTest, FailedCallsShowOnTheStatusBoxAndEndTheRunInFail) {
  std::string szWhy;
  if (!CFaultFs::Available(&szWhy)) GTEST_SKIP() << szWhy;
  CFaultFs fs;
  ASSERT_TRUE(fs.Mount()) << fs.LastError();
  ASSERT_GE(fs.Arm(FaultRule::Error("KORVA25.DAT", FaultRule::EOp::Write, 0, 0, EIO)), 0) << fs.LastError();
  CTestConsole dlg;
  Show(dlg);
  dlg.ApplyTargetChoice({fs.Root()});
  Click(dlg, IDC_WRITE);
  dlg.Control<QComboBox>(IDC_THREADS)->setCurrentIndex(0);
  Click(dlg, IDC_START);
  ASSERT_TRUE(ProcessEventsUntil([&] { return !dlg.Control<QLineEdit>(IDC_STATUS)->toolTip().isEmpty(); }))
      << fs.Report();
  EXPECT_EQ(dlg.StatusText(), "RUN");
  Click(dlg, IDC_STOP);
  EXPECT_EQ(dlg.StatusText(), "FAIL");
  const std::string szTip = dlg.Control<QLineEdit>(IDC_STATUS)->toolTip().toStdString();
  EXPECT_EQ(szTip.rfind(fs.Root() + ": WRITE API x", 0), 0u) << szTip;
  EXPECT_NE(szTip.find("(first: " + FormatSystemMessage(EIO) + ")"), std::string::npos) << szTip;
}

}  // namespace
}  // namespace stratavon::test
