#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "serial/Event.h"
#include "serial/Tick.h"

namespace kelvane {
namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point t0) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
}

TEST(Event, StaysSignalledUntilReset) {
  CEvent e;
  ASSERT_TRUE(e.Valid());
  EXPECT_FALSE(e.IsSet());
  e.Set();
  const CEvent* list[] = {&e};
  // Manual reset: every wait sees it until someone resets it.
  EXPECT_EQ(WaitForEvents(list, 1, 0), 0);
  EXPECT_EQ(WaitForEvents(list, 1, 10), 0);
  e.Reset();
  EXPECT_EQ(WaitForEvents(list, 1, 0), kWaitTimeout);
}

TEST(Event, LowestSignalledIndexWins) {
  struct Case {
    bool set[3];
    int expected;
  } cases[] = {
      {{true, true, true}, 0},  {{false, true, true}, 1},  {{false, false, true}, 2},
      {{true, false, true}, 0}, {{false, false, false}, kWaitTimeout},
  };
  for (const auto& c : cases) {
    CEvent a, b, d;
    CEvent* ev[] = {&a, &b, &d};
    for (int i = 0; i < 3; ++i)
      if (c.set[i]) ev[i]->Set();
    const CEvent* list[] = {&a, &b, &d};
    EXPECT_EQ(WaitForEvents(list, 3, 5), c.expected);
  }
}

TEST(Event, TimeLimitHoldsAndASetFromAnotherThreadEndsTheWait) {
  CEvent a, b;
  const CEvent* list[] = {&a, &b};
  auto t0 = Clock::now();
  EXPECT_EQ(WaitForEvents(list, 2, 30), kWaitTimeout);
  const long waited = ElapsedMs(t0);
  EXPECT_GE(waited, 29);
  EXPECT_LT(waited, 1000);

  std::thread setter([&] {
    SleepMs(20);
    b.Set();
  });
  t0 = Clock::now();
  EXPECT_EQ(WaitForEvents(list, 2, 5000), 1);
  EXPECT_LT(ElapsedMs(t0), 4000);
  setter.join();
}

TEST(Event, ResetAfterARacingSetDoesNotMakeTheWaitSpin) {
  // A Set whose wake-up is left behind by a Reset must not make every later
  // wait return at once: the wait must still last its time.
  CEvent a;
  a.Set();
  a.Set();
  a.Reset();
  const CEvent* list[] = {&a};
  auto t0 = Clock::now();
  EXPECT_EQ(WaitForEvents(list, 1, 30), kWaitTimeout);
  EXPECT_GE(ElapsedMs(t0), 29);
}

TEST(Tick, AdvancingTheTestClockMovesTheTickForward) {
  const uint32_t before = GetTickMs();
  AdvanceTickForTest(60000);
  const uint32_t after = GetTickMs();
  EXPECT_GE(static_cast<uint32_t>(after - before), 60000u);
}

}  // namespace
}  // namespace kelvane
