#include "app/AboutDlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/VersionInfo.h"
#include "gui/simple/Artwork.h"
#include "gui/simple/DialogTemplate.h"

namespace stratavon {
namespace {

// Dialog 100, in dialog units.
constexpr int kDialogWidth = 262;
constexpr int kDialogHeight = 86;

}  // namespace

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent), m_hIcon(ApplicationIcon()) {
  setWindowTitle(QStringLiteral("About Stratavon for Linux"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  const CDialogUnits du(font());
  setFixedSize(du.Size(kDialogWidth, kDialogHeight));

  auto* pIcon = new QLabel(this);
  pIcon->setObjectName(QStringLiteral("icon128"));
  pIcon->setGeometry(du.Rect(11, 10, 24, 24));
  const int nIconSize = std::min(pIcon->width(), pIcon->height());
  pIcon->setPixmap(ApplicationIconPixmap(nIconSize));

  auto* pTitle = new QLabel(QString::fromStdString(ProductTitle()), this);
  pTitle->setObjectName(QStringLiteral("title"));
  pTitle->setGeometry(du.Rect(44, 10, 150, 9));
  auto* pSecond = new QLabel(tr("Storage Load and Data Integrity Tester"), this);
  pSecond->setGeometry(du.Rect(44, 22, 150, 9));

  auto makeEdit = [&](int nId, int y) {
    auto* pEdit = new QLineEdit(this);
    TagControl(pEdit, nId);
    pEdit->setGeometry(du.Rect(44, y, 180, 12));
    pEdit->setReadOnly(true);
    pEdit->setFrame(false);
    pEdit->setFocusPolicy(Qt::ClickFocus);
    return pEdit;
  };
  m_edVersion = makeEdit(IDC_VERSION, 38);
  m_edCopyright = makeEdit(IDC_COPYRIGHT, 52);
  m_edExtra = makeEdit(IDC_EXTRA, 66);

  auto* pOk = new QPushButton(tr("OK"), this);
  TagControl(pOk, 1);
  pOk->setGeometry(du.Rect(203, 8, 50, 14));
  pOk->setDefault(true);
  connect(pOk, &QPushButton::clicked, this, &QDialog::accept);

  OnInitDialog();
  pOk->setFocus();
}

void CAboutDlg::OnInitDialog() {
  setWindowIcon(m_hIcon);
  // A program without a record shows the box with both lines empty.
  const std::optional<CVersionRecord> record = OwnVersionRecord();
  if (!record) return;
  m_edVersion->setText(QString::fromStdString(FormatVersionLine(*record)));
  m_edCopyright->setText(QString::fromStdString(record->szLegalCopyright));
}

QString CAboutDlg::VersionText() const { return m_edVersion->text(); }

QString CAboutDlg::CopyrightText() const { return m_edCopyright->text(); }

}  // namespace stratavon
