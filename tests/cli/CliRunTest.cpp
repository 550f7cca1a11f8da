// The runner in this process, against the simulated box: the cases that need
// the silence limits to expire, which the replaceable tick does without
// waiting through them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "CliRunner.h"
#include "box/Box.h"
#include "serial/Tick.h"

namespace kelvane::cli {
namespace {

using box::BoxConfig;
using box::BoxFault;
using box::BoxFaultKind;
using box::BoxPhase;
using box::CBox;

// One RunTransfer on a thread of its own, its stderr kept in a string.
class CRun {
 public:
  explicit CRun(CliOptions options)
      : options_(std::move(options)),
        console_(
            [this](const std::string& s) {
              std::lock_guard<std::mutex> lock(mu_);
              err_ += s;
              cv_.notify_all();
            },
            false) {}
  ~CRun() {
    if (thread_.joinable()) {
      interrupt_.Raise();
      thread_.join();
    }
  }
  void Start() {
    thread_ = std::thread([this] {
      const int s = RunTransfer(options_, console_, interrupt_);
      std::lock_guard<std::mutex> lock(mu_);
      status_ = s;
      cv_.notify_all();
    });
  }
  // The exit status, or -1 if the run has not ended in time.
  int Wait(int timeoutMs) {
    {
      std::unique_lock<std::mutex> lock(mu_);
      if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return status_ >= 0; })) return -1;
    }
    thread_.join();
    return status_;
  }
  bool Ended() {
    std::lock_guard<std::mutex> lock(mu_);
    return status_ >= 0;
  }
  std::string Err() {
    std::lock_guard<std::mutex> lock(mu_);
    return err_;
  }
  CInterrupt& Interrupt() { return interrupt_; }

 private:
  CliOptions options_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::string err_;
  int status_ = -1;
  CConsole console_;
  CInterrupt interrupt_;
  std::thread thread_;
};

class CliRun : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelvane-cli-run-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::mt19937 rng(7);
    image_.resize(9000);
    for (auto& b : image_) b = static_cast<char>(rng());
    image_[image_.size() - 11] = 0x45;  // a program image for every LinkMode
    std::ofstream(dir_ + "/program.bin", std::ios::binary).write(image_.data(), static_cast<long>(image_.size()));
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  CliOptions Download(const CBox& box) const {
    CliOptions o;
    o.portNumber = 0;
    o.devicePath = box.SlavePath();
    o.portText = box.SlavePath();
    o.file = dir_ + "/program.bin";
    o.quiet = true;
    return o;
  }
  static BoxConfig Box(uint8_t mode) {
    BoxConfig c;
    c.signature[2] = mode;
    c.repeatMs = 100;
    c.flashWriteMs = 50;
    return c;
  }
  static BoxFault Silence(BoxPhase phase, int block = 1) {
    BoxFault f;
    f.kind = BoxFaultKind::kSilence;
    f.phase = phase;
    f.block = block;
    return f;
  }

  std::string dir_;
  std::string image_;
};

// LinkMode 0x20: nothing watches the time while packets go out, so a box
// that never answers a packet would hold the transfer for ever. The front
// end's own watchdog ends it, but only after the longest limit of the
// threads has passed.
TEST_F(CliRun, WatchdogEndsAPacketTransferThatNoLimitWatches) {
  BoxConfig cfg = Box(0x20);
  cfg.faults.push_back(Silence(BoxPhase::kBlock, 2));
  CBox box(cfg);
  ASSERT_TRUE(box.Start());
  CRun run(Download(box));
  run.Start();
  // The request (11 bytes), packet 1 with its 'K', packet 2: then silence.
  ASSERT_TRUE(box.WaitReceived(11 + 2051 + 1 + 2051, 5000));
  AdvanceTickForTest(80000);
  // A wrong watchdog acts on its next pass, 50 ms from now at the latest.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(run.Ended()) << run.Err();
  AdvanceTickForTest(25000);
  EXPECT_EQ(run.Wait(5000), kExitFailed);
  const std::string err = run.Err();
  EXPECT_NE(err.find("kelvane-cli: nothing moved on the line for 10"), std::string::npos) << err;
  EXPECT_EQ(err.find("Upgrade Complete"), std::string::npos) << err;
}

// While the box writes its flash the receiver allows it 60 s of silence;
// the watchdog must not cut in before that limit, and the limit's own
// "Time Out Error" is a failure, whatever the sender says afterwards.
TEST_F(CliRun, FlashWriteSilenceIsTheReceiversToJudge) {
  BoxConfig cfg = Box(0x30);
  cfg.faults.push_back(Silence(BoxPhase::kClosing));
  CBox box(cfg);
  ASSERT_TRUE(box.Start());
  CRun run(Download(box));
  run.Start();
  // The request (12 bytes) and five blocks of data with their sums.
  ASSERT_TRUE(box.WaitReceived(12 + image_.size() + 5 * 4, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the sender reaches its wait for the box
  // Long past any other limit, well inside this one: the box is still writing.
  AdvanceTickForTest(30000);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(run.Ended()) << run.Err();
  AdvanceTickForTest(31000);
  EXPECT_EQ(run.Wait(5000), kExitFailed);
  const std::string err = run.Err();
  EXPECT_NE(err.find("error: Time Out Error\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("nothing moved"), std::string::npos) << err;
  EXPECT_EQ(err.find(" bytes in "), std::string::npos) << "no summary: " << err;
}

TEST_F(CliRun, WaitCountsOnTheTick) {
  BoxConfig cfg = Box(0x30);
  cfg.announceAtStart = false;
  cfg.repeatMs = 0;
  CBox box(cfg);
  ASSERT_TRUE(box.Start());
  CliOptions o = Download(box);
  o.waitSeconds = 30;
  CRun run(o);
  run.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(run.Ended());
  AdvanceTickForTest(31000);
  EXPECT_EQ(run.Wait(5000), kExitWaitExpired);
  EXPECT_NE(run.Err().find("no box answered within 30 s"), std::string::npos) << run.Err();
}

// A loader that does not take this kind is ignored without a word; the
// front end points at the likely cause instead of waiting in silence.
TEST_F(CliRun, AnnouncementsThatAreNotTakenGetAHint) {
  CBox box(Box(0x31));  // takes channel lists and key data, not a program image
  ASSERT_TRUE(box.Start());
  CliOptions o = Download(box);
  o.quiet = false;
  CRun run(o);
  run.Start();
  while (box.Announcements() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(run.Err().find("is the kind right?"), std::string::npos) << run.Err();
  AdvanceTickForTest(3500);
  for (int i = 0; i < 100 && run.Err().find("is the kind right?") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(run.Err().find("kelvane-cli: the box is sending, but not an announcement this program takes for Program "
                           "Only; is the kind right?"),
            std::string::npos)
      << run.Err();
  run.Interrupt().Raise();
  EXPECT_EQ(run.Wait(5000), kExitFailed);
  EXPECT_TRUE(box.ReceivedBytes().empty());
}

// An Upload whose destination cannot be created would read the whole area
// for nothing: the front end cancels at the message. (The command line
// refuses such a destination; a directory can still vanish in between.)
TEST_F(CliRun, UploadThatCannotStoreIsCancelled) {
  BoxConfig cfg = Box(0x30);
  cfg.anyArea = std::vector<uint8_t>(200000, 0x5A);
  cfg.pacing = true;  // about 17 s for the whole area: the cancel comes long before
  CBox box(cfg);
  ASSERT_TRUE(box.Start());
  CliOptions o = Download(box);
  o.upload = true;
  o.kind = 1;
  o.file.clear();
  o.output = dir_ + "/gone/Data.Dat";
  CRun run(o);
  const auto t0 = std::chrono::steady_clock::now();
  run.Start();
  EXPECT_EQ(run.Wait(10000), kExitFailed);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  const std::string err = run.Err();
  EXPECT_NE(err.find("error: File Open Error\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("Data Upload Complete"), std::string::npos) << err;
}

TEST_F(CliRun, InterruptDuringPackets) {
  BoxConfig cfg = Box(0x20);
  cfg.pacing = true;
  CBox box(cfg);
  ASSERT_TRUE(box.Start());
  CRun run(Download(box));
  run.Start();
  ASSERT_TRUE(box.WaitReceived(3000, 5000));
  run.Interrupt().Raise();
  EXPECT_EQ(run.Wait(5000), kExitFailed);
  EXPECT_NE(run.Err().find("kelvane-cli: interrupted\n"), std::string::npos) << run.Err();
  // The line is free again: the port opens at once.
  CSerialDevice again;
  OpenFailure f;
  std::string reason;
  EXPECT_TRUE(again.Open(box.SlavePath(), &f, &reason)) << reason;
}

}  // namespace
}  // namespace kelvane::cli
