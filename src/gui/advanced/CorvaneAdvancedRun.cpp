// The advanced console's run commands, its ending and the data-file import:
// the Qt side of its CRunControl, which runs the run; this side reads the
// controls, serves events while a stop waits, and shows.

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>

#include "engine/DataFile.h"
#include "run/SizeList.h"
#include "run/Statistics.h"
#include "gui/advanced/AdvancedTexts.h"
#include "gui/advanced/CorvaneAdvancedDlg.h"
#include "gui/advanced/QtAdvancedView.h"
#include "gui/advanced/RunMonitor.h"
#include "gui/simple/ConsoleTexts.h"
#include "gui/simple/CorvaneDlg.h"
#include "gui/simple/QuitGuard.h"
#include "engine/RunRecord.h"
#include "platform/CriticalSection.h"
#include "platform/MessageBox.h"
#include "gui/simple/PhysicalDrivesDlg.h"
#include "run/DeviceTargets.h"

namespace stratavon {

void CCorvaneAdvancedDlg::OnStart() {
  if (m_nWaitDepth > 0) return;
  uint64_t qwSpan = 0;
  const std::string szSpan = m_edFileSize->text().trimmed().toStdString();
  if (!szSpan.empty() && !ParseSpanSize(szSpan, &qwSpan)) {
    ShowMessageBox(kInvalidFileSize, kErrorCaption, MessageIcon::kError);
    return;
  }
  const RunChoices choices = ReadControls();
  if (!PrepareDeviceTargets(choices)) return;
  if (m_pRun->OnStart(choices)) {
    m_pMonitor->OnRunStarted(m_pRun->TargetCount(), m_pRun->Settings(), m_edPattern->text().toStdString());
  }
  UpdateStartHint();
  UpdateSettingsEnabled();
}

bool CCorvaneAdvancedDlg::ConfirmDestroy(const Target& target) {
  const std::unique_ptr<QMessageBox> pBox = MakeDestroyQuestion(this, target);
  pBox->exec();
  return pBox->buttonRole(pBox->clickedButton()) == QMessageBox::DestructiveRole;
}

bool CCorvaneAdvancedDlg::PrepareDeviceTargets(const RunChoices& choices) {
  RunOptions options;
  {
    CScopedLock lock(g_csRecords);
    for (int t = 0; g_pTargetRecords != nullptr && t < m_pRun->TargetCount() && t < g_nTargetRecords; ++t) {
      options.targets.push_back(g_pTargetRecords[t].target);
    }
  }
  if (std::none_of(options.targets.begin(), options.targets.end(), [](const Target& t) { return t.IsDevice(); })) {
    return true;
  }
  options.dwFunction = m_pRun->Settings().dwFunction;
  options.choices = choices;
  if (RunWritesDevices(options.dwFunction, choices.bErrorChecking)) {
    for (const Target& target : options.targets) {
      if (target.IsDevice()) options.destroy.push_back(target.szPath);
    }
  }
  // Everything that refuses the run comes before the question.
  std::vector<Target> checked;
  if (std::string szWhy; !CheckDeviceTargets(options, &checked, &szWhy)) {
    ShowMessageBox(szWhy, kErrorCaption, MessageIcon::kError);
    return false;
  }
  for (const Target& target : checked) {
    if (target.bWritable && !ConfirmDestroy(target)) return false;
  }
  CScopedLock lock(g_csRecords);
  for (size_t t = 0; t < checked.size() && static_cast<int>(t) < g_nTargetRecords; ++t) {
    g_pTargetRecords[t].target = checked[t];
  }
  return true;
}

void CCorvaneAdvancedDlg::OnStop() {
  if (m_nWaitDepth > 0) return;
  StopAndWait(false);
  m_pMonitor->OnRunEnded(true);
}

void CCorvaneAdvancedDlg::StopAndWait(bool bClosing) {
  ++m_nWaitDepth;
  UpdateStartHint();
  // The workers' last words come to this thread as blocking calls, so the
  // wait serves every event between its 500 ms slices: the words appear,
  // the window repaints and moves, a worker's message box can be shown.
  // Commands that would re-enter the run control are held off by
  // m_nWaitDepth meanwhile.
  StopHooks hooks;
  hooks.dispatch = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };
  // Each wait is bounded by the I/O time-out: a worker still inside a call
  // by then has failed, and the operator learns which ones hold the stop
  // and may quit without them.
  hooks.pStalledRows = m_pWorkerView.get();
  hooks.onStalled = [this](const std::vector<std::string>&) {
    OfferQuitWhileStopping(this);
    return true;
  };
  (void)(bClosing ? m_pRun->OnClose(hooks) : m_pRun->OnStop(hooks));
  --m_nWaitDepth;
  UpdateStartHint();
  UpdateSettingsEnabled();
}

void CCorvaneAdvancedDlg::OnTimer(int nTimerId) {
  if (nTimerId == TIMER_ELAPSED || nTimerId == TIMER_STATS) m_pRun->OnTimer(nTimerId);
  if (nTimerId == TIMER_STATS) {
    m_pMonitor->OnSample(m_pRun->Intervals());
    ShowLatencyTips();
  }
}

void CCorvaneAdvancedDlg::ShowLatencyTips() {
  const CIntervalStats& intervals = m_pRun->Intervals();
  for (int t = 0; t < m_lcTargets->topLevelItemCount(); ++t) {
    const LatencyCounts& latency = intervals.Target(t).latency;
    QString szTip;
    if (!latency.Empty()) {
      szTip = QStringLiteral("Last %1 s: p99 %2 us, max %3 us")
                  .arg(intervals.Target(t).dSeconds, 0, 'f', 1)
                  .arg(static_cast<double>(latency.PercentileNs(99)) / 1000.0, 0, 'f', 1)
                  .arg(static_cast<double>(latency.qwMaxNs) / 1000.0, 0, 'f', 1);
    }
    // On the rate cells only: the others' tooltips hold their whole texts.
    QTreeWidgetItem* pItem = m_lcTargets->topLevelItem(t);
    for (int c : {kColumnMbPerSec, kColumnIops}) pItem->setToolTip(c, szTip);
  }
}

void CCorvaneAdvancedDlg::CloseDown() {
  StopAndWait(true);
  m_pMonitor->OnRunEnded(false);
  m_bClosed = true;
  ForgetTargetSettings();
  if (m_pSimpleDlg) m_pSimpleDlg->show();
}

void CCorvaneAdvancedDlg::ForgetTargetSettings() {
  // The records outlive this console, its view does not: settings given
  // with Modify and never started must not send the workers of a later
  // console's Start to a view that is gone.
  for (int t = 0; g_pTargetRecords != nullptr && t < g_nTargetRecords; ++t) {
    RunSettings& settings = g_pTargetRecords[t].settings;
    if (settings.pDialog != static_cast<IWorkerConsole*>(m_pWorkerView.get())) continue;
    settings.pDialog = nullptr;
    settings.bCustom = 0;
  }
}

void CCorvaneAdvancedDlg::CloseWithoutEvents() {
  // Inside the destructor no event may be served: a derived console is
  // gone already and the widgets go next, so a worker's word or a timer
  // let in now would reach a half-destroyed dialog. The view drops every
  // word from here on, and the calls already on their way are run as
  // no-ops so that no worker waits for this thread; then the run is
  // stopped and waited for as long as one call may take. A worker that
  // outlasts even that has failed; it keeps the detached view it writes
  // into, which is left allocated rather than freed under it.
  m_pWorkerView->Detach();
  CQtAdvancedView* pView = m_pWorkerView.get();
  StopHooks hooks;
  hooks.dispatch = [pView] { pView->RunPendingCalls(); };
  const bool bEnded = m_pRun->OnClose(hooks).bEnded;
  m_bClosed = true;
  ForgetTargetSettings();
  if (!bEnded) (void)m_pWorkerView.release();
  if (m_pSimpleDlg) m_pSimpleDlg->show();
}

void CCorvaneAdvancedDlg::OnClose(int nResult) {
  if (m_nWaitDepth > 0) return;
  CloseDown();
  QDialog::done(nResult);
}

void CCorvaneAdvancedDlg::OnOK() { OnClose(QDialog::Accepted); }

void CCorvaneAdvancedDlg::accept() { OnOK(); }

bool CCorvaneAdvancedDlg::MayClose() {
  if (m_nWaitDepth > 0) {
    OfferQuitWhileStopping(this);
    return false;
  }
  return !IsRunning() || ConfirmStopRun(this, tr("Stop the run and close the advanced console?"));
}

void CCorvaneAdvancedDlg::reject() {
  // Escape: the operator's, so a run is not ended without asking.
  if (MayClose()) OnClose(QDialog::Rejected);
}

void CCorvaneAdvancedDlg::keyPressEvent(QKeyEvent* pEvent) {
  const bool bEnter = pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter;
  if (bEnter && (pEvent->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    // A focused push button takes Enter as its click; anywhere else Enter
    // has done its work already and never ends the console.
    for (QPushButton* pButton : {m_btnStart, m_btnStop, m_btnModify}) {
      if (pButton->hasFocus()) {
        if (pButton->isEnabled()) pButton->click();
        return;
      }
    }
    return;
  }
  QDialog::keyPressEvent(pEvent);  // Escape comes back as reject()
}

void CCorvaneAdvancedDlg::closeEvent(QCloseEvent* pEvent) {
  // The close box: the dialog ends only through OnClose, after asking while
  // a run is on; during the wait for the workers it offers to quit instead.
  pEvent->ignore();
  if (MayClose()) OnClose(QDialog::Rejected);
}

QString CCorvaneAdvancedDlg::ChooseDataFile() {
  return QFileDialog::getOpenFileName(window(), tr("Import Data File"), QString(), QString::fromLatin1(kDataFileFilter),
                                      nullptr, QFileDialog::ReadOnly);
}

void CCorvaneAdvancedDlg::OnImportDataFile() {
  if (IsRunning() || m_nWaitDepth > 0) return;
  const QString szPath = ChooseDataFile();
  if (szPath.isEmpty()) return;

  std::string szLabel;
  const DataFileResult result = ImportDataFile(QFile::encodeName(szPath).toStdString(), &szLabel);
  const QString szReason = QString::fromLatin1(DescribeDataFileResult(result));
  switch (result) {
    case DataFileResult::kLoaded:
      m_edPattern->setText(QString::fromLatin1(szLabel.data(), static_cast<qsizetype>(szLabel.size())));
      m_edPattern->setToolTip(tr("Data file %1 (%2 bytes)").arg(szPath).arg(DataFileBytes()));
      break;
    case DataFileResult::kReadFailed:
    case DataFileResult::kLabelTooLong:
      m_edPattern->setText(QString::fromLatin1(kDataFileInvalid));
      m_edPattern->setToolTip(tr("Data file %1 %2; no data file is loaded.").arg(szPath, szReason));
      break;
    case DataFileResult::kCannotOpen:
    case DataFileResult::kEmpty:
    case DataFileResult::kTooLarge:
    case DataFileResult::kNoMemory:
      // Passed over without a message; the tooltip says why for whoever asks.
      m_edPattern->setToolTip(tr("Not imported: %1 %2.").arg(szPath, szReason));
      break;
  }
  UpdateStartHint();
}

}  // namespace stratavon
