#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>

#include <algorithm>
#include <cstdlib>

#include "GuiTestSupport.h"
#include "gui/simple/PhysicalDrivesDlg.h"
#include "run/DeviceTargets.h"
#include "support/LoopMount.h"

namespace stratavon::test {
namespace {

class PhysicalDrivesTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    if (const std::string szWhy = CLoopMount::Unavailable(); !szWhy.empty()) GTEST_SKIP() << szWhy;
  }
  static int RowOf(const CPhysicalDrivesDlg& dlg, const std::string& szNode) {
    for (int i = 0; i < dlg.List()->topLevelItemCount(); ++i) {
      if (dlg.List()->topLevelItem(i)->text(0).toStdString() == szNode) return i;
    }
    return -1;
  }

  int m_nTargets = 0;
  std::unique_ptr<std::vector<std::string>> m_pTargets;
};

// The machine's drives as listed: a mounted one greyed with the reason and
// not to be chosen, a free one chosen by OK.
TEST_F(PhysicalDrivesTest, AMountedDriveIsGreyedWithTheReasonAndAFreeOneIsChosen) {
  CLoopDevice free(16 << 20, 512);
  CLoopMount mounted(32 << 20, 512);
  ASSERT_TRUE(free.Ok()) << free.Error();
  ASSERT_TRUE(mounted.Ok()) << mounted.Error();
  CPhysicalDrivesDlg dlg(nullptr, ListDriveChoices(), &m_nTargets, &m_pTargets);
  dlg.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
  const int nFree = RowOf(dlg, free.Device());
  const int nMounted = RowOf(dlg, mounted.Device());
  ASSERT_GE(nFree, 0);
  ASSERT_GE(nMounted, 0);
  QTreeWidgetItem* pFree = dlg.List()->topLevelItem(nFree);
  QTreeWidgetItem* pMounted = dlg.List()->topLevelItem(nMounted);
  EXPECT_EQ(pFree->text(2), "16.0 MiB");
  EXPECT_TRUE(pFree->flags() & Qt::ItemIsEnabled);
  EXPECT_FALSE(pMounted->flags() & Qt::ItemIsEnabled);
  EXPECT_TRUE(pMounted->text(3).contains("is mounted at " + QString::fromStdString(mounted.Root()).chopped(1)))
      << pMounted->text(3).toStdString();
  SaveScreenshot(dlg, "physical_drives");

  pMounted->setSelected(true);
  pFree->setSelected(true);
  QTest::mouseClick(dlg.findChild<QPushButton*>("1"), Qt::LeftButton);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  ASSERT_EQ(m_nTargets, 1) << "a greyed drive is never chosen";
  EXPECT_EQ(*m_pTargets, std::vector<std::string>{free.Device()});
}

// The question before a writing run names the drive, its size and what
// libblkid finds on it, and Cancel is what Enter does.
TEST_F(PhysicalDrivesTest, TheDestroyQuestionNamesWhatIsOnTheDrive) {
  CLoopDevice device(32 << 20, 512);
  ASSERT_TRUE(device.Ok()) << device.Error();
  ASSERT_EQ(std::system(("mkfs.ext4 -q -L photos " + device.Device() + " >/dev/null 2>&1").c_str()), 0);
  std::vector<Target> targets;
  std::string szWhy;
  ASSERT_TRUE(TargetsOfRoots({device.Device()}, &targets, &szWhy)) << szWhy;
  const std::unique_ptr<QMessageBox> pBox = MakeDestroyQuestion(nullptr, targets[0]);
  const std::string szText = pBox->text().toStdString();
  EXPECT_NE(szText.find(device.Device() + " (32.0 MiB"), std::string::npos) << szText;
  EXPECT_NE(szText.find("ext4 labelled \"photos\""), std::string::npos) << szText;
  EXPECT_EQ(pBox->buttonRole(pBox->defaultButton()), QMessageBox::RejectRole);
  pBox->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(pBox.get()));
  SaveScreenshot(*pBox, "destroy_question");
}

}  // namespace
}  // namespace stratavon::test
