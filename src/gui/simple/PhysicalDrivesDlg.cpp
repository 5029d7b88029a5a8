#include "gui/simple/PhysicalDrivesDlg.h"

#include <unistd.h>

#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QDialogButtonBox>

#include "gui/simple/Artwork.h"
#include "platform/BlockDevice.h"

namespace stratavon {

CPhysicalDrivesDlg::CPhysicalDrivesDlg(QWidget* pParent, std::vector<DriveChoice> drives, int* pnTargets,
                                       std::unique_ptr<std::vector<std::string>>* ppTargets)
    : QDialog(pParent), m_drives(std::move(drives)), m_pnTargets(pnTargets), m_ppTargets(ppTargets) {
  setWindowTitle(tr("Physical Drives"));
  setWindowIcon(ApplicationIcon());
  auto* pLayout = new QVBoxLayout(this);
  m_listDrives = new QTreeWidget(this);
  m_listDrives->setObjectName(QString::number(IDC_DRIVE_LIST));
  m_listDrives->setRootIsDecorated(false);
  m_listDrives->setUniformRowHeights(true);
  m_listDrives->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_listDrives->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_listDrives->setAllColumnsShowFocus(true);
  m_listDrives->setColumnCount(4);
  m_listDrives->setHeaderLabels({tr("Drive"), tr("Model"), tr("Size"), tr("State")});
  for (const DriveChoice& drive : m_drives) {
    auto* pItem = new QTreeWidgetItem(m_listDrives);
    pItem->setText(0, QString::fromStdString(drive.szNode));
    pItem->setText(1, QString::fromStdString(drive.szModel));
    pItem->setText(2, drive.qwSizeBytes != 0 ? QString::fromStdString(SizeWords(drive.qwSizeBytes)) : QString());
    pItem->setText(3, drive.szUnavailable.empty() ? tr("free") : QString::fromStdString(drive.szUnavailable));
    pItem->setToolTip(3, pItem->text(3));
    // A drive that cannot be chosen cannot be marked either.
    if (!drive.szUnavailable.empty()) pItem->setFlags(pItem->flags() & ~(Qt::ItemIsEnabled | Qt::ItemIsSelectable));
  }
  for (int c = 0; c < 3; ++c) m_listDrives->resizeColumnToContents(c);
  pLayout->addWidget(m_listDrives);
  auto* pNote = new QLabel(tr("A run that reads without Error Checking writes nothing. A run that writes a drive "
                              "asks first, naming what is on it, and destroys it."),
                           this);
  pNote->setWordWrap(true);
  pLayout->addWidget(pNote);
  auto* pButtons = new QDialogButtonBox(this);
  m_btnOk = pButtons->addButton(QDialogButtonBox::Ok);
  m_btnOk->setObjectName(QStringLiteral("1"));
  m_btnCancel = pButtons->addButton(QDialogButtonBox::Cancel);
  m_btnCancel->setObjectName(QStringLiteral("2"));
  pLayout->addWidget(pButtons);
  connect(m_btnOk, &QPushButton::clicked, this, &CPhysicalDrivesDlg::OnOK);
  connect(m_btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  resize(560, 300);
}

void CPhysicalDrivesDlg::OnOK() {
  std::vector<std::string> nodes;
  for (int i = 0; i < m_listDrives->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* pItem = m_listDrives->topLevelItem(i);
    if (pItem->isSelected() && m_drives[static_cast<size_t>(i)].szUnavailable.empty()) {
      nodes.push_back(m_drives[static_cast<size_t>(i)].szNode);
    }
  }
  *m_pnTargets = static_cast<int>(nodes.size());
  if (!nodes.empty()) *m_ppTargets = std::make_unique<std::vector<std::string>>(std::move(nodes));
  QDialog::accept();
}

std::string DrivePermissionWords(const std::vector<DriveChoice>& drives) {
  if (geteuid() == 0) return {};
  for (const DriveChoice& drive : drives) {
    if (drive.qwSizeBytes != 0) return {};  // at least one could be opened
  }
  return "Whole drives are opened through their device nodes (/dev/sdX), which takes root or membership of the "
         "group that owns them (usually \"disk\"). Run the program as root, or join that group and log in again.";
}

std::unique_ptr<QMessageBox> MakeDestroyQuestion(QWidget* pParent, const Target& target) {
  auto pBox = std::make_unique<QMessageBox>(pParent);
  pBox->setIcon(QMessageBox::Warning);
  pBox->setWindowTitle(QObject::tr("Destroy what is on %1?").arg(QString::fromStdString(target.szPath)));
  std::string szText = DeviceWriteWarning(target) + ".";
  szText[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(szText[0])));
  pBox->setText(QString::fromStdString(szText));
  pBox->setInformativeText(QObject::tr("Everything on the drive is overwritten. This cannot be undone."));
  QPushButton* pDestroy = pBox->addButton(QObject::tr("Destroy and run"), QMessageBox::DestructiveRole);
  pDestroy->setObjectName(QStringLiteral("destroy"));
  QPushButton* pCancel = pBox->addButton(QMessageBox::Cancel);
  pBox->setDefaultButton(pCancel);
  return pBox;
}

}  // namespace stratavon
