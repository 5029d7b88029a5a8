#include "console/advanced/gui/QtAdvancedView.h"

#include "console/simple/gui/GuiThread.h"

namespace stratavon {

CQtAdvancedView::CQtAdvancedView(IAdvancedView* pTarget, QObject* pParent) : QObject(pParent), m_pTarget(pTarget) {}

template <class Fn>
void CQtAdvancedView::Forward(Fn fn) {
  if (m_pTarget != nullptr) RunOnGuiThread(this, fn);
}

void CQtAdvancedView::SetTargetText(int nRow, int nColumn, const std::string& szText) {
  Forward([this, nRow, nColumn, szText] { m_pTarget->SetTargetText(nRow, nColumn, szText); });
}

void CQtAdvancedView::SetStatusText(const std::string& szText) {
  Forward([this, szText] { m_pTarget->SetStatusText(szText); });
}

void CQtAdvancedView::SetExtendedText(const std::string& szText) {
  Forward([this, szText] { m_pTarget->SetExtendedText(szText); });
}

void CQtAdvancedView::SetPerformanceText(const std::string& szText) {
  Forward([this, szText] { m_pTarget->SetPerformanceText(szText); });
}

void CQtAdvancedView::SetIopsText(const std::string& szText) {
  Forward([this, szText] { m_pTarget->SetIopsText(szText); });
}

void CQtAdvancedView::SetElapsedText(const std::string& szText) {
  Forward([this, szText] { m_pTarget->SetElapsedText(szText); });
}

void CQtAdvancedView::EnableStart(bool bEnable) {
  Forward([this, bEnable] { m_pTarget->EnableStart(bEnable); });
}

void CQtAdvancedView::EnableStop(bool bEnable) {
  Forward([this, bEnable] { m_pTarget->EnableStop(bEnable); });
}

void CQtAdvancedView::StartTimers(bool bStats) {
  Forward([this, bStats] { m_pTarget->StartTimers(bStats); });
}

void CQtAdvancedView::KillTimers() {
  Forward([this] { m_pTarget->KillTimers(); });
}

void CQtAdvancedView::Repaint() {
  Forward([this] { m_pTarget->Repaint(); });
}

void CQtAdvancedView::BeginRun() {
  Forward([this] { m_pTarget->BeginRun(); });
}

}  // namespace stratavon
