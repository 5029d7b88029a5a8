#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/CommandLine.h"
#include "app/CorvaneApp.h"
#include "gui/simple/ConsoleTexts.h"
#include "gui/simple/QtMessagePresenter.h"
#include "platform/MessageBox.h"

namespace {

bool IsSet(const char* pszName) {
  const char* pszValue = std::getenv(pszName);
  return pszValue != nullptr && *pszValue != '\0';
}

// Whether Qt has a window system to talk to: without one QApplication
// aborts the process, which a package script or an ssh session must never see.
bool HasDisplay(int argc, char* argv[]) {
  if (IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY")) return true;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "-platform") return true;
  }
  return false;
}

std::vector<std::string> Arguments() {
  // The switches as given: Qt has taken its own options out of argv.
  std::vector<std::string> args;
  for (const QString& szArg : QCoreApplication::arguments()) args.push_back(szArg.toStdString());
  return args;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::vector<std::string> rawArgs(argv, argv + argc);
  const stratavon::CCommandLineInfo cmdInfo = stratavon::ParseCommandLine(rawArgs);
  const bool bAutomation = cmdInfo.m_bRunEmbedded || cmdInfo.m_bRunAutomated;
  if (!bAutomation && cmdInfo.m_nShellCommand != stratavon::CCommandLineInfo::FileNothing) {
    // Registering needs no window: it works over ssh and from package scripts.
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromLatin1(stratavon::kApplicationName));
    stratavon::CCorvaneApp theApp;
    return theApp.InitInstance(Arguments());
  }
  if (!HasDisplay(argc, argv)) {
    std::fprintf(stderr, "stratavon: no display to show the console on (DISPLAY and WAYLAND_DISPLAY are unset); "
                         "use stratavon-cli for headless runs\n");
    return 2;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(stratavon::kApplicationName));
  stratavon::CQtMessagePresenter presenter;
  stratavon::SetMessagePresenter(&presenter);
  int nExit = 0;
  {
    stratavon::CCorvaneApp theApp;
    theApp.InstallSignalHandlers();
    nExit = theApp.InitInstance(Arguments());
  }
  stratavon::SetMessagePresenter(nullptr);
  return nExit;
}
