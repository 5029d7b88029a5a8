#include "gui/advanced/RateChart.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QStandardItemModel>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "run/Statistics.h"

namespace stratavon {
namespace {

const std::vector<float>& SeriesOf(const RatePoint& point, int nSeries) {
  switch (nSeries) {
    case CRateChart::kSeriesIops: return point.iops;
    case CRateChart::kSeriesP99: return point.p99Us;
    default: return point.mbPerSec;
  }
}

// 1, 2 or 5 times a power of ten, at least dValue.
double NiceCeiling(double dValue) {
  if (dValue <= 0) return 1;
  const double dPower = std::pow(10.0, std::floor(std::log10(dValue)));
  for (double dStep : {1.0, 2.0, 5.0, 10.0}) {
    if (dStep * dPower >= dValue) return dStep * dPower;
  }
  return 10 * dPower;
}

QString SpanText(double dSeconds) {
  const auto nSeconds = static_cast<int64_t>(dSeconds);
  return QString::fromStdString(ElapsedText(nSeconds).value_or("?"));
}

}  // namespace

QColor TargetColour(int nTarget) {
  static const QColor kColours[] = {QColor(0x1F, 0x77, 0xB4), QColor(0xFF, 0x7F, 0x0E), QColor(0x2C, 0xA0, 0x2C),
                                    QColor(0xD6, 0x27, 0x28), QColor(0x94, 0x67, 0xBD), QColor(0x8C, 0x56, 0x4B),
                                    QColor(0xE3, 0x77, 0xC2), QColor(0x7F, 0x7F, 0x7F), QColor(0xBC, 0xBD, 0x22),
                                    QColor(0x17, 0xBE, 0xCF)};
  return kColours[static_cast<size_t>(nTarget) % std::size(kColours)];
}

CRateChart::CRateChart(const CRateHistory& history, QWidget* pParent) : QWidget(pParent), m_history(history) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(minimumSizeHint());
}

void CRateChart::SetSeries(int nSeries) {
  m_nSeries = nSeries;
  update();
}

void CRateChart::SetTargetNames(const QStringList& names) {
  m_names = names;
  update();
}

void CRateChart::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().base());
  painter.setRenderHint(QPainter::Antialiasing);
  const QFontMetrics metrics(font());
  const int nTargets = m_history.Targets();
  const std::vector<RatePoint> points = m_history.Points();

  // The legend takes the top lines, the axes' words the left and bottom.
  const int nLine = metrics.height();
  int nLegendWidth = 0;
  QStringList legend;
  for (int t = 0; t < nTargets; ++t) legend << (t < m_names.size() ? m_names[t] : tr("Target %1").arg(t + 1));
  legend << tr("Total");
  for (const QString& sz : legend) nLegendWidth = std::max(nLegendWidth, metrics.horizontalAdvance(sz) + 24);

  double dMax = 0;
  for (const RatePoint& point : points) {
    for (float f : SeriesOf(point, m_nSeries)) dMax = std::max(dMax, static_cast<double>(f));
  }
  dMax = NiceCeiling(dMax);
  const auto axisText = [](double d) { return d >= 10 || d == 0 ? QString::number(d, 'f', 0) : QString::number(d, 'g', 3); };
  const QString szTop = axisText(dMax);
  const int nLeft = metrics.horizontalAdvance(szTop) + 10;
  const QRect plot(nLeft, nLine, std::max(width() - nLeft - nLegendWidth - 16, 40),
                   std::max(height() - 3 * nLine, 40));

  for (int i = 0; i <= 4; ++i) {
    const int y = plot.bottom() - plot.height() * i / 4;
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(plot.left(), y, plot.right(), y);
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(QRect(0, y - nLine / 2, nLeft - 4, nLine), Qt::AlignRight | Qt::AlignVCenter,
                     axisText(dMax * i / 4));
  }
  painter.drawRect(plot);
  static const char* const kUnits[] = {"MB/s", "IOPS", "p99 \xC2\xB5s"};
  const double dSpan = points.empty() ? 0 : points.back().dEnd;
  painter.drawText(QRect(plot.left(), plot.bottom() + 2, plot.width(), nLine), Qt::AlignLeft,
                   QString::fromUtf8(kUnits[std::clamp(m_nSeries, 0, 2)]));
  painter.drawText(QRect(plot.left(), plot.bottom() + 2, plot.width(), nLine), Qt::AlignRight, SpanText(dSpan));
  if (points.empty()) {
    painter.drawText(plot, Qt::AlignCenter, tr("No samples yet: Start a run with Enable Performance."));
  }

  // One path per series; each point is drawn at the middle of its span.
  const auto xOf = [&](double dTime) {
    return plot.left() + (dSpan > 0 ? dTime / dSpan : 0.0) * plot.width();
  };
  for (int s = 0; s <= nTargets && !points.empty(); ++s) {
    QPainterPath path;
    bool bFirst = true;
    for (const RatePoint& point : points) {
      const std::vector<float>& values = SeriesOf(point, m_nSeries);
      if (static_cast<size_t>(s) >= values.size()) continue;
      // A p99 of 0: nothing of that series was timed then; a gap, not a fast interval.
      if (m_nSeries == kSeriesP99 && values[static_cast<size_t>(s)] <= 0.0f) {
        bFirst = true;
        continue;
      }
      const QPointF at(xOf((point.dStart + point.dEnd) / 2), plot.bottom() - values[static_cast<size_t>(s)] / dMax *
                                                                                  plot.height());
      if (bFirst) path.moveTo(at); else path.lineTo(at);
      bFirst = false;
    }
    const bool bTotal = s == nTargets;
    painter.setPen(QPen(bTotal ? palette().color(QPalette::Text) : TargetColour(s), bTotal ? 2.5 : 1.5));
    painter.drawPath(path);
  }

  int y = plot.top();
  for (int s = 0; s < legend.size(); ++s) {
    const bool bTotal = s == nTargets;
    painter.setPen(QPen(bTotal ? palette().color(QPalette::Text) : TargetColour(s), bTotal ? 2.5 : 1.5));
    painter.drawLine(plot.right() + 10, y + nLine / 2, plot.right() + 26, y + nLine / 2);
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(QPoint(plot.right() + 30, y + metrics.ascent()),
                     metrics.elidedText(legend[s], Qt::ElideMiddle, nLegendWidth - 10));
    y += nLine;
  }
}

CRateChartDlg::CRateChartDlg(const CRateHistory& history, QWidget* pParent)
    : QDialog(pParent), m_history(history) {
  setWindowTitle(tr("Live Chart"));
  setSizeGripEnabled(true);
  m_pChart = new CRateChart(history, this);
  m_cbSeries = new QComboBox(this);
  m_cbSeries->addItem(tr("MB/s"), CRateChart::kSeriesMbPerSec);
  m_cbSeries->addItem(tr("IOPS"), CRateChart::kSeriesIops);
  m_cbSeries->addItem(tr("p99 latency"), CRateChart::kSeriesP99);
  m_stSpan = new QLabel(this);
  auto* pSeriesLabel = new QLabel(tr("&Series:"), this);
  pSeriesLabel->setBuddy(m_cbSeries);
  auto* pTop = new QHBoxLayout();
  pTop->addWidget(pSeriesLabel);
  pTop->addWidget(m_cbSeries);
  pTop->addStretch(1);
  pTop->addWidget(m_stSpan);
  auto* pLayout = new QVBoxLayout(this);
  pLayout->addLayout(pTop);
  pLayout->addWidget(m_pChart, 1);
  connect(m_cbSeries, &QComboBox::currentIndexChanged, this,
          [this](int nIndex) { m_pChart->SetSeries(m_cbSeries->itemData(nIndex).toInt()); });
  Refresh({});
}

void CRateChartDlg::Refresh(const QStringList& targetNames) {
  // p99 only once the statistics give a latency; until then the item
  // stays in the list, disabled, saying why.
  auto* pModel = qobject_cast<QStandardItemModel*>(m_cbSeries->model());
  if (QStandardItem* pItem = pModel != nullptr ? pModel->item(CRateChart::kSeriesP99) : nullptr) {
    pItem->setEnabled(m_history.HasLatency());
    pItem->setToolTip(m_history.HasLatency() ? QString() : tr("This run's statistics give no latency."));
  }
  if (!m_history.HasLatency() && m_cbSeries->currentIndex() == CRateChart::kSeriesP99) m_cbSeries->setCurrentIndex(0);
  m_pChart->SetTargetNames(targetNames);
  m_stSpan->setText(tr("%1 points kept (at most %2)").arg(m_history.PointCount()).arg(m_history.Capacity()));
  m_pChart->update();
}

}  // namespace stratavon
