// The simulated box's line: scripted sending, the record of what arrived, and
// pacing at the line rate.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "BoxTestSupport.h"

namespace kelvane::box::test {
namespace {

using std::chrono::duration;
using std::chrono::milliseconds;

struct ScriptedRig {
  explicit ScriptedRig(bool pacing = false) {
    BoxConfig cfg;
    cfg.loader = false;
    cfg.pacing = pacing;
    box = std::make_unique<CBox>(cfg);
    EXPECT_TRUE(box->Start());
    EXPECT_TRUE(pc.Open(box->SlavePath()));
  }
  std::unique_ptr<CBox> box;
  CTestPc pc;
};

TEST(BoxScript, SendsExactlyTheChunksItIsGiven) {
  ScriptedRig r;
  // A 12-byte record in two writes reaches the program as two reads.
  const auto record = Pattern(12);
  ASSERT_TRUE(r.box->Send(record.data(), 5));
  EXPECT_EQ(r.pc.Take(12, 100), std::vector<uint8_t>(record.begin(), record.begin() + 5));
  ASSERT_TRUE(r.box->Send(record.data() + 5, 7));
  EXPECT_EQ(r.pc.Take(12, 100), std::vector<uint8_t>(record.begin() + 5, record.end()));
  // The scripted box never announces itself.
  EXPECT_EQ(r.box->Announcements(), 0);
  EXPECT_TRUE(r.box->Announce());
  EXPECT_EQ(r.pc.Take(3), (std::vector<uint8_t>{0x03, 0x04, 0x30}));
}

TEST(BoxScript, RecordsEveryByteWithTheSpeedTheSlaveWasSetTo) {
  ScriptedRig r;
  ASSERT_TRUE(r.pc.Put({0x43, 0x44}));
  ASSERT_TRUE(r.box->WaitReceived(2, 2000));
  ASSERT_TRUE(r.pc.Speed(4));
  ASSERT_TRUE(r.box->WaitSlaveSpeed(115200, 1000));
  ASSERT_TRUE(r.pc.Put({0x4B}));
  ASSERT_TRUE(r.box->WaitReceived(3, 2000));
  const auto rx = r.box->Received();
  ASSERT_EQ(rx.size(), 3u);
  EXPECT_EQ(r.box->ReceivedBytes(), (std::vector<uint8_t>{0x43, 0x44, 0x4B}));
  EXPECT_EQ(rx[0].baud, 9600u);
  EXPECT_EQ(rx[1].baud, 9600u);
  EXPECT_EQ(rx[2].baud, 115200u);
  EXPECT_LE(rx[0].at, rx[1].at);
  EXPECT_LE(rx[1].at, rx[2].at);
  // Nothing more arrives than was sent.
  EXPECT_FALSE(r.box->WaitReceived(4, 50));
}

TEST(BoxScript, AHangUpReachesTheProgram) {
  ScriptedRig r;
  r.box->HangUp();
  EXPECT_TRUE(r.box->WaitFinished(2000));
  r.pc.Drain(50);
  EXPECT_TRUE(r.pc.gone);
  EXPECT_FALSE(r.box->Send({0x45}));
}

// A paced one-way stream must take its theoretical time within 1%. At 9600
// bit/s 1440 bytes take 1500 ms, so 1% is 15 ms: only the lateness of the
// last deadline's wake-up counts against it, which stays well below that even
// on a loaded two-core machine.
constexpr int kPacedBytes = 1440;
constexpr double kPacedMs = kPacedBytes * 10 * 1000.0 / 9600;

TEST(BoxPacing, SendingTakesTheLineTime) {
  ScriptedRig r(true);
  const auto data = Pattern(kPacedBytes);
  const auto t0 = BoxClock::now();
  std::thread sender([&] { EXPECT_TRUE(r.box->Send(data)); });
  // The first bytes trickle in: after ~100 ms only ~96 bytes can be there.
  SleepMs(100);
  const auto early = r.pc.Take(kPacedBytes, 1);
  const auto rest = r.pc.Take(kPacedBytes - early.size(), 500);
  const double ms = duration<double, std::milli>(BoxClock::now() - t0).count();
  sender.join();
  EXPECT_LT(early.size(), 200u);
  EXPECT_EQ(early.size() + rest.size(), static_cast<size_t>(kPacedBytes));
  EXPECT_GE(ms, kPacedMs);  // never faster than the line
  EXPECT_NEAR(ms, kPacedMs, kPacedMs * 0.01);
}

TEST(BoxPacing, ReceivedBytesArriveNoEarlierThanTheLineAllows) {
  ScriptedRig r(true);
  const auto t0 = BoxClock::now();
  ASSERT_TRUE(r.pc.Put(Pattern(kPacedBytes)));
  ASSERT_TRUE(r.box->WaitReceived(kPacedBytes, 3000));
  const auto rx = r.box->Received();
  const auto byteTime = std::chrono::nanoseconds(1'000'000'000LL * 10 / 9600);
  EXPECT_GE(rx.front().at - t0, byteTime);
  for (size_t i = 1; i < rx.size(); ++i) ASSERT_GE(rx[i].at - rx[i - 1].at, byteTime - std::chrono::microseconds(1)) << i;
  // From the first byte's start bit, as the box saw it, to the last byte's stop bit.
  const double ms = duration<double, std::milli>(rx.back().at - (rx.front().at - byteTime)).count();
  EXPECT_NEAR(ms, kPacedMs, kPacedMs * 0.01);
}

TEST(BoxFaults, DescriptionsParseIntoFaults) {
  struct Row {
    const char* text;
    BoxFaultKind kind;
    int block;
    BoxPhase phase;
    int offset;
    std::vector<uint8_t> bytes;
    int silenceMs;
    int transfer;
  };
  const Row rows[] = {
      {"nak:block=3", BoxFaultKind::kNak, 3, BoxPhase::kBlock, 0, {}, 0, 0},
      {"refuse:text=OLD", BoxFaultKind::kRefuse, 1, BoxPhase::kBlock, 0, {'O', 'L', 'D'}, 0, 0},
      {"silence:phase=closing,ms=6000", BoxFaultKind::kSilence, 1, BoxPhase::kClosing, 0, {}, 6000, 0},
      {"flip:block=2,offset=0x10,transfer=-1", BoxFaultKind::kFlipByte, 2, BoxPhase::kBlock, 16, {}, 0, -1},
      {"noise:bytes=55 AA", BoxFaultKind::kNoise, 1, BoxPhase::kBlock, 0, {0x55, 0xAA}, 0, 0},
      {"silence:phase=request", BoxFaultKind::kSilence, 1, BoxPhase::kRequest, 0, {}, 0, 0},
      {"extra-size-byte", BoxFaultKind::kExtraSizeByte, 1, BoxPhase::kBlock, 0, {}, 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    std::string error;
    const auto f = ParseFault(row.text, &error);
    ASSERT_TRUE(f) << error;
    EXPECT_EQ(f->kind, row.kind);
    EXPECT_EQ(f->block, row.block);
    EXPECT_EQ(f->phase, row.phase);
    EXPECT_EQ(f->offset, row.offset);
    EXPECT_EQ(f->bytes, row.bytes);
    EXPECT_EQ(f->silenceMs, row.silenceMs);
    EXPECT_EQ(f->transfer, row.transfer);
  }
  for (const char* bad : {"", "nak:block", "nak:block=x", "bogus", "noise:bytes=5", "silence:phase=never",
                          "flip:offset=-3", "nak:colour=red"}) {
    std::string error;
    EXPECT_FALSE(ParseFault(bad, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

}  // namespace
}  // namespace kelvane::box::test
