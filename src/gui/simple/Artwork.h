#pragma once

#include <QIcon>
#include <QPixmap>
#include <QSize>

namespace stratavon {

// Our own drawings for the dialog resources, painted in code so that they
// stay sharp at any size: the application icon (resource 128) and the
// console's banner bitmap (resource 130).
QIcon ApplicationIcon();
QPixmap ApplicationIconPixmap(int nSize);
QPixmap BannerBitmap(const QSize& size, qreal dDevicePixelRatio = 1.0);

}  // namespace stratavon
