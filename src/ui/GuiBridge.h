#pragma once
#include <QPointer>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "protocol/Owner.h"

namespace kelvane {

class CFlasherDlg;

// The window as the worker threads see it. Each request is carried out on
// the window's thread while the calling worker waits for it; a request made
// on the window's thread itself runs at once.
//
// The wait can always be released: once the window is closing, Detach()
// answers every pending request and every later one at once (-1 for the
// selections, empty texts, nothing done), so a worker never keeps the window
// from closing and the window never waits for a worker that waits for it.
// A request that the window has already started (a message box on screen)
// is finished first; the window closes such boxes as it detaches.
class CGuiBridge : public IFlasherOwner {
 public:
  explicit CGuiBridge(CFlasherDlg& dlg);
  ~CGuiBridge() override;
  CGuiBridge(const CGuiBridge&) = delete;
  CGuiBridge& operator=(const CGuiBridge&) = delete;

  // From the window's thread, as the window closes.
  void Detach();
  bool IsDetached() const { return detached_.load(std::memory_order_acquire); }

  int KindSel() override;
  int DirectionSel() override;
  int SpeedSel() override;
  void SetProgressRange(uint16_t maxPos) override;
  void SetProgressPos(int pos) override;
  void ShowWriting(bool show) override;
  void EnableCancel(bool enable) override;
  void UpdateControls(uint8_t busy) override;
  void ShowMessage(const std::string& text, MsgIcon icon) override;
  void UploadFileName() override;
  std::string StatusText() override;
  std::string SelectedPath() override;
  void ClearSelectedPath() override;

 private:
  struct Request;
  // Runs job on the window's thread and waits for it. False when the window
  // has detached and the job did not run.
  bool RunOnGui(std::function<void()> job);
  void Serve(const std::shared_ptr<Request>& req);

  CFlasherDlg& dlg_;
  QThread* guiThread_;
  std::atomic<bool> detached_{false};
  std::mutex mu_;
  std::condition_variable cv_;
};

}  // namespace kelvane
