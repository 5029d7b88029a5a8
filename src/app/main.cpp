#include <QApplication>
#include <string>
#include <vector>

#include "app/CorvaneApp.h"
#include "console/simple/gui/ConsoleTexts.h"
#include "console/simple/gui/QtMessagePresenter.h"
#include "platform/MessageBox.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(stratavon::kApplicationName));

  // The switches as given: Qt has taken its own options out of argv.
  std::vector<std::string> args;
  for (const QString& szArg : QCoreApplication::arguments()) args.push_back(szArg.toStdString());

  stratavon::CQtMessagePresenter presenter;
  stratavon::SetMessagePresenter(&presenter);
  int nExit = 0;
  {
    stratavon::CCorvaneApp theApp;
    theApp.InstallSignalHandlers();
    nExit = theApp.InitInstance(args);
  }
  stratavon::SetMessagePresenter(nullptr);
  return nExit;
}
