#include "app/ClassFactory.h"

#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <vector>

#include "app/AutoProxy.h"
#include "app/AutomationRegistry.h"

namespace stratavon {

CClassFactory::CClassFactory(CCorvaneApp& app, const QDBusConnection& bus)
    : m_app(app), m_bus(bus), m_pWatcher(new QDBusServiceWatcher(this)) {
  m_pWatcher->setConnection(m_bus);
  m_pWatcher->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
  connect(m_pWatcher, &QDBusServiceWatcher::serviceUnregistered, this, &CClassFactory::OnClientGone);
}

CClassFactory::~CClassFactory() {
  // The objects still held go with the factory, each unlocking the
  // application as a release would.
  std::map<QString, CCorvaneDlgAutoProxy*> instances;
  instances.swap(m_instances);
  for (auto& [szPath, pProxy] : instances) {
    if (m_bRegistered) m_bus.unregisterObject(szPath);
    delete pProxy;
  }
  if (m_bRegistered) {
    m_bus.unregisterService(QString::fromLatin1(kAutomationProgId));
    m_bus.unregisterObject(QString::fromLatin1(kClassFactoryPath));
  }
}

bool CClassFactory::RegisterAll() {
  if (!m_bus.isConnected()) return false;
  // The object first: a call that started us must find it once the name is ours.
  if (!m_bus.registerObject(QString::fromLatin1(kClassFactoryPath), this, QDBusConnection::ExportScriptableSlots)) {
    return false;
  }
  if (!m_bus.registerService(QString::fromLatin1(kAutomationProgId))) {
    m_bus.unregisterObject(QString::fromLatin1(kClassFactoryPath));
    return false;
  }
  m_bRegistered = true;
  return true;
}

QDBusObjectPath CClassFactory::CreateInstance() {
  const QString szClient = calledFromDBus() ? message().service() : QString();
  const QString szPath = QString::fromLatin1(kInstancePathPrefix) + QString::number(m_qwNextInstance++);
  auto* pProxy = new CCorvaneDlgAutoProxy(m_app, szClient);
  pProxy->setParent(this);
  if (!m_bus.registerObject(szPath, pProxy, QDBusConnection::ExportAdaptors)) {
    delete pProxy;
    if (calledFromDBus()) sendErrorReply(QDBusError::Failed, QStringLiteral("The instance could not be exported."));
    return {};
  }
  m_instances.emplace(szPath, pProxy);
  connect(pProxy, &CCorvaneDlgAutoProxy::ReleaseRequested, this, [this, szPath] { ReleaseInstance(szPath); },
          Qt::QueuedConnection);
  if (!szClient.isEmpty()) {
    m_pWatcher->addWatchedService(szClient);
    // A client that left before the watch began would hold the object forever.
    if (!m_bus.interface()->isServiceRegistered(szClient)) OnClientGone(szClient);
  }
  return QDBusObjectPath(szPath);
}

void CClassFactory::ReleaseInstance(const QString& szPath) {
  const auto it = m_instances.find(szPath);
  if (it == m_instances.end()) return;
  CCorvaneDlgAutoProxy* pProxy = it->second;
  m_instances.erase(it);
  m_bus.unregisterObject(szPath);
  const QString szClient = pProxy->Client();
  pProxy->deleteLater();
  bool bClientHoldsMore = false;
  for (const auto& entry : m_instances) bClientHoldsMore |= entry.second->Client() == szClient;
  if (!bClientHoldsMore && !szClient.isEmpty()) m_pWatcher->removeWatchedService(szClient);
}

void CClassFactory::OnClientGone(const QString& szClient) {
  std::vector<QString> paths;
  for (const auto& [szPath, pProxy] : m_instances) {
    if (pProxy->Client() == szClient) paths.push_back(szPath);
  }
  for (const QString& szPath : paths) ReleaseInstance(szPath);
}

}  // namespace stratavon
