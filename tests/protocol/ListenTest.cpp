// The receiver's loop: collecting the announcement across reads, its silence
// limits, the read error and the Cancel path.
#include <gtest/gtest.h>

#include <random>

#include "Rig.h"
#include "serial/Tick.h"

namespace kelvane::test {
namespace {

const Bytes kSig = {0x03, 0x04, 0x30};
// Boot Only, Upload, speed index 4, in LinkMode 0x30.
const Bytes kAnswer = {0x43, 0x55, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x04};

// Sends one chunk and waits until the receiver has read all of it, so that
// the next chunk arrives in a read of its own.
void SendChunk(CRig& rig, const Bytes& chunk) {
  size_t before = 0;
  for (auto& e : rig.trace.Entries())
    if (!e.tx) before += e.bytes.size();
  ASSERT_TRUE(rig.box.Send(chunk));
  ASSERT_TRUE(WaitUntil([&] {
    size_t n = 0;
    for (auto& e : rig.trace.Entries())
      if (!e.tx) n += e.bytes.size();
    return n >= before + chunk.size();
  }));
}

// Lets the receiver run a few passes (each at most 10 ms).
void Passes() { std::this_thread::sleep_for(std::chrono::milliseconds(40)); }

TEST(Listen, CollectionAcrossReads) {
  const Bytes noise45(45, 0x55), noise44(44, 0x55);
  Bytes sigAfterTwo = {0x00, 0x00};
  sigAfterTwo.insert(sigAfterTwo.end(), kSig.begin(), kSig.end());
  struct Case {
    const char* what;
    std::vector<Bytes> chunks;
    bool answered;  // before any silence
  };
  const std::vector<Case> cases = {
      {"noise before the announcement, one chunk", {{0x00, 0x55, 0x03, 0x04, 0x30}}, true},
      {"announcement split over reads", {{0x03}, {0x04}, {0x30}}, true},
      {"a byte after the announcement in the same chunk", {{0x03, 0x04, 0x30, 0x55}}, false},
      {"a byte after the announcement in the next chunk", {{0x03, 0x04}, {0x30, 0x55}}, false},
      {"45 + 5 bytes: the chunk is dropped", {noise45, sigAfterTwo}, false},
      {"44 + 5 bytes: still taken", {noise44, sigAfterTwo}, true},
      {"a refused announcement is consumed", {{0x03, 0x04, 0x31}, kSig}, true},
      {"markers 0x20 0x10", {{0x20, 0x10, 0x30}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CRig rig(Scripted());
    rig.Select(kBootOnly, 1, 4);
    rig.Connect();
    for (const Bytes& chunk : c.chunks) SendChunk(rig, chunk);
    Passes();
    if (c.answered) {
      EXPECT_EQ(Hex(rig.Sent(kAnswer.size())), Hex(kAnswer));
      continue;
    }
    EXPECT_TRUE(rig.box.ReceivedBytes().empty());
    // 500 ms of silence empty the collection; the next announcement is found.
    AdvanceTickForTest(600);
    Passes();
    SendChunk(rig, kSig);
    EXPECT_EQ(Hex(rig.Sent(kAnswer.size())), Hex(kAnswer));
  }
}

// Whatever arrives, in whatever pieces, the receiver neither overruns nor
// wedges: after a silence it answers a clean announcement.
TEST(Listen, GarbageNeverWedges) {
  std::mt19937 rng(7);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    CRig rig(Scripted());
    rig.Select(kStillImage, 1, 4);  // only 0x32/0x42 answer: random bytes rarely start anything
    rig.Connect();
    for (int i = 0; i < 30; ++i) {
      Bytes chunk(1 + rng() % 200);
      for (auto& b : chunk) {
        b = static_cast<uint8_t>(rng());
        if (b == 0x32 || b == 0x42) b = 0x33;
      }
      ASSERT_TRUE(rig.box.Send(chunk));
      if (i % 5 == 0) Passes();
    }
    Passes();
    AdvanceTickForTest(600);
    Passes();
    SendChunk(rig, {0x03, 0x04, 0x42});
    const Bytes want = {0x43, 0x55, 0x00, 0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x04};
    EXPECT_EQ(Hex(rig.Sent(want.size())), Hex(want));
    EXPECT_TRUE(rig.owner.Messages().empty());
  }
}

TEST(Listen, SilentBoxNeverGivesAMessage) {
  CRig rig(Scripted());
  rig.Select(kProgramOnly, 0, 4);
  rig.Connect();
  for (int i = 0; i < 5; ++i) {
    AdvanceTickForTest(10000);
    Passes();
  }
  SendChunk(rig, {0x55, 0x00});  // a chunk shortens the limit to 500 ms
  AdvanceTickForTest(10000);
  Passes();
  EXPECT_TRUE(rig.owner.Messages().empty());
  EXPECT_TRUE(rig.link.IsOpen());
}

// After an accepted announcement the box has 5000 ms of silence to answer.
TEST(Listen, SilenceAfterAStart) {
  CScratch files;
  const std::string image = files.Write("prog.bin", ProgramImage(5000));
  struct Case {
    const char* what;
    int direction;
    Bytes reply;  // what the box says before falling silent
    const char* message;
  };
  Bytes longGarbage(300, 0x21);
  const std::vector<Case> cases = {
      {"Download, no answer", 0, {}, "Time Out Error"},
      {"Download, refusal text never ended", 0, {0x65, 'B', 'A', 'D'}, "version mismatch"},
      {"Download, a stray byte before 'E'", 0, {0x00, 0x45}, "Time Out Error"},
      {"Download, more garbage than the collection holds", 0, longGarbage, "Time Out Error"},
      {"Upload, no size record", 1, {}, "Time Out Error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CRig rig(Scripted());
    rig.Select(kProgramOnly, c.direction, 4, image);
    rig.Connect();
    SendChunk(rig, kSig);
    // The request has gone out (and, for a Download, the line has switched).
    ASSERT_TRUE(rig.box.WaitReceived(12, 5000));  // Upload request or Download request
    if (c.direction == 0) {
      ASSERT_TRUE(rig.box.WaitSlaveSpeed(115200, 5000));
    }
    if (!c.reply.empty()) SendChunk(rig, c.reply);
    // Below the limit nothing happens.
    AdvanceTickForTest(1000);
    Passes();
    EXPECT_TRUE(rig.owner.Messages().empty());
    EXPECT_TRUE(rig.link.IsOpen());
    AdvanceTickForTest(4500);
    ASSERT_TRUE(rig.owner.WaitForMessage(c.message));
    ASSERT_TRUE(rig.WaitClosed());
    const auto msgs = rig.owner.Messages();
    ASSERT_EQ(msgs.size(), 1u) << msgs.back().text;
    EXPECT_EQ(msgs[0].icon, MsgIcon::Error);
    rig.link.WaitForThreads();
    EXPECT_EQ(rig.owner.progressPos, 0);
    ASSERT_FALSE(rig.owner.busyHistory.empty());
    EXPECT_EQ(rig.owner.busyHistory.back(), 0);
  }
}

TEST(Listen, CancelIdlesTheWindowAndClosesTheLink) {
  CRig rig(Scripted());
  rig.Select(kProgramOnly, 0, 4);
  rig.Connect();
  rig.link.Cancel();
  ASSERT_TRUE(rig.WaitClosed());
  rig.link.WaitForThreads();
  EXPECT_TRUE(rig.owner.Messages().empty());
  EXPECT_FALSE(rig.owner.busyHistory.empty());
  EXPECT_EQ(rig.link.bTransferRunning.load(), 0);
}

// A line that goes away while the program waits for the box: one message,
// the link closed, the threads ended (not polling a dead line).
TEST(Listen, LineGoneWhileListening) {
  CRig rig(Scripted());
  rig.Select(kProgramOnly, 0, 4);
  ASSERT_TRUE(rig.box.Start(false));
  rig.link.SetDevicePath(rig.box.SlavePath());
  rig.link.SetOwner(&rig.owner);
  ASSERT_EQ(rig.link.Open(), 1);
  Passes();
  rig.box.HangUp();
  ASSERT_TRUE(rig.owner.WaitForMessage("Connection Lost"));
  ASSERT_TRUE(rig.WaitClosed());
  rig.link.WaitForThreads();
  EXPECT_EQ(rig.owner.MessageTexts(), std::vector<std::string>{"Connection Lost"});
  EXPECT_EQ(rig.owner.busyHistory.back(), 0);
}

}  // namespace
}  // namespace kelvane::test
