// The simple console's run commands over its run control (CRunControl):
// Start, Stop, the reset after a refused start, and the preparation of the
// advanced console's run.

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QComboBox>
#include <QTimer>
#include <cstring>

#include "gui/simple/ConsoleTexts.h"
#include "gui/simple/CorvaneDlg.h"
#include "gui/simple/QtMessagePresenter.h"
#include "gui/simple/QuitGuard.h"
#include "engine/IoError.h"
#include "engine/Pattern.h"
#include "engine/RunRecord.h"
#include "platform/CriticalSection.h"
#include "platform/MessageBox.h"
#include "platform/BlockDevice.h"
#include "run/DeviceTargets.h"
#include "run/RunChoices.h"
#include "run/RunPreparation.h"
#include "run/RunStop.h"
#include "run/TargetRecords.h"
#include "workers/simple/SimpleWorkers.h"

namespace stratavon {

WorkerFactory CCorvaneDlg::SimpleWorkerFactory(uint32_t nKind) const {
  switch (nKind) {
    case kWorkerSimpleRead:
    case kWorkerSimpleWrite:
      return WorkerClassOf(nKind);
    default:
      return nullptr;
  }
}

void CCorvaneDlg::Refuse(const std::string& szMessage) {
  ShowMessageBox(szMessage, kErrorCaption, MessageIcon::kError);
  ResetConsole();
}

void CCorvaneDlg::RefuseInternal(const char* szMessage) {
  ShowMessageBox(szMessage, ApplicationCaption(), MessageIcon::kError);
  ResetConsole();
}

bool CCorvaneDlg::PassStartChecks() {
  m_nThreadIndex = m_cbThreads->currentIndex();
  if (m_nThreadIndex < 0) {
    Refuse(kMsgSelectThreadCount);
    return false;
  }
  m_nThreadIndex = std::min(m_nThreadIndex, kMaxThreads - kMinThreads);
  if (!ParsePatternByte()) {
    Refuse(kMsgInvalidPattern);
    return false;
  }
  if (m_edLocation->maxLength() == 0) {
    RefuseInternal(kMsgInitializationError);
    return false;
  }
  const bool bTargetsChosen = m_edLocation->text() != QLatin1String(kPleaseSelectTargets);
  const uint32_t dwFunction = static_cast<uint32_t>(m_nIoFunction);
  std::vector<Target> targets;
  if (std::string szWhy; !TargetsOfRoots(TargetRoots(), &targets, &szWhy)) {
    Refuse(szWhy);
    return false;
  }
  if (const StartRefusal refusal = CheckTargetsAndFunction(bTargetsChosen, targets, dwFunction)) {
    Refuse(refusal->ConsoleText());
    return false;
  }
  return true;
}

bool CCorvaneDlg::PrepareConsoleTargets() {
  if (m_bTargetsChanged) {
    ReleaseTargetRecords();
    m_bTargetsChanged = 0;
  }
  std::vector<Target> targets;
  if (std::string szWhy; !TargetsOfRoots(TargetRoots(), &targets, &szWhy)) {
    Refuse(szWhy);
    return false;
  }
  if (const StartRefusal refusal = PrepareTargets(targets)) {
    Refuse(refusal->ConsoleText());
    return false;
  }
  return true;
}

void CCorvaneDlg::OnStart() {
  // Start is disabled during a run; Enter on it or a script must not
  // launch a second set of workers into the same slots either.
  if (IsRunning() || m_nWaitDepth > 0) return;
  if (!PassStartChecks()) return;
  // The simple workers write work files: whole drives run in the advanced console.
  for (const std::string& szRoot : TargetRoots()) {
    if (ResolveBlockDevice(szRoot, nullptr, nullptr)) {
      Refuse(kMsgDrivesRunAdvanced);
      return;
    }
  }
  SetStatus(kStatusInit);
  // Every worker lays the pattern anew as it starts: a changed pattern needs nothing more.
  m_bPatternChanged = 0;
  if (!PrepareConsoleTargets()) return;
  if (!m_pTargets || g_pTargetRecords == nullptr) {
    RefuseInternal(kMsgTargetInitFailed);
    return;
  }
  // The workers of each kind come from this console's worker classes.
  m_run.SetLauncher([this](int nTarget, int nSlot, uint32_t nKind) {
    if (const WorkerFactory pfnCreate = SimpleWorkerFactory(nKind)) LaunchWorker(nTarget, nSlot, pfnCreate, nKind);
  });
  m_run.OnStartSimple(static_cast<uint32_t>(m_nIoFunction), m_nThreadIndex + 1);
  SetStatus(kStatusRun);
  ShowFailedCalls();
  m_pFailedCallsTimer->start();
  EnableRunButtons(false, true);
}

bool CCorvaneDlg::StopAndWaitForWorkers() {
  ++m_nWaitDepth;
  // A worker's start-up message box is shown by this thread, so the wait
  // keeps serving events (not the operator's input to the console, which
  // waits until the workers are down).
  StopHooks hooks;
  hooks.dispatch = [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); };
  hooks.onStalled = [this](const std::vector<std::string>&) {
    OfferQuitWhileStopping(this);
    return true;
  };
  const bool bStalled = !m_run.OnStop(hooks).stalls.empty();
  m_pFailedCallsTimer->stop();
  --m_nWaitDepth;
  return bStalled;
}

void CCorvaneDlg::StopWithoutEvents() {
  // Inside the destructor no event may be served: a derived console is
  // gone already and the widgets go next. The simple workers write nothing
  // into the console, so only a worker inside a call, or one whose
  // start-up box waits for this thread, can hold the wait, and for no
  // longer than a call may take. Such a worker is marked failed and left
  // on the records, which are the process's and outlive the console.
  m_pFailedCallsTimer->stop();
  (void)m_run.OnStop({});
}

bool CCorvaneDlg::ShowFailedCalls() {
  QString szTip;
  for (int t = 0; t < m_nTargets && t < g_nTargetRecords; ++t) {
    const IoErrorTally tally = TargetIoErrors(t);
    if (tally.qwCalls == 0) continue;
    szTip += QString::fromStdString(g_pTargetRecords[t].target.szPath + ": " + DescribeFailedCalls(tally)) + '\n';
  }
  m_edStatus->setToolTip(szTip.trimmed());
  m_edStatus->setStyleSheet(szTip.isEmpty() ? QString() : QStringLiteral("color: red"));
  return !szTip.isEmpty();
}

void CCorvaneDlg::OnStop() {
  if (!IsRunning() || m_nWaitDepth > 0) return;
  EnableRunButtons(false, false);
  const bool bStalled = StopAndWaitForWorkers();
  // The simple workers go on past a failed call; the run's end says it.
  const bool bCallsFailed = ShowFailedCalls();
  SetStatus(bStalled || bCallsFailed ? kStatusFail : kStatusStop);
  EnableRunButtons(true, true);
}

void CCorvaneDlg::ResetConsole() {
  if (m_nWaitDepth > 0) return;
  if (IsRunning()) {
    EnableRunButtons(false, false);
    StopAndWaitForWorkers();
    EnableRunButtons(true, true);
  }
  ReleaseTargetRecords();
  m_pTargets.reset();
  SetStatus(kStatusIdle);
}

void CCorvaneDlg::OnFeaturesLogical() {
  if (m_nWaitDepth > 0) return;
  if (IsRunning()) OnStop();
  if (!PassStartChecks() || !PrepareConsoleTargets()) return;
  OpenAdvancedConsole(m_edPattern->text().left(255).toStdString());
}

}  // namespace stratavon
