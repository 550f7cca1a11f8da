#include "CliOwner.h"

#include "serial/Tick.h"

namespace kelvane::cli {

CCliOwner::CCliOwner(CConsole& console, int kind, int direction, int baudIndex, std::string selectedPath,
                     std::string statusText)
    : console_(console),
      kind_(kind),
      direction_(direction),
      baudIndex_(baudIndex),
      path_(std::move(selectedPath)),
      status_(std::move(statusText)) {
  state_.lastActivityTick = GetTickMs();
}

void CCliOwner::Touch() { state_.lastActivityTick = GetTickMs(); }

void CCliOwner::SetProgressRange(uint16_t maxPos) {
  std::lock_guard<std::mutex> lock(mu_);
  state_.progressMax = maxPos;
  Touch();
}

void CCliOwner::SetProgressPos(int pos) {
  std::lock_guard<std::mutex> lock(mu_);
  state_.progressPos = pos;
  Touch();
}

void CCliOwner::ShowWriting(bool show) {
  std::lock_guard<std::mutex> lock(mu_);
  if (show && !state_.writing) state_.writingTime = SteadyClock::now();
  state_.writing = show;
  Touch();
}

void CCliOwner::EnableCancel(bool enable) {
  std::lock_guard<std::mutex> lock(mu_);
  state_.cancelEnabled = enable;
}

void CCliOwner::UpdateControls(uint8_t busy) {
  std::lock_guard<std::mutex> lock(mu_);
  if (busy == 1) {
    state_.busy = true;
    state_.cancelEnabled = true;
    if (!state_.started) {
      state_.started = true;
      state_.startTime = SteadyClock::now();
    }
    Touch();
  } else if (busy == 0) {
    state_.busy = false;
    state_.cancelEnabled = false;
    state_.progressPos = 0;
  }
}

void CCliOwner::ShowMessage(const std::string& text, MsgIcon icon) {
  // Printed first, recorded after: once the runner sees the message, its
  // line is already out, so nothing the runner prints can come before it.
  console_.Line(FormatMessageLines(text, icon == MsgIcon::Error));
  std::lock_guard<std::mutex> lock(mu_);
  messages_.push_back({text, icon});
  state_.messageCount = messages_.size();
  Touch();
}

void CCliOwner::UploadFileName() {
  // The destination is fixed by the command line; the call only tells that
  // the box's signature has been accepted for an Upload.
  std::lock_guard<std::mutex> lock(mu_);
  state_.uploadNameAsked = true;
  Touch();
}

std::string CCliOwner::StatusText() {
  std::lock_guard<std::mutex> lock(mu_);
  return status_;
}

std::string CCliOwner::SelectedPath() {
  std::lock_guard<std::mutex> lock(mu_);
  state_.pathAsked = true;
  return path_;
}

void CCliOwner::ClearSelectedPath() {
  std::lock_guard<std::mutex> lock(mu_);
  path_.clear();
}

void CCliOwner::OnTransferBytes(uint64_t done, uint64_t total) {
  std::lock_guard<std::mutex> lock(mu_);
  state_.bytesDone = done;
  state_.bytesTotal = total;
  state_.bytesReported = true;
  if (!state_.started) {
    state_.started = true;
    state_.startTime = SteadyClock::now();
  }
  Touch();
}

CCliOwner::State CCliOwner::Snapshot() {
  std::lock_guard<std::mutex> lock(mu_);
  return state_;
}

std::vector<CCliOwner::Message> CCliOwner::MessagesFrom(size_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  if (index >= messages_.size()) return {};
  return {messages_.begin() + static_cast<long>(index), messages_.end()};
}

MessageEffect EffectOf(const std::string& text, MsgIcon icon, bool upload) {
  if (icon != MsgIcon::Error) return MessageEffect::None;
  // The box reported a failed flash write, but goes on with the transfer.
  if (text == "Flash Write Error") return MessageEffect::None;
  // The window leaves the link open after these and waits for the operator.
  if (text == "CheckSum Error." || text == "Read Buffer Over" || text == "Error Packet!!!")
    return MessageEffect::CancelNow;
  // An Upload whose destination cannot be written goes on without storing
  // anything: nobody gains from reading the rest of the area.
  if (upload && text == "File Open Error") return MessageEffect::CancelNow;
  return MessageEffect::EndsOrStalls;
}

bool IsCompletionMessage(const std::string& text) {
  return text == "Upgrade Complete" || text == "Data Upload Complete";
}

}  // namespace kelvane::cli
