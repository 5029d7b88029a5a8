#include "app/AutoProxy.h"

#include <QDBusConnection>

#include "app/CorvaneApp.h"
#include "gui/simple/CorvaneDlg.h"

namespace stratavon {

CCorvaneDlgAutoProxy::CCorvaneDlgAutoProxy(CCorvaneApp& app, QString szClient)
    : m_app(app), m_szClient(std::move(szClient)) {
  new CUnknownAdaptor(this);
  new CCorvaneAdaptor(this);
  m_app.LockApp();
  m_app.AttachProxy(this);
  if (CCorvaneDlg* pDialog = m_app.MainDialog(); pDialog != nullptr) {
    m_pDialog = pDialog;
    pDialog->SetAutomationProxy(this);
  }
}

CCorvaneDlgAutoProxy::~CCorvaneDlgAutoProxy() {
  // The console keeps hiding on close while any other client still holds
  // an object: it is handed to one of them.
  m_app.DetachProxy(this);
  if (m_pDialog && m_pDialog->AutomationProxy() == this) m_pDialog->SetAutomationProxy(m_app.AnyProxy());
  m_app.UnlockApp();
}

CCorvaneDlg* CCorvaneDlgAutoProxy::Dialog() const { return m_pDialog.data(); }

CUnknownAdaptor::CUnknownAdaptor(CCorvaneDlgAutoProxy* pProxy) : QDBusAbstractAdaptor(pProxy), m_pProxy(pProxy) {}

void CUnknownAdaptor::Release(const QDBusMessage& message) {
  if (message.service() != m_pProxy->Client()) {
    message.setDelayedReply(true);
    m_pProxy->m_app.Bus().send(
        message.createErrorReply(QDBusError::AccessDenied, QStringLiteral("Only the client that created it may release it.")));
    return;
  }
  emit m_pProxy->ReleaseRequested();
}

}  // namespace stratavon
