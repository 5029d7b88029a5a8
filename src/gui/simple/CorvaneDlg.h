#pragma once

#include <QDialog>
#include <QIcon>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "run/RunControl.h"
#include "workers/WorkerClasses.h"

class QAction;
class QActionGroup;
class QMenu;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenuBar;
class QPushButton;
class QRadioButton;
class QTimer;

namespace stratavon {

class CTargetSelectionDlg;
class CPhysicalDrivesDlg;

// Control and command ids of the console's dialog (resource 102) and menu
// (resource 133); each control and action carries its id as its object
// name's number and in the "dialogId" property.
enum CorvaneId : int {
  IDC_START = 1000,
  IDC_STOP = 1001,
  IDC_READ = 1002,
  IDC_WRITE = 1003,
  IDC_BOTH = 1004,
  IDC_PATTERN = 1005,
  IDC_LOCATION = 1006,
  IDC_THREADS = 1009,
  IDC_STATUS = 1010,
  ID_HELP = 57670,
  ID_PATTERN_CRPAT = 32775,
  ID_PATTERN_CJTPAT = 32776,
  ID_PATTERN_CSPAT = 32777,
  ID_PATTERN_RESET = 32778,
  ID_FEATURES_LOGICAL = 32780,
  ID_FEATURES_PHYSICAL = 32781,
  ID_SELECT_LOGICAL = 32782,
  ID_SELECT_PHYSICAL = 32783,
  IDM_ABOUTBOX = 0x0010,
};

// The simple console: the main window. It owns the target list and the
// records block, chooses the I/O function, thread count and pattern, and
// runs the simple workers (pure load, nothing counted). The advanced
// console is opened from its menu and runs on the same records.
class CCorvaneDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CCorvaneDlg(QWidget* pParent = nullptr);
  ~CCorvaneDlg() override;

  // Settings handlers.
  void OnRead();
  void OnWrite();
  void OnBoth();
  void OnPatternCrpat();
  void OnPatternCjtpat();
  void OnPatternCspat();
  void OnPatternReset();
  void OnChangePattern();
  void OnFeaturesPhysical() {}
  void OnSysCommand(uint32_t nId);
  // The Help button: opens the manual. Supplied by the application shell;
  // the console alone has none to show.
  virtual void OnHelp();

  // Run control.
  void OnStart();
  void OnStop();
  void OnFeaturesLogical();
  void ResetConsole();
  bool ParsePatternByte();

  // Targets.
  void OnSelectLogicalDrives();
  // Select > Physical Drives: whole disks as targets (run from the advanced
  // console; a run that writes one asks first).
  void OnSelectPhysicalDrives();
  // What OK in the target selection does with these roots (each ending in
  // '/'), followed by the console's summary; the same as choosing them in
  // the dialog. Ignored during a run.
  void ApplyTargetChoice(const std::vector<std::string>& roots);

  // The end of the console: OnOK stops a run as Stop does, OnCancel resets
  // the console (stopping a run). Escape and the close box come to OnCancel
  // once the operator has agreed to stop a running run. With an automation
  // client attached both only hide the console, and OnOK leaves its run on.
  void OnOK();
  void OnCancel();
  // Ends the dialog with nResult after stopping a run and waiting for its
  // workers: the default command, and the end an automation client's
  // release or the application brings about.
  void EndConsole(int nResult);

  // The automation client attached to the console, if any (the automation
  // server attaches one); with one attached, closing only hides the console.
  void SetAutomationProxy(QObject* pProxy) { m_pAutoProxy = pProxy; }
  QObject* AutomationProxy() const { return m_pAutoProxy; }

  // State, read by the automation server and by tests.
  int IoFunction() const { return m_nIoFunction; }
  int ThreadIndex() const { return m_nThreadIndex; }
  bool IsRunning() const { return m_run.IsRunning(); }
  int TargetCount() const { return m_nTargets; }
  const std::vector<std::string>* Targets() const { return m_pTargets.get(); }
  bool TargetsChanged() const { return m_bTargetsChanged != 0; }
  bool PatternChanged() const { return m_bPatternChanged != 0; }
  bool IsWaitingForWorkers() const { return m_nWaitDepth > 0; }
  QString StatusText() const;
  QString LocationText() const;
  // Every chosen root, one a line (the Location box may cut them short).
  QString LocationToolTip() const;

  void reject() override;

 protected:
  // Opens the advanced console on the records just prepared, with the
  // Pattern edit's text. It runs the advanced console modally, with
  // this console hidden meanwhile; OnFeaturesLogical has stopped any run and
  // prepared the records and work directories by then. The advanced console
  // builds on this one, so whoever holds both supplies it (the application).
  virtual void OpenAdvancedConsole(const std::string& szPatternText) = 0;
  // Runs the About box (the system-menu entry). Supplied by the
  // application shell; until then nothing.
  virtual void RunAboutBox() {}
  // Runs the target selection modally.
  virtual int ExecTargetSelection(CTargetSelectionDlg& dlg);
  // Runs the drive list modally.
  virtual int ExecPhysicalDrives(CPhysicalDrivesDlg& dlg);
  // The worker class of each simple kind (1 read, 2 write).
  virtual WorkerFactory SimpleWorkerFactory(uint32_t nKind) const;

  void keyPressEvent(QKeyEvent* pEvent) override;
  void closeEvent(QCloseEvent* pEvent) override;

 private:
  void CreateControls();
  void CreateMenu(QMenuBar* pMenuBar);
  void OnInitDialog();
  // Whether the operator's close may go on: asks before stopping a run, and
  // during a stop's wait offers to quit without the workers instead.
  bool MayClose();
  void SetStatus(const char* szText);
  // Makes nKind the pattern and shows szText; only the typed byte is editable.
  void SelectPattern(int nKind, const char* szText);
  void EnableRunButtons(bool bStart, bool bStop);

  // Start checks 1 to 4; false after a refusal (the console has reset).
  bool PassStartChecks();
  // The records block and the work directories of the chosen targets (a
  // block of targets chosen anew is released first); false after a refusal.
  bool PrepareConsoleTargets();
  // Shows a refusal (caption "Error") and resets the console.
  void Refuse(const std::string& szMessage);
  // Shows an application box (internal failure) and resets the console.
  void RefuseInternal(const char* szMessage);
  // Stops the run's workers (the run control) and waits for all of them;
  // GUI events are served between the 500 ms waits. Each wait is bounded by the I/O
  // time-out, after which the operator may quit without the workers. True
  // when a worker outlasted the time-out (it has failed).
  bool StopAndWaitForWorkers();
  // What the destructor does with a run left on: stops it and waits
  // without serving any event.
  void StopWithoutEvents();
  // Shows the calls that failed in this run, per target, on the Status box
  // (its tip, and its text in red); true when any failed.
  bool ShowFailedCalls();
  void FinishTargetSelection();
  std::vector<std::string> TargetRoots() const;

  QObject* m_pAutoProxy = nullptr;
  QIcon m_hIcon;
  int m_nIoFunction = 0;
  int m_nThreadIndex = 0;
  QComboBox* m_cbThreads = nullptr;
  QLineEdit* m_edPattern = nullptr;
  QLineEdit* m_edStatus = nullptr;
  QTimer* m_pFailedCallsTimer = nullptr;
  int m_nTargets = 0;
  // The simple run on the chosen targets (their count, as the records hold them).
  CRunControl m_run{[this] { return m_nTargets; }};
  // Null before the first choice and after a reset: targets must be chosen
  // (again) before the next run.
  std::unique_ptr<std::vector<std::string>> m_pTargets;
  QLineEdit* m_edLocation = nullptr;
  uint8_t m_bTargetsChanged = 0;
  uint8_t m_bPatternChanged = 0;
  int m_nPrevTargets = 0;

  QPushButton* m_btnStart = nullptr;
  QPushButton* m_btnStop = nullptr;
  QPushButton* m_btnHelp = nullptr;
  QRadioButton* m_rbRead = nullptr;
  QRadioButton* m_rbWrite = nullptr;
  QRadioButton* m_rbBoth = nullptr;
  QLabel* m_stBitmap = nullptr;
  QMenu* m_pPatternsMenu = nullptr;
  QMenu* m_pSelectMenu = nullptr;
  QActionGroup* m_pPatternGroup = nullptr;
  // Nesting depth of waits for workers; commands that would re-enter the
  // run control are held off meanwhile.
  int m_nWaitDepth = 0;
};

// The Location summary of a target list: "<n> Target(s):  " and " <root>"
// per target; a summary that would not fit nLimit characters (with its
// terminator) ends in " ..." at the same length.
std::string FormatTargetSummary(const std::vector<std::string>& roots, int nLimit);

}  // namespace stratavon
