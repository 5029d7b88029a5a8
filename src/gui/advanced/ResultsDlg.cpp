#include "gui/advanced/ResultsDlg.h"

#include <algorithm>

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QSaveFile>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "run/Statistics.h"
#include "engine/IoError.h"

namespace stratavon {
namespace {

// The words first, then the figures, which may scroll.
enum Column { kRoot, kStatus, kError, kFailure, kFirstBad, kBytes, kIos, kMbPerSec, kIops, kLatency, kColumns };

}  // namespace

CResultsDlg::CResultsDlg(QWidget* pParent, std::function<QPixmap()> grabChart)
    : QDialog(pParent), m_grabChart(std::move(grabChart)) {
  setWindowTitle(tr("Run Results"));
  setSizeGripEnabled(true);
  m_stVerdict = new QLabel(this);
  m_stVerdict->setObjectName(QStringLiteral("verdict"));
  m_stVerdict->setTextInteractionFlags(Qt::TextSelectableByMouse);
  m_lcTargets = new QTreeWidget(this);
  m_lcTargets->setColumnCount(kColumns);
  m_lcTargets->setHeaderLabels({tr("Target"), tr("Status"), tr("Error"), tr("First failure"), tr("First bad offset"),
                                tr("Bytes"), tr("I/Os"), tr("MB/s"), tr("IOPS"), tr("p50 / p99 / max us")});
  m_lcTargets->setRootIsDecorated(false);
  m_lcTargets->setAllColumnsShowFocus(true);
  m_lcTargets->header()->setStretchLastSection(true);
  m_lcSettings = new QTreeWidget(this);
  m_lcSettings->setColumnCount(2);
  m_lcSettings->setHeaderLabels({tr("Setting"), tr("Value")});
  m_lcSettings->setRootIsDecorated(false);
  auto* pSettingsLabel = new QLabel(tr("Settings used:"), this);

  auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  QPushButton* pCopy = pButtons->addButton(tr("&Copy"), QDialogButtonBox::ActionRole);
  QPushButton* pSave = pButtons->addButton(tr("&Save..."), QDialogButtonBox::ActionRole);
  for (QPushButton* pButton : {pCopy, pSave}) pButton->setAutoDefault(false);
  connect(pCopy, &QPushButton::clicked, this, &CResultsDlg::OnCopy);
  connect(pSave, &QPushButton::clicked, this, &CResultsDlg::OnSave);
  connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* pLayout = new QVBoxLayout(this);
  pLayout->addWidget(m_stVerdict);
  pLayout->addWidget(m_lcTargets, 1);
  pLayout->addWidget(pSettingsLabel);
  pLayout->addWidget(m_lcSettings, 1);
  pLayout->addWidget(pButtons);
  resize(900, 480);
}

void CResultsDlg::SetResult(const RunResult& result) {
  m_result = result;
  const QString szElapsed =
      QString::fromStdString(ElapsedText(static_cast<int64_t>(result.dElapsedSeconds)).value_or("?"));
  // The verdict the command line prints: every reason for a FAIL, not only
  // failed workers (failed calls, a target that moved no data, a stall).
  std::string szVerdict = VerdictLine(result);
  if (szVerdict.starts_with("verdict: ")) szVerdict.erase(0, 9);
  while (!szVerdict.empty() && szVerdict.back() == '\n') szVerdict.pop_back();
  m_stVerdict->setText(tr("%1. Elapsed time %2 (%3 s).")
                           .arg(QString::fromStdString(szVerdict), szElapsed)
                           .arg(result.dElapsedSeconds, 0, 'f', 1));
  m_stVerdict->setWordWrap(true);
  QPalette palette = m_stVerdict->palette();
  palette.setColor(QPalette::WindowText, result.Passed() ? QColor(0x1B, 0x5E, 0x20) : QColor(0x9B, 0x1C, 0x1C));
  m_stVerdict->setPalette(palette);

  m_lcTargets->clear();
  for (const TargetResult& target : result.targets) {
    auto* pItem = new QTreeWidgetItem(m_lcTargets);
    pItem->setText(kRoot, QString::fromStdString(target.target.szPath));
    pItem->setToolTip(kRoot, pItem->text(kRoot));
    pItem->setText(kStatus, QString::fromStdString(target.szStatus));
    pItem->setText(kError, QString::fromStdString(target.szError));
    pItem->setText(kBytes, QString::number(target.qwBytes));
    pItem->setText(kIos, QString::number(target.qwIos));
    pItem->setText(kMbPerSec, QString::number(AverageMbPerSecond(target.qwBytes, result.dElapsedSeconds), 'f', 1));
    pItem->setText(kIops, QString::number(AveragePerSecond(target.qwIos, result.dElapsedSeconds), 'f', 1));
    const LatencySummary& l = target.latency;
    if (l.qwCount != 0) {
      pItem->setText(kLatency, QStringLiteral("%1 / %2 / %3")
                                   .arg(l.dP50Us, 0, 'f', 1)
                                   .arg(l.dP99Us, 0, 'f', 1)
                                   .arg(l.dMaxUs, 0, 'f', 1));
    }
    if (!target.mismatches.empty()) {
      const IntegrityReport& first = target.mismatches.front();
      pItem->setText(kFirstBad, QStringLiteral("%1 (%2)").arg(first.mismatch.qwFirstOffset).arg(
                                    QString::fromUtf8(DescribeIoError(first.nKind, false).szShort)));
      pItem->setToolTip(kFirstBad, QString::fromStdString(DescribeMismatch(first.mismatch)));
    }
    pItem->setText(kFailure, QString::fromStdString(target.szReason));
    pItem->setToolTip(kFailure, pItem->text(kFailure));
    for (int c = kBytes; c <= kLatency; ++c) pItem->setTextAlignment(c, Qt::AlignRight | Qt::AlignVCenter);
    if (target.Failed()) {
      for (int c = 0; c < kColumns; ++c) pItem->setForeground(c, QColor(0x9B, 0x1C, 0x1C));
    }
  }
  for (int c = 0; c < kColumns; ++c) m_lcTargets->resizeColumnToContents(c);
  // A long reason keeps its whole text in its tooltip.
  const int nFailureWidth = std::min(m_lcTargets->columnWidth(kFailure), 40 * fontMetrics().averageCharWidth());
  m_lcTargets->setColumnWidth(kFailure, nFailureWidth);
  m_lcSettings->clear();
  for (const auto& [szName, szValue] : result.settings) {
    new QTreeWidgetItem(m_lcSettings, {QString::fromStdString(szName), QString::fromStdString(szValue)});
  }
  m_lcSettings->resizeColumnToContents(0);
}

void CResultsDlg::OnCopy() {
  std::string szText = RunResultText(m_result);
  for (const auto& [szName, szValue] : m_result.settings) szText += szName + ": " + szValue + "\n";
  QApplication::clipboard()->setText(QString::fromStdString(szText));
}

QString CResultsDlg::ChooseSavePath() {
  QString szFilter = tr("JSON (*.json);;CSV (*.csv)");
  if (m_grabChart) szFilter += tr(";;Chart as PNG (*.png)");
  QString szSelected;
  QString szPath = QFileDialog::getSaveFileName(this, tr("Save Results"), QStringLiteral("stratavon-results.json"),
                                                szFilter, &szSelected);
  if (!szPath.isEmpty() && QFileInfo(szPath).suffix().isEmpty()) {
    // The filter chosen names the format when the name does not.
    szPath += szSelected.contains(QLatin1String("csv")) ? QStringLiteral(".csv")
              : szSelected.contains(QLatin1String("png")) ? QStringLiteral(".png")
                                                          : QStringLiteral(".json");
  }
  return szPath;
}

void CResultsDlg::OnSave() {
  const QString szPath = ChooseSavePath();
  if (szPath.isEmpty()) return;
  QString szReason;
  if (!SaveTo(szPath, &szReason)) {
    QMessageBox::warning(this, tr("Save Results"), tr("Could not save %1: %2").arg(szPath, szReason));
  }
}

bool CResultsDlg::SaveTo(const QString& szPath, QString* pszReason) const {
  const QString szSuffix = QFileInfo(szPath).suffix().toLower();
  const auto fail = [pszReason](const QString& szWhy) {
    if (pszReason != nullptr) *pszReason = szWhy;
    return false;
  };
  if (szSuffix == QLatin1String("png")) {
    if (!m_grabChart) return fail(tr("there is no chart to save"));
    const QPixmap chart = m_grabChart();
    if (!chart.save(szPath, "PNG")) return fail(tr("the picture could not be written"));
    return true;
  }
  std::string szText;
  if (szSuffix == QLatin1String("json")) {
    szText = RunResultJson(m_result);
  } else if (szSuffix == QLatin1String("csv")) {
    szText = RunResultCsv(m_result);
  } else {
    return fail(tr("the name must end in .json, .csv or .png"));
  }
  // Written whole or not at all: a half-written result is worse than none.
  QSaveFile file(szPath);
  if (!file.open(QIODevice::WriteOnly)) return fail(file.errorString());
  file.write(szText.data(), static_cast<qint64>(szText.size()));
  if (!file.commit()) return fail(file.errorString());
  return true;
}

}  // namespace stratavon
