#include "serial/Tick.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace kelvane {
namespace {
std::atomic<uint64_t> g_testOffsetMs{0};
}

uint32_t GetTickMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms + g_testOffsetMs.load(std::memory_order_relaxed));
}

void AdvanceTickForTest(uint32_t ms) { g_testOffsetMs.fetch_add(ms, std::memory_order_relaxed); }

void SleepMs(uint32_t ms) {
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  timespec rem{};
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

}  // namespace kelvane
