#pragma once
#include <QFont>
#include <QRect>

namespace kelvane {

// Dialog units of a dialog font: a horizontal unit is a quarter of the
// font's average character width, a vertical unit an eighth of its height.
// Every control is placed at its template rectangle through this mapping,
// so the window keeps its proportions with whatever font it gets.
class CDialogUnits {
 public:
  CDialogUnits(int baseX, int baseY) : baseX_(baseX), baseY_(baseY) {}
  // Base units measured from a font: the average width of the 52 letters
  // A..Z a..z (rounded), and the font's height (ascent plus descent).
  static CDialogUnits FromFont(const QFont& font);

  int BaseX() const { return baseX_; }
  int BaseY() const { return baseY_; }
  // Dialog units to pixels, rounded to the nearest pixel.
  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;

 private:
  int baseX_;
  int baseY_;
};

}  // namespace kelvane
