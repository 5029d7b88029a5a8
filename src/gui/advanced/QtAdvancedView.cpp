#include "gui/advanced/QtAdvancedView.h"

#include <QCoreApplication>
#include <QEvent>

#include "gui/simple/GuiThread.h"

namespace stratavon {

CQtAdvancedView::CQtAdvancedView(IAdvancedView* pTarget, QObject* pParent) : QObject(pParent), m_pTarget(pTarget) {}

template <class Fn>
void CQtAdvancedView::Forward(Fn fn) {
  if (m_pTarget.load(std::memory_order_acquire) == nullptr) return;
  RunOnGuiThread(this, [this, fn] {
    // Read again on the GUI thread: the view may have been detached while
    // the call was on its way.
    if (IAdvancedView* pTarget = m_pTarget.load(std::memory_order_acquire)) fn(*pTarget);
  });
}

void CQtAdvancedView::Detach() { m_pTarget.store(nullptr, std::memory_order_release); }

void CQtAdvancedView::RunPendingCalls() { QCoreApplication::sendPostedEvents(this, QEvent::MetaCall); }

void CQtAdvancedView::SetTargetText(int nRow, int nColumn, const std::string& szText) {
  Forward([nRow, nColumn, szText](IAdvancedView& view) { view.SetTargetText(nRow, nColumn, szText); });
}

void CQtAdvancedView::SetStatusText(const std::string& szText) {
  Forward([szText](IAdvancedView& view) { view.SetStatusText(szText); });
}

void CQtAdvancedView::SetExtendedText(const std::string& szText) {
  Forward([szText](IAdvancedView& view) { view.SetExtendedText(szText); });
}

void CQtAdvancedView::SetPerformanceText(const std::string& szText) {
  Forward([szText](IAdvancedView& view) { view.SetPerformanceText(szText); });
}

void CQtAdvancedView::SetIopsText(const std::string& szText) {
  Forward([szText](IAdvancedView& view) { view.SetIopsText(szText); });
}

void CQtAdvancedView::SetElapsedText(const std::string& szText) {
  Forward([szText](IAdvancedView& view) { view.SetElapsedText(szText); });
}

void CQtAdvancedView::EnableStart(bool bEnable) {
  Forward([bEnable](IAdvancedView& view) { view.EnableStart(bEnable); });
}

void CQtAdvancedView::EnableStop(bool bEnable) {
  Forward([bEnable](IAdvancedView& view) { view.EnableStop(bEnable); });
}

void CQtAdvancedView::StartTimers(bool bStats) {
  Forward([bStats](IAdvancedView& view) { view.StartTimers(bStats); });
}

void CQtAdvancedView::KillTimers() {
  Forward([](IAdvancedView& view) { view.KillTimers(); });
}

void CQtAdvancedView::Repaint() {
  Forward([](IAdvancedView& view) { view.Repaint(); });
}

void CQtAdvancedView::BeginRun() {
  Forward([](IAdvancedView& view) { view.BeginRun(); });
}

}  // namespace stratavon
