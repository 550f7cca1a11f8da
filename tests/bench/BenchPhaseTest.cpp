// The benchmark's data-phase arithmetic, on timelines built byte by byte:
// an ideal transfer (every byte one byte time, no processing) must come out
// at exactly the protocol's bound, and a delay the program adds must show up
// whole in the phase and in the gap or cycle where it happened.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "BenchPhase.h"

namespace kelvane::bench {
namespace {

struct Case {
  const char* name;
  int mode;
  bool upload;
  bool slowKind;
  size_t measuredIntervals;  // gaps or cycles expected for 3 blocks
};

// The arrival times at the box of what the program sends, for `size` bytes in
// the given mode, with `extra` seconds of program delay before block (or
// packet) `late` (counted from 0) and ten request bytes first.
std::vector<double> Timeline(const Case& c, uint32_t baud, uint32_t size, int late, double extra) {
  const double tau = 10.0 / baud;
  const double pace = c.slowKind ? 0.015 : 0.010;
  std::vector<double> at;
  double t = 0;
  auto pc = [&](int bytes) {
    for (int i = 0; i < bytes; ++i) at.push_back(t += tau);
  };
  auto box = [&](int bytes) { t += bytes * tau; };
  t = 1.0;
  for (int i = 0; i < 10; ++i) at.push_back(t += 10.0 / 9600);  // the request, at 9600
  t += 0.05;
  const auto lens = BlockLengths(size);
  if (c.upload && c.mode == 0x20) pc(1);  // 'E'
  if (c.upload && c.mode != 0x20) box(1);  // 'E'
  for (size_t b = 0; b < lens.size(); ++b) {
    const int n = lens[b];
    const double delay = static_cast<int>(b) == late ? extra : 0.0;
    if (!c.upload && c.mode != 0x20) {
      if (b > 0) t += pace;
      t += delay;
      pc(n + 4);
    } else if (!c.upload) {
      if (b > 0) box(1);  // 'F'
      t += delay;
      pc(3 + n);
      box(3);
      pc(1);  // 'K'
    } else if (c.mode != 0x20) {
      box(n + 4);
      t += delay;
      pc(1);  // 'K'
    } else {
      box(3 + n);
      t += delay;
      pc(3);
      box(1);  // 'K'
      pc(1);   // 'F'
    }
  }
  return at;
}

const Case kCases[] = {
    {"Download 0x30", 0x30, false, false, 2},
    {"Download 0x40, slow kind", 0x40, false, true, 2},
    {"Download 0x20", 0x20, false, false, 2},
    {"Upload 0x30", 0x30, true, false, 2},
    {"Upload 0x40", 0x40, true, false, 2},
    {"Upload 0x20", 0x20, true, false, 2},
};

TEST(BenchPhase, IdealTransferMeetsTheBoundAndDelaysShowWhereTheyHappen) {
  const uint32_t size = 5000;  // 2048 + 2048 + 904
  for (const Case& c : kCases) {
    for (uint32_t baud : {115200u, 9600u}) {
      SCOPED_TRACE(testing::Message() << c.name << " at " << baud);
      PhaseInput in{c.mode, c.upload, baud, size, c.slowKind};

      const Phase ideal = MeasurePhase(in, Timeline(c, baud, size, -1, 0));
      ASSERT_TRUE(ideal.measured);
      EXPECT_NEAR(ideal.seconds, ideal.bound, 1e-9);
      // Uploads are timed from the first acknowledgement: the first block is outside.
      EXPECT_EQ(ideal.payload, c.upload ? size - 2048 : size);
      const auto& intervals = c.upload || c.mode == 0x20 ? ideal.cycles : ideal.gaps;
      ASSERT_EQ(intervals.size(), c.measuredIntervals);
      EXPECT_TRUE((c.upload || c.mode == 0x20 ? ideal.gaps : ideal.cycles).empty());
      if (!c.upload && c.mode != 0x20) {
        for (double g : intervals) EXPECT_NEAR(g, c.slowKind ? 0.015 : 0.010, 1e-9);
      }

      const double extra = 0.003;
      const Phase slow = MeasurePhase(in, Timeline(c, baud, size, 1, extra));
      ASSERT_TRUE(slow.measured);
      EXPECT_NEAR(slow.seconds, ideal.seconds + extra, 1e-9);
      EXPECT_NEAR(slow.bound, ideal.bound, 1e-12);
      const auto& later = c.upload || c.mode == 0x20 ? slow.cycles : slow.gaps;
      ASSERT_EQ(later.size(), intervals.size());
      EXPECT_NEAR(later[0] - intervals[0], extra, 1e-9) << "the delay before block 2 is in the first interval";
      EXPECT_NEAR(later[1], intervals[1], 1e-9);
    }
  }
}

TEST(BenchPhase, TooFewArrivalsMeasureNothing) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    PhaseInput in{c.mode, c.upload, 115200, 5000, c.slowKind};
    auto at = Timeline(c, 115200, 5000, -1, 0);
    at.erase(at.begin(), at.begin() + 10);  // the request is not needed
    EXPECT_TRUE(MeasurePhase(in, at).measured);
    // Lose the program's bytes of the first block: the tail no longer fits.
    const size_t firstBlock = c.upload ? (c.mode == 0x20 ? 5 : 1) : (c.mode == 0x20 ? 2052 : 2052);
    at.erase(at.begin(), at.begin() + static_cast<long>(firstBlock));
    EXPECT_FALSE(MeasurePhase(in, at).measured);
  }
  // An Upload of a single block has no interval between two acknowledgements.
  for (int mode : {0x20, 0x30}) {
    PhaseInput in{mode, true, 115200, 2048, false};
    EXPECT_FALSE(MeasurePhase(in, std::vector<double>(10, 1.0)).measured) << mode;
  }
}

}  // namespace
}  // namespace kelvane::bench
