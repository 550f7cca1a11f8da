#pragma once
#include <QFont>

namespace kelvane {

enum class DialogFontKind {
  Main,   // the main window: "TIMES NEW ROMAN", 9 point
  About,  // the About box: "MS Sans Serif", 8 point
};

// The font a dialog is laid out in. Times New Roman and MS Sans Serif are
// mapped onto free faces (Liberation Serif is metric-compatible with Times
// New Roman), so that the texts fit the rectangles they were laid out for.
QFont DialogFont(DialogFontKind kind);

}  // namespace kelvane
