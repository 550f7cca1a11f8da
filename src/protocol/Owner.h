#pragma once
#include <cstdint>
#include <string>

namespace kelvane {

enum class MsgIcon { Error, Warning };

// How the worker threads reach the window. Every call is synchronous: it
// returns when the window has carried it out (for ShowMessage, when the
// operator has closed the box). The Qt window runs each request on its own
// thread; the command-line front end and the tests implement it directly.
// Once the window is going away an implementation answers at once (with -1
// for the selections and empty texts) instead of blocking.
class IFlasherOwner {
 public:
  virtual ~IFlasherOwner() = default;

  // Current selections of the lists, read at the moment of use; -1 for none.
  virtual int KindSel() = 0;       // ImageKind 0..6
  virtual int DirectionSel() = 0;  // 0 Download, 1 Upload
  virtual int SpeedSel() = 0;      // BaudIndex 0..4

  virtual void SetProgressRange(uint16_t maxPos) = 0;  // range 0..maxPos
  virtual void SetProgressPos(int pos) = 0;
  virtual void ShowWriting(bool show) = 0;   // the writing notice
  virtual void EnableCancel(bool enable) = 0;
  virtual void UpdateControls(uint8_t busy) = 0;  // 1 transfer, 0 idle, other: nothing

  // A modal message box with an OK button, owned by the window, captioned
  // with the application's name. Returns when the operator has closed it.
  virtual void ShowMessage(const std::string& text, MsgIcon icon) = 0;

  // The window settles the Upload destination name in its status text.
  virtual void UploadFileName() = 0;
  // Whole, consistent copies of the status text and the selected path.
  virtual std::string StatusText() = 0;
  virtual std::string SelectedPath() = 0;
  virtual void ClearSelectedPath() = 0;

  // Payload bytes moved so far in the running transfer and its total, for a
  // front end that shows bytes and rates. The window has no use for it.
  virtual void OnTransferBytes(uint64_t /*done*/, uint64_t /*total*/) {}
};

}  // namespace kelvane
