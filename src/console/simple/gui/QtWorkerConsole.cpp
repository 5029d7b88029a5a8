#include "console/simple/gui/QtWorkerConsole.h"

#include "console/simple/gui/GuiThread.h"

namespace stratavon {

CQtWorkerConsole::CQtWorkerConsole(IWorkerConsole* pTarget, QObject* pParent) : QObject(pParent), m_pTarget(pTarget) {}

template <class Fn>
void CQtWorkerConsole::Forward(Fn fn) {
  if (m_pTarget != nullptr) RunOnGuiThread(this, fn);
}

void CQtWorkerConsole::SetTargetText(int nRow, int nColumn, const std::string& szText) {
  Forward([this, nRow, nColumn, szText] { m_pTarget->SetTargetText(nRow, nColumn, szText); });
}

void CQtWorkerConsole::SetStatusText(const std::string& szText) {
  Forward([this, szText] { m_pTarget->SetStatusText(szText); });
}

void CQtWorkerConsole::SetExtendedText(const std::string& szText) {
  Forward([this, szText] { m_pTarget->SetExtendedText(szText); });
}

}  // namespace stratavon
