#pragma once
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QString>
#include <chrono>
#include <functional>
#include <ostream>
#include <future>
#include <thread>
#include <vector>

#include "ui/FlasherDlg.h"

// Failure messages show QStrings as text.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace kelvane::test {

// Pumps the window's events until pred() holds or timeoutMs pass.
inline bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 5000) {
  QElapsedTimer t;
  t.start();
  while (!pred()) {
    if (t.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

// Runs fn on a worker thread, as the receiver or the sender would, while the
// window's thread keeps serving its requests. False if it did not finish.
inline bool RunAsWorker(const std::function<void()>& fn, int timeoutMs = 5000) {
  std::promise<void> finished;
  auto done = finished.get_future();
  std::thread worker([&] {
    fn();
    finished.set_value();
  });
  const bool ok = PumpUntil([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                            timeoutMs);
  worker.join();
  return ok;
}

// A message box as the window showed it.
struct ShownBox {
  QMessageBox::Icon icon;
  QString caption, text, informative;
  bool onGuiThread;
};

// Records the window's message boxes instead of showing them.
inline void RecordBoxes(CFlasherDlg& dlg, std::vector<ShownBox>& boxes) {
  dlg.SetMessageBoxHook([&boxes](QMessageBox::Icon icon, const QString& caption, const QString& text,
                                 const QString& informative) {
    boxes.push_back({icon, caption, text, informative,
                     QThread::currentThread() == QCoreApplication::instance()->thread()});
  });
}

}  // namespace kelvane::test
