#include "gui/advanced/RunMonitor.h"

#include <QAction>
#include <QMenu>
#include <QPixmap>
#include <QWidget>

#include "run/Statistics.h"
#include "run/WorkerPlan.h"
#include "gui/advanced/CorvaneAdvancedDlg.h"
#include "gui/advanced/EventLogDlg.h"
#include "gui/advanced/RateChart.h"
#include "gui/advanced/ResultsDlg.h"
#include "engine/WorkerConsole.h"
#include "platform/EventLog.h"

namespace stratavon {
namespace {

std::string Switch(const RunSettings& settings, uint32_t dwBit) {
  return (settings.dwMode & dwBit) != 0 ? "ENABLED" : "DISABLED";
}

}  // namespace

std::vector<std::pair<std::string, std::string>> DescribeRunSettings(const RunSettings& settings, int nTargets,
                                                                     const std::string& szPattern) {
  std::vector<std::pair<std::string, std::string>> described = {
      {"Function", FunctionWord(settings.dwFunction)},
      {"Threads", std::to_string(settings.dwThreads)},
      {"Targets", std::to_string(nTargets)},
      {"Pattern", szPattern},
      {"Transfer Size", SizeWord(settings.dwTransferSize)},
      {"Buffer Size", SizeWord(settings.dwBufferSize)},
      {"Error Checking", Switch(settings, MODE_ERROR_CHECKING)},
      {"Enable Performance", Switch(settings, MODE_PERFORMANCE)},
      {"Asynchronous", Switch(settings, MODE_ASYNC)},
  };
  if ((settings.dwMode & MODE_ASYNC) != 0) described.emplace_back("I/O Depth", std::to_string(settings.dwQueueDepth));
  return described;
}

CRunMonitor::CRunMonitor(QWidget* pConsole, CellFn cell, TargetWordsFn words)
    : QObject(pConsole), m_pConsole(pConsole), m_cell(std::move(cell)), m_words(std::move(words)) {}

// The windows are the console's children and go with it.
CRunMonitor::~CRunMonitor() = default;

CRateChartDlg* CRunMonitor::ChartWindow() const { return m_pChart; }
CResultsDlg* CRunMonitor::ResultsWindow() const { return m_pResults; }
CEventLogDlg* CRunMonitor::EventLogWindow() const { return m_pEvents; }

void CRunMonitor::AddMenuItems(QMenu* pOptions) {
  pOptions->addSeparator();
  QAction* pChart = pOptions->addAction(tr("Live &Chart..."));
  pChart->setObjectName(QStringLiteral("actionLiveChart"));
  connect(pChart, &QAction::triggered, this, &CRunMonitor::OnShowChart);
  QAction* pResults = pOptions->addAction(tr("&Results..."));
  pResults->setObjectName(QStringLiteral("actionResults"));
  connect(pResults, &QAction::triggered, this, &CRunMonitor::OnShowResults);
  m_pResultsOnStop = pOptions->addAction(tr("Show Results on &Stop"));
  m_pResultsOnStop->setObjectName(QStringLiteral("actionResultsOnStop"));
  m_pResultsOnStop->setCheckable(true);
  m_pResultsOnStop->setChecked(true);
  pOptions->addSeparator();
  QAction* pEvents = pOptions->addAction(tr("&Event Log..."));
  pEvents->setObjectName(QStringLiteral("actionEventLog"));
  connect(pEvents, &QAction::triggered, this, &CRunMonitor::OnShowEventLog);
}

void CRunMonitor::OnRunStarted(int nTargets, const RunSettings& settings, const std::string& szPattern) {
  m_nTargets = nTargets;
  m_bRunning = true;
  m_tStart = std::chrono::steady_clock::now();
  m_history.Clear(nTargets);
  m_feed.Start(nTargets, 0.0);
  m_result = RunResult();
  m_result.settings = DescribeRunSettings(settings, nTargets, szPattern);
  for (int t = 0; g_pTargetRecords != nullptr && t < nTargets && t < g_nTargetRecords; ++t) {
    const RunSettings& own = g_pTargetRecords[t].settings;
    if (own.bCustom == 0) continue;
    m_result.settings.emplace_back("Target " + std::to_string(t + 1) + " (Modify)",
                                   SizeWord(own.dwTransferSize) + " / " + SizeWord(own.dwBufferSize) +
                                       ", error checking " + Switch(own, MODE_ERROR_CHECKING) + ", performance " +
                                       Switch(own, MODE_PERFORMANCE) + ", " +
                                       ((own.dwMode & MODE_ASYNC) != 0 ? "ASYNC" : "SYNC"));
  }
  if (m_pChart) m_pChart->Refresh(TargetNames());
}

double CRunMonitor::SecondsSinceStart() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_tStart).count();
}

void CRunMonitor::OnSample(const CIntervalStats& intervals) {
  if (!m_bRunning) return;
  m_feed.Sample(SecondsSinceStart(), m_history, &intervals);
  if (m_pChart) m_pChart->Refresh(TargetNames());
}

void CRunMonitor::OnRunEnded(bool bShow) {
  if (!m_bRunning) return;
  m_bRunning = false;
  const std::vector<std::pair<std::string, std::string>> settings = std::move(m_result.settings);
  m_result = CollectTargetResults(m_nTargets, m_words);
  m_result.dElapsedSeconds = SecondsSinceStart();
  m_result.settings = settings;
  m_bHasResult = true;
  if (m_pChart) m_pChart->Refresh(TargetNames());
  if (m_pResults) m_pResults->SetResult(m_result);
  if (bShow && m_pResultsOnStop != nullptr && m_pResultsOnStop->isChecked()) OnShowResults();
}

QStringList CRunMonitor::TargetNames() const {
  QStringList names;
  for (int t = 0; t < m_nTargets; ++t) names << QString::fromStdString(m_cell(t, kColumnTarget));
  return names;
}

void CRunMonitor::OnShowChart() {
  if (!m_pChart) m_pChart = new CRateChartDlg(m_history, m_pConsole);
  m_pChart->Refresh(TargetNames());
  m_pChart->show();
  m_pChart->raise();
}

void CRunMonitor::OnShowResults() {
  if (!m_pResults) {
    m_pResults = new CResultsDlg(m_pConsole, [this] {
      // The chart as its window shows it, or drawn off screen at its usual size.
      if (m_pChart && m_pChart->isVisible()) return m_pChart->Chart().grab();
      CRateChart chart(m_history);
      chart.SetTargetNames(TargetNames());
      chart.resize(chart.sizeHint());
      return chart.grab();
    });
  }
  m_pResults->SetResult(m_result);
  m_pResults->show();
  m_pResults->raise();
}

void CRunMonitor::OnShowEventLog() {
  if (!m_pEvents) m_pEvents = new CEventLogDlg(m_pConsole, EventLogPath());
  m_pEvents->Reload();
  m_pEvents->show();
  m_pEvents->raise();
}

}  // namespace stratavon
