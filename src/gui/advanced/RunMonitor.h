#pragma once

#include <QObject>
#include <QPointer>
#include <chrono>
#include <functional>
#include <string>

#include "run/RateHistory.h"
#include "run/RunSummary.h"
#include "engine/RunRecord.h"

class QAction;
class QMenu;
class QWidget;

namespace stratavon {

class CEventLogDlg;
class CIntervalStats;
class CRateChartDlg;
class CResultsDlg;

// What the advanced console keeps of its runs besides the list: the live
// chart's history and the results shown when a run stops; and the windows
// that show them (Options > Live Chart, Results, Event Log). It only
// listens: the console tells it when a run starts, samples and stops.
class CRunMonitor : public QObject {
  Q_OBJECT
 public:
  // cell reads a cell of the console's target list; words what the
  // console shows of a target once its run has ended.
  using CellFn = std::function<std::string(int nRow, int nColumn)>;

  CRunMonitor(QWidget* pConsole, CellFn cell, TargetWordsFn words);
  ~CRunMonitor() override;

  void AddMenuItems(QMenu* pOptions);

  // A run started on nTargets targets with these settings and pattern words.
  void OnRunStarted(int nTargets, const RunSettings& settings, const std::string& szPattern);
  // Timer 2 sampled the rates; intervals holds that interval's latencies.
  void OnSample(const CIntervalStats& intervals);
  // Every worker has ended. bShow: show the results (Stop, not closing).
  void OnRunEnded(bool bShow);

  bool HasResult() const { return m_bHasResult; }
  const RunResult& LastResult() const { return m_result; }
  const CRateHistory& History() const { return m_history; }
  // The windows, once opened (tests and screenshots).
  CRateChartDlg* ChartWindow() const;
  CResultsDlg* ResultsWindow() const;
  CEventLogDlg* EventLogWindow() const;

  void OnShowChart();
  void OnShowResults();
  void OnShowEventLog();

 private:
  QStringList TargetNames() const;
  double SecondsSinceStart() const;

  QWidget* m_pConsole;
  CellFn m_cell;
  TargetWordsFn m_words;
  CRateHistory m_history;
  CRateFeed m_feed;
  RunResult m_result;
  bool m_bRunning = false;
  bool m_bHasResult = false;
  int m_nTargets = 0;
  std::chrono::steady_clock::time_point m_tStart;
  QPointer<CRateChartDlg> m_pChart;
  QPointer<CResultsDlg> m_pResults;
  QPointer<CEventLogDlg> m_pEvents;
  QAction* m_pResultsOnStop = nullptr;
};

// The settings a run used, as names and values for the results.
std::vector<std::pair<std::string, std::string>> DescribeRunSettings(const RunSettings& settings, int nTargets,
                                                                     const std::string& szPattern);

}  // namespace stratavon
