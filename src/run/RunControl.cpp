#include "run/RunControl.h"

#include <ctime>

#include "engine/DataFile.h"
#include "run/Statistics.h"
#include "engine/Mismatch.h"
#include "engine/StampedPattern.h"
#include "workers/WorkerClasses.h"
#include "platform/EventLog.h"
#include "platform/MessageBox.h"
#include "run/TargetRecords.h"
#include "run/WorkerPlan.h"

namespace stratavon {

void LaunchClassWorker(int nTarget, int nSlot, uint32_t nKind) {
  const WorkerFactory pfnCreate = WorkerClassOf(nKind);
  if (pfnCreate != nullptr) LaunchWorker(nTarget, nSlot, pfnCreate, nKind);
}

CRunControl::CRunControl(IAdvancedView& view, uint32_t dwFunction, int nThreads, TargetCountFn targetCount)
    : m_pView(&view),
      m_targetCount(std::move(targetCount)),
      m_launch(LaunchClassWorker),
      m_clock([] { return static_cast<int64_t>(std::time(nullptr)); }),
      m_nThreads(nThreads) {
  m_settings.dwFunction = dwFunction;
  m_settings.pDialog = m_pView;
}

CRunControl::CRunControl(TargetCountFn targetCount)
    : m_pView(nullptr),
      m_targetCount(std::move(targetCount)),
      m_launch(LaunchClassWorker),
      m_clock([] { return static_cast<int64_t>(std::time(nullptr)); }) {}

int CRunControl::TargetCount() const {
  if (g_pTargetRecords == nullptr) return 0;
  const int nTargets = m_targetCount ? m_targetCount() : g_nTargetRecords;
  return nTargets < g_nTargetRecords ? nTargets : g_nTargetRecords;
}

bool CRunControl::OnStart(const RunChoices& choices) {
  // The Start button is disabled while running; a second start would forget
  // the live workers' slots.
  if (m_bRunning || IsSimple()) return false;

  if (!ApplyRunChoices(choices, m_nThreads, m_settings)) {
    ShowMessageBox(kMsgTransferOverBuffer, "Error", MessageIcon::kError);
    return false;
  }
  // Every worker opens the event log first and fails without one: say why
  // once, before any worker starts.
  if (std::string szWhy; !CheckEventLogWritable(&szWhy)) {
    ShowMessageBox("The event log cannot be written: " + szWhy, "Error", MessageIcon::kError);
    return false;
  }
  if (DataFilePatternMissing()) {
    // Every worker would end in start-up for want of the pattern.
    ShowMessageBox(kMsgDataFileMissing, "Error", MessageIcon::kError);
    return false;
  }

  m_pView->BeginRun();
  PrepareTargetRecords();
  // Every run's stamped units carry an id of their own, so data left by an
  // earlier run never passes for this one's.
  if (g_bStampedPattern) g_qwStampRunId = NewStampRunId();
  ClearIntegrityReports();
  m_pView->SetPerformanceText("0 MB/s");
  m_pView->SetIopsText("0 IO/s");
  m_pView->SetExtendedText("NONE");
  m_pView->EnableStart(false);
  m_pView->EnableStop(false);
  const int nTargets = TargetCount();
  for (int t = 0; t < nTargets; ++t) LaunchTargetWorkers(t);

  m_pView->SetStatusText("RUN");
  m_bRunning = true;
  m_pView->EnableStop(true);
  m_tStart = m_clock();
  m_intervals.Reset(nTargets);
  m_pView->StartTimers((m_settings.dwMode & MODE_PERFORMANCE) != 0);
  return true;
}

bool CRunControl::OnStartSimple(uint32_t dwFunction, int nThreads) {
  if (m_bRunning || !IsSimple()) return false;
  m_settings.dwFunction = dwFunction;
  m_nThreads = nThreads;
  m_simplePlan = PlanSimpleWorkers(dwFunction, nThreads);
  ResetTargetRecords();
  const int nTargets = TargetCount();
  for (int t = 0; t < nTargets; ++t) {
    for (const PlannedWorker& worker : m_simplePlan) m_launch(t, worker.nSlot, worker.nKind);
  }
  m_tStart = m_clock();
  m_bRunning = true;
  return true;
}

int CRunControl::LaunchedWorkers(int nTarget) const {
  if (g_pTargetRecords == nullptr || nTarget < 0 || nTarget >= g_nTargetRecords) return 0;
  int nLaunched = 0;
  for (const CSlotWorker* pWorker : g_pTargetRecords[nTarget].pWorker) nLaunched += pWorker != nullptr ? 1 : 0;
  return nLaunched;
}

void CRunControl::PrepareTargetRecords() {
  const int nTargets = TargetCount();
  for (int t = 0; t < nTargets; ++t) {
    TargetRunRecord& record = g_pTargetRecords[t];
    if (record.settings.bCustom == 0) record.settings = m_settings;
    // Settings given with Modify serve one Start only.
    record.settings.bCustom = 0;
    UpdateTargetRow(*m_pView, nTargets, t, record.settings);
    ResetSlots(record);
  }
}

void CRunControl::LaunchTargetWorkers(int nTarget) {
  if (!IsRunnableFunction(m_settings.dwFunction)) {
    m_pView->EnableStart(true);
    m_pView->EnableStop(true);
    return;
  }
  const uint32_t dwTargetMode = g_pTargetRecords[nTarget].settings.dwMode;
  for (const PlannedWorker& worker :
       PlanTargetWorkers(dwTargetMode, m_settings.dwMode, m_settings.dwFunction, m_nThreads)) {
    m_launch(nTarget, worker.nSlot, worker.nKind);
  }
}

void CRunControl::ShowStopping() {
  m_pView->KillTimers();
  m_pView->EnableStart(false);
  m_pView->EnableStop(false);
  m_pView->SetExtendedText("Please Wait. Shutting down I/O in Process ...");
  m_pView->Repaint();
}

void CRunControl::ShowStalled(const std::vector<std::string>& stalls) {
  if (stalls.empty()) return;
  m_pView->SetStatusText("FAIL");
  m_pView->SetExtendedText(stalls.front());
}

StopResult CRunControl::OnStop(const StopHooks& hooks) {
  if (!m_bRunning) return {};
  if (IsSimple()) {
    StopResult result = StopRun(hooks);
    m_bRunning = false;
    return result;
  }
  ShowStopping();
  // The workers write their last words into the view while this waits, so
  // the caller keeps serving them in dispatch. A further wait after a stall
  // says again that the stop goes on.
  StopHooks stopping = hooks;
  if (hooks.onStalled) {
    stopping.onStalled = [&](const std::vector<std::string>& stalls) {
      ShowStalled(stalls);
      if (!hooks.onStalled(stalls)) return false;
      ShowStopping();
      return true;
    };
  }
  StopResult result = StopRun(stopping);
  if (!result.bEnded) return result;
  m_pView->SetStatusText("STOP");
  m_pView->SetExtendedText("NONE");
  m_pView->EnableStart(true);
  m_pView->EnableStop(true);
  m_bRunning = false;
  return result;
}

StopResult CRunControl::OnClose(const StopHooks& hooks) {
  StopResult result = OnStop(hooks);
  if (result.bEnded) ReleaseDataFile();
  return result;
}

void CRunControl::OnTimer(int nTimerId) {
  if (IsSimple()) return;
  if (nTimerId == TIMER_ELAPSED) {
    m_elapsed = m_clock() - m_tStart;
    ShowIoErrors(*m_pView, TargetCount());
    if (const std::optional<std::string> szText = ElapsedText(m_elapsed)) {
      m_pView->SetElapsedText(*szText);
      m_pView->Repaint();
    }
  } else if (nTimerId == TIMER_STATS) {
    SampleRates(*m_pView, TargetCount());
    m_intervals.Sample(TargetCount());
  }
}

}  // namespace stratavon
