#include "app/FlasherApp.h"

#include <QApplication>
#include <QFileInfo>

#include "ui/FlasherDlg.h"

namespace kelvane {

void CFlasherApp::Setup(QApplication& app, const char* argv0) {
  // Message boxes of the workers and the file checks are captioned with the
  // executable's file name without its extension.
  const QString name = QFileInfo(QFile::decodeName(argv0 ? argv0 : "kelvane")).completeBaseName();
  QApplication::setApplicationName(name.isEmpty() ? QStringLiteral("kelvane") : name);
  QApplication::setApplicationVersion(QStringLiteral(KELVANE_VERSION));
  QApplication::setApplicationDisplayName(QStringLiteral("Kelvane"));
  QApplication::setDesktopFileName(QStringLiteral("kelvane"));
  app.setWindowIcon(AppIcon());
}

int CFlasherApp::InitInstance(const std::string& argumentText) {
  CFlasherDlg dlg(argumentText);
  dlg.exec();  // the result does not matter: closing the window ends the program
  return 0;
}

}  // namespace kelvane
