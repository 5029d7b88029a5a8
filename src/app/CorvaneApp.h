#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gui/simple/CorvaneDlg.h"

class QEventLoop;
class QSocketNotifier;

namespace stratavon {

class CClassFactory;
class CCorvaneDlgAutoProxy;

// The application object: refreshes the automation registration, serves
// the automation clients and runs the simple console as its main window.
class CCorvaneApp : public QObject {
  Q_OBJECT
 public:
  // bus: where the automation server lives (the session bus in the program).
  explicit CCorvaneApp(const QDBusConnection& bus = QDBusConnection::sessionBus());
  ~CCorvaneApp() override;
  CCorvaneApp(const CCorvaneApp&) = delete;
  CCorvaneApp& operator=(const CCorvaneApp&) = delete;

  // The start-up: args are the command line (args[0] the program). Returns
  // the process's exit code once the console and every client are done.
  int InitInstance(const std::vector<std::string>& args);

  // While the application is locked the process outlives its console.
  void LockApp();
  void UnlockApp();
  int LockCount() const { return m_nLocks; }

  CCorvaneDlg* MainDialog() const { return m_pMainWnd.data(); }
  void SetMainDialog(CCorvaneDlg* pDialog) { m_pMainWnd = pDialog; }

  // The proxies alive, so that the console can be handed from one to the next.
  void AttachProxy(CCorvaneDlgAutoProxy* pProxy);
  void DetachProxy(CCorvaneDlgAutoProxy* pProxy);
  CCorvaneDlgAutoProxy* AnyProxy() const { return m_proxies.empty() ? nullptr : m_proxies.back(); }

  QDBusConnection Bus() const { return m_bus; }
  const CClassFactory* Factory() const { return m_pFactory.get(); }

  // SIGTERM, SIGINT and SIGHUP work the close box from the GUI thread.
  bool InstallSignalHandlers();

  // The flag the application object has always carried; nothing reads it.
  uint32_t m_dwAppFlag = 1;

 protected:
  // The console the application runs; the program's own has the About box
  // and the manual behind its hooks.
  virtual std::unique_ptr<CCorvaneDlg> CreateConsole();
  // Where the registration is written, and what the bus starts.
  virtual std::string DataHome() const;
  virtual std::string ProgramPath() const;

 private:
  void RefreshRegistration(bool bRegister);
  void OnTerminateSignal();
  // The end of a console the operator closed while a client held it.
  void EndHiddenConsole();

  QDBusConnection m_bus;
  int m_nLocks = 0;
  QPointer<CCorvaneDlg> m_pMainWnd;
  std::vector<CCorvaneDlgAutoProxy*> m_proxies;
  std::unique_ptr<CClassFactory> m_pFactory;
  QEventLoop* m_pClientLoop = nullptr;
  bool m_bConsoleModal = false;
  QSocketNotifier* m_pSignalNotifier = nullptr;
};

}  // namespace stratavon
