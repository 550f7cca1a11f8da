#pragma once
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/Owner.h"
#include "protocol/UploadName.h"

namespace kelvane::test {

// A stand-in for the window: answers the worker threads at once, records
// every message box and control change, and lets a test wait for them.
class CRecordingOwner : public IFlasherOwner {
 public:
  struct Message {
    std::string text;
    MsgIcon icon;
  };

  int kind = 2, direction = 0, speed = 4;

  int KindSel() override { return Get(kind); }
  int DirectionSel() override { return Get(direction); }
  int SpeedSel() override { return Get(speed); }
  void SetKind(int k) { Set(kind, k); }
  void SetDirection(int d) { Set(direction, d); }
  void SetSpeed(int s) { Set(speed, s); }

  void SetProgressRange(uint16_t maxPos) override { Update([&] { progressMax = maxPos; }); }
  void SetProgressPos(int pos) override {
    Update([&] {
      progressPos = pos;
      progressHistory.push_back(pos);
    });
  }
  void ShowWriting(bool show) override { Update([&] { writing = show; if (show) writingShown = true; }); }
  void EnableCancel(bool enable) override { Update([&] { cancelEnabled = enable; }); }
  void UpdateControls(uint8_t busy) override {
    Update([&] {
      if (busy > 1) return;
      this->busy = busy;
      busyHistory.push_back(busy);
      if (busy == 1) cancelEnabled = true;
      if (busy == 0) {
        cancelEnabled = false;
        progressPos = 0;
      }
    });
  }
  void ShowMessage(const std::string& text, MsgIcon icon) override {
    std::function<void(const std::string&)> hook;
    Update([&] {
      messages.push_back({text, icon});
      hook = onMessage;
    });
    if (hook) hook(text);
  }
  void UploadFileName() override {
    Update([&] {
      ++uploadNameCalls;
      if (direction == 1)
        if (const char* name = UploadFileNameForKind(kind)) status = name;
    });
  }
  std::string StatusText() override { return GetS(status); }
  std::string SelectedPath() override { return GetS(path); }
  void ClearSelectedPath() override { Update([&] { path.clear(); }); }
  void SetPath(const std::string& p) { Update([&] { path = p; }); }
  void SetStatus(const std::string& s) { Update([&] { status = s; }); }
  void OnTransferBytes(uint64_t done, uint64_t total) override {
    Update([&] {
      bytesDone = done;
      bytesTotal = total;
    });
  }

  // Waits until pred() holds (checked under the lock) or the time runs out.
  bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
  }
  bool WaitForMessage(const std::string& text, int timeoutMs = 10000) {
    return WaitFor([&] {
      for (auto& m : messages)
        if (m.text == text) return true;
      return false;
    }, timeoutMs);
  }
  std::vector<Message> Messages() {
    std::lock_guard<std::mutex> lock(mu_);
    return messages;
  }
  std::vector<std::string> MessageTexts() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> out;
    for (auto& m : messages) out.push_back(m.text);
    return out;
  }
  template <class F>
  auto Locked(F f) {
    std::lock_guard<std::mutex> lock(mu_);
    return f();
  }

  // Recorded state; read it under Locked() or after the threads have ended.
  std::vector<Message> messages;
  std::vector<int> busyHistory, progressHistory;
  int busy = 0, progressPos = 0, uploadNameCalls = 0;
  uint16_t progressMax = 100;
  bool writing = false, writingShown = false, cancelEnabled = false;
  std::string status, path;
  uint64_t bytesDone = 0, bytesTotal = 0;
  std::function<void(const std::string&)> onMessage;  // runs on the worker's thread

 private:
  int Get(const int& v) {
    std::lock_guard<std::mutex> lock(mu_);
    return v;
  }
  void Set(int& v, int x) { Update([&] { v = x; }); }
  std::string GetS(const std::string& v) {
    std::lock_guard<std::mutex> lock(mu_);
    return v;
  }
  template <class F>
  void Update(F f) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      f();
    }
    cv_.notify_all();
  }
  std::mutex mu_;
  std::condition_variable cv_;
};

}  // namespace kelvane::test
