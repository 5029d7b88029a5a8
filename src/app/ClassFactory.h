#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <map>

class QDBusServiceWatcher;

namespace stratavon {

class CCorvaneApp;
class CCorvaneDlgAutoProxy;

// The class factory of "Corvane.Application" on the session bus: every
// CreateInstance makes a new CCorvaneDlgAutoProxy for its caller. The
// caller's objects go when it releases them or leaves the bus.
class CClassFactory : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "Corvane.IClassFactory")
 public:
  CClassFactory(CCorvaneApp& app, const QDBusConnection& bus);
  ~CClassFactory() override;

  // Exports the factory and takes the name; false when the bus refuses
  // either (another process serves the name already).
  bool RegisterAll();
  int InstanceCount() const { return static_cast<int>(m_instances.size()); }

 public slots:
  Q_SCRIPTABLE QDBusObjectPath CreateInstance();

 private:
  void ReleaseInstance(const QString& szPath);
  void OnClientGone(const QString& szClient);

  CCorvaneApp& m_app;
  QDBusConnection m_bus;
  QDBusServiceWatcher* m_pWatcher = nullptr;
  bool m_bRegistered = false;
  quint64 m_qwNextInstance = 1;
  std::map<QString, CCorvaneDlgAutoProxy*> m_instances;
};

}  // namespace stratavon
