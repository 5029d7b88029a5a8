#include "console/simple/gui/QtWorkerConsole.h"

#include <QThread>

namespace stratavon {

CQtWorkerConsole::CQtWorkerConsole(IWorkerConsole* pTarget, QObject* pParent) : QObject(pParent), m_pTarget(pTarget) {}

template <class Fn>
void CQtWorkerConsole::RunOnGuiThread(Fn fn) {
  if (m_pTarget == nullptr) return;
  if (QThread::currentThread() == thread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
}

void CQtWorkerConsole::SetTargetText(int nRow, int nColumn, const std::string& szText) {
  RunOnGuiThread([this, nRow, nColumn, szText] { m_pTarget->SetTargetText(nRow, nColumn, szText); });
}

void CQtWorkerConsole::SetStatusText(const std::string& szText) {
  RunOnGuiThread([this, szText] { m_pTarget->SetStatusText(szText); });
}

void CQtWorkerConsole::SetExtendedText(const std::string& szText) {
  RunOnGuiThread([this, szText] { m_pTarget->SetExtendedText(szText); });
}

}  // namespace stratavon
