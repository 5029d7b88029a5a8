#include "console/advanced/gui/QtAdvancedView.h"

#include <QThread>

namespace stratavon {

CQtAdvancedView::CQtAdvancedView(IAdvancedView* pTarget, QObject* pParent) : QObject(pParent), m_pTarget(pTarget) {}

template <class Fn>
void CQtAdvancedView::RunOnGuiThread(Fn fn) {
  if (m_pTarget == nullptr) return;
  if (QThread::currentThread() == thread()) {
    fn();
    return;
  }
  // Blocking: the worker's word must be shown before the worker goes on,
  // as a synchronous window message would be.
  QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
}

void CQtAdvancedView::SetTargetText(int nRow, int nColumn, const std::string& szText) {
  RunOnGuiThread([this, nRow, nColumn, szText] { m_pTarget->SetTargetText(nRow, nColumn, szText); });
}

void CQtAdvancedView::SetStatusText(const std::string& szText) {
  RunOnGuiThread([this, szText] { m_pTarget->SetStatusText(szText); });
}

void CQtAdvancedView::SetExtendedText(const std::string& szText) {
  RunOnGuiThread([this, szText] { m_pTarget->SetExtendedText(szText); });
}

void CQtAdvancedView::SetPerformanceText(const std::string& szText) {
  RunOnGuiThread([this, szText] { m_pTarget->SetPerformanceText(szText); });
}

void CQtAdvancedView::SetIopsText(const std::string& szText) {
  RunOnGuiThread([this, szText] { m_pTarget->SetIopsText(szText); });
}

void CQtAdvancedView::SetElapsedText(const std::string& szText) {
  RunOnGuiThread([this, szText] { m_pTarget->SetElapsedText(szText); });
}

void CQtAdvancedView::EnableStart(bool bEnable) {
  RunOnGuiThread([this, bEnable] { m_pTarget->EnableStart(bEnable); });
}

void CQtAdvancedView::EnableStop(bool bEnable) {
  RunOnGuiThread([this, bEnable] { m_pTarget->EnableStop(bEnable); });
}

void CQtAdvancedView::StartTimers(bool bStats) {
  RunOnGuiThread([this, bStats] { m_pTarget->StartTimers(bStats); });
}

void CQtAdvancedView::KillTimers() {
  RunOnGuiThread([this] { m_pTarget->KillTimers(); });
}

void CQtAdvancedView::Repaint() {
  RunOnGuiThread([this] { m_pTarget->Repaint(); });
}

}  // namespace stratavon
