#include "run/AdvancedRunControl.h"

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

void LaunchAdvancedWorker(int nTarget, int nSlot, uint32_t nKind) {
  const WorkerFactory pfnCreate = WorkerClassOf(nKind);
  if (pfnCreate != nullptr) LaunchWorker(nTarget, nSlot, pfnCreate, nKind);
}

CAdvancedRunControl::CAdvancedRunControl(IAdvancedView& view, uint32_t dwFunction, int nThreads,
                                         TargetCountFn targetCount)
    : m_view(view),
      m_targetCount(std::move(targetCount)),
      m_launch(LaunchAdvancedWorker),
      m_clock([] { return static_cast<int64_t>(std::time(nullptr)); }),
      m_nThreads(nThreads) {
  m_settings.dwFunction = dwFunction;
  m_settings.pDialog = &m_view;
}

int CAdvancedRunControl::TargetCount() const {
  if (g_pTargetRecords == nullptr) return 0;
  const int nTargets = m_targetCount ? m_targetCount() : g_nTargetRecords;
  return nTargets < g_nTargetRecords ? nTargets : g_nTargetRecords;
}

bool CAdvancedRunControl::OnStart(const RunChoices& choices) {
  // The Start button is disabled while running; a second start would forget
  // the live workers' slots.
  if (m_bRunning != 0) return false;

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

  m_view.BeginRun();
  PrepareTargetRecords();
  // Every run's stamped units carry an id of their own, so data left by an
  // earlier run never passes for this one's.
  if (g_bStampedPattern) g_qwStampRunId = NewStampRunId();
  ClearIntegrityReports();
  m_view.SetPerformanceText("0 MB/s");
  m_view.SetIopsText("0 IO/s");
  m_view.SetExtendedText("NONE");
  m_view.EnableStart(false);
  m_view.EnableStop(false);
  const int nTargets = TargetCount();
  for (int t = 0; t < nTargets; ++t) LaunchTargetWorkers(t);

  m_view.SetStatusText("RUN");
  m_bRunning = 1;
  m_view.EnableStop(true);
  m_tStart = m_clock();
  m_intervals.Reset(nTargets);
  m_view.StartTimers((m_settings.dwMode & MODE_PERFORMANCE) != 0);
  return true;
}

void CAdvancedRunControl::PrepareTargetRecords() {
  const int nTargets = TargetCount();
  for (int t = 0; t < nTargets; ++t) {
    TargetRunRecord& record = g_pTargetRecords[t];
    if (record.settings.bCustom == 0) record.settings = m_settings;
    // Settings given with Modify serve one Start only.
    record.settings.bCustom = 0;
    UpdateTargetRow(m_view, nTargets, t, record.settings);
    ResetSlots(record);
  }
}

void CAdvancedRunControl::LaunchTargetWorkers(int nTarget) {
  if (!IsRunnableFunction(m_settings.dwFunction)) {
    m_view.EnableStart(true);
    m_view.EnableStop(true);
    return;
  }
  const uint32_t dwTargetMode = g_pTargetRecords[nTarget].settings.dwMode;
  for (const PlannedWorker& worker :
       PlanTargetWorkers(dwTargetMode, m_settings.dwMode, m_settings.dwFunction, m_nThreads)) {
    m_launch(nTarget, worker.nSlot, worker.nKind);
  }
}

void CAdvancedRunControl::ShowStopping() {
  m_view.KillTimers();
  m_view.EnableStart(false);
  m_view.EnableStop(false);
  m_view.SetExtendedText("Please Wait. Shutting down I/O in Process ...");
  m_view.Repaint();
}

StopResult CAdvancedRunControl::OnStop(const StopHooks& hooks) {
  if (m_bRunning == 0) return {};
  ShowStopping();
  // The workers write their last words into the view while this waits, so
  // the caller keeps serving them in dispatch. A further wait after a stall
  // says again that the stop goes on.
  StopHooks stopping = hooks;
  if (hooks.onStalled) {
    stopping.onStalled = [&](const std::vector<std::string>& stalls) {
      if (!hooks.onStalled(stalls)) return false;
      ShowStopping();
      return true;
    };
  }
  StopResult result = StopRun(stopping);
  if (!result.bEnded) return result;
  m_view.SetStatusText("STOP");
  m_view.SetExtendedText("NONE");
  m_view.EnableStart(true);
  m_view.EnableStop(true);
  m_bRunning = 0;
  return result;
}

StopResult CAdvancedRunControl::OnClose(const StopHooks& hooks) {
  StopResult result = OnStop(hooks);
  if (result.bEnded) ReleaseDataFile();
  return result;
}

void CAdvancedRunControl::OnTimer(int nTimerId) {
  if (nTimerId == TIMER_ELAPSED) {
    m_elapsed = m_clock() - m_tStart;
    ShowIoErrors(m_view, TargetCount());
    if (const std::optional<std::string> szText = ElapsedText(m_elapsed)) {
      m_view.SetElapsedText(*szText);
      m_view.Repaint();
    }
  } else if (nTimerId == TIMER_STATS) {
    SampleRates(m_view, TargetCount());
    m_intervals.Sample(TargetCount());
  }
}

}  // namespace stratavon
