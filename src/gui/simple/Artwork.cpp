#include "gui/simple/Artwork.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace stratavon {
namespace {

// The strata of the name: layered bands of rock, which is what a disk
// under test is to us, with a pulse line running through them.
const QColor kLayerColors[] = {QColor(0xE8, 0xB0, 0x4A), QColor(0xC9, 0x7A, 0x35), QColor(0x8E, 0x5A, 0x36),
                               QColor(0x5C, 0x46, 0x3A)};

void PaintStrata(QPainter& painter, const QRectF& area, int nLayers) {
  const qreal dBand = area.height() / nLayers;
  for (int i = 0; i < nLayers; ++i) {
    const qreal y = area.top() + i * dBand;
    QPainterPath band;
    band.moveTo(area.left(), y + dBand * 0.25);
    band.cubicTo(area.left() + area.width() * 0.35, y - dBand * 0.2, area.left() + area.width() * 0.65,
                 y + dBand * 0.6, area.right(), y + dBand * 0.15);
    band.lineTo(area.right(), area.bottom());
    band.lineTo(area.left(), area.bottom());
    band.closeSubpath();
    painter.fillPath(band, kLayerColors[i % 4]);
  }
}

void PaintPulse(QPainter& painter, const QRectF& area, qreal dWidth) {
  QPainterPath pulse;
  const qreal y = area.center().y();
  pulse.moveTo(area.left(), y);
  pulse.lineTo(area.left() + area.width() * 0.38, y);
  pulse.lineTo(area.left() + area.width() * 0.48, area.top());
  pulse.lineTo(area.left() + area.width() * 0.58, area.bottom());
  pulse.lineTo(area.left() + area.width() * 0.66, y);
  pulse.lineTo(area.right(), y);
  painter.setPen(QPen(Qt::white, dWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.setBrush(Qt::NoBrush);
  painter.drawPath(pulse);
}

}  // namespace

QPixmap ApplicationIconPixmap(int nSize) {
  QPixmap pixmap(nSize, nSize);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF tile(nSize * 0.04, nSize * 0.04, nSize * 0.92, nSize * 0.92);
  QPainterPath outline;
  outline.addRoundedRect(tile, nSize * 0.18, nSize * 0.18);
  QLinearGradient sky(tile.topLeft(), tile.bottomLeft());
  sky.setColorAt(0, QColor(0x1F, 0x4E, 0x79));
  sky.setColorAt(1, QColor(0x12, 0x2B, 0x45));
  painter.fillPath(outline, sky);
  painter.setClipPath(outline);
  PaintStrata(painter, QRectF(tile.left(), tile.top() + tile.height() * 0.5, tile.width(), tile.height() * 0.5), 4);
  PaintPulse(painter, QRectF(tile.left(), tile.top() + tile.height() * 0.14, tile.width(), tile.height() * 0.34),
             qMax<qreal>(1.5, nSize / 14.0));
  return pixmap;
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (int nSize : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(ApplicationIconPixmap(nSize));
  return icon;
}

QPixmap BannerBitmap(const QSize& size, qreal dDevicePixelRatio) {
  QPixmap pixmap(size * dDevicePixelRatio);
  pixmap.setDevicePixelRatio(dDevicePixelRatio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);

  const QRectF area(0.5, 0.5, size.width() - 1.0, size.height() - 1.0);
  QPainterPath frame;
  frame.addRoundedRect(area, 3, 3);
  QLinearGradient sky(area.topLeft(), area.bottomLeft());
  sky.setColorAt(0, QColor(0x1F, 0x4E, 0x79));
  sky.setColorAt(1, QColor(0x12, 0x2B, 0x45));
  painter.fillPath(frame, sky);
  painter.save();
  painter.setClipPath(frame);
  PaintStrata(painter, QRectF(area.left(), area.bottom() - area.height() * 0.28, area.width(), area.height() * 0.28),
              3);
  painter.restore();

  // The icon's pulse at the left, the name beside it.
  const qreal dMark = area.height() * 0.62;
  const QRectF mark(area.left() + area.height() * 0.12, area.top() + area.height() * 0.06, dMark, dMark * 0.7);
  PaintPulse(painter, mark, qMax<qreal>(1.2, area.height() / 22.0));

  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(qMax(8, static_cast<int>(area.height() * 0.36)));
  font.setLetterSpacing(QFont::PercentageSpacing, 108);
  const QString szName = QStringLiteral("STRATAVON");
  const QRectF text(mark.right() + area.height() * 0.12, area.top(),
                    area.right() - mark.right() - area.height() * 0.3, area.height() * 0.74);
  // The name fits the banner whatever face the desktop gives us.
  while (font.pixelSize() > 6 && QFontMetricsF(font).horizontalAdvance(szName) > text.width()) {
    font.setPixelSize(font.pixelSize() - 1);
  }
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(text, Qt::AlignHCenter | Qt::AlignVCenter, szName);
  painter.setPen(QColor(0x12, 0x2B, 0x45, 200));
  painter.drawPath(frame);
  return pixmap;
}

}  // namespace stratavon
