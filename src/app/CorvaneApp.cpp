#include "app/CorvaneApp.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <csignal>

#include "app/AutoProxy.h"
#include "app/AutomationRegistry.h"
#include "app/ClassFactory.h"
#include "app/CommandLine.h"
#include "app/ConsoleSettings.h"
#include "app/MainDlg.h"
#include "gui/advanced/CorvaneAdvancedDlg.h"

namespace stratavon {
namespace {

// The write end is all a signal handler may touch.
int g_nSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char by = 1;
  if (g_nSignalPipe[1] >= 0) (void)!write(g_nSignalPipe[1], &by, 1);
}

constexpr int kCloseSignals[] = {SIGTERM, SIGINT, SIGHUP};

}  // namespace

CCorvaneApp::CCorvaneApp(const QDBusConnection& bus) : m_bus(bus) {}

CCorvaneApp::~CCorvaneApp() {
  // The clients' objects go first: each one unlocks the application.
  m_pFactory.reset();
  if (m_pSignalNotifier != nullptr) {
    for (int nSignal : kCloseSignals) std::signal(nSignal, SIG_DFL);
    delete m_pSignalNotifier;
    m_pSignalNotifier = nullptr;
    for (int& hEnd : g_nSignalPipe) {
      close(hEnd);
      hEnd = -1;
    }
  }
}

int CCorvaneApp::InitInstance(const std::vector<std::string>& args) {
  const CCommandLineInfo cmdInfo = ParseCommandLine(args);
  const bool bAutomation = cmdInfo.m_bRunEmbedded || cmdInfo.m_bRunAutomated;
  if (!bAutomation) {
    if (cmdInfo.m_nShellCommand == CCommandLineInfo::AppUnregister) {
      RefreshRegistration(false);
      return 0;
    }
    // Every ordinary start refreshes the registration, so a program that
    // was moved or rebuilt elsewhere is the one the bus starts.
    RefreshRegistration(true);
    if (cmdInfo.m_nShellCommand == CCommandLineInfo::AppRegister) return 0;
  }
  if (bAutomation) {
    // Without a session bus the program runs as if started by hand.
    m_pFactory = std::make_unique<CClassFactory>(*this, m_bus);
    if (!m_pFactory->RegisterAll()) m_pFactory.reset();
  }

  std::unique_ptr<CCorvaneDlg> pDlg = CreateConsole();
  m_pMainWnd = pDlg.get();
  // A console started by hand comes back as it was left; one started for
  // an automation client starts as it always does.
  if (!bAutomation) RestoreSimpleConsole(*pDlg);
  m_bConsoleModal = true;
  pDlg->exec();
  m_bConsoleModal = false;
  // Every way of ending the console stops its run first. Should its loop
  // have ended any other way, the run is stopped here, while the console
  // is whole, and not by its destructor.
  if (pDlg->IsRunning()) pDlg->OnStop();
  if (!bAutomation) SaveSimpleConsole(*pDlg);
  if (m_nLocks > 0) {
    // A client still holds an object: the process serves it until it lets go.
    QEventLoop loop;
    m_pClientLoop = &loop;
    loop.exec();
    m_pClientLoop = nullptr;
  }
  pDlg.reset();
  return 0;
}

void CCorvaneApp::RefreshRegistration(bool bRegister) {
  // Failures are not the operator's concern: without the files the bus
  // cannot start the program for a client, and nothing else changes.
  const std::string szDataHome = DataHome();
  if (bRegister) {
    (void)UpdateRegistryAll(true, szDataHome, ProgramPath());
    (void)RegisterTypeLib(szDataHome);
  } else {
    (void)UpdateRegistryAll(false, szDataHome, ProgramPath());
    (void)UnregisterTypeLib(szDataHome);
  }
}

std::unique_ptr<CCorvaneDlg> CCorvaneApp::CreateConsole() { return std::make_unique<CCorvaneMainDlg>(); }

std::string CCorvaneApp::DataHome() const { return UserDataHome(); }

std::string CCorvaneApp::ProgramPath() const { return QCoreApplication::applicationFilePath().toStdString(); }

void CCorvaneApp::LockApp() { ++m_nLocks; }

void CCorvaneApp::UnlockApp() {
  if (m_nLocks <= 0) return;
  if (--m_nLocks > 0) return;
  if (m_pClientLoop != nullptr) {
    m_pClientLoop->quit();
    return;
  }
  // The console was closed while a client held it (and only hidden); with
  // the last client gone it ends. Queued: ending it stops a run the
  // default command left on and waits for its workers, which is not done
  // inside the releasing object's destructor.
  QMetaObject::invokeMethod(this, &CCorvaneApp::EndHiddenConsole, Qt::QueuedConnection);
}

void CCorvaneApp::EndHiddenConsole() {
  // A console that is in front again, hidden behind the advanced console,
  // or held by a client that came meanwhile, stays.
  if (m_nLocks == 0 && m_bConsoleModal && m_pMainWnd && !m_pMainWnd->isVisible() &&
      m_pMainWnd->AutomationProxy() == nullptr && QApplication::activeModalWidget() == nullptr) {
    m_pMainWnd->EndConsole(QDialog::Rejected);
  }
}

void CCorvaneApp::AttachProxy(CCorvaneDlgAutoProxy* pProxy) { m_proxies.push_back(pProxy); }

void CCorvaneApp::DetachProxy(CCorvaneDlgAutoProxy* pProxy) {
  m_proxies.erase(std::remove(m_proxies.begin(), m_proxies.end(), pProxy), m_proxies.end());
}

bool CCorvaneApp::InstallSignalHandlers() {
  if (m_pSignalNotifier != nullptr) return true;
  if (pipe2(g_nSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  m_pSignalNotifier = new QSocketNotifier(g_nSignalPipe[0], QSocketNotifier::Read);
  connect(m_pSignalNotifier, &QSocketNotifier::activated, this, [this] {
    char szBytes[16];
    while (read(g_nSignalPipe[0], szBytes, sizeof szBytes) > 0) {
    }
    OnTerminateSignal();
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int nSignal : kCloseSignals) sigaction(nSignal, &action, nullptr);
  return true;
}

void CCorvaneApp::OnTerminateSignal() {
  // Dialogs in front of the console close first (the advanced console
  // stops its own run as it closes); the console's close box comes last.
  // A signal is the session's word, not the operator's: nothing is asked.
  QWidget* pTop = QApplication::activeModalWidget();
  if (pTop != nullptr && pTop != m_pMainWnd.data()) {
    if (auto* pAdvanced = qobject_cast<CCorvaneAdvancedDlg*>(pTop)) {
      pAdvanced->OnClose();
    } else {
      pTop->close();
    }
    QTimer::singleShot(100, this, &CCorvaneApp::OnTerminateSignal);
    return;
  }
  if (!m_pMainWnd || !m_pMainWnd->isVisible()) return;
  if (m_pMainWnd->IsWaitingForWorkers()) {
    // A stop is waiting for its workers; the console closes once it is over.
    QTimer::singleShot(100, this, &CCorvaneApp::OnTerminateSignal);
    return;
  }
  m_pMainWnd->OnCancel();
}

}  // namespace stratavon
