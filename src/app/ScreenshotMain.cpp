// Renders the main window, as it looks right after start-up, into a PNG file
// (for the README). Not installed.
//
//   QT_QPA_PLATFORM=offscreen kelvane-screenshot OUT.png [FILE]
#include <QApplication>
#include <QPixmap>
#include <cstdio>

#include "app/FlasherApp.h"
#include "ui/FlasherDlg.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s OUT.png [FILE]\n", argv[0]);
    return 2;
  }
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  kelvane::CFlasherApp::Setup(app, "kelvane");
  kelvane::CFlasherDlg dlg(argc == 3 ? argv[2] : "");
  dlg.show();
  QApplication::processEvents();
  const QPixmap shot = dlg.grab();
  if (!shot.save(QString::fromLocal8Bit(argv[1]), "PNG")) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
