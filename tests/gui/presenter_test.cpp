#include <QAbstractButton>
#include <QTimer>
#include <atomic>
#include <thread>

#include "console/simple/gui/QtMessagePresenter.h"
#include "console/simple/gui/QtWorkerConsole.h"
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

// Records which thread each call ran on.
class CRecordingConsole : public IWorkerConsole {
 public:
  void SetTargetText(int nRow, int nColumn, const std::string& szText) override {
    Note("cell " + std::to_string(nRow) + "," + std::to_string(nColumn) + " " + szText);
  }
  void SetStatusText(const std::string& szText) override { Note("status " + szText); }
  void SetExtendedText(const std::string& szText) override { Note("extended " + szText); }

  std::vector<std::string> m_calls;
  std::vector<std::thread::id> m_threads;

 private:
  void Note(const std::string& szCall) {
    m_calls.push_back(szCall);
    m_threads.push_back(std::this_thread::get_id());
  }
};

TEST(QtWorkerConsoleTest, WorkerCallsRunOnTheGuiThreadInOrder) {
  CRecordingConsole target;
  CQtWorkerConsole console(&target);
  std::atomic<int> nDone{0};
  std::thread worker([&] {
    console.SetTargetText(1, kColumnStatus, "RUN");
    // The call has been carried out when it returns.
    if (target.m_calls.size() == 1) ++nDone;
    console.SetStatusText("FAIL");
    console.SetExtendedText("DATA COMPARISON");
    ++nDone;
  });
  ASSERT_TRUE(ProcessEventsUntil([&] { return nDone.load() == 2; }));
  worker.join();
  console.SetStatusText("STOP");  // from the GUI thread: directly
  EXPECT_EQ(target.m_calls,
            (std::vector<std::string>{"cell 1,1 RUN", "status FAIL", "extended DATA COMPARISON", "status STOP"}));
  for (const std::thread::id& id : target.m_threads) EXPECT_EQ(id, std::this_thread::get_id());
}

}  // namespace
}  // namespace stratavon::test
