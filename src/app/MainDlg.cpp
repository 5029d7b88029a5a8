#include "app/MainDlg.h"

#include "app/AboutDlg.h"
#include "app/ManualDlg.h"

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

}  // namespace stratavon
