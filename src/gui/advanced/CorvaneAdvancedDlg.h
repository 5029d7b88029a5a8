#pragma once

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/Target.h"
#include "run/RunControl.h"
#include "run/AdvancedView.h"
#include "run/RunVerdict.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace stratavon {

class CCorvaneDlg;
class CQtAdvancedView;
class CRunMonitor;

// The advanced console: opened modally by the simple console on the
// records it prepared, with transfer and buffer sizes, Error Checking,
// Enable Performance, Asynchronous I/O with a depth, per-target settings
// (Modify), the live target list and the import of a pattern data file.
// The run itself is CRunControl's; this dialog reads its controls
// for it and shows what it and the workers write. While the console is
// open the simple console is hidden; every way of ending it stops a run,
// waits for the workers and shows the simple console again.
class CCorvaneAdvancedDlg : public QDialog, private IAdvancedView {
  Q_OBJECT
 public:
  // pSimpleDlg is always given: it supplies the function, thread count,
  // targets and Location, and is hidden while this console is open.
  CCorvaneAdvancedDlg(QWidget* pParent, CCorvaneDlg* pSimpleDlg, const std::string& szPattern);
  ~CCorvaneAdvancedDlg() override;

  // Commands.
  void OnStart();
  void OnStop();
  void OnAsynchronous();
  void OnModify();
  void OnImportDataFile();
  // Options > Stamped Units: headers with offset, pass and run in every
  // unit over the pattern, for the runs started from now on.
  void OnStampedUnits(bool bChecked);
  // TIMER_ELAPSED (1) and TIMER_STATS (2); any other id does nothing.
  void OnTimer(int nTimerId);
  // Every row's tooltip: the p99 and the maximum latency of the last rate
  // period, or nothing when no timed I/O completed in it.
  void ShowLatencyTips();
  // Every way of ending the console comes here: stop and wait, drop the
  // imported data, show the simple console, end the dialog.
  void OnClose(int nResult = QDialog::Rejected);
  // The dialog's default command, which ends it the same way (not bound to
  // Enter: Enter never ends the console).
  void OnOK();

  void accept() override;
  void reject() override;

  // What workers and the run control write through (safe from any thread).
  IAdvancedView& WorkerView();
  CRunControl& RunControl() { return *m_pRun; }
  bool IsRunning() const { return m_pRun->IsRunning(); }
  bool IsWaitingForWorkers() const { return m_nWaitDepth > 0; }
  bool IsTimerActive(int nTimerId) const;
  QString TargetText(int nRow, int nColumn) const;
  int TargetRows() const;
  // Why Start would not (or did not) start; empty when it would.
  QString StartHint() const;
  // The chart, results and event log beside the console.
  CRunMonitor& Monitor() { return *m_pMonitor; }
  // The one mapping between the controls and the choices (Start, Modify
  // and the settings store go through it). Writing sets the controls as
  // the operator would, the boxes by a click so that their handlers run;
  // a size or depth the lists lack (none included) keeps the selection,
  // and the file size stays as typed.
  RunChoices ReadControls() const;
  // Start's checks of the device targets with these choices, as the
  // command line makes them, each written device confirmed first; the
  // records' targets then say which devices the run may write. False
  // (said, or declined) when the run must not start.
  bool PrepareDeviceTargets(const RunChoices& choices);
  void WriteControls(const RunChoices& choices);

 protected:
  // The Open dialog for a data file; an empty path when cancelled.
  virtual QString ChooseDataFile();
  // Asks before a run writes the device target (MakeDestroyQuestion);
  // true when the operator chose to destroy what is on it.
  virtual bool ConfirmDestroy(const Target& target);

  void keyPressEvent(QKeyEvent* pEvent) override;
  void closeEvent(QCloseEvent* pEvent) override;
  bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

 private:
  // The view on the GUI thread (reached from workers through m_pWorkerView).
  void SetTargetText(int nRow, int nColumn, const std::string& szText) override;
  void SetStatusText(const std::string& szText) override;
  void SetExtendedText(const std::string& szText) override;
  void SetPerformanceText(const std::string& szText) override;
  void SetIopsText(const std::string& szText) override;
  void SetElapsedText(const std::string& szText) override;
  void EnableStart(bool bEnable) override;
  void EnableStop(bool bEnable) override;
  void StartTimers(bool bStats) override;
  void KillTimers() override;
  void Repaint() override;
  void BeginRun() override;

  // The widgets' own texts, behind the run's verdict.
  class CWidgetTexts;
  void ShowTargetText(int nRow, int nColumn, const std::string& szText);
  void ShowStatusText(const std::string& szText);
  void ShowExtendedText(const std::string& szText);

  void CreateControls();
  void CreateMenu(QMenuBar* pMenuBar);
  void OnInitDialog();
  int TargetCount() const;
  // Shows a row's failure: a target that failed in this run is drawn in red.
  void MarkRow(int nRow);
  void UpdateStartHint();
  // The settings a run has read are disabled while it runs.
  void UpdateSettingsEnabled();
  // Stretches the list and the Extended box over what the client area has
  // grown by, and keeps the buttons below the list.
  void FitToClient();
  // Stops the run (if any) and waits, serving events meanwhile.
  void StopAndWait(bool bClosing);
  // The close handling without the end of the dialog.
  void CloseDown();
  // What the destructor does for a console that was not closed: stops and
  // waits for a run without serving any event.
  void CloseWithoutEvents();
  // Takes this console's view out of the records' settings.
  void ForgetTargetSettings();
  // Whether the operator's close may go on: asks before stopping a run, and
  // during a stop's wait offers to quit without the workers instead.
  bool MayClose();

  QPointer<CCorvaneDlg> m_pSimpleDlg;
  std::string m_szPattern;
  QIcon m_hIcon;
  std::unique_ptr<CWidgetTexts> m_pWidgetTexts;
  std::unique_ptr<CRunVerdict> m_pVerdict;
  std::unique_ptr<CQtAdvancedView> m_pWorkerView;
  std::unique_ptr<CRunControl> m_pRun;
  CRunMonitor* m_pMonitor = nullptr;  // a child of the dialog
  int m_nWaitDepth = 0;
  bool m_bClosed = false;
  QString m_szRefusal;  // the last refused Start's reason, until the next Start

  QLineEdit* m_edThreads = nullptr;
  QComboBox* m_cbTransfer = nullptr;
  QComboBox* m_cbBuffer = nullptr;
  QLineEdit* m_edPattern = nullptr;
  QLineEdit* m_edStatus = nullptr;
  QLineEdit* m_edLocation = nullptr;
  QLineEdit* m_edOperation = nullptr;
  QLineEdit* m_edElapsed = nullptr;
  QLineEdit* m_edPerformance = nullptr;
  QCheckBox* m_chkErrorChecking = nullptr;
  QCheckBox* m_chkPerformance = nullptr;
  QLineEdit* m_edExtended = nullptr;
  QCheckBox* m_chkAsynchronous = nullptr;
  QComboBox* m_cbDepth = nullptr;
  QLineEdit* m_edFileSize = nullptr;  // blank: one buffer per work file
  QLineEdit* m_edIops = nullptr;
  QTreeWidget* m_lcTargets = nullptr;
  QPushButton* m_btnStart = nullptr;
  QPushButton* m_btnStop = nullptr;
  QPushButton* m_btnModify = nullptr;
  QLabel* m_stBitmap = nullptr;
  QTimer* m_pTimerElapsed = nullptr;
  QTimer* m_pTimerStats = nullptr;
  QAction* m_pImport = nullptr;
  QWidget* m_pClient = nullptr;
  QSize m_sizeTemplate;
  std::vector<std::pair<QWidget*, QRect>> m_baseGeometry;
};

}  // namespace stratavon
