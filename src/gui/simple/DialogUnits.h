#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace stratavon {

// Converts the dialog units of the dialog templates into pixels of a font:
// a horizontal unit is a quarter of the font's average character width, a
// vertical unit an eighth of its height, so the dialogs keep their
// proportions whatever font and screen density the desktop uses.
class CDialogUnits {
 public:
  explicit CDialogUnits(const QFont& font);

  int X(int nUnits) const;
  int Y(int nUnits) const;
  QRect Rect(int x, int y, int cx, int cy) const;
  QSize Size(int cx, int cy) const;

  int BaseX() const { return m_nBaseX; }
  int BaseY() const { return m_nBaseY; }

 private:
  int m_nBaseX = 0;  // average character width in pixels
  int m_nBaseY = 0;  // character height in pixels
};

}  // namespace stratavon
