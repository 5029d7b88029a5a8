#pragma once

#include <QDialog>
#include <QWidget>

#include "run/RateHistory.h"

class QComboBox;
class QLabel;

namespace stratavon {

// The rates of a run over its whole length: one line per target and a
// thicker one for the total, of the series chosen (MB/s, IOPS or p99
// latency), painted from a CRateHistory that the owner keeps.
class CRateChart : public QWidget {
  Q_OBJECT
 public:
  enum Series : int { kSeriesMbPerSec = 0, kSeriesIops = 1, kSeriesP99 = 2 };

  CRateChart(const CRateHistory& history, QWidget* pParent = nullptr);

  void SetSeries(int nSeries);
  int SeriesShown() const { return m_nSeries; }
  // Root names for the legend, one per target.
  void SetTargetNames(const QStringList& names);

  QSize sizeHint() const override { return {560, 280}; }
  QSize minimumSizeHint() const override { return {240, 140}; }

 protected:
  void paintEvent(QPaintEvent* pEvent) override;

 private:
  const CRateHistory& m_history;
  int m_nSeries = kSeriesMbPerSec;
  QStringList m_names;
};

// The chart's window beside the advanced console: the chart and the
// series switch. The p99 switch is enabled once the history carries a
// latency.
class CRateChartDlg : public QDialog {
  Q_OBJECT
 public:
  CRateChartDlg(const CRateHistory& history, QWidget* pParent = nullptr);

  CRateChart& Chart() { return *m_pChart; }
  // After every sample and at the start of a run.
  void Refresh(const QStringList& targetNames);

 private:
  const CRateHistory& m_history;
  CRateChart* m_pChart = nullptr;
  QComboBox* m_cbSeries = nullptr;
  QLabel* m_stSpan = nullptr;
};

// A colour per target that stays apart from its neighbours.
QColor TargetColour(int nTarget);

}  // namespace stratavon
