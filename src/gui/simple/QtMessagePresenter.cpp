#include "gui/simple/QtMessagePresenter.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "gui/simple/ConsoleTexts.h"

namespace stratavon {
namespace {

QMessageBox::Icon BoxIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kError:
      return QMessageBox::Critical;
    case MessageIcon::kWarning:
      return QMessageBox::Warning;
    case MessageIcon::kInformation:
      return QMessageBox::Information;
    case MessageIcon::kNone:
      break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

CQtMessagePresenter::CQtMessagePresenter(QObject* pParent) : QObject(pParent) {}

CQtMessagePresenter::~CQtMessagePresenter() = default;

void CQtMessagePresenter::Present(const std::string& szText, const std::string& szCaption, MessageIcon icon) {
  const QString szQtText = QString::fromStdString(szText);
  const QString szQtCaption = QString::fromStdString(szCaption);
  if (QThread::currentThread() == thread()) {
    ShowBox(szQtText, szQtCaption, icon);
    return;
  }
  // (a call event that is discarded unprocessed, for example when the
  // application ends first, still releases the waiting caller)
  QMetaObject::invokeMethod(
      this, [this, szQtText, szQtCaption, icon] { ShowBox(szQtText, szQtCaption, icon); },
      Qt::BlockingQueuedConnection);
}

void CQtMessagePresenter::ShowBox(const QString& szText, const QString& szCaption, MessageIcon icon) {
  // Owned by the window in front, so the box keeps the console disabled
  // while it is up, as a box owned by the console's window would.
  QWidget* pOwner = QApplication::activeModalWidget();
  if (pOwner == nullptr) pOwner = QApplication::activeWindow();
  QMessageBox box(BoxIcon(icon), szCaption, szText, QMessageBox::Ok, pOwner);
  box.setWindowModality(pOwner != nullptr ? Qt::WindowModal : Qt::ApplicationModal);
  box.exec();
}

std::string ApplicationCaption() {
  const QString szName = QApplication::applicationDisplayName();
  return szName.isEmpty() ? std::string(kApplicationName) : szName.toStdString();
}

}  // namespace stratavon
