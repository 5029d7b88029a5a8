#include "gui/advanced/CorvaneAdvancedDlg.h"

#include <QAction>
#include <QCheckBox>
#include <QEvent>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <initializer_list>

#include "engine/DataFile.h"
#include "run/Statistics.h"
#include "gui/advanced/AdvancedTexts.h"
#include "gui/advanced/QtAdvancedView.h"
#include "gui/advanced/RunMonitor.h"
#include "gui/simple/Artwork.h"
#include "gui/simple/ConsoleTexts.h"
#include "gui/simple/CorvaneDlg.h"
#include "gui/simple/DialogTemplate.h"
#include "engine/RunRecord.h"
#include "engine/StampedPattern.h"
#include "platform/MessageBox.h"
#include "run/RunChoices.h"
#include "run/SizeList.h"
#include "run/WorkerPlan.h"

namespace stratavon {
namespace {

// Dialog 103, in dialog units.
constexpr int kDialogWidth = 270;
constexpr int kDialogHeight = 260;

// A failed target's row: dark red on a pale red ground, so the words stay
// readable (and a selected row still takes the selection's colours).
const QColor kFailText(0x9B, 0x1C, 0x1C);
const QColor kFailGround(0xFD, 0xE4, 0xE4);

}  // namespace

class CCorvaneAdvancedDlg::CWidgetTexts : public IWorkerConsole {
 public:
  explicit CWidgetTexts(CCorvaneAdvancedDlg& dlg) : m_dlg(dlg) {}
  void SetTargetText(int nRow, int nColumn, const std::string& szText) override {
    m_dlg.ShowTargetText(nRow, nColumn, szText);
  }
  void SetStatusText(const std::string& szText) override { m_dlg.ShowStatusText(szText); }
  void SetExtendedText(const std::string& szText) override { m_dlg.ShowExtendedText(szText); }

 private:
  CCorvaneAdvancedDlg& m_dlg;
};

CCorvaneAdvancedDlg::CCorvaneAdvancedDlg(QWidget* pParent, CCorvaneDlg* pSimpleDlg, const std::string& szPattern)
    : QDialog(pParent), m_pSimpleDlg(pSimpleDlg), m_szPattern(szPattern), m_hIcon(ApplicationIcon()) {
  m_pWidgetTexts = std::make_unique<CWidgetTexts>(*this);
  m_pVerdict = std::make_unique<CRunVerdict>(*m_pWidgetTexts);
  m_pWorkerView = std::make_unique<CQtAdvancedView>(static_cast<IAdvancedView*>(this));
  const uint32_t dwFunction = m_pSimpleDlg ? static_cast<uint32_t>(m_pSimpleDlg->IoFunction()) : 0u;
  const int nThreads = m_pSimpleDlg ? m_pSimpleDlg->ThreadIndex() + 1 : kDefaultThreads;
  m_pRun = std::make_unique<CRunControl>(*m_pWorkerView, dwFunction, nThreads, [this] { return TargetCount(); });
  m_pMonitor = new CRunMonitor(
      this, [this](int nRow, int nColumn) { return TargetText(nRow, nColumn).toStdString(); },
      [this](int nRow) {
        return TargetWords{TargetText(nRow, kColumnStatus).toStdString(), TargetText(nRow, kColumnError).toStdString(),
                           m_pVerdict->ReasonOf(nRow), FailedWorkersOf(nRow)};
      });
  CreateControls();
  OnInitDialog();
}

CCorvaneAdvancedDlg::~CCorvaneAdvancedDlg() {
  // Every way of ending the console closes it first (OnClose), stopping
  // and waiting while the dialog is whole; only a console destroyed
  // without that has work left here.
  if (!m_bClosed || IsRunning()) CloseWithoutEvents();
  KillTimers();
}

IAdvancedView& CCorvaneAdvancedDlg::WorkerView() { return *m_pWorkerView; }

int CCorvaneAdvancedDlg::TargetCount() const { return m_pSimpleDlg ? m_pSimpleDlg->TargetCount() : 0; }

void CCorvaneAdvancedDlg::CreateControls() {
  const CDialogTemplate frame(this, kAdvancedTitle, kDialogWidth, kDialogHeight);
  CreateMenu(frame.MenuBar());
  QWidget* pClient = frame.Client();
  auto label = [&](const QString& szText, int x, int y, int cx) {
    auto* pLabel = new QLabel(szText, pClient);
    frame.Place(pLabel, 0, x, y, cx, 8);
    GrowToHint(pLabel);
    return pLabel;
  };
  auto readOnly = [&](int nId, int x, int y, int cx) {
    auto* pEdit = new QLineEdit(pClient);
    frame.Place(pEdit, nId, x, y, cx, 13);
    ShowReadOnly(pEdit, true);
    pEdit->setFocusPolicy(Qt::ClickFocus);
    return pEdit;
  };
  auto dropList = [&](int nId, int x, int y, int cx) {
    auto* pCombo = new QComboBox(pClient);
    frame.Place(pCombo, nId, x, y, cx, 13);
    return pCombo;
  };
  auto checkBox = [&](const QString& szText, int nId, int x, int y) {
    auto* pCheck = new QCheckBox(szText, pClient);
    frame.Place(pCheck, nId, x, y, 84, 10);
    GrowToHint(pCheck);
    return pCheck;
  };

  // A caption with its box ten units below it, both as wide as the column.
  auto captionedEdit = [&](const QString& szCaption, int nId, int x, int y, int cx) {
    label(szCaption, x, y, cx);
    return readOnly(nId, x, y + 10, cx);
  };
  auto captionedList = [&](const QString& szCaption, int nId, int x, int y, int cx) {
    QLabel* pLabel = label(szCaption, x, y, cx);
    QComboBox* pList = dropList(nId, x, y + 10, cx);
    pLabel->setBuddy(pList);
    return pList;
  };

  // What the console is: its state and what the simple console handed over.
  m_edStatus = captionedEdit(tr("Status"), IDC_ADV_STATUS, 7, 6, 50);
  m_edOperation = captionedEdit(tr("Operation"), IDC_ADV_OPERATION, 63, 6, 56);
  m_edThreads = captionedEdit(tr("Threads"), IDC_ADV_THREADS, 125, 6, 32);
  m_stBitmap = new QLabel(pClient);
  frame.Place(m_stBitmap, 0, 165, 6, 98, 26);
  m_stBitmap->setObjectName(QStringLiteral("bitmap130"));
  m_stBitmap->setPixmap(BannerBitmap(m_stBitmap->size(), devicePixelRatioF()));
  label(tr("Location"), 7, 34, 60);
  m_edLocation = readOnly(IDC_ADV_LOCATION, 7, 44, 150);
  label(tr("Pattern"), 165, 34, 60);
  m_edPattern = readOnly(IDC_ADV_PATTERN, 165, 44, 98);

  // The run's settings.
  m_cbTransfer = captionedList(tr("Tra&nsfer Size"), IDC_ADV_TRANSFER, 7, 63, 60);
  m_cbBuffer = captionedList(tr("B&uffer Size"), IDC_ADV_BUFFER, 7, 90, 60);
  for (int i = 0; i < kSizeItems; ++i) {
    m_cbTransfer->addItem(QString::fromLatin1(SizeItemText(i)), i);
    m_cbBuffer->addItem(QString::fromLatin1(SizeItemText(i)), i);
  }
  m_chkErrorChecking = checkBox(tr("&Error Checking"), IDC_ADV_ERROR_CHECKING, 79, 74);
  m_chkPerformance = checkBox(tr("Enable &Performance"), IDC_ADV_ENABLE_PERFORMANCE, 79, 88);
  m_chkAsynchronous = checkBox(tr("As&ynchronous"), IDC_ADV_ASYNCHRONOUS, 79, 102);
  // Beside Asynchronous, which enables it.
  m_cbDepth = captionedList(tr("I/O &Depth"), IDC_ADV_DEPTH, 178, 90, 45);
  m_cbDepth->setMaxVisibleItems(12);
  // Above I/O Depth: each worker's work file, blank for one buffer.
  label(tr("File Size"), 178, 63, 45);
  m_edFileSize = new QLineEdit(pClient);
  frame.Place(m_edFileSize, IDC_ADV_FILE_SIZE, 178, 73, 45, 12);
  m_edFileSize->setToolTip(tr("Each worker's work file, walked buffer by buffer every pass (64MB, 10GB), or "
                              "fill to share the target's free space; blank: one buffer."));

  // The live figures.
  m_edElapsed = captionedEdit(tr("Elapsed Time"), IDC_ADV_ELAPSED, 7, 118, 82);
  m_edPerformance = captionedEdit(tr("Performance"), IDC_ADV_PERFORMANCE, 94, 118, 82);
  m_edIops = captionedEdit(tr("IOPS"), IDC_ADV_IOPS, 181, 118, 82);
  label(tr("Extended"), 7, 145, 60);
  m_edExtended = readOnly(IDC_ADV_EXTENDED, 7, 155, 256);

  m_lcTargets = new QTreeWidget(pClient);
  frame.Place(m_lcTargets, IDC_ADV_TARGETS, 7, 173, 256, 62);

  m_btnStart = new QPushButton(tr("S&tart"), pClient);
  frame.Place(m_btnStart, IDC_ADV_START, 7, 240, 50, 14);
  m_btnStop = new QPushButton(tr("St&op"), pClient);
  frame.Place(m_btnStop, IDC_ADV_STOP, 63, 240, 50, 14);
  m_btnModify = new QPushButton(tr("&Modify"), pClient);
  frame.Place(m_btnModify, IDC_ADV_MODIFY, 213, 240, 50, 14);
  for (QPushButton* pButton : {m_btnStart, m_btnStop, m_btnModify}) pButton->setAutoDefault(false);
  m_btnModify->setToolTip(tr("Gives the selected target the settings above for the next Start only."));

  // Tab goes as the eye reads: the size column, the check boxes with the
  // depth beside them, the list, then the buttons below it.
  setTabOrder(m_cbTransfer, m_cbBuffer);
  setTabOrder(m_cbBuffer, m_chkErrorChecking);
  setTabOrder(m_chkErrorChecking, m_chkPerformance);
  setTabOrder(m_chkPerformance, m_chkAsynchronous);
  setTabOrder(m_chkAsynchronous, m_edFileSize);
  setTabOrder(m_edFileSize, m_cbDepth);
  setTabOrder(m_cbDepth, m_lcTargets);
  setTabOrder(m_lcTargets, m_btnStart);
  setTabOrder(m_btnStart, m_btnStop);
  setTabOrder(m_btnStop, m_btnModify);

  // The list and the Extended box take what the window grows by.
  m_pClient = pClient;
  m_sizeTemplate = pClient->size();
  for (QWidget* pWidget : std::initializer_list<QWidget*>{m_lcTargets, m_edExtended, m_edLocation, m_btnStart,
                                                           m_btnStop, m_btnModify}) {
    m_baseGeometry.push_back({pWidget, pWidget->geometry()});
  }
  frame.AllowGrowth(this);
  pClient->installEventFilter(this);

  m_pTimerElapsed = new QTimer(this);
  m_pTimerElapsed->setInterval(static_cast<int>(kElapsedPeriodMs));
  m_pTimerStats = new QTimer(this);
  m_pTimerStats->setInterval(static_cast<int>(kStatsPeriodMs));
  connect(m_pTimerElapsed, &QTimer::timeout, this, [this] { OnTimer(TIMER_ELAPSED); });
  connect(m_pTimerStats, &QTimer::timeout, this, [this] { OnTimer(TIMER_STATS); });

  connect(m_btnStart, &QPushButton::clicked, this, &CCorvaneAdvancedDlg::OnStart);
  connect(m_btnStop, &QPushButton::clicked, this, &CCorvaneAdvancedDlg::OnStop);
  connect(m_btnModify, &QPushButton::clicked, this, &CCorvaneAdvancedDlg::OnModify);
  connect(m_chkAsynchronous, &QCheckBox::clicked, this, &CCorvaneAdvancedDlg::OnAsynchronous);
  connect(m_cbTransfer, &QComboBox::currentIndexChanged, this, &CCorvaneAdvancedDlg::UpdateStartHint);
  connect(m_cbBuffer, &QComboBox::currentIndexChanged, this, &CCorvaneAdvancedDlg::UpdateStartHint);
}

void CCorvaneAdvancedDlg::CreateMenu(QMenuBar* pMenuBar) {
  QMenu* pOptions = pMenuBar->addMenu(tr("&Options"));
  QAction* pImport = pOptions->addAction(tr("&Import Data File"));
  m_pImport = pImport;
  TagControl(pImport, ID_OPTIONS_IMPORT_DATA_FILE);
  pImport->setData(static_cast<int>(ID_OPTIONS_IMPORT_DATA_FILE));
  connect(pImport, &QAction::triggered, this, &CCorvaneAdvancedDlg::OnImportDataFile);
  QAction* pStamped = pOptions->addAction(tr("&Stamped Units"));
  TagControl(pStamped, ID_OPTIONS_STAMPED_UNITS);
  pStamped->setData(static_cast<int>(ID_OPTIONS_STAMPED_UNITS));
  pStamped->setCheckable(true);
  pStamped->setChecked(g_bStampedPattern);
  pStamped->setToolTip(tr("Every 512-byte unit starts with its offset, pass, slot, run and checksum; "
                          "Error Checking then names lost, stale, misdirected and foreign data."));
  connect(pStamped, &QAction::toggled, this, &CCorvaneAdvancedDlg::OnStampedUnits);
  m_pMonitor->AddMenuItems(pOptions);
}

void CCorvaneAdvancedDlg::OnStampedUnits(bool bChecked) {
  // A running worker has taken the setting already; the next Start takes the new one.
  g_bStampedPattern = bChecked;
}

void CCorvaneAdvancedDlg::OnInitDialog() {
  setWindowIcon(m_hIcon);
  m_cbTransfer->setCurrentIndex(kDefaultSizeIndex);
  m_cbBuffer->setCurrentIndex(kDefaultSizeIndex);
  if (m_pSimpleDlg) m_edLocation->setText(m_pSimpleDlg->LocationText().section(QLatin1Char('\n'), 0, 0));
  m_edLocation->setCursorPosition(0);
  m_edThreads->setText(QString::number(m_pRun->Threads()));
  m_edPattern->setText(QString::fromStdString(m_szPattern));
  m_edOperation->setText(QString::fromLatin1(FunctionWord(m_pRun->Settings().dwFunction)));
  m_edStatus->setText(QString::fromLatin1(kStatusIdle));
  m_edElapsed->setText(QString::fromLatin1(kElapsedZero));
  m_edPerformance->setText(QStringLiteral("0 MB/s"));
  m_edExtended->setText(QStringLiteral("NONE"));
  m_edIops->setText(QStringLiteral("0 IO/s"));

  for (uint32_t dwDepth = kMinQueueDepth; dwDepth <= kMaxQueueDepth; ++dwDepth) {
    m_cbDepth->addItem(QString::number(dwDepth), dwDepth);
  }
  m_cbDepth->setCurrentIndex(m_cbDepth->findData(kDefaultQueueDepth));
  m_cbDepth->setEnabled(false);

  m_lcTargets->setColumnCount(kTargetColumns);
  QStringList headings;
  for (const char* szHeading : kTargetColumnHeadings) headings << QString::fromLatin1(szHeading);
  m_lcTargets->setHeaderLabels(headings);
  for (int c = 0; c < kTargetColumns; ++c) {
    m_lcTargets->setColumnWidth(c, std::max(kTargetColumnWidth, m_lcTargets->header()->sectionSizeHint(c)));
  }
  m_lcTargets->header()->setStretchLastSection(false);
  m_lcTargets->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_lcTargets->setRootIsDecorated(false);
  m_lcTargets->setItemsExpandable(false);
  m_lcTargets->setUniformRowHeights(true);
  m_lcTargets->setSelectionMode(QAbstractItemView::SingleSelection);
  m_lcTargets->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_lcTargets->setAllColumnsShowFocus(true);
  FillTargetList(WorkerView(), TargetCount());

  // Hidden without QDialog::hide(), which would also end the simple
  // console's own modal loop (and with it the program) once this one
  // closes; QWidget's own setVisible only takes it off the screen.
  if (m_pSimpleDlg) m_pSimpleDlg->QWidget::setVisible(false);
  m_edLocation->setToolTip(m_pSimpleDlg ? m_pSimpleDlg->LocationToolTip() : QString());
  m_btnStart->setEnabled(true);
  UpdateSettingsEnabled();
  UpdateStartHint();
  m_btnStart->setFocus();
}

RunChoices CCorvaneAdvancedDlg::ReadControls() const {
  RunChoices choices;
  choices.bErrorChecking = m_chkErrorChecking->isChecked();
  choices.bPerformance = m_chkPerformance->isChecked();
  choices.bAsynchronous = m_chkAsynchronous->isChecked();
  choices.dwTransferSize = SizeOfListIndexOrNone(m_cbTransfer->currentIndex());
  choices.dwBufferSize = SizeOfListIndexOrNone(m_cbBuffer->currentIndex());
  choices.dwQueueDepth = m_cbDepth->currentData().toUInt();  // 0 without a selection
  const std::string szSpan = m_edFileSize->text().trimmed().toStdString();
  if (!szSpan.empty() && !ParseSpanSize(szSpan, &choices.qwSpanBytes)) choices.qwSpanBytes = 0;
  return choices;
}

void CCorvaneAdvancedDlg::WriteControls(const RunChoices& choices) {
  const auto select = [](QComboBox* pCombo, int nIndex) {
    if (nIndex >= 0) pCombo->setCurrentIndex(nIndex);
  };
  const auto check = [](QCheckBox* pBox, bool bChecked) {
    if (pBox->isChecked() != bChecked) pBox->click();
  };
  select(m_cbTransfer, SizeListIndexOf(choices.dwTransferSize));
  select(m_cbBuffer, SizeListIndexOf(choices.dwBufferSize));
  check(m_chkErrorChecking, choices.bErrorChecking);
  check(m_chkPerformance, choices.bPerformance);
  check(m_chkAsynchronous, choices.bAsynchronous);
  select(m_cbDepth, m_cbDepth->findData(choices.dwQueueDepth));
}

void CCorvaneAdvancedDlg::OnAsynchronous() { m_cbDepth->setEnabled(m_chkAsynchronous->isChecked()); }

void CCorvaneAdvancedDlg::UpdateSettingsEnabled() {
  // What a running run has read already is not to be touched until it ends.
  const bool bIdle = !IsRunning() && m_nWaitDepth == 0;
  for (QWidget* pWidget : std::initializer_list<QWidget*>{m_cbTransfer, m_cbBuffer, m_chkErrorChecking,
                                                           m_chkPerformance, m_chkAsynchronous, m_btnModify}) {
    pWidget->setEnabled(bIdle);
  }
  m_cbDepth->setEnabled(bIdle && m_chkAsynchronous->isChecked());
  if (m_pImport != nullptr) m_pImport->setEnabled(bIdle);
}

bool CCorvaneAdvancedDlg::eventFilter(QObject* pWatched, QEvent* pEvent) {
  if (pWatched == m_pClient && pEvent->type() == QEvent::Resize) FitToClient();
  return QDialog::eventFilter(pWatched, pEvent);
}

void CCorvaneAdvancedDlg::FitToClient() {
  const int dx = std::max(0, m_pClient->width() - m_sizeTemplate.width());
  const int dy = std::max(0, m_pClient->height() - m_sizeTemplate.height());
  for (const auto& [pWidget, rcBase] : m_baseGeometry) {
    QRect rc = rcBase;
    if (pWidget == m_lcTargets) {
      rc.adjust(0, 0, dx, dy);
    } else if (pWidget == m_edExtended) {
      rc.adjust(0, 0, dx, 0);
    } else if (pWidget == m_btnModify) {
      rc.translate(dx, dy);
    } else if (pWidget != m_edLocation) {
      rc.translate(0, dy);
    }
    pWidget->setGeometry(rc);
  }
}

void CCorvaneAdvancedDlg::OnModify() {
  if (IsRunning() || m_nWaitDepth > 0) return;
  const QList<QTreeWidgetItem*> selected = m_lcTargets->selectedItems();
  if (selected.isEmpty()) return;
  const int t = m_lcTargets->indexOfTopLevelItem(selected.front());
  selected.front()->setSelected(false);
  if (g_pTargetRecords == nullptr || t < 0 || t >= m_pRun->TargetCount()) return;

  RunSettings& settings = g_pTargetRecords[t].settings;
  if (!ApplyRunChoices(ReadControls(), m_pRun->Threads(), settings)) {
    // What was written stays, but the next Start gives the target the
    // console's settings again.
    settings.bCustom = 0;
    ShowMessageBox(kMsgTransferOverBuffer, kErrorCaption, MessageIcon::kError);
    return;
  }
  settings.bCustom = 1;
  settings.pDialog = m_pWorkerView.get();
  QStringList before;
  for (int c = 0; c < kTargetColumns; ++c) before << TargetText(t, c);
  UpdateTargetRow(WorkerView(), TargetCount(), t, settings);
  // The changed cells may lie to the right of what the list shows.
  int nFirst = -1;
  int nLast = -1;
  for (int c = 0; c < kTargetColumns; ++c) {
    if (TargetText(t, c) == before[c]) continue;
    if (nFirst < 0) nFirst = c;
    nLast = c;
  }
  if (nFirst >= 0) {
    QTreeWidgetItem* pItem = m_lcTargets->topLevelItem(t);
    m_lcTargets->scrollToItem(pItem);
    m_lcTargets->scrollTo(m_lcTargets->model()->index(t, nLast));
    m_lcTargets->scrollTo(m_lcTargets->model()->index(t, nFirst));
  }
}

// The view, on the GUI thread: the texts pass the run's verdict first.

void CCorvaneAdvancedDlg::SetTargetText(int nRow, int nColumn, const std::string& szText) {
  m_pVerdict->SetTargetText(nRow, nColumn, szText);
  if (nColumn == kColumnStatus && nRow >= 0 && nRow < m_lcTargets->topLevelItemCount()) MarkRow(nRow);
}

void CCorvaneAdvancedDlg::SetStatusText(const std::string& szText) { m_pVerdict->SetStatusText(szText); }

void CCorvaneAdvancedDlg::SetExtendedText(const std::string& szText) { m_pVerdict->SetExtendedText(szText); }

void CCorvaneAdvancedDlg::BeginRun() {
  m_pVerdict->BeginRun();
  for (int r = 0; r < m_lcTargets->topLevelItemCount(); ++r) MarkRow(r);
}

void CCorvaneAdvancedDlg::ShowTargetText(int nRow, int nColumn, const std::string& szText) {
  if (nRow < 0 || nColumn < 0 || nColumn >= kTargetColumns) return;
  if (nRow >= m_lcTargets->topLevelItemCount()) {
    // A row comes into being with its root, as an inserted list item does.
    if (nColumn != kColumnTarget) return;
    while (m_lcTargets->topLevelItemCount() <= nRow) m_lcTargets->addTopLevelItem(new QTreeWidgetItem());
  }
  QTreeWidgetItem* pItem = m_lcTargets->topLevelItem(nRow);
  pItem->setText(nColumn, QString::fromStdString(szText));
  // A column grows to its widest word; a cell the operator narrowed again
  // shows its whole text on hovering.
  pItem->setToolTip(nColumn, pItem->text(nColumn));
  const int nPadding = 4 * m_lcTargets->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_lcTargets);
  const int nWidth = m_lcTargets->columnWidth(nColumn);
  if (m_lcTargets->fontMetrics().horizontalAdvance(pItem->text(nColumn)) + nPadding > nWidth) {
    m_lcTargets->resizeColumnToContents(nColumn);
    m_lcTargets->setColumnWidth(nColumn, std::max(nWidth, m_lcTargets->columnWidth(nColumn)));
  }
}

void CCorvaneAdvancedDlg::MarkRow(int nRow) {
  QTreeWidgetItem* pItem = m_lcTargets->topLevelItem(nRow);
  const bool bFail = m_pVerdict->FailuresOf(nRow) > 0;
  for (int c = 0; c < kTargetColumns; ++c) {
    // An empty variant, not an empty brush: the delegate paints an empty
    // brush as invisible text.
    pItem->setData(c, Qt::ForegroundRole, bFail ? QVariant(QBrush(kFailText)) : QVariant());
    pItem->setData(c, Qt::BackgroundRole, bFail ? QVariant(QBrush(kFailGround)) : QVariant());
  }
}

void CCorvaneAdvancedDlg::ShowStatusText(const std::string& szText) {
  m_edStatus->setText(QString::fromStdString(szText));
}

void CCorvaneAdvancedDlg::ShowExtendedText(const std::string& szText) {
  m_edExtended->setText(QString::fromStdString(szText));
  m_edExtended->setCursorPosition(0);
}

void CCorvaneAdvancedDlg::SetPerformanceText(const std::string& szText) {
  m_edPerformance->setText(QString::fromStdString(szText));
}

void CCorvaneAdvancedDlg::SetIopsText(const std::string& szText) { m_edIops->setText(QString::fromStdString(szText)); }

void CCorvaneAdvancedDlg::SetElapsedText(const std::string& szText) {
  m_edElapsed->setText(QString::fromStdString(szText));
}

void CCorvaneAdvancedDlg::EnableStart(bool bEnable) {
  m_btnStart->setEnabled(bEnable);
  UpdateStartHint();
}

void CCorvaneAdvancedDlg::EnableStop(bool bEnable) { m_btnStop->setEnabled(bEnable); }

void CCorvaneAdvancedDlg::StartTimers(bool bStats) {
  m_pTimerElapsed->start();
  if (bStats) m_pTimerStats->start();
}

void CCorvaneAdvancedDlg::KillTimers() {
  m_pTimerElapsed->stop();
  m_pTimerStats->stop();
}

void CCorvaneAdvancedDlg::Repaint() { repaint(); }

bool CCorvaneAdvancedDlg::IsTimerActive(int nTimerId) const {
  if (nTimerId == TIMER_ELAPSED) return m_pTimerElapsed->isActive();
  if (nTimerId == TIMER_STATS) return m_pTimerStats->isActive();
  return false;
}

QString CCorvaneAdvancedDlg::TargetText(int nRow, int nColumn) const {
  const QTreeWidgetItem* pItem = m_lcTargets->topLevelItem(nRow);
  return pItem != nullptr ? pItem->text(nColumn) : QString();
}

int CCorvaneAdvancedDlg::TargetRows() const { return m_lcTargets->topLevelItemCount(); }

QString CCorvaneAdvancedDlg::StartHint() const {
  if (m_nWaitDepth > 0) return tr("Stopping: waiting until every worker has ended.");
  if (IsRunning()) return tr("A run is in progress: Stop it before starting another.");
  if (DataFilePatternMissing()) return QString::fromLatin1(kMsgDataFileMissing);
  // The settings as Start would take them: no selection keeps the last sizes.
  RunSettings settings = m_pRun->Settings();
  if (!ApplyRunChoices(ReadControls(), m_pRun->Threads(), settings)) {
    return tr("Start refuses these settings: the Transfer Size (%1) is larger than the Buffer Size (%2). "
              "Choose a Buffer Size at least as large as the Transfer Size.")
        .arg(m_cbTransfer->currentText(), m_cbBuffer->currentText());
  }
  return {};
}

void CCorvaneAdvancedDlg::UpdateStartHint() {
  const QString szHint = StartHint();
  m_btnStart->setToolTip(szHint.isEmpty() ? tr("Starts a run on every target with these settings.") : szHint);
  m_btnStart->setStatusTip(szHint);
}

}  // namespace stratavon
