#include <QAbstractButton>
#include <QTimer>
#include <atomic>
#include <thread>

#include "gui/simple/QtMessagePresenter.h"
#include "GuiTestSupport.h"

namespace stratavon::test {
namespace {

TEST(QtMessagePresenterTest, ShowsTheBoxOnTheGuiThreadAndBlocksOnlyTheCaller) {
  CQtMessagePresenter presenter;
  std::atomic<bool> bReturned{false};
  std::thread worker([&] {
    presenter.Present("File Creation Error!", "Error", MessageIcon::kError);
    bReturned = true;
  });

  // The box runs its own event loop on the GUI thread; the test answers
  // from inside it, noting what it saw first.
  std::string szSeen;
  bool bReturnedBeforeAnswer = true;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    QMessageBox* pBox = VisibleMessageBox();
    if (pBox == nullptr || !szSeen.empty()) return;
    szSeen = pBox->text().toStdString() + "|" + pBox->windowTitle().toStdString() + "|" +
             std::to_string(pBox->icon() == QMessageBox::Critical);
    bReturnedBeforeAnswer = bReturned;
    pBox->button(QMessageBox::Ok)->click();
  });
  answer.start(5);
  ASSERT_TRUE(ProcessEventsUntil([&] { return bReturned.load(); }));
  worker.join();
  EXPECT_EQ(szSeen, "File Creation Error!|Error|1");
  EXPECT_FALSE(bReturnedBeforeAnswer);  // the worker waited for its answer
  EXPECT_EQ(VisibleMessageBox(), nullptr);
}

TEST(QtMessagePresenterTest, FromTheGuiThreadTheBoxIsModalAtOnce) {
  CQtMessagePresenter presenter;
  std::string szSeen;
  QTimer::singleShot(0, [&] {
    if (QMessageBox* pBox = VisibleMessageBox()) {
      szSeen = pBox->text().toStdString() + "|" + pBox->windowTitle().toStdString();
      pBox->button(QMessageBox::Ok)->click();
    }
  });
  presenter.Present("INITIALIZATION ERROR", ApplicationCaption(), MessageIcon::kError);
  EXPECT_EQ(szSeen, "INITIALIZATION ERROR|Stratavon");
}

}  // namespace
}  // namespace stratavon::test
