#include "gui/simple/QuitGuard.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "engine/RunRecord.h"
#include "run/TargetRecords.h"

namespace stratavon {
namespace {

// Exit code of a quit that did not wait for every worker to end.
constexpr int kQuitWithoutStopExitCode = 3;
// So many workers are listed in the box; the rest are counted.
constexpr int kListedWorkers = 12;

}  // namespace

bool ConfirmStopRun(QWidget* pParent, const QString& szQuestion) {
  QMessageBox box(QMessageBox::Question, pParent != nullptr ? pParent->windowTitle() : QString(), szQuestion,
                  QMessageBox::NoButton, pParent);
  box.setInformativeText(QObject::tr("The workers finish the pass in progress, then the window closes."));
  QPushButton* pStop = box.addButton(QObject::tr("&Stop and Close"), QMessageBox::YesRole);
  QPushButton* pKeep = box.addButton(QObject::tr("&Keep Running"), QMessageBox::NoRole);
  box.setDefaultButton(pKeep);
  box.setEscapeButton(pKeep);
  box.exec();
  return box.clickedButton() == pStop;
}

void OfferQuitWhileStopping(QWidget* pParent) {
  const std::vector<CallInProgress> live = CallsInProgress();
  if (live.empty()) return;
  QString szList;
  for (size_t i = 0; i < live.size() && i < static_cast<size_t>(kListedWorkers); ++i) {
    szList += QObject::tr("slot %1: %2\n").arg(live[i].nSlot).arg(QString::fromStdString(DescribeCall(live[i])));
  }
  if (live.size() > static_cast<size_t>(kListedWorkers)) {
    szList += QObject::tr("and %1 more\n").arg(live.size() - static_cast<size_t>(kListedWorkers));
  }
  QMessageBox box(QMessageBox::Warning, pParent != nullptr ? pParent->windowTitle() : QString(),
                  QObject::tr("The stop is still waiting for %n worker(s) to end:", nullptr, static_cast<int>(live.size())),
                  QMessageBox::NoButton, pParent);
  // A call past the I/O time-out is asleep in the kernel: the process
  // cannot end until the kernel lets it go, and keeps its targets until then.
  bool bStuck = false;
  for (const CallInProgress& call : live) bStuck |= call.nCall != kCallNone && call.age >= IoTimeout();
  QString szInfo = szList + QObject::tr("\nQuitting now leaves their work files as they are, possibly incomplete.");
  if (bStuck) {
    szInfo += QObject::tr("\nA call is stuck in the kernel: the window closes, but this process (pid %1) is left "
                          "behind until the kernel lets the call go, and holds its targets until then.")
                  .arg(getpid());
  }
  box.setInformativeText(szInfo);
  QPushButton* pQuit = box.addButton(QObject::tr("&Quit Anyway"), QMessageBox::DestructiveRole);
  QPushButton* pWait = box.addButton(QObject::tr("&Wait"), QMessageBox::RejectRole);
  box.setDefaultButton(pWait);
  box.setEscapeButton(pWait);
  box.exec();
  if (box.clickedButton() != pQuit) return;
  std::fprintf(stderr, "stratavon: quit while %zu worker(s) had not ended%s\n", live.size(),
               bStuck ? ("; a process is left stuck in the kernel: pid " + std::to_string(getpid())).c_str() : "");
  std::fflush(nullptr);
  // The windows go first: a process with a thread asleep in the kernel does
  // not finish exiting, and its windows would stay on the screen with it.
  for (QWidget* pWindow : QApplication::topLevelWidgets()) pWindow->hide();
  QCoreApplication::processEvents();
  std::_Exit(kQuitWithoutStopExitCode);
}

}  // namespace stratavon
