#include "gui/simple/DialogUnits.h"

#include <QFontMetrics>
#include <algorithm>

namespace stratavon {

CDialogUnits::CDialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  // The average over the Latin letters, as dialog managers measure it;
  // a font's declared average width is often off for proportional faces.
  static const QString kLetters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  const int nLetters = static_cast<int>(kLetters.size());
  m_nBaseX = std::max(1, (metrics.horizontalAdvance(kLetters) + nLetters / 2) / nLetters);
  m_nBaseY = std::max(1, metrics.height());
}

int CDialogUnits::X(int nUnits) const { return (nUnits * m_nBaseX + 2) / 4; }

int CDialogUnits::Y(int nUnits) const { return (nUnits * m_nBaseY + 4) / 8; }

QRect CDialogUnits::Rect(int x, int y, int cx, int cy) const {
  // From the converted edges, so that controls that meet in the template
  // meet on screen and never overlap by a rounded pixel.
  return QRect(QPoint(X(x), Y(y)), QPoint(X(x + cx) - 1, Y(y + cy) - 1));
}

QSize CDialogUnits::Size(int cx, int cy) const { return QSize(X(cx), Y(cy)); }

}  // namespace stratavon
