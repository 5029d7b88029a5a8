#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QObject>
#include <QPointer>
#include <QString>

namespace stratavon {

class CCorvaneApp;
class CCorvaneDlg;

// The object an automation client holds: while it lives the application
// stays locked, and the console only hides when it is closed.
class CCorvaneDlgAutoProxy : public QObject {
  Q_OBJECT
 public:
  // szClient: the bus name of the client that created it (empty when made
  // in-process).
  CCorvaneDlgAutoProxy(CCorvaneApp& app, QString szClient = {});
  ~CCorvaneDlgAutoProxy() override;
  CCorvaneDlgAutoProxy(const CCorvaneDlgAutoProxy&) = delete;
  CCorvaneDlgAutoProxy& operator=(const CCorvaneDlgAutoProxy&) = delete;

  const QString& Client() const { return m_szClient; }
  CCorvaneDlg* Dialog() const;

 signals:
  // A Release call came from the client that created the object.
  void ReleaseRequested();

 private:
  friend class CUnknownAdaptor;
  CCorvaneApp& m_app;
  QString m_szClient;
  // Cleared by itself when the console goes first.
  QPointer<CCorvaneDlg> m_pDialog;
};

// Corvane.IUnknown: the one call a client makes besides creating the object.
class CUnknownAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "Corvane.IUnknown")
 public:
  explicit CUnknownAdaptor(CCorvaneDlgAutoProxy* pProxy);

 public slots:
  // Only the creator may release the object; anyone else is refused.
  void Release(const QDBusMessage& message);

 private:
  CCorvaneDlgAutoProxy* m_pProxy;
};

// Corvane.ICorvane: no methods, no properties.
class CCorvaneAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "Corvane.ICorvane")
  // Spelled out: the bus would leave an interface without members out of
  // the object's description, and clients look for it there.
  Q_CLASSINFO("D-Bus Introspection", "  <interface name=\"Corvane.ICorvane\">\n  </interface>\n")
 public:
  explicit CCorvaneAdaptor(CCorvaneDlgAutoProxy* pProxy) : QDBusAbstractAdaptor(pProxy) {}
};

}  // namespace stratavon
