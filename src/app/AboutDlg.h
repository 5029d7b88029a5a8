#pragma once

#include <QDialog>
#include <QIcon>

class QLineEdit;

namespace stratavon {

// The About box (dialog 100): the icon, the product line, the version and
// copyright lines of the program's version record.
class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  enum { IDD = 100, IDC_VERSION = 1005, IDC_COPYRIGHT = 1006, IDC_EXTRA = 1010 };

  explicit CAboutDlg(QWidget* pParent = nullptr);

  QString VersionText() const;
  QString CopyrightText() const;

 private:
  void OnInitDialog();

  QIcon m_hIcon;
  QLineEdit* m_edVersion = nullptr;
  QLineEdit* m_edCopyright = nullptr;
  QLineEdit* m_edExtra = nullptr;
};

}  // namespace stratavon
