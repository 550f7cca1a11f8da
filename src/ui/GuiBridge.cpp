#include "ui/GuiBridge.h"

#include <QComboBox>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>

#include "ui/FlasherDlg.h"

namespace kelvane {

struct CGuiBridge::Request {
  enum State { Pending, Running, Done, Abandoned };
  State state = Pending;  // guarded by the bridge's mutex
  std::function<void()> job;
};

CGuiBridge::CGuiBridge(CFlasherDlg& dlg) : dlg_(dlg), guiThread_(dlg.thread()) {}

CGuiBridge::~CGuiBridge() { Detach(); }

void CGuiBridge::Detach() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    detached_.store(true, std::memory_order_release);
  }
  cv_.notify_all();
}

bool CGuiBridge::RunOnGui(std::function<void()> job) {
  if (QThread::currentThread() == guiThread_) {
    if (IsDetached()) return false;
    job();
    return true;
  }
  auto req = std::make_shared<Request>();
  req->job = std::move(job);
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (IsDetached()) return false;
  }
  // Queued to the window's thread. The job only ever runs while this worker
  // is still waiting below, so it may refer to the worker's locals.
  QMetaObject::invokeMethod(&dlg_, [this, req] { Serve(req); }, Qt::QueuedConnection);

  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return req->state == Request::Done || (IsDetached() && req->state == Request::Pending); });
  if (req->state == Request::Done) return true;
  req->state = Request::Abandoned;
  return false;
}

void CGuiBridge::Serve(const std::shared_ptr<Request>& req) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (req->state != Request::Pending || IsDetached()) return;
    req->state = Request::Running;
  }
  req->job();
  {
    std::lock_guard<std::mutex> lock(mu_);
    req->state = Request::Done;
  }
  cv_.notify_all();
}

int CGuiBridge::KindSel() {
  int r = -1;
  RunOnGui([&] { r = dlg_.cbKind->currentIndex(); });
  return r;
}

int CGuiBridge::DirectionSel() {
  int r = -1;
  RunOnGui([&] { r = dlg_.cbDirection->currentIndex(); });
  return r;
}

int CGuiBridge::SpeedSel() {
  int r = -1;
  RunOnGui([&] { r = dlg_.cbSpeed->currentIndex(); });
  return r;
}

void CGuiBridge::SetProgressRange(uint16_t maxPos) {
  RunOnGui([&] { dlg_.SetProgressRange(maxPos); });
}

void CGuiBridge::SetProgressPos(int pos) {
  RunOnGui([&] { dlg_.SetProgressPos(pos); });
}

void CGuiBridge::ShowWriting(bool show) {
  RunOnGui([&] { dlg_.stWriting->setVisible(show); });
}

void CGuiBridge::EnableCancel(bool enable) {
  RunOnGui([&] { dlg_.btnCancel->setEnabled(enable); });
}

void CGuiBridge::UpdateControls(uint8_t busy) {
  RunOnGui([&] { dlg_.UpdateControls(busy); });
}

void CGuiBridge::ShowMessage(const std::string& text, MsgIcon icon) {
  RunOnGui([&] { dlg_.ShowAppMessage(text, icon); });
}

void CGuiBridge::UploadFileName() {
  RunOnGui([&] { dlg_.OnUploadFileName(); });
}

std::string CGuiBridge::StatusText() {
  std::string r;
  RunOnGui([&] { r = dlg_.strStatus; });
  return r;
}

std::string CGuiBridge::SelectedPath() {
  std::string r;
  RunOnGui([&] { r = dlg_.SelectedPath(); });
  return r;
}

void CGuiBridge::ClearSelectedPath() {
  RunOnGui([&] { dlg_.SetSelectedPath(std::string()); });
}

}  // namespace kelvane
