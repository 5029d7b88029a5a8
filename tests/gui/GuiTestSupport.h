#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QAbstractButton>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "run/TargetRecords.h"
#include "gui/simple/CorvaneDlg.h"
#include "gui/simple/TargetSelectionDlg.h"
#include "engine/Pattern.h"
#include "workers/SlotWorker.h"
#include "platform/MessageBox.h"
#include "support/TableView.h"
#include "support/TempDir.h"

namespace stratavon::test {

using CRecordingPresenter = CMessageCatcher;
using ShownMessage = CMessageCatcher::Shown;

// Writes a PNG of the widget under $STRATAVON_SCREENSHOTS, when it is set.
inline std::string SaveScreenshot(QWidget& widget, const std::string& szName) {
  const char* pszDir = std::getenv("STRATAVON_SCREENSHOTS");
  if (pszDir == nullptr || *pszDir == '\0') return {};
  std::error_code ec;
  std::filesystem::create_directories(pszDir, ec);
  const std::string szPath = std::string(pszDir) + "/" + szName + ".png";
  widget.grab().save(QString::fromStdString(szPath));
  return szPath;
}

// The message box in front, if one is shown.
inline QMessageBox* VisibleMessageBox() {
  for (QWidget* pWidget : QApplication::topLevelWidgets()) {
    if (auto* pBox = qobject_cast<QMessageBox*>(pWidget); pBox != nullptr && pBox->isVisible()) return pBox;
  }
  return nullptr;
}

// Answers every message box that comes up, while it lives, with the button
// whose text contains szButton (mnemonic '&'s left out), and keeps their
// texts (the text, a line break, the informative text).
class CBoxAnswerer {
 public:
  explicit CBoxAnswerer(const QString& szButton) {
    QObject::connect(&m_timer, &QTimer::timeout, [this, szButton] {
      QMessageBox* pBox = VisibleMessageBox();
      if (pBox == nullptr) return;
      for (QAbstractButton* pButton : pBox->buttons()) {
        if (!pButton->text().remove(QLatin1Char('&')).contains(szButton)) continue;
        m_texts.push_back((pBox->text() + '\n' + pBox->informativeText()).toStdString());
        pButton->click();
        return;
      }
    });
    m_timer.start(10);
  }
  const std::vector<std::string>& Texts() const { return m_texts; }

 private:
  QTimer m_timer;
  std::vector<std::string> m_texts;
};

// Serves GUI events until the predicate holds (false after a generous bound).
template <class Pred>
bool ProcessEventsUntil(Pred pred, std::chrono::seconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// A stand-in worker that starts cleanly and runs until its stop byte is
// set; it records the order in which the console created workers.
class CParkedWorker : public CSlotWorker {
 public:
  struct Created {
    CSlotWorker* pWorker;
    uint32_t nKind;
  };
  static std::vector<Created> TakeCreated() {
    std::lock_guard lock(Mutex());
    std::vector<Created> created;
    created.swap(List());
    return created;
  }
  template <uint32_t Kind>
  static CSlotWorker* Create() {
    auto* pWorker = new CParkedWorker();
    std::lock_guard lock(Mutex());
    List().push_back({pWorker, Kind});
    return pWorker;
  }

 protected:
  bool InitInstance() override { return true; }
  void OnThreadMessage(const ThreadMessage& msg) override {
    if (msg.message != WM_START_IO) return;
    while (!StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EndThread(0);
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<Created>& List() {
    static std::vector<Created> list;
    return list;
  }
};

// A worker whose start-up fails with a message box, as a simple worker's
// does when its target is full.
class CBoxWorker : public CSlotWorker {
 public:
  static CSlotWorker* Create() { return new CBoxWorker(); }

 protected:
  bool InitInstance() override {
    ShowMessageBox("NOT ENOUGH DISK SPACE", "Error", MessageIcon::kError);
    EndThread(1);
    return false;
  }
  void OnThreadMessage(const ThreadMessage&) override {}
};

// The console with its hooks observable: the advanced console and About
// box it would open, the target selection it would run, and optionally
// stand-in worker classes.
class CTestConsole : public CCorvaneDlg {
 public:
  int m_nAdvancedOpened = 0;
  std::string m_szAdvancedPattern;
  int m_nAboutShown = 0;
  int m_nSelectionsRun = 0;
  std::function<int(CTargetSelectionDlg&)> m_selection;
  WorkerFactory m_pfnRead = nullptr;
  WorkerFactory m_pfnWrite = nullptr;

  QLineEdit* Pattern() const { return Control<QLineEdit>(IDC_PATTERN); }
  template <class T>
  T* Control(int nId) const {
    return findChild<T*>(QString::number(nId));
  }

 protected:
  void OpenAdvancedConsole(const std::string& szPatternText) override {
    ++m_nAdvancedOpened;
    m_szAdvancedPattern = szPatternText;
  }
  void RunAboutBox() override { ++m_nAboutShown; }
  int ExecTargetSelection(CTargetSelectionDlg& dlg) override {
    ++m_nSelectionsRun;
    return m_selection ? m_selection(dlg) : QDialog::Rejected;
  }
  WorkerFactory SimpleWorkerFactory(uint32_t nKind) const override {
    if (nKind == kWorkerSimpleRead && m_pfnRead != nullptr) return m_pfnRead;
    if (nKind == kWorkerSimpleWrite && m_pfnWrite != nullptr) return m_pfnWrite;
    return CCorvaneDlg::SimpleWorkerFactory(nKind);
  }
};

// Every dialog test starts from the process's start-up state: a private
// state directory, the typed pattern AA, no records block.
class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_nPatternKind = kPatternByte;
    g_byPatternByte = 0xAA;
    ReleaseTargetRecords();
  }
  void TearDown() override {
    ReleaseTargetRecords();
    g_nPatternKind = kPatternByte;
    g_byPatternByte = 0xAA;
    SetIoTimeout(m_ioTimeout);
  }

  const std::chrono::milliseconds m_ioTimeout = IoTimeout();

  CStateHome m_home;
  CRecordingPresenter m_presenter;
};

}  // namespace stratavon::test
