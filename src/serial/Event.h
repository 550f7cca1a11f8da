#pragma once
#include <atomic>
#include <cstdint>

namespace kelvane {

// A manual-reset event: once Set it stays signalled until Reset. Backed by an
// eventfd so that one poll() can wait on several events and, for the receiver,
// on the serial device as well.
class CEvent {
 public:
  CEvent();
  ~CEvent();
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  bool Valid() const { return fd_ >= 0; }
  void Set();
  void Reset();
  bool IsSet() const { return set_.load(std::memory_order_acquire); }
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::atomic<bool> set_{false};
};

constexpr int kWaitTimeout = -1;

// Waits at most timeoutMs for any of the events. Returns the index of the
// lowest-numbered event that is signalled when the wait ends, or kWaitTimeout.
// Nothing is reset. With inputFd >= 0 the wait also ends early (returning
// kWaitTimeout, or the lowest signalled event) as soon as that descriptor has
// input; a descriptor that reports hang-up or an error stops counting as input
// for the rest of the wait, so a dead line never makes the caller spin.
int WaitForEvents(const CEvent* const* events, int count, uint32_t timeoutMs, int inputFd = -1);

}  // namespace kelvane
