#pragma once
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "CliConsole.h"
#include "protocol/Owner.h"
#include "serial/SerialLink.h"

namespace kelvane::cli {

using SteadyClock = std::chrono::steady_clock;

// The worker threads' window, for a terminal: the selections are the
// command line's, message boxes become lines on stderr, and the rest is
// recorded for the runner, which decides when the transfer has ended. Every
// call answers at once, so the threads never wait on the front end.
class CCliOwner : public IFlasherOwner {
 public:
  struct Message {
    std::string text;
    MsgIcon icon;
  };

  // What the runner looks at on each pass.
  struct State {
    uint64_t bytesDone = 0, bytesTotal = 0;  // as the threads reported them
    bool bytesReported = false;
    uint16_t progressMax = 100;
    int progressPos = 0;
    bool busy = false;           // between UpdateControls(1) and (0)
    bool writing = false;        // the writing notice is shown
    bool cancelEnabled = false;  // Cancel would be available in the window
    bool uploadNameAsked = false;
    bool pathAsked = false;      // the sender or receiver looked up the file
    bool started = false;        // the data phase has begun
    SteadyClock::time_point startTime{}, writingTime{};
    uint32_t lastActivityTick = 0;  // GetTickMs of the last call that shows progress
    size_t messageCount = 0;
  };

  // `statusText` is what the window's status line would hold: the Upload's
  // destination, or the Download's "name  size Bytes".
  CCliOwner(CConsole& console, int kind, int direction, int baudIndex, std::string selectedPath,
            std::string statusText);

  int KindSel() override { return kind_; }
  int DirectionSel() override { return direction_; }
  int SpeedSel() override { return baudIndex_; }
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
  void OnTransferBytes(uint64_t done, uint64_t total) override;

  State Snapshot();
  std::vector<Message> MessagesFrom(size_t index);

 private:
  void Touch();  // under mu_

  CConsole& console_;
  const int kind_, direction_, baudIndex_;
  std::mutex mu_;
  std::string path_, status_;
  State state_;
  std::vector<Message> messages_;
};

// What a message of the worker threads means for a transfer nobody watches.
enum class MessageEffect {
  None,        // information, or the transfer goes on (or ends by itself)
  CancelNow,   // the window would now wait for the operator: act as Cancel
  EndsOrStalls // an error: the threads close the link themselves, unless the
               // transfer stalled; cancel if the link is still open a moment later
};
MessageEffect EffectOf(const std::string& text, MsgIcon icon, bool upload);

// True for the two messages that end a transfer successfully.
bool IsCompletionMessage(const std::string& text);

}  // namespace kelvane::cli
