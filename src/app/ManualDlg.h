#pragma once

#include <QDialog>
#include <string>

class QTextBrowser;

namespace stratavon {

// The manual page stratavon(1) in a window of its own, as the program
// carries it (the installed copy may be older or missing).
class CManualDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CManualDlg(QWidget* pParent = nullptr);

  QString PlainText() const;

 private:
  QTextBrowser* m_pBrowser = nullptr;
};

// HTML of a manual page written with the man macros the program's page
// uses (TH, SH, SS, PP/LP/P, TP, IP, RS/RE, nf/fi, EX/EE, B, I, BR, IR, RB,
// RI, BI, IB and the font and character escapes). Requests it does not know
// are dropped, never shown as text.
std::string ManPageToHtml(const std::string& szRoff);

}  // namespace stratavon
