#include "ui/DialogUnits.h"

#include <QFontMetrics>

namespace kelvane {

namespace {
// a * b / c rounded to the nearest integer (halves away from zero).
int ScaleRounded(int a, int b, int c) {
  const long long p = static_cast<long long>(a) * b;
  const long long half = c / 2;
  return static_cast<int>(p >= 0 ? (p + half) / c : (p - half) / c);
}
}  // namespace

CDialogUnits CDialogUnits::FromFont(const QFont& font) {
  const QFontMetrics fm(font);
  const int width = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  const int baseX = (width / 26 + 1) / 2;
  const int baseY = fm.ascent() + fm.descent();
  return CDialogUnits(baseX > 0 ? baseX : 1, baseY > 0 ? baseY : 1);
}

int CDialogUnits::X(int units) const { return ScaleRounded(units, baseX_, 4); }
int CDialogUnits::Y(int units) const { return ScaleRounded(units, baseY_, 8); }

QRect CDialogUnits::Rect(int x, int y, int width, int height) const {
  // Map both corners, not the size, so adjacent controls meet exactly.
  const int left = X(x), top = Y(y);
  return QRect(left, top, X(x + width) - left, Y(y + height) - top);
}

}  // namespace kelvane
