#include "gui/simple/TargetSelectionDlg.h"

#include <QFileDialog>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <filesystem>
#include <system_error>

#include "gui/simple/Artwork.h"
#include "gui/simple/ConsoleTexts.h"
#include "gui/simple/DialogUnits.h"
#include "platform/MessageBox.h"

namespace stratavon {
namespace {

// Dialog 104, in dialog units.
constexpr int kDialogWidth = 200;
constexpr int kDialogHeight = 130;
constexpr int kTypeColumnPixels = 100;

}  // namespace

CTargetSelectionDlg::CTargetSelectionDlg(QWidget* pParent, std::vector<MountRoot> roots, int nMode, int* pnTargets,
                                         std::unique_ptr<std::vector<std::string>>* ppTargets)
    : QDialog(pParent),
      m_hIcon(ApplicationIcon()),
      m_nMode(nMode),
      m_roots(std::move(roots)),
      m_pnTargets(pnTargets),
      m_ppTargets(ppTargets) {
  setWindowTitle(QString::fromLatin1(kTargetSelectionTitle));
  const CDialogUnits du(font());
  setFixedSize(du.Size(kDialogWidth, kDialogHeight));

  m_listTargets = new QTreeWidget(this);
  m_listTargets->setObjectName(QString::number(IDC_TARGET_LIST));
  m_listTargets->setGeometry(du.Rect(7, 7, 186, 90));
  m_listTargets->setRootIsDecorated(false);
  m_listTargets->setUniformRowHeights(true);
  m_listTargets->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_listTargets->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_listTargets->setAllColumnsShowFocus(true);
  m_listTargets->setSortingEnabled(false);

  // OK and Cancel where the template has them; the folder button takes the
  // row's free left end.
  m_btnAddFolder = new QPushButton(tr("Add &Folder..."), this);
  m_btnAddFolder->setObjectName(QString::number(IDC_ADD_FOLDER));
  m_btnAddFolder->setGeometry(du.Rect(7, 107, 50, 16));
  m_btnAddFolder->setAutoDefault(false);
  m_btnOk = new QPushButton(tr("OK"), this);
  m_btnOk->setObjectName(QStringLiteral("1"));
  m_btnOk->setGeometry(du.Rect(75, 107, 50, 16));
  m_btnOk->setDefault(true);
  m_btnCancel = new QPushButton(tr("Cancel"), this);
  m_btnCancel->setObjectName(QStringLiteral("2"));
  m_btnCancel->setGeometry(du.Rect(143, 107, 50, 16));
  // A translated or larger-font label may need more than the template's
  // width; the button then grows leftwards into the gap.
  if (m_btnAddFolder->sizeHint().width() > m_btnAddFolder->width()) {
    m_btnAddFolder->resize(std::min(m_btnAddFolder->sizeHint().width(), m_btnOk->x() - du.X(11)),
                           m_btnAddFolder->height());
  }

  connect(m_btnOk, &QPushButton::clicked, this, &CTargetSelectionDlg::OnOK);
  connect(m_btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(m_btnAddFolder, &QPushButton::clicked, this, &CTargetSelectionDlg::OnAddFolder);
  OnInitDialog();
}

void CTargetSelectionDlg::OnInitDialog() {
  setWindowIcon(m_hIcon);
  m_listTargets->setColumnCount(2);
  m_listTargets->setHeaderLabels({tr("Target"), tr("Type")});
  m_listTargets->headerItem()->setTextAlignment(0, Qt::AlignLeft | Qt::AlignVCenter);
  m_listTargets->headerItem()->setTextAlignment(1, Qt::AlignLeft | Qt::AlignVCenter);
  // Mount points are longer than drive letters: the Target column takes
  // what the Type column leaves.
  QHeaderView* pHeader = m_listTargets->header();
  pHeader->setStretchLastSection(false);
  pHeader->setSectionResizeMode(0, QHeaderView::Stretch);
  pHeader->setSectionResizeMode(1, QHeaderView::Fixed);
  pHeader->resizeSection(1, kTypeColumnPixels);
  FillDriveList();
}

void CTargetSelectionDlg::FillDriveList() {
  if (m_nMode != kModeLogical || m_roots.empty()) return;
  for (const MountRoot& root : m_roots) InsertRow(root.root, root.typeWord, false);
}

void CTargetSelectionDlg::InsertRow(const std::string& szRoot, const std::string& szTypeWord, bool bSelect) {
  // Rows stay in path order, which is the order of the target list.
  const QString szQtRoot = QString::fromStdString(szRoot);
  int nRow = 0;
  const int nRows = m_listTargets->topLevelItemCount();
  while (nRow < nRows && m_listTargets->topLevelItem(nRow)->text(0).toStdString() < szRoot) ++nRow;
  if (nRow < nRows && m_listTargets->topLevelItem(nRow)->text(0) == szQtRoot) {
    if (bSelect) m_listTargets->topLevelItem(nRow)->setSelected(true);
    return;
  }
  auto* pItem = new QTreeWidgetItem({szQtRoot, QString::fromStdString(szTypeWord)});
  pItem->setToolTip(0, szQtRoot);
  m_listTargets->insertTopLevelItem(nRow, pItem);
  if (bSelect) {
    pItem->setSelected(true);
    m_listTargets->scrollToItem(pItem);
  }
}

bool CTargetSelectionDlg::AddFolder(const std::string& szPath) {
  std::error_code ec;
  std::filesystem::path folder = std::filesystem::absolute(szPath, ec);
  if (szPath.empty() || ec || !std::filesystem::is_directory(folder, ec)) {
    ShowMessageBox(std::string(kMsgFolderNotFound) + "\n" + szPath, kErrorCaption, MessageIcon::kError);
    return false;
  }
  // Work directories are made by appending to the root, so it ends in the separator.
  std::string szRoot = folder.lexically_normal().string();
  if (szRoot.empty() || szRoot.back() != '/') szRoot += '/';
  InsertRow(szRoot, TypeWordOfPath(szRoot), true);
  return true;
}

void CTargetSelectionDlg::OnAddFolder() {
  const QString szFolder = QFileDialog::getExistingDirectory(this, tr("Add Folder as Target"));
  if (!szFolder.isEmpty()) AddFolder(szFolder.toStdString());
}

std::vector<MountRoot> CTargetSelectionDlg::Rows() const {
  std::vector<MountRoot> rows;
  for (int i = 0; i < m_listTargets->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* pItem = m_listTargets->topLevelItem(i);
    rows.push_back({pItem->text(0).toStdString(), {}, pItem->text(1).toStdString()});
  }
  return rows;
}

void CTargetSelectionDlg::OnOK() {
  if (m_pnTargets == nullptr || m_ppTargets == nullptr) {
    QDialog::accept();
    return;
  }
  std::vector<std::string> chosen;
  // Row order, not the order in which the rows were marked.
  for (int i = 0; i < m_listTargets->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* pItem = m_listTargets->topLevelItem(i);
    if (pItem->isSelected()) chosen.push_back(pItem->text(0).toStdString());
  }
  *m_pnTargets = static_cast<int>(chosen.size());
  if (!chosen.empty() && m_nMode == kModeLogical) {
    *m_ppTargets = std::make_unique<std::vector<std::string>>(std::move(chosen));
  }
  QDialog::accept();
}

}  // namespace stratavon
