// Whole Uploads: the receiver thread of a real connection against the
// simulated box on a pseudo-terminal.
#include <gtest/gtest.h>

#include <thread>

#include "box/Box.h"
#include "protocol/ReceiverState.h"
#include "serial/SerialLink.h"
#include "serial/Tick.h"
#include "support/RecordingOwner.h"
#include "UploadTestSupport.h"

namespace kelvane {
namespace {

using test::Bytes;
using test::Entries;
using test::ReadFile;
using test::Text;

struct AreaOfKind {
  int kind;
  uint8_t area;
  const char* file;
};
constexpr AreaOfKind kAreas[] = {
    {kBootOnly, 0x1F, "Boot.Dat"},     {kDataOnly, 0x2F, "Data.Dat"}, {kProgramOnly, 0x4F, "Program.Dat"},
    {kProgramAll, 0x7F, "Flash.Dat"}, {kKeyData, 0x20, "Key.Dat"},
};

// The signature that makes the program choose each LinkMode.
uint8_t ModeByte(uint8_t mode) { return mode == 0x20 ? 0x20 : mode; }

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The box first, then the window, then the link: the link and its threads
// go first, the box's line last.
class CUploadRig {
 public:
  CUploadRig(uint8_t mode, box::BoxConfig cfg) : box_(Configure(mode, std::move(cfg))) {}
  ~CUploadRig() {
    link.Close();
    link.WaitForThreads();
  }

  // Connects, selects an Upload of `kind` at 115200 bit/s and switches the box on.
  bool Start(int kind) {
    owner.SetKind(kind);
    owner.SetDirection(1);
    owner.SetSpeed(4);
    owner.SetPath("/images/firmware.bin");
    if (!box_.Start()) return false;
    link.SetDevicePath(box_.SlavePath());
    link.SetOwner(&owner);
    if (link.Open() != 1) return false;
    return box_.Announce();
  }

  bool WaitMessage() {
    return owner.WaitFor([&] { return !owner.messages.empty(); });
  }
  // The line has settled: nothing has moved either way for a while, so the
  // box has gone quiet and the program waits for it.
  bool WaitQuiet() {
    size_t last = SIZE_MAX;
    int still = 0;
    for (int i = 0; i < 200 && still < 6; ++i) {
      const size_t now = box_.ReceivedBytes().size() + owner.Locked([&] { return owner.progressHistory.size(); });
      still = now == last ? still + 1 : 0;
      last = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return still >= 6 && owner.Messages().empty();
  }
  // Expires the silence limit without sleeping through it: moves the tick on
  // until the receiver reports.
  bool ExpireSilence() {
    for (int i = 0; i < 500; ++i) {
      AdvanceTickForTest(1000);
      if (owner.WaitFor([&] { return !owner.messages.empty(); }, 20)) return true;
    }
    return false;
  }
  // After the last message: the threads of the connection have ended, so
  // whatever the Upload leaves behind is final.
  bool WaitThreadsEnded() {
    if (!WaitUntil([&] { return !link.IsOpen(); })) return false;
    link.WaitForThreads();
    return true;
  }

  box::CBox& Box() { return box_; }

 private:
  static box::BoxConfig Configure(uint8_t mode, box::BoxConfig cfg) {
    cfg.signature[0] = 0x03;
    cfg.signature[1] = 0x04;
    cfg.signature[2] = ModeByte(mode);
    cfg.announceAtStart = false;
    return cfg;
  }

  box::CBox box_;

 public:
  test::CRecordingOwner owner;
  CSerialLink link;
};

// The window's busy/idle calls, a repeat of the same state folded into one
// (the sender idles the window once more as its thread ends).
std::vector<int> BusySteps(test::CRecordingOwner& owner) {
  std::vector<int> steps;
  for (int b : owner.Locked([&] { return owner.busyHistory; }))
    if (steps.empty() || steps.back() != b) steps.push_back(b);
  return steps;
}

// ---- complete Uploads ----------------------------------------------------------

struct GoodCase {
  uint8_t mode;
  AreaOfKind kind;
  uint32_t size;
};

void PrintTo(const GoodCase& c, std::ostream* os) {
  *os << std::hex << "mode 0x" << int(c.mode) << std::dec << " " << c.kind.file << " " << c.size;
}

class UploadEndToEnd : public ::testing::TestWithParam<GoodCase> {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.Ok()); }
  test::CScratchDir dir;
};

TEST_P(UploadEndToEnd, TheFileHoldsTheBoxsArea) {
  const GoodCase& c = GetParam();
  box::BoxConfig cfg;
  // Each area its own bytes: the wrong area byte would bring the wrong
  // data, or none at all.
  for (const AreaOfKind& a : kAreas) cfg.areas[a.area] = test::Area(c.size, a.area);
  if (c.mode == 0x20) cfg.anyArea = test::Area(c.size, c.kind.area);
  const Bytes expected = test::Area(c.size, c.kind.area);
  test::WriteFile(c.kind.file, Text("earlier backup"));

  CUploadRig rig(c.mode, cfg);
  ASSERT_TRUE(rig.Start(c.kind.kind));
  ASSERT_TRUE(rig.WaitMessage());
  ASSERT_TRUE(rig.WaitThreadsEnded());

  EXPECT_EQ(rig.owner.MessageTexts(), std::vector<std::string>{"Data Upload Complete"});
  EXPECT_EQ(rig.Box().WaitOutcome(5000), box::BoxResult::kDone);
  EXPECT_EQ(ReadFile(c.kind.file), expected);
  EXPECT_EQ(Entries(), std::set<std::string>{c.kind.file});
  EXPECT_EQ(rig.owner.status, c.kind.file);
  EXPECT_EQ(rig.owner.path, "");
  EXPECT_EQ(BusySteps(rig.owner), (std::vector<int>{1, 0}));
  EXPECT_EQ(rig.owner.bytesDone, c.size);
  const auto transfers = rig.Box().Transfers();
  ASSERT_FALSE(transfers.empty());
  EXPECT_EQ(transfers[0].baudAfter, 115200u);
  if (c.mode != 0x20) {
    EXPECT_EQ(transfers[0].area, c.kind.area);
  }
}

std::vector<GoodCase> GoodCases() {
  std::vector<GoodCase> out;
  for (uint8_t mode : {0x20, 0x30, 0x40})
    for (const AreaOfKind& k : kAreas)
      for (uint32_t size : {4096u, 5000u, 2049u, 0u}) out.push_back({mode, k, size});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Upload, UploadEndToEnd, ::testing::ValuesIn(GoodCases()), [](const auto& info) {
  const GoodCase& c = info.param;
  std::string name = std::string("Mode") + (c.mode == 0x20 ? "20" : c.mode == 0x30 ? "30" : "40") + "_" + c.kind.file +
                     "_" + std::to_string(c.size);
  name.replace(name.find('.'), 1, "");
  return name;
});

// ---- faults ----------------------------------------------------------------------

enum class Ending {
  kByItself,      // the receiver reports and closes the link
  kSilence,       // the receiver reports once the silence limit has passed
  kLeftOpen,      // the receiver reports and keeps the link for the operator
};

struct FaultCase {
  const char* name;
  uint8_t mode;
  std::vector<box::BoxFault> faults;
  Ending ending;
  std::vector<std::string> messages;
  std::vector<int> busy;  // the window's busy/idle calls up to the report
  const char* status = nullptr;  // a status text the window keeps (kind 4)
  rlim_t fileLimit = 0;
};
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

box::BoxFault Fault(box::BoxFaultKind kind, int block = 1, box::BoxPhase phase = box::BoxPhase::kBlock) {
  box::BoxFault f;
  f.kind = kind;
  f.block = block;
  f.phase = phase;
  return f;
}

class UploadFaultEndToEnd : public ::testing::TestWithParam<std::tuple<FaultCase, bool>> {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.Ok()); }
  test::CScratchDir dir;
};

// Whatever goes wrong: a clear message, the link and the window where they
// should be, and under the destination name exactly what stood there before.
TEST_P(UploadFaultEndToEnd, ReportsAndKeepsWhatStoodThere) {
  using namespace box;
  const auto& [c, earlier] = GetParam();
  BoxConfig cfg;
  cfg.anyArea = test::Area(5000);
  cfg.faults = c.faults;
  cfg.switchTimeoutMs = 500;
  const std::string name = c.status ? c.status : "Program.Dat";
  if (earlier && !name.empty()) test::WriteFile(name, Text("earlier backup"));
  const auto before = Entries();

  CUploadRig rig(c.mode, cfg);
  if (c.status) rig.owner.SetStatus(c.status);
  std::unique_ptr<test::CFileSizeLimit> limit;
  if (c.fileLimit) limit = std::make_unique<test::CFileSizeLimit>(c.fileLimit);
  ASSERT_TRUE(rig.Start(c.status ? kSatcoDX : kProgramOnly));
  if (c.ending == Ending::kSilence) {
    ASSERT_TRUE(rig.WaitQuiet());
    ASSERT_TRUE(rig.ExpireSilence());
  } else {
    ASSERT_TRUE(rig.WaitMessage());
  }
  // Every message arrives before the link closes or is left to the operator.
  if (c.ending == Ending::kLeftOpen) {
    ASSERT_TRUE(rig.owner.WaitFor([&] { return rig.owner.messages.size() >= c.messages.size(); }));
    EXPECT_TRUE(rig.link.IsOpen());
    EXPECT_EQ(rig.owner.busy, 1);
    EXPECT_EQ(BusySteps(rig.owner), c.busy);
    rig.link.Cancel();  // the operator's Cancel
  }
  ASSERT_TRUE(rig.WaitThreadsEnded());
  limit.reset();

  EXPECT_EQ(rig.owner.MessageTexts(), c.messages);
  for (const auto& m : rig.owner.Messages()) EXPECT_EQ(m.icon, MsgIcon::Error) << m.text;
  EXPECT_EQ(rig.owner.busy, 0);
  if (c.ending != Ending::kLeftOpen) {
    EXPECT_EQ(BusySteps(rig.owner), c.busy);
  }
  if (earlier && !name.empty()) {
    EXPECT_EQ(ReadFile(name), Text("earlier backup"));
  }
  EXPECT_EQ(Entries(), before);  // no partial file, no temporary name
}

using box::BoxFaultKind;
using box::BoxPhase;

const FaultCase kFaultCases[] = {
    {"WrongBlockSum", 0x30, {Fault(BoxFaultKind::kBadBlockSum, 2)}, Ending::kByItself, {"CheckSum Error"}, {1, 0}},
    {"FlippedByte", 0x40, {Fault(BoxFaultKind::kFlipByte, 1)}, Ending::kByItself, {"CheckSum Error"}, {1, 0}},
    {"DoubledByte", 0x30, {Fault(BoxFaultKind::kDupByte, 2)}, Ending::kByItself, {"CheckSum Error"}, {1, 0}},
    {"NoiseBeforeABlock", 0x40, {Fault(BoxFaultKind::kNoise, 2)}, Ending::kByItself, {"CheckSum Error"}, {1, 0}},
    {"LostByte", 0x30, {Fault(BoxFaultKind::kDropByte, 3)}, Ending::kSilence, {"Time Out Error"}, {1, 0}},
    {"SilenceBeforeABlock", 0x40, {Fault(BoxFaultKind::kSilence, 2)}, Ending::kSilence, {"Time Out Error"}, {1, 0}},
    {"SilenceAfterTheSizeRecord", 0x30, {Fault(BoxFaultKind::kSilence, 1, BoxPhase::kStart)}, Ending::kSilence,
     {"Time Out Error"}, {0}},
    {"NoSizeRecord", 0x40, {Fault(BoxFaultKind::kSilence, 1, BoxPhase::kRequest)}, Ending::kSilence, {"Time Out Error"}, {0}},
    {"ThirteenthByteAfterTheSizeRecord", 0x30, {Fault(BoxFaultKind::kExtraSizeByte)}, Ending::kSilence,
     {"Time Out Error"}, {0}},
    {"HangUpMidway", 0x40, {Fault(BoxFaultKind::kHangUp, 2)}, Ending::kByItself, {"Connection Lost"}, {1, 0}},
    {"FullDisk", 0x30, {}, Ending::kByItself, {"File Write Error"}, {1, 0}, nullptr, 4096},
    {"NoDestination", 0x40, {}, Ending::kByItself, {"File Open Error", "Data Upload Not Saved"}, {1, 0}, ""},
    {"VerdictN", 0x20, {Fault(BoxFaultKind::kVerdictN, 2)}, Ending::kLeftOpen, {"Error Packet!!!"}, {1}},
    {"PacketSumJudgedWrong", 0x20, {Fault(BoxFaultKind::kBadBlockSum, 1)}, Ending::kLeftOpen, {"Error Packet!!!"}, {1}},
    {"PacketSilence", 0x20, {Fault(BoxFaultKind::kSilence, 2)}, Ending::kSilence, {"Time Out Error"}, {1, 0}},
    {"PacketHangUp", 0x20, {Fault(BoxFaultKind::kHangUp, 3)}, Ending::kByItself, {"Connection Lost"}, {1, 0}},
    {"PacketThirteenthSizeByte", 0x20, {Fault(BoxFaultKind::kExtraSizeByte)}, Ending::kSilence, {"Time Out Error"}, {0}},
    {"PacketFullDisk", 0x20, {}, Ending::kByItself, {"File Write Error"}, {1, 0}, nullptr, 4096},
    {"PacketNoDestination", 0x20, {}, Ending::kByItself, {"File Open Error", "Data Upload Not Saved"}, {1, 0}, ""},
};

INSTANTIATE_TEST_SUITE_P(Upload, UploadFaultEndToEnd,
                         ::testing::Combine(::testing::ValuesIn(kFaultCases), ::testing::Bool()), [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_EarlierFile" : "_FreshName");
                         });

}  // namespace
}  // namespace kelvane
