#include <QHeaderView>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include "gui/simple/ConsoleTexts.h"
#include "GuiTestSupport.h"
#include "platform/Mounts.h"

namespace stratavon::test {
namespace {

class TargetSelectionTest : public GuiTest {
 protected:
  static std::vector<MountRoot> Machine() {
    return {{"/", "ext4", "FIXED DISK"},
            {"/media/cdrom/", "iso9660", "CDROM"},
            {"/mnt/share/", "nfs4", "NETWORK SHARE"},
            {"/run/ram/", "tmpfs", "RAM DISK"}};
  }
  static void Mark(CTargetSelectionDlg& dlg, int nRow) { dlg.List()->topLevelItem(nRow)->setSelected(true); }

  int m_nTargets = 0;
  std::unique_ptr<std::vector<std::string>> m_pTargets;
};

TEST_F(TargetSelectionTest, ListsTheRootsWithTheirTypeWords) {
  CTargetSelectionDlg dlg(nullptr, Machine(), CTargetSelectionDlg::kModeLogical, &m_nTargets, &m_pTargets);
  EXPECT_EQ(dlg.windowTitle(), "Target Selection");
  QTreeWidget* pList = dlg.List();
  ASSERT_EQ(pList->columnCount(), 2);
  EXPECT_EQ(pList->headerItem()->text(0), "Target");
  EXPECT_EQ(pList->headerItem()->text(1), "Type");
  const std::vector<MountRoot> rows = dlg.Rows();
  ASSERT_EQ(rows.size(), 4u);
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].root, Machine()[i].root);
    EXPECT_EQ(rows[i].typeWord, Machine()[i].typeWord);
  }
  EXPECT_EQ(pList->selectionMode(), QAbstractItemView::ExtendedSelection);
  EXPECT_TRUE(pList->selectedItems().isEmpty());
}

TEST_F(TargetSelectionTest, OkKeepsPathOrderWhateverTheOrderOfMarking) {
  CTargetSelectionDlg dlg(nullptr, Machine(), CTargetSelectionDlg::kModeLogical, &m_nTargets, &m_pTargets);
  Mark(dlg, 3);
  Mark(dlg, 0);
  Mark(dlg, 2);
  QTest::mouseClick(dlg.findChild<QPushButton*>("1"), Qt::LeftButton);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(m_nTargets, 3);
  ASSERT_NE(m_pTargets, nullptr);
  EXPECT_EQ(*m_pTargets, (std::vector<std::string>{"/", "/mnt/share/", "/run/ram/"}));
}

TEST_F(TargetSelectionTest, OkWithNothingMarkedLeavesTheRowsAndCancelTouchesNothing) {
  m_nTargets = 1;
  m_pTargets = std::make_unique<std::vector<std::string>>(std::vector<std::string>{"/old/"});
  {
    CTargetSelectionDlg dlg(nullptr, Machine(), CTargetSelectionDlg::kModeLogical, &m_nTargets, &m_pTargets);
    dlg.OnOK();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(m_nTargets, 0);
    EXPECT_EQ(*m_pTargets, std::vector<std::string>{"/old/"});
  }
  m_nTargets = 1;
  {
    CTargetSelectionDlg dlg(nullptr, Machine(), CTargetSelectionDlg::kModeLogical, &m_nTargets, &m_pTargets);
    Mark(dlg, 1);
    QTest::mouseClick(dlg.findChild<QPushButton*>("2"), Qt::LeftButton);
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_EQ(m_nTargets, 1);
    EXPECT_EQ(*m_pTargets, std::vector<std::string>{"/old/"});
  }
  {
    // Any mode but logical drives lists nothing.
    CTargetSelectionDlg dlg(nullptr, Machine(), 2, &m_nTargets, &m_pTargets);
    EXPECT_EQ(dlg.List()->topLevelItemCount(), 0);
  }
}

TEST_F(TargetSelectionTest, AddedFolderJoinsInPathOrderMarkedAndTyped) {
  CTempDir parent;
  const std::string szB = parent.Path("b");
  const std::string szA = parent.Path("a");
  std::filesystem::create_directory(szB);
  std::filesystem::create_directory(szA);

  CTargetSelectionDlg dlg(nullptr, Machine(), CTargetSelectionDlg::kModeLogical, &m_nTargets, &m_pTargets);
  ASSERT_TRUE(dlg.AddFolder(szB));
  ASSERT_TRUE(dlg.AddFolder(szA + "/"));
  ASSERT_TRUE(dlg.AddFolder(szA + "/../a"));  // the same folder again: marked, not repeated
  std::vector<std::string> roots;
  for (const MountRoot& row : dlg.Rows()) roots.push_back(row.root);
  std::vector<std::string> sorted = roots;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(roots, sorted);
  EXPECT_EQ(std::count(roots.begin(), roots.end(), szA + "/"), 1);
  EXPECT_EQ(roots.size(), Machine().size() + 2);
  for (const MountRoot& row : dlg.Rows()) {
    if (row.root == szA + "/") {
      EXPECT_EQ(row.typeWord, TypeWordOfPath(szA + "/"));
    }
  }
  EXPECT_TRUE(m_presenter.All().empty());

  EXPECT_FALSE(dlg.AddFolder(parent.Path("missing")));
  EXPECT_FALSE(dlg.AddFolder(""));
  ASSERT_EQ(m_presenter.All().size(), 2u);
  EXPECT_EQ(m_presenter.All()[0].szText, "Folder Not Found!\n" + parent.Path("missing"));
  EXPECT_EQ(m_presenter.All()[0].szCaption, "Error");
  EXPECT_EQ(roots.size(), dlg.Rows().size());

  Mark(dlg, 0);
  dlg.OnOK();
  EXPECT_EQ(m_nTargets, 3);
  EXPECT_EQ(*m_pTargets, (std::vector<std::string>{"/", szA + "/", szB + "/"}));
}

TEST_F(TargetSelectionTest, ShowsTheMachinesMountsTidily) {
  CTempDir folder;
  CTargetSelectionDlg dlg(nullptr, ListMountRoots(), CTargetSelectionDlg::kModeLogical, &m_nTargets, &m_pTargets);
  ASSERT_TRUE(dlg.AddFolder(folder.Root()));
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  const QList<QWidget*> controls = {dlg.List(), dlg.findChild<QPushButton*>("1"), dlg.findChild<QPushButton*>("2"),
                                    dlg.findChild<QPushButton*>(QString::number(IDC_ADD_FOLDER))};
  for (int i = 0; i < controls.size(); ++i) {
    ASSERT_NE(controls[i], nullptr);
    EXPECT_TRUE(dlg.rect().contains(controls[i]->geometry())) << i;
    for (int j = i + 1; j < controls.size(); ++j) EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()));
  }
  // The Type column keeps its width; the Target column takes the rest.
  EXPECT_EQ(dlg.List()->header()->sectionSize(1), 100);
  SaveScreenshot(dlg, "target_selection");
}

TEST(TargetSummaryTest, CountsAndNamesTheRootsAndMarksACut) {
  EXPECT_EQ(FormatTargetSummary({"/a/", "/mnt/e/"}, 32767), "2 Target(s):   /a/ /mnt/e/");
  EXPECT_EQ(FormatTargetSummary({"/"}, 32767), "1 Target(s):   /");
  // "2 Target(s):   /a/ /mnt/e/" is 26 characters: 27 fit exactly.
  EXPECT_EQ(FormatTargetSummary({"/a/", "/mnt/e/"}, 27), "2 Target(s):   /a/ /mnt/e/");
  const std::string szCut = FormatTargetSummary({"/a/", "/mnt/e/"}, 26);
  EXPECT_EQ(szCut, "2 Target(s):   /a/ /m ...");
  EXPECT_EQ(szCut.size(), 25u);
}

TEST_F(GuiTest, LongSummaryIsCutToTheLocationLimit) {
  CTestConsole dlg;
  auto* pLocation = dlg.Control<QLineEdit>(IDC_LOCATION);
  pLocation->setMaxLength(22);
  dlg.ApplyTargetChoice({"/first/", "/second/"});
  EXPECT_EQ(dlg.LocationText(), "2 Target(s):   /f ...");
}

}  // namespace
}  // namespace stratavon::test
