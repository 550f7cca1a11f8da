// Connects the main window to the box on COM1, downloads FILE into it and
// renders the window into OUT.png the moment the last block has gone (the
// bar full, the writing notice up). Then waits for the end of the transfer:
// exits 0 once the window has shown "Upgrade Complete" and is idle again.
// Message boxes are printed instead of shown, so that nothing waits for an
// operator. For tools/demo-screenshot.sh; not installed.
//
//   KELVANE_COM1=/dev/pts/N kelvane-demo-shot OUT.png FILE [TIMEOUT_S]
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/FlasherApp.h"
#include "ui/FlasherDlg.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: %s OUT.png FILE [TIMEOUT_S]\n", argv[0]);
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  const int timeoutMs = (argc == 4 ? std::atoi(argv[3]) : 120) * 1000;
  int qtArgc = 1;
  char* qtArgv[] = {argv[0], nullptr};
  QApplication app(qtArgc, qtArgv);
  kelvane::CFlasherApp::Setup(app, "kelvane");

  kelvane::CFlasherDlg dlg(argv[2]);
  if (dlg.SelectedPath().empty()) {
    std::fprintf(stderr, "%s: cannot select %s\n", argv[0], argv[2]);
    return 1;
  }
  bool complete = false, failed = false;
  dlg.SetMessageBoxHook([&](QMessageBox::Icon icon, const QString& caption, const QString& text, const QString&) {
    std::fprintf(stderr, "%s: %s\n", caption.toLocal8Bit().constData(), text.toLocal8Bit().constData());
    if (text == QStringLiteral("Upgrade Complete") && icon == QMessageBox::Warning)
      complete = true;
    else
      failed = true;
  });
  dlg.show();

  enum { kConnecting, kSending, kWriting, kDone } phase = kConnecting;
  bool saved = false;
  QElapsedTimer clock;
  clock.start();
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* connect = qobject_cast<QPushButton*>(dlg.Control(kelvane::ID_CONNECT));
    auto* cancel = qobject_cast<QPushButton*>(dlg.Control(kelvane::ID_CANCEL_TRANSFER));
    const bool idle = !dlg.link.IsOpen() && connect->isEnabled() && dlg.stWriting->isHidden();
    switch (phase) {
      case kConnecting:
        connect->click();
        if (!dlg.link.IsOpen()) {
          std::fprintf(stderr, "%s: the port did not open\n", argv[0]);
          app.exit(1);
          return;
        }
        phase = kSending;
        break;
      case kSending:
        if (!dlg.stWriting->isHidden() && !cancel->isEnabled() &&
            dlg.pbProgress->value() == dlg.pbProgress->maximum()) {
          saved = dlg.grab().save(out, "PNG");
          if (!saved) std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
          phase = kWriting;
        } else if (idle || failed) {
          phase = kDone;  // ended before the last block
        }
        break;
      case kWriting:
        if (idle) phase = kDone;
        break;
      case kDone:
        break;
    }
    if (phase == kDone && idle) app.exit(saved && complete && !failed ? 0 : 1);
    if (clock.elapsed() > timeoutMs) {
      std::fprintf(stderr, "%s: no end after %d s\n", argv[0], timeoutMs / 1000);
      app.exit(1);
    }
  });
  poll.start(10);
  const int rc = app.exec();
  poll.stop();
  dlg.link.Close();
  return rc;
}
