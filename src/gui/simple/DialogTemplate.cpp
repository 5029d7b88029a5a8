#include "gui/simple/DialogTemplate.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPalette>
#include <QMenuBar>
#include <QVBoxLayout>
#include <algorithm>

namespace stratavon {

void TagControl(QObject* pObject, int nId) {
  pObject->setObjectName(QString::number(nId));
  pObject->setProperty("dialogId", nId);
}

void ShowReadOnly(QLineEdit* pEdit, bool bReadOnly) {
  pEdit->setReadOnly(bReadOnly);
  QPalette palette = pEdit->palette();
  const QPalette standard = QApplication::palette(pEdit);
  palette.setBrush(QPalette::Base, bReadOnly ? standard.window() : standard.base());
  pEdit->setPalette(palette);
}

void GrowToHint(QWidget* pWidget) {
  pWidget->resize(std::max(pWidget->width(), pWidget->minimumSizeHint().width()),
                  std::max(pWidget->height(), pWidget->sizeHint().height()));
}

CDialogTemplate::CDialogTemplate(QDialog* pDialog, const char* szTitle, int cx, int cy) : m_du(pDialog->font()) {
  pDialog->setWindowTitle(QString::fromLatin1(szTitle));
  pDialog->setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint);

  auto* pLayout = new QVBoxLayout(pDialog);
  pLayout->setContentsMargins(0, 0, 0, 0);
  pLayout->setSpacing(0);
  pLayout->setSizeConstraint(QLayout::SetFixedSize);
  m_pMenuBar = new QMenuBar(pDialog);
  pLayout->setMenuBar(m_pMenuBar);

  m_pClient = new QWidget(pDialog);
  m_pClient->setFixedSize(m_du.Size(cx, cy));
  pLayout->addWidget(m_pClient);
}

void CDialogTemplate::AllowGrowth(QDialog* pDialog) const {
  pDialog->setWindowFlag(Qt::WindowMaximizeButtonHint, true);
  pDialog->layout()->setSizeConstraint(QLayout::SetMinimumSize);
  m_pClient->setMinimumSize(m_pClient->size());
  m_pClient->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
  m_pClient->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  pDialog->setSizeGripEnabled(true);
}

void CDialogTemplate::Place(QWidget* pWidget, int nId, int x, int y, int cx, int cy) const {
  if (nId != 0) TagControl(pWidget, nId);
  pWidget->setGeometry(m_du.Rect(x, y, cx, cy));
}

}  // namespace stratavon
