#include "gui/advanced/EventLogDlg.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace stratavon {
namespace {

enum Column { kTime, kSource, kKind, kTarget, kFile, kColumns };
constexpr int kRowIndexRole = Qt::UserRole + 1;

QString Text(const std::string& sz) { return QString::fromStdString(sz); }

QString Hex(uint32_t dw) { return QStringLiteral("0x") + QStringLiteral("%1").arg(dw, 8, 16, QLatin1Char('0')).toUpper(); }

}  // namespace

CEventLogDlg::CEventLogDlg(QWidget* pParent, std::string szLogPath)
    : QDialog(pParent), m_szLogPath(std::move(szLogPath)) {
  setWindowTitle(tr("Event Log"));
  setSizeGripEnabled(true);
  m_edFilter = new QLineEdit(this);
  m_edFilter->setPlaceholderText(tr("Shows the entries that contain this text in any column or in their message"));
  m_edFilter->setClearButtonEnabled(true);
  auto* pFilterLabel = new QLabel(tr("&Filter:"), this);
  pFilterLabel->setBuddy(m_edFilter);
  m_stCount = new QLabel(this);

  m_lcEvents = new QTreeWidget(this);
  m_lcEvents->setColumnCount(kColumns);
  m_lcEvents->setHeaderLabels({tr("Time"), tr("Source"), tr("Kind"), tr("Target"), tr("File")});
  m_lcEvents->setRootIsDecorated(false);
  m_lcEvents->setAllColumnsShowFocus(true);
  m_lcEvents->setSortingEnabled(true);
  m_lcEvents->setSelectionMode(QAbstractItemView::SingleSelection);
  m_edDetail = new QPlainTextEdit(this);
  m_edDetail->setReadOnly(true);
  auto* pSplitter = new QSplitter(Qt::Vertical, this);
  pSplitter->addWidget(m_lcEvents);
  pSplitter->addWidget(m_edDetail);
  pSplitter->setStretchFactor(0, 3);
  pSplitter->setStretchFactor(1, 1);

  auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  QPushButton* pReload = pButtons->addButton(tr("&Reload"), QDialogButtonBox::ActionRole);
  QPushButton* pCopy = pButtons->addButton(tr("&Copy"), QDialogButtonBox::ActionRole);
  QPushButton* pClear = pButtons->addButton(tr("C&lear..."), QDialogButtonBox::ResetRole);
  // Enter in the filter must not clear the log or copy: only Close is a default.
  for (QPushButton* pButton : {pReload, pCopy, pClear}) pButton->setAutoDefault(false);
  connect(pReload, &QPushButton::clicked, this, &CEventLogDlg::Reload);
  connect(pCopy, &QPushButton::clicked, this, &CEventLogDlg::OnCopy);
  connect(pClear, &QPushButton::clicked, this, &CEventLogDlg::OnClear);
  connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(m_edFilter, &QLineEdit::textChanged, this, &CEventLogDlg::SetFilter);
  connect(m_lcEvents, &QTreeWidget::itemSelectionChanged, this, &CEventLogDlg::ShowSelected);

  auto* pTop = new QHBoxLayout();
  pTop->addWidget(pFilterLabel);
  pTop->addWidget(m_edFilter, 1);
  pTop->addWidget(m_stCount);
  auto* pLayout = new QVBoxLayout(this);
  pLayout->addLayout(pTop);
  pLayout->addWidget(pSplitter, 1);
  pLayout->addWidget(pButtons);
  resize(820, 480);
  Reload();
}

void CEventLogDlg::Reload() {
  m_rows = ReadEventRows(m_szLogPath, &m_nSkipped);
  m_lcEvents->setSortingEnabled(false);
  m_lcEvents->clear();
  for (size_t i = 0; i < m_rows.size(); ++i) {
    const EventRow& row = m_rows[i];
    auto* pItem = new QTreeWidgetItem(m_lcEvents, {Text(row.szTime), Text(row.szSource), Text(row.szKind),
                                                   Text(row.szTarget), Text(row.szFile)});
    pItem->setData(0, kRowIndexRole, static_cast<qulonglong>(i));
    pItem->setToolTip(kFile, pItem->text(kFile));
  }
  m_lcEvents->setSortingEnabled(true);
  for (int c = 0; c < kFile; ++c) m_lcEvents->resizeColumnToContents(c);
  SetFilter(m_edFilter->text());
  m_edDetail->clear();
}

void CEventLogDlg::SetFilter(const QString& szText) {
  int nShown = 0;
  for (int i = 0; i < m_lcEvents->topLevelItemCount(); ++i) {
    QTreeWidgetItem* pItem = m_lcEvents->topLevelItem(i);
    bool bMatch = szText.isEmpty();
    for (int c = 0; c < kColumns && !bMatch; ++c) bMatch = pItem->text(c).contains(szText, Qt::CaseInsensitive);
    if (!bMatch) {
      const size_t n = pItem->data(0, kRowIndexRole).toULongLong();
      bMatch = Text(m_rows[n].szMessage).contains(szText, Qt::CaseInsensitive);
    }
    pItem->setHidden(!bMatch);
    nShown += bMatch ? 1 : 0;
  }
  QString szCount = tr("%1 of %2 entries").arg(nShown).arg(m_rows.size());
  // Lines that are not entries are never hidden silently.
  if (m_nSkipped > 0) szCount += tr("; %n unreadable line(s) skipped", nullptr, static_cast<int>(m_nSkipped));
  m_stCount->setText(szCount);
}

int CEventLogDlg::VisibleRows() const {
  int n = 0;
  for (int i = 0; i < m_lcEvents->topLevelItemCount(); ++i) n += m_lcEvents->topLevelItem(i)->isHidden() ? 0 : 1;
  return n;
}

void CEventLogDlg::ShowSelected() {
  const QList<QTreeWidgetItem*> selected = m_lcEvents->selectedItems();
  if (selected.isEmpty()) {
    m_edDetail->clear();
    return;
  }
  const EventRow& row = m_rows[selected.front()->data(0, kRowIndexRole).toULongLong()];
  QString szText = Text(row.szMessage);
  if (!row.words.empty()) {
    szText += QLatin1Char('\n') + tr("Expected    Found") + QLatin1Char('\n');
    for (const WordMismatch& pair : row.words) {
      szText += Hex(pair.dwExpected) + QLatin1String("  ") + Hex(pair.dwFound) + QLatin1Char('\n');
    }
  }
  m_edDetail->setPlainText(szText);
}

void CEventLogDlg::OnCopy() {
  // The selected entry with its details, or every shown entry as lines.
  const QList<QTreeWidgetItem*> selected = m_lcEvents->selectedItems();
  QString szText;
  if (!selected.isEmpty()) {
    for (int c = 0; c < kColumns; ++c) szText += selected.front()->text(c) + QLatin1Char('\t');
    szText += QLatin1Char('\n') + m_edDetail->toPlainText();
  } else {
    for (int i = 0; i < m_lcEvents->topLevelItemCount(); ++i) {
      const QTreeWidgetItem* pItem = m_lcEvents->topLevelItem(i);
      if (pItem->isHidden()) continue;
      QStringList cells;
      for (int c = 0; c < kColumns; ++c) cells << pItem->text(c);
      cells << Text(m_rows[pItem->data(0, kRowIndexRole).toULongLong()].szMessage);
      szText += cells.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
  }
  QApplication::clipboard()->setText(szText);
}

bool CEventLogDlg::ConfirmClear() {
  return QMessageBox::question(this, tr("Clear Event Log"),
                               tr("Remove all %1 entries from %2? This cannot be undone.")
                                   .arg(m_rows.size())
                                   .arg(Text(m_szLogPath)),
                               QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

void CEventLogDlg::OnClear() {
  if (!ConfirmClear()) return;
  std::string szError;
  if (!ClearEventLog(m_szLogPath, &szError)) {
    QMessageBox::warning(this, tr("Clear Event Log"),
                         tr("The event log %1 could not be cleared: %2").arg(Text(m_szLogPath), Text(szError)));
  }
  Reload();
}

}  // namespace stratavon
