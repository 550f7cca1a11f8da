#include "ui/DialogFont.h"

#include <QStringList>

namespace kelvane {

QFont DialogFont(DialogFontKind kind) {
  static const bool substituted = [] {
    QFont::insertSubstitutions(QStringLiteral("Times New Roman"),
                               QStringList{QStringLiteral("Liberation Serif"), QStringLiteral("DejaVu Serif")});
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    return true;
  }();
  (void)substituted;
  QFont font = kind == DialogFontKind::Main ? QFont(QStringLiteral("Times New Roman"), 9)
                                            : QFont(QStringLiteral("MS Sans Serif"), 8);
  font.setStyleHint(kind == DialogFontKind::Main ? QFont::Serif : QFont::SansSerif);
  return font;
}

}  // namespace kelvane
