#include "gui/simple/CorvaneDlg.h"

#include <QAction>
#include <QActionGroup>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QValidator>
#include <algorithm>
#include <initializer_list>

#include "gui/simple/Artwork.h"
#include "gui/simple/ConsoleTexts.h"
#include "gui/simple/DialogTemplate.h"
#include "gui/simple/PhysicalDrivesDlg.h"
#include "gui/simple/QuitGuard.h"
#include "gui/simple/TargetSelectionDlg.h"
#include "engine/EventSource.h"
#include "engine/Pattern.h"
#include "platform/MessageBox.h"
#include "platform/Mounts.h"
#include "run/RunChoices.h"
#include "run/Statistics.h"

namespace stratavon {
namespace {

// Dialog 102, in dialog units.
constexpr int kDialogWidth = 197;
constexpr int kDialogHeight = 124;
constexpr int kTypedPatternTextLimit = 2;
constexpr int kNamedPatternTextLimit = 3;

// The Pattern edit's upper-case style: typed letters become capitals.
class CUpperCaseValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& szInput, int&) const override {
    szInput = szInput.toUpper();
    return Acceptable;
  }
};

}  // namespace

CCorvaneDlg::CCorvaneDlg(QWidget* pParent) : QDialog(pParent), m_hIcon(ApplicationIcon()) {
  // The result does not matter here: a source that cannot be registered
  // only leaves the event log without the program's message texts.
  (void)RegisterEventLogSource(kEventLogName, kEventSourceName, kEventMessageFile);
  CreateControls();
  OnInitDialog();
}

CCorvaneDlg::~CCorvaneDlg() {
  // Every way of ending the console stops its run first, waiting while the
  // dialog is whole; only a console destroyed without that has one left.
  if (IsRunning()) StopWithoutEvents();
}

void CCorvaneDlg::CreateControls() {
  const CDialogTemplate frame(this, kConsoleTitle, kDialogWidth, kDialogHeight);
  CreateMenu(frame.MenuBar());
  QWidget* pClient = frame.Client();

  m_btnStart = new QPushButton(tr("S&tart"), pClient);
  frame.Place(m_btnStart, IDC_START, 12, 103, 50, 14);
  m_btnStop = new QPushButton(tr("St&op"), pClient);
  frame.Place(m_btnStop, IDC_STOP, 73, 103, 50, 14);
  m_btnHelp = new QPushButton(tr("&Help"), pClient);
  frame.Place(m_btnHelp, ID_HELP, 134, 103, 50, 14);
  for (QPushButton* pButton : {m_btnStart, m_btnStop, m_btnHelp}) pButton->setAutoDefault(false);

  m_rbRead = new QRadioButton(tr("&Read"), pClient);
  frame.Place(m_rbRead, IDC_READ, 20, 66, 33, 10);
  m_rbWrite = new QRadioButton(tr("&Write"), pClient);
  frame.Place(m_rbWrite, IDC_WRITE, 20, 77, 33, 10);
  m_rbBoth = new QRadioButton(tr("&Both"), pClient);
  frame.Place(m_rbBoth, IDC_BOTH, 20, 87, 31, 10);
  // Exclusive, with none checked until the operator picks one.
  auto* pFunctions = new QButtonGroup(this);
  for (QRadioButton* pButton : {m_rbRead, m_rbWrite, m_rbBoth}) pFunctions->addButton(pButton);

  m_stBitmap = new QLabel(pClient);
  frame.Place(m_stBitmap, 0, 95, 8, 95, 30);
  m_stBitmap->setObjectName(QStringLiteral("bitmap130"));
  m_stBitmap->setPixmap(BannerBitmap(m_stBitmap->size(), devicePixelRatioF()));

  auto* pThreadsLabel = new QLabel(tr("Threa&ds"), pClient);
  frame.Place(pThreadsLabel, 0, 101, 66, 27, 8);
  m_cbThreads = new QComboBox(pClient);
  // The drop-down list's 30 units are the list's; the closed box is as
  // tall as the style draws it.
  frame.Place(m_cbThreads, IDC_THREADS, 101, 79, 27, 12);
  GrowToHint(m_cbThreads);
  for (int i = kMinThreads; i <= kMaxThreads; ++i) m_cbThreads->addItem(QString::number(i), i);
  m_cbThreads->setMaxVisibleItems(10);

  auto* pPatternLabel = new QLabel(tr("&Pattern"), pClient);
  frame.Place(pPatternLabel, 0, 155, 66, 26, 8);
  pPatternLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  m_edPattern = new QLineEdit(pClient);
  frame.Place(m_edPattern, IDC_PATTERN, 157, 79, 21, 12);
  m_edPattern->resize(m_edPattern->width(), std::max(m_edPattern->height(), m_cbThreads->height()));
  m_edPattern->move(m_edPattern->x(), m_cbThreads->y());
  m_edPattern->setAlignment(Qt::AlignRight);
  m_edPattern->setValidator(new CUpperCaseValidator(m_edPattern));

  auto* pStatusLabel = new QLabel(tr("Status"), pClient);
  frame.Place(pStatusLabel, 0, 7, 8, 22, 8);
  m_edStatus = new QLineEdit(pClient);
  frame.Place(m_edStatus, IDC_STATUS, 7, 20, 52, 14);
  ShowReadOnly(m_edStatus, true);
  // While a run is on, its failed calls show on the Status box.
  m_pFailedCallsTimer = new QTimer(this);
  m_pFailedCallsTimer->setInterval(static_cast<int>(kStatsPeriodMs));
  connect(m_pFailedCallsTimer, &QTimer::timeout, this, [this] { ShowFailedCalls(); });

  auto* pLocationLabel = new QLabel(tr("Location"), pClient);
  frame.Place(pLocationLabel, 0, 7, 37, 28, 8);
  m_edLocation = new QLineEdit(pClient);
  frame.Place(m_edLocation, IDC_LOCATION, 7, 48, 183, 14);
  ShowReadOnly(m_edLocation, true);
  pThreadsLabel->setBuddy(m_cbThreads);
  pPatternLabel->setBuddy(m_edPattern);

  for (QLabel* pLabel : {pThreadsLabel, pPatternLabel, pStatusLabel, pLocationLabel}) {
    // A label's box is as tall as the template says; its text may need a
    // little more below the baseline.
    GrowToHint(pLabel);
  }

  // Tab goes as the eye reads: the boxes at the top, the function, the
  // thread count and pattern beside it, then the buttons at the bottom.
  setTabOrder(m_edStatus, m_edLocation);
  setTabOrder(m_edLocation, m_rbRead);
  setTabOrder(m_rbRead, m_rbWrite);
  setTabOrder(m_rbWrite, m_rbBoth);
  setTabOrder(m_rbBoth, m_cbThreads);
  setTabOrder(m_cbThreads, m_edPattern);
  setTabOrder(m_edPattern, m_btnStart);
  setTabOrder(m_btnStart, m_btnStop);
  setTabOrder(m_btnStop, m_btnHelp);

  connect(m_btnStart, &QPushButton::clicked, this, &CCorvaneDlg::OnStart);
  connect(m_btnStop, &QPushButton::clicked, this, &CCorvaneDlg::OnStop);
  connect(m_btnHelp, &QPushButton::clicked, this, &CCorvaneDlg::OnHelp);
  connect(m_rbRead, &QRadioButton::clicked, this, &CCorvaneDlg::OnRead);
  connect(m_rbWrite, &QRadioButton::clicked, this, &CCorvaneDlg::OnWrite);
  connect(m_rbBoth, &QRadioButton::clicked, this, &CCorvaneDlg::OnBoth);
  connect(m_edPattern, &QLineEdit::textChanged, this, &CCorvaneDlg::OnChangePattern);
}

void CCorvaneDlg::CreateMenu(QMenuBar* pMenuBar) {
  auto addCommand = [this](QMenu* pMenu, const QString& szText, int nId, void (CCorvaneDlg::*pfnHandler)()) {
    QAction* pAction = pMenu->addAction(szText);
    TagControl(pAction, nId);
    pAction->setData(nId);
    if (pfnHandler != nullptr) connect(pAction, &QAction::triggered, this, pfnHandler);
    return pAction;
  };

  QMenu* pAdvanced = pMenuBar->addMenu(tr("&Advanced"));
  m_pPatternsMenu = pAdvanced->addMenu(tr("&Patterns"));
  // The named pattern in use carries the check; the typed byte (RESET) none.
  m_pPatternGroup = new QActionGroup(this);
  m_pPatternGroup->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
  for (QAction* pNamed : {addCommand(m_pPatternsMenu, tr("CRPAT"), ID_PATTERN_CRPAT, &CCorvaneDlg::OnPatternCrpat),
                          addCommand(m_pPatternsMenu, tr("CJTPAT"), ID_PATTERN_CJTPAT, &CCorvaneDlg::OnPatternCjtpat),
                          addCommand(m_pPatternsMenu, tr("CSPAT"), ID_PATTERN_CSPAT, &CCorvaneDlg::OnPatternCspat)}) {
    pNamed->setCheckable(true);
    m_pPatternGroup->addAction(pNamed);
  }
  addCommand(m_pPatternsMenu, tr("RESET"), ID_PATTERN_RESET, &CCorvaneDlg::OnPatternReset);
  QMenu* pFeatures = pAdvanced->addMenu(tr("&Features"));
  addCommand(pFeatures, tr("&Logical"), ID_FEATURES_LOGICAL, &CCorvaneDlg::OnFeaturesLogical);
  // Raw devices are not offered on this platform: the items stay where the
  // operator knows them and say so.
  addCommand(pFeatures, tr("Physical (whole disks: not available on Linux)"), ID_FEATURES_PHYSICAL,
             &CCorvaneDlg::OnFeaturesPhysical)
      ->setEnabled(false);

  m_pSelectMenu = pMenuBar->addMenu(tr("&Select"));
  addCommand(m_pSelectMenu, tr("&Logical Drives"), ID_SELECT_LOGICAL, &CCorvaneDlg::OnSelectLogicalDrives);
  addCommand(m_pSelectMenu, tr("Physical Drives"), ID_SELECT_PHYSICAL, &CCorvaneDlg::OnSelectPhysicalDrives);

  // A Linux desktop gives a program no window menu of its own, so the
  // system-menu entry lives at the end of the menu bar (Alt+H stays the
  // Help button's).
  QMenu* pHelp = pMenuBar->addMenu(tr("He&lp"));
  QAction* pAbout = pHelp->addAction(QString::fromLatin1(kAboutMenuText));
  TagControl(pAbout, IDM_ABOUTBOX);
  connect(pAbout, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
}

void CCorvaneDlg::OnInitDialog() {
  setWindowIcon(m_hIcon);
  m_cbThreads->setCurrentIndex(4);
  m_edPattern->setMaxLength(kTypedPatternTextLimit);
  m_edPattern->setText(QString::fromLatin1(kPatternTextReset));
  m_edLocation->setText(QString::fromLatin1(kPleaseSelectTargets));
  SetStatus(kStatusIdle);
  // Settled focus like a dialog's first tab stop; the Pattern edit stays
  // where typing goes only when the operator puts it there.
  m_btnStart->setFocus();
}

void CCorvaneDlg::SetStatus(const char* szText) { m_edStatus->setText(QString::fromLatin1(szText)); }

QString CCorvaneDlg::StatusText() const { return m_edStatus->text(); }

QString CCorvaneDlg::LocationText() const { return m_edLocation->text(); }

QString CCorvaneDlg::LocationToolTip() const { return m_edLocation->toolTip(); }

void CCorvaneDlg::EnableRunButtons(bool bStart, bool bStop) {
  m_btnStart->setEnabled(bStart);
  m_btnStop->setEnabled(bStop);
  // The function, thread count, pattern and targets of a running run were
  // read at its Start: they wait until it has ended.
  const bool bIdle = !IsRunning() && m_nWaitDepth == 0 && (bStart || bStop);
  for (QWidget* pSetting : std::initializer_list<QWidget*>{m_rbRead, m_rbWrite, m_rbBoth, m_cbThreads, m_edPattern}) {
    pSetting->setEnabled(bIdle);
  }
  m_pPatternsMenu->setEnabled(bIdle);
  m_pSelectMenu->setEnabled(bIdle);
}

void CCorvaneDlg::OnRead() { m_nIoFunction = 1; }

void CCorvaneDlg::OnWrite() { m_nIoFunction = 2; }

void CCorvaneDlg::OnBoth() { m_nIoFunction = 4; }

void CCorvaneDlg::SelectPattern(int nKind, const char* szText) {
  g_nPatternKind = nKind;
  // The two-character limit is the operator's: the named patterns show
  // three letters in the locked edit.
  const bool bReadOnly = nKind != kPatternByte;
  ShowReadOnly(m_edPattern, bReadOnly);
  for (QAction* pNamed : m_pPatternGroup->actions()) {
    const int nId = pNamed->data().toInt();
    pNamed->setChecked((nId == ID_PATTERN_CRPAT && nKind == kPatternCrpat) ||
                       (nId == ID_PATTERN_CJTPAT && nKind == kPatternCjtpat) ||
                       (nId == ID_PATTERN_CSPAT && nKind == kPatternCspat));
  }
  if (bReadOnly) m_edPattern->setMaxLength(kNamedPatternTextLimit);
  m_edPattern->setText(QString::fromLatin1(szText));
  if (!bReadOnly) m_edPattern->setMaxLength(kTypedPatternTextLimit);
}

void CCorvaneDlg::OnPatternCrpat() { SelectPattern(kPatternCrpat, kPatternTextCrpat); }

void CCorvaneDlg::OnPatternCjtpat() { SelectPattern(kPatternCjtpat, kPatternTextCjtpat); }

void CCorvaneDlg::OnPatternCspat() { SelectPattern(kPatternCspat, kPatternTextCspat); }

// The byte itself is taken from the text at the next validation.
void CCorvaneDlg::OnPatternReset() { SelectPattern(kPatternByte, kPatternTextReset); }

void CCorvaneDlg::OnChangePattern() { m_bPatternChanged = 1; }

bool CCorvaneDlg::ParsePatternByte() {
  if (g_nPatternKind != kPatternByte) return true;
  // The first line, at most two characters.
  const std::string szLine = m_edPattern->text().left(2).toStdString();
  return stratavon::ParsePatternByte(szLine);
}

void CCorvaneDlg::OnSysCommand(uint32_t nId) {
  if ((nId & 0xFFF0u) == IDM_ABOUTBOX) RunAboutBox();
}

void CCorvaneDlg::OnHelp() {
  // The manual is opened by the application shell's help command, which
  // is not part of the console.
}

void CCorvaneDlg::OnOK() {
  if (m_nWaitDepth > 0) return;
  if (m_pAutoProxy == nullptr) {
    EndConsole(QDialog::Accepted);
  } else {
    hide();
  }
}

void CCorvaneDlg::EndConsole(int nResult) {
  // During a stop's wait the run is ending already: the dialog ends once
  // that wait is over.
  if (IsRunning() && m_nWaitDepth == 0) OnStop();
  QDialog::done(nResult);
}

void CCorvaneDlg::OnCancel() {
  if (m_nWaitDepth > 0) return;
  ResetConsole();
  if (m_pAutoProxy == nullptr) {
    QDialog::reject();
  } else {
    hide();
  }
}

bool CCorvaneDlg::MayClose() {
  if (m_nWaitDepth > 0) {
    OfferQuitWhileStopping(this);
    return false;
  }
  return !IsRunning() || ConfirmStopRun(this, tr("Stop the run and quit?"));
}

void CCorvaneDlg::reject() {
  // Escape: the operator's, so a run is not ended without asking.
  if (MayClose()) OnCancel();
}

void CCorvaneDlg::keyPressEvent(QKeyEvent* pEvent) {
  const bool bEnter = pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter;
  if (bEnter && (pEvent->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    // A focused push button takes Enter as its click. Anywhere else Enter
    // has done its work already (an edit field has taken its text): it
    // never ends the console, nor the run with it. (The buttons are not
    // Qt's auto-defaults, which would make the next button in the tab
    // order the default as soon as the dialog is shown.)
    for (QPushButton* pButton : {m_btnStart, m_btnStop, m_btnHelp}) {
      if (pButton->hasFocus()) {
        if (pButton->isEnabled()) pButton->click();
        return;
      }
    }
    return;
  }
  QDialog::keyPressEvent(pEvent);
}

void CCorvaneDlg::closeEvent(QCloseEvent* pEvent) {
  // OnClose: a console waiting for its workers offers to quit without them;
  // a running one asks first; with an automation client attached the close
  // box only hides it.
  pEvent->ignore();
  if (MayClose()) OnCancel();
}

int CCorvaneDlg::ExecTargetSelection(CTargetSelectionDlg& dlg) { return dlg.exec(); }

void CCorvaneDlg::OnSelectLogicalDrives() {
  if (IsRunning() || m_nWaitDepth > 0) return;
  const std::vector<MountRoot> roots = ListMountRoots();
  if (roots.empty()) {
    ShowMessageBox(kMsgNoLogicalDrives, kErrorCaption, MessageIcon::kError);
    return;
  }
  m_nPrevTargets = m_nTargets;
  CTargetSelectionDlg dlg(this, roots, CTargetSelectionDlg::kModeLogical, &m_nTargets, &m_pTargets);
  if (ExecTargetSelection(dlg) != QDialog::Accepted) return;
  FinishTargetSelection();
}

int CCorvaneDlg::ExecPhysicalDrives(CPhysicalDrivesDlg& dlg) { return dlg.exec(); }

void CCorvaneDlg::OnSelectPhysicalDrives() {
  if (IsRunning() || m_nWaitDepth > 0) return;
  const std::vector<DriveChoice> drives = ListDriveChoices();
  if (const std::string szWords = DrivePermissionWords(drives); !szWords.empty()) {
    ShowMessageBox(szWords, kErrorCaption, MessageIcon::kInformation);
    return;
  }
  m_nPrevTargets = m_nTargets;
  CPhysicalDrivesDlg dlg(this, drives, &m_nTargets, &m_pTargets);
  if (ExecPhysicalDrives(dlg) != QDialog::Accepted) return;
  FinishTargetSelection();
}

void CCorvaneDlg::ApplyTargetChoice(const std::vector<std::string>& roots) {
  if (IsRunning() || m_nWaitDepth > 0) return;
  m_nPrevTargets = m_nTargets;
  m_nTargets = static_cast<int>(roots.size());
  if (!roots.empty()) {
    auto pRows = std::make_unique<std::vector<std::string>>(roots);
    std::sort(pRows->begin(), pRows->end());
    m_pTargets = std::move(pRows);
  }
  FinishTargetSelection();
}

void CCorvaneDlg::FinishTargetSelection() {
  if (m_nTargets > 0 && !m_pTargets) {
    ShowMessageBox(kMsgMemoryFailure, kErrorCaption, MessageIcon::kError);
    return;
  }
  m_bTargetsChanged = 1;
  if (m_nTargets == 0) {
    // The previous rows are still held, but Start refuses until the
    // operator chooses again.
    m_edLocation->setText(QString::fromLatin1(kPleaseSelectTargets));
    m_nTargets = m_nPrevTargets;
    return;
  }
  m_edLocation->setText(QString::fromStdString(FormatTargetSummary(TargetRoots(), m_edLocation->maxLength())));
  m_edLocation->setCursorPosition(0);
  // The summary may end in " ..."; every root in full on hovering.
  QStringList roots;
  for (const std::string& szRoot : TargetRoots()) roots << QString::fromStdString(szRoot);
  m_edLocation->setToolTip(roots.join(QLatin1Char('\n')));
}

std::vector<std::string> CCorvaneDlg::TargetRoots() const {
  if (!m_pTargets || m_nTargets <= 0) return {};
  const size_t nCount = std::min(m_pTargets->size(), static_cast<size_t>(m_nTargets));
  return std::vector<std::string>(m_pTargets->begin(), m_pTargets->begin() + static_cast<std::ptrdiff_t>(nCount));
}

std::string FormatTargetSummary(const std::vector<std::string>& roots, int nLimit) {
  std::string szSummary = std::to_string(roots.size()) + " Target(s):  ";
  for (const std::string& szRoot : roots) szSummary += " " + szRoot;
  // The edit holds at most nLimit - 1 characters with its terminator; a
  // longer summary is cut there and says so.
  if (nLimit > 4 && szSummary.size() + 1 > static_cast<size_t>(nLimit)) {
    szSummary.resize(static_cast<size_t>(nLimit) - 1);
    szSummary.replace(szSummary.size() - 4, 4, " ...");
  }
  return szSummary;
}

}  // namespace stratavon
