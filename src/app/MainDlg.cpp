#include "app/MainDlg.h"

#include "app/AboutDlg.h"
#include "app/ConsoleSettings.h"
#include "app/ManualDlg.h"
#include "gui/advanced/CorvaneAdvancedDlg.h"

namespace stratavon {

void CCorvaneMainDlg::RunAboutBox() {
  CAboutDlg dlgAbout(this);
  dlgAbout.exec();
}

void CCorvaneMainDlg::OnHelp() {
  // The manual stays open beside the console, which keeps working; a
  // second Help brings the same window to the front.
  CManualDlg* pManual = findChild<CManualDlg*>();
  if (pManual == nullptr) pManual = new CManualDlg(this);
  pManual->show();
  pManual->raise();
  pManual->activateWindow();
}

void CCorvaneMainDlg::OpenAdvancedConsole(const std::string& szPatternText) {
  CCorvaneAdvancedDlg dlg(nullptr, this, szPatternText);
  RestoreAdvancedConsole(dlg);
  dlg.exec();
  // Its loop ends through the close handling, which stops the run; should
  // it have ended any other way, the run is closed down here, while the
  // console is whole.
  if (dlg.IsRunning()) dlg.OnClose();
  SaveAdvancedConsole(dlg);
}

}  // namespace stratavon
