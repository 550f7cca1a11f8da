#pragma once
#include <QFont>

namespace kelvane {

enum class DialogFontKind {
  Main,   // the main window: "TIMES NEW ROMAN", 9 point
  About,  // the About box: "MS Sans Serif", 8 point
};

// The font a dialog is laid out in. The Windows faces are mapped onto
// metric-compatible free faces (Liberation Serif for Times New Roman), so
// that the texts fit their rectangles as they were drawn for.
QFont DialogFont(DialogFontKind kind);

}  // namespace kelvane
