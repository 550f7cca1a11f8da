#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "CliConsole.h"
#include "CliOwner.h"
#include "serial/SerialLink.h"

namespace kelvane::cli {

// Watches the line for the runner: when the PC first transmits (it only ever
// speaks after it has accepted the box's signature) and when anything last
// moved. With --trace it also writes every byte and speed switch to stderr.
// Called from both worker threads.
class CLineMonitor : public ILineTrace {
 public:
  CLineMonitor(CConsole& console, bool trace, SteadyClock::time_point origin);

  void OnLineBytes(bool transmitted, const uint8_t* data, int n) override;
  void OnLineSpeed(uint32_t baud) override;

  bool Transmitted() const { return transmitted_.load(std::memory_order_acquire); }
  bool Received() const { return received_.load(std::memory_order_acquire); }
  uint32_t LastActivityTick() const { return lastActivity_.load(std::memory_order_acquire); }

 private:
  CConsole& console_;
  const bool trace_;
  const SteadyClock::time_point origin_;
  std::atomic<bool> transmitted_{false};
  std::atomic<bool> received_{false};
  std::atomic<uint32_t> lastActivity_;
};

// "+12.345" for the time since the start of the run.
std::string FormatTraceTime(double seconds);
// The trace lines of one read or write: "+0.512 TX 43 44 ...", at most
// 16 bytes a line, each line with the same time and direction.
std::string FormatTraceBytes(double seconds, bool transmitted, const uint8_t* data, int n);

}  // namespace kelvane::cli
