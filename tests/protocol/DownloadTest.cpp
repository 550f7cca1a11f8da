// Whole Downloads against the simulated box: the request, the blocks or
// packets, the speed switch, the box's copy, and every way a Download ends.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "Rig.h"
#include "serial/Tick.h"

namespace kelvane::test {
namespace {

using box::BoxConfig;
using box::BoxFault;
using box::BoxFaultKind;
using box::BoxPhase;
using box::BoxResult;
using Clock = std::chrono::steady_clock;

BoxConfig Loader(uint8_t mode, uint8_t m1 = 0x03, uint8_t m2 = 0x04) {
  BoxConfig c;
  c.signature[0] = m1;
  c.signature[1] = m2;
  c.signature[2] = mode;
  c.flashWriteMs = 20;
  c.repeatMs = 100;  // until the program has opened the line and answered
  return c;
}

Bytes Be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes Le24(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)}; }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }

Bytes WithHead(Bytes b, std::initializer_list<uint8_t> head) {
  std::copy(head.begin(), head.end(), b.begin());
  return b;
}

// Runs the program against the box until it shows "Upgrade Complete" (or
// any other message and the link closes).
void RunUntilClosed(CRig& rig) {
  rig.Connect();
  ASSERT_TRUE(rig.WaitClosed(20000)) << "the Download did not end";
  rig.link.WaitForThreads();
}

TEST(Download, EveryLinkModeEndToEnd) {
  CScratch files;
  const Bytes prog5000 = ProgramImage(5000, 0x47);
  const Bytes prog4096 = ProgramImage(4096, 0x40);
  const Bytes key16k = WithHead(Pattern(16384), {0xBA, 0xB0});
  const Bytes key16kB = WithHead(Pattern(16384, 3), {0x82, 0x02});
  Bytes sdx = Pattern(3000, 5);
  std::copy_n("SATCODX", 7, sdx.begin());
  const Bytes still = Pattern(3000, 9);
  Bytes boot64k = Pattern(0x10000, 11);
  boot64k[0xFFF5] = 0x1A;
  const Bytes data128k = Pattern(0x20000, 13);
  const Bytes boot8k = Pattern(0x2000, 17);

  struct Case {
    const char* what;
    BoxConfig box;
    int kind, speed, keep;
    Bytes file;
    Bytes request;           // everything the program sends before the speed switch
    std::vector<int> writes; // how the request is cut into writes
  };
  const std::vector<int> w30 = {1, 1, 4, 1, 1, 1, 1, 1, 1}, w40 = {1, 1, 5, 1, 1, 1, 1, 1, 1},
                         w20 = {1, 1, 4, 1, 1, 1, 1, 1};
  const std::vector<Case> cases = {
      {"0x30 L=5000: 2048 + 2048 + 904", Loader(0x30), kProgramOnly, 4, 0, prog5000,
       Cat({{0x43, 0x44}, Slice(prog5000, 5000 - 11, 4), {0x00, 0x00, 0x13, 0x88, 0x00, 0x04}}), w30},
      {"0x30 L=4096: exactly two blocks, keep channels", Loader(0x30), kProgramOnly, 2, 1, prog4096,
       Cat({{0x43, 0x44}, Slice(prog4096, 4096 - 11, 4), {0x00, 0x00, 0x10, 0x00, 0x01, 0x02}}), w30},
      {"0x40 L=5000", Loader(0x40, 0x20, 0x10), kProgramOnly, 3, 1, prog5000,
       Cat({{0x43, 0x44}, Slice(prog5000, 5000 - 12, 5), {0x00, 0x00, 0x13, 0x88, 0x01, 0x03}}), w40},
      {"0x20 L=5000: packets 0x800, 0x800, 0x388", Loader(0x20, 0x20, 0x10), kProgramOnly, 1, 0, prog5000,
       Cat({{0x43, 0x44}, Slice(prog5000, 5000 - 4, 4), {0x88, 0x13, 0x00, 0x00, 0x01}}), w20},
      {"0xF2 key data of 16384 bytes: 'C' 'I', speed stays 9600", Loader(0xF2), kKeyData, 0, 0, key16k,
       {0x43, 0x49, 0x37, 0x22, 0x72, 0x01, 0x00, 0x40, 0x00, 0x00, 0x00}, w20},
      {"0x20 Boot Only 8192", Loader(0x20), kBootOnly, 4, 1, boot8k,
       Cat({{0x43, 0x44}, Slice(boot8k, 0x1FD0, 4), {0x00, 0x20, 0x00, 0x01, 0x04}}), w20},
      {"0x31 SatcoDX", Loader(0x31), kSatcoDX, 4, 0, sdx,
       {0x43, 0x44, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B, 0xB8, 0x00, 0x04}, w30},
      {"0x42 Still Image", Loader(0x42), kStillImage, 2, 0, still,
       {0x43, 0x44, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0B, 0xB8, 0x00, 0x02}, w40},
      {"0x41 key data 82 02", Loader(0x41), kKeyData, 3, 1, key16kB,
       {0x43, 0x44, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x01, 0x03}, w40},
      {"0x40 Boot Only 64 KB", Loader(0x40), kBootOnly, 4, 0, boot64k,
       Cat({{0x43, 0x44}, Slice(boot64k, 0xFFF4, 5), {0x00, 0x01, 0x00, 0x00, 0x00, 0x04}}), w40},
      {"0x30 Data Only 128 KB", Loader(0x30), kDataOnly, 4, 0, data128k,
       {0x43, 0x44, 0x2F, 0xFF, 0xF0, data128k[1], 0x00, 0x02, 0x00, 0x00, 0x00, 0x04}, w30},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CRig rig(c.box);
    rig.Select(c.kind, 0, c.speed, files.Write("image.bin", c.file));
    rig.link.bSaveChannelList.store(c.keep);
    RunUntilClosed(rig);

    ASSERT_EQ(rig.box.WaitOutcome(5000), BoxResult::kDone) << rig.box.Transfers().at(0).detail;
    const auto t = rig.box.Transfers().at(0);
    EXPECT_EQ(Hex(t.request), Hex(c.request));
    EXPECT_TRUE(rig.box.Flash() == c.file) << "the box's copy differs from the file";
    EXPECT_EQ(t.baudBefore, 9600u);
    EXPECT_EQ(t.baudAfter, BaudForIndex(c.speed));

    // The request write by write, the speed switch 30 ms after its last
    // byte, then the blocks (data, 4-byte sum) or packets (3-byte length,
    // data, then 'K' once the box's sum matched).
    const auto entries = rig.trace.Entries();
    std::vector<CTraceLog::Entry> tx;
    for (auto& e : entries)
      if (e.tx) tx.push_back(e);
    ASSERT_FALSE(tx.empty());
    ASSERT_TRUE(tx[0].bytes.empty()) << "Open sets 9600 first";
    size_t i = 1;
    std::vector<int> sizes;
    for (; i < tx.size() && !tx[i].bytes.empty() && sizes.size() < c.writes.size(); ++i)
      sizes.push_back(static_cast<int>(tx[i].bytes.size()));
    EXPECT_EQ(sizes, c.writes);
    ASSERT_LT(i, tx.size());
    ASSERT_TRUE(tx[i].bytes.empty()) << "the speed switch follows the request";
    EXPECT_EQ(tx[i].baud, BaudForIndex(c.speed));
    EXPECT_GE(tx[i].at - tx[i - 1].at, std::chrono::milliseconds(30));

    const bool mode20 = t.linkMode == 0x20;
    const size_t blocks = (c.file.size() + 2047) / 2048;
    std::vector<Clock::time_point> blockAt;
    size_t off = 0;
    for (++i; off < c.file.size(); ++i) {
      ASSERT_LT(i + 1, tx.size());
      const size_t n = std::min<size_t>(2048, c.file.size() - off);
      const Bytes data = Slice(c.file, off, n);
      const uint32_t sum = ByteSum(data.data(), static_cast<int>(n));
      if (mode20) {
        EXPECT_EQ(Hex(tx[i].bytes), Hex(Le24(static_cast<uint32_t>(n))));
        EXPECT_TRUE(tx[i + 1].bytes == data) << "packet at " << off;
        ASSERT_LT(i + 2, tx.size());
        EXPECT_EQ(Hex(tx[i + 2].bytes), "4B ");
        blockAt.push_back(tx[i].at);
        i += 2;
      } else {
        EXPECT_TRUE(tx[i].bytes == data) << "block at " << off;
        EXPECT_EQ(Hex(tx[i + 1].bytes), Hex(Be32(sum)));
        blockAt.push_back(tx[i].at);
        i += 1;
      }
      off += n;
    }
    EXPECT_EQ(blockAt.size(), blocks);
    if (!mode20) {
      // Blocks follow at the pace of the sender's wait, plus a pause for
      // channel lists, pictures and key data.
      const bool slowKind = c.kind == kSatcoDX || c.kind == kStillImage || c.kind == kKeyData;
      for (size_t k = 1; k < blockAt.size(); ++k)
        EXPECT_GE(blockAt[k] - blockAt[k - 1], std::chrono::milliseconds(slowKind ? 14 : 9));
    }
    EXPECT_EQ(i, tx.size()) << "nothing after the last block";

    const auto msgs = rig.owner.Messages();
    ASSERT_EQ(msgs.size(), 1u) << msgs[0].text;
    EXPECT_EQ(msgs[0].text, "Upgrade Complete");
    EXPECT_EQ(msgs[0].icon, MsgIcon::Warning);
    EXPECT_EQ(rig.owner.progressMax, blocks);
    EXPECT_EQ(rig.owner.progressHistory.back() == 0 ? rig.owner.progressHistory.end()[-2]
                                                   : rig.owner.progressHistory.back(),
              static_cast<int>(blocks));
    EXPECT_TRUE(rig.owner.writingShown);
    EXPECT_FALSE(rig.owner.writing) << "hidden when the thread ends";
    EXPECT_FALSE(rig.owner.cancelEnabled);
    ASSERT_FALSE(rig.owner.busyHistory.empty());
    EXPECT_NE(std::find(rig.owner.busyHistory.begin(), rig.owner.busyHistory.end(), 1),
              rig.owner.busyHistory.end());
    EXPECT_EQ(rig.owner.busyHistory.back(), 0);
    EXPECT_EQ(rig.link.bTransferRunning.load(), 0);
  }
}

// The box or the line ends the Download early; each way gives its messages,
// never "Upgrade Complete", and leaves the link closed and the window idle.
TEST(Download, FailuresReportedByTheBox) {
  CScratch files;
  // Long enough that a reply to an early block arrives while blocks remain,
  // however slowly the box reads.
  const Bytes prog = ProgramImage(64 * 2048 + 100);
  const std::string progPath = files.Write("prog.bin", prog);
  const std::string shortProgPath = files.Write("short.bin", ProgramImage(5 * 2048 + 100));
  const std::string stillPath = files.Write("still.bin", Pattern(3000));
  const std::string shortBoot = files.Write("boot.bin", Pattern(100));
  auto fault = [](BoxFaultKind k, int block = 1, std::string text = {}) {
    BoxFault f;
    f.kind = k;
    f.block = block;
    f.bytes.assign(text.begin(), text.end());
    return f;
  };
  struct Case {
    const char* what;
    uint8_t mode;
    std::vector<BoxFault> faults;
    int kind;
    std::string path;
    std::set<std::string> messages;  // all of these, nothing else
    std::set<std::string> maybe;     // may also appear (the other thread's view)
  };
  const std::vector<Case> cases = {
      {"refusal with a text", 0x30, {fault(BoxFaultKind::kRefuse, 1, "OLD LOADER")}, kProgramOnly, progPath,
       {"Version mismatch \nOLD LOADER"}, {}},
      {"refusal of a picture", 0x32, {fault(BoxFaultKind::kRefuse, 1, "TOO BIG")}, kStillImage, stillPath,
       {"Image size over"}, {}},
      {"'N' while blocks remain", 0x30, {fault(BoxFaultKind::kNak, 2)}, kProgramOnly, progPath,
       {"Upgrade Error", "Abort Download"}, {}},
      {"'N' for the last block", 0x40, {fault(BoxFaultKind::kNak, 6)}, kProgramOnly, shortProgPath, {"Upgrade Error"},
       {}},
      {"a wrong sum in LinkMode 0x30 is the box's 'N'", 0x30, {fault(BoxFaultKind::kFlipByte, 3)}, kProgramOnly,
       progPath, {"Upgrade Error", "Abort Download"}, {}},
      {"line gone mid-transfer", 0x30, {fault(BoxFaultKind::kHangUp, 3)}, kProgramOnly, progPath,
       {"Connection Lost"}, {"Abort Download"}},
      {"line gone mid-transfer, LinkMode 0x20", 0x20, {fault(BoxFaultKind::kHangUp, 2)}, kProgramOnly, progPath,
       {"Connection Lost"}, {}},
      {"the file does not open", 0x30, {}, kProgramOnly, files.Missing(), {"File Open Error"}, {}},
      {"the check refuses the file", 0x30, {}, kBootOnly, shortBoot, {"File is incorrect"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BoxConfig cfg = Loader(c.mode);
    cfg.faults = c.faults;
    cfg.peerTimeoutMs = 2000;
    CRig rig(cfg);
    rig.Select(c.kind, 0, 4, c.path);
    // Like an operator, the window keeps the receiver's box open for a while,
    // long enough for the sender's own box to appear.
    rig.owner.onMessage = [&](const std::string& text) {
      if (text == "Upgrade Error") rig.owner.WaitForMessage("Abort Download", 300);
    };
    RunUntilClosed(rig);
    std::set<std::string> got;
    for (auto& m : rig.owner.Messages()) got.insert(m.text);
    for (auto& m : c.messages) EXPECT_TRUE(got.count(m)) << "missing: " << m;
    for (auto& m : got) EXPECT_TRUE(c.messages.count(m) || c.maybe.count(m)) << "unexpected: " << m;
    for (auto& m : rig.owner.Messages())
      EXPECT_EQ(m.icon, m.text == "Abort Download" ? MsgIcon::Warning : MsgIcon::Error) << m.text;
    EXPECT_EQ(rig.owner.busyHistory.empty() ? 0 : rig.owner.busyHistory.back(), 0);
    EXPECT_FALSE(rig.owner.writing);
    EXPECT_EQ(rig.link.bTransferRunning.load(), 0);
  }
}

// 'e' during the blocks is reported and the transfer goes on to the end.
TEST(Download, FlashWriteErrorDoesNotStopTheTransfer) {
  CScratch files;
  const Bytes prog = ProgramImage(3 * 2048);
  BoxConfig cfg = Loader(0x30);
  BoxFault f;
  f.kind = BoxFaultKind::kFlashError;
  f.block = 2;
  cfg.faults = {f};
  CRig rig(cfg);
  rig.Select(kProgramOnly, 0, 4, files.Write("p.bin", prog));
  RunUntilClosed(rig);
  EXPECT_EQ(rig.owner.MessageTexts(), (std::vector<std::string>{"Flash Write Error", "Upgrade Complete"}));
  EXPECT_EQ(rig.owner.Messages()[0].icon, MsgIcon::Error);
  EXPECT_TRUE(rig.box.Flash() == prog);
}

// After the last block the box has 60 s of silence to write its flash.
TEST(Download, SilenceWhileTheBoxWritesItsFlash) {
  CScratch files;
  BoxConfig cfg = Loader(0x30);
  BoxFault f;
  f.kind = BoxFaultKind::kSilence;
  f.phase = BoxPhase::kClosing;
  cfg.faults = {f};
  CRig rig(cfg);
  rig.Select(kProgramOnly, 0, 4, files.Write("p.bin", ProgramImage(3000)));
  rig.Connect();
  ASSERT_TRUE(WaitUntil([&] { return rig.link.dwRxTimeout.load() == 60000; }));
  AdvanceTickForTest(59000);
  std::this_thread::sleep_for(std::chrono::milliseconds(40));
  EXPECT_TRUE(rig.owner.Messages().empty());
  AdvanceTickForTest(1500);
  ASSERT_TRUE(rig.WaitClosed());
  rig.link.WaitForThreads();
  EXPECT_EQ(rig.owner.MessageTexts(), std::vector<std::string>{"Time Out Error"});
  EXPECT_EQ(rig.owner.busyHistory.back(), 0);
  EXPECT_FALSE(rig.owner.writing);
}

// A box that writes its flash at once: its closing reply, the receiver's
// Cancel and its Close may all come before the sender looks at its events.
// The window is slow to show the writing notice here, so the sender finds
// the link already closed; the Download still completed.
class CSlowNoticeOwner : public CRecordingOwner {
 public:
  CSerialLink* link = nullptr;
  void ShowWriting(bool show) override {
    CRecordingOwner::ShowWriting(show);
    if (show) WaitUntil([&] { return !link->IsOpen(); }, 5000);
  }
};

TEST(Download, QuickClosingReplyStillCompletes) {
  CScratch files;
  for (uint8_t mode : {0x30, 0x40}) {
    SCOPED_TRACE(mode);
    BoxConfig cfg = Loader(mode);
    cfg.flashWriteMs = 20;  // its closing reply comes in a read of its own
    box::CBox b(cfg);
    CSlowNoticeOwner owner;
    owner.SetKind(kProgramOnly);
    owner.SetDirection(0);
    owner.SetSpeed(4);
    owner.SetPath(files.Write("p.bin", ProgramImage(5000)));
    CSerialLink link;
    owner.link = &link;
    ASSERT_TRUE(b.Start());
    link.SetDevicePath(b.SlavePath());
    link.SetOwner(&owner);
    ASSERT_EQ(link.Open(), 1);
    ASSERT_TRUE(owner.WaitForMessage("Upgrade Complete"));
    link.WaitForThreads();
    EXPECT_EQ(owner.MessageTexts(), std::vector<std::string>{"Upgrade Complete"});
    EXPECT_EQ(b.WaitOutcome(1000), BoxResult::kDone);
  }
}

TEST(Download, CancelWhileBlocksGoOut) {
  CScratch files;
  CRig rig(Loader(0x30));
  rig.Select(kDataOnly, 0, 4, files.Write("d.bin", Pattern(0x20000)));
  rig.Connect();
  ASSERT_TRUE(rig.owner.WaitFor([&] { return rig.owner.progressPos >= 3; }));
  rig.link.Cancel();
  ASSERT_TRUE(rig.WaitClosed());
  rig.link.WaitForThreads();
  EXPECT_EQ(rig.owner.MessageTexts(), std::vector<std::string>{"Abort Download"});
  EXPECT_EQ(rig.owner.Messages()[0].icon, MsgIcon::Warning);
  EXPECT_EQ(rig.owner.busyHistory.back(), 0);
  EXPECT_FALSE(rig.owner.writing);
}

// ---- the box played by hand, for what the loader does not do ---------------

// Sends the announcement and waits for the whole request and the switch.
void StartScripted(CRig& rig, const Bytes& sig, size_t requestLength, uint32_t baud) {
  rig.Connect();
  ASSERT_TRUE(rig.box.Send(sig));
  ASSERT_TRUE(rig.box.WaitReceived(requestLength, 5000));
  ASSERT_TRUE(rig.box.WaitSlaveSpeed(baud, 5000));
}

// A refusal text, long or short, in pieces: the message holds the text after
// a line break and never more than 255 characters.
TEST(Download, RefusalText) {
  CScratch files;
  const std::string path = files.Write("p.bin", ProgramImage(3000));
  const std::string t239(239, 'x');
  const std::string t20 = "LOADER 1.2 REQUIRED";
  struct Case {
    const char* what;
    std::vector<std::string> pieces;  // each sent as one chunk
    bool ended;                       // a 0x00 after the pieces
    std::string message;
  };
  const std::vector<Case> cases = {
      {"short text", {t20}, true, "Version mismatch \n" + t20},
      {"text in pieces", {"LOADER ", "1.2 ", "REQUIRED"}, true, "Version mismatch \nLOADER 1.2 REQUIRED"},
      {"239 bytes without an end: complete at 240, cut to 255", {t239.substr(0, 100), t239.substr(100)}, false,
       ("Version mismatch \n" + t239).substr(0, 255)},
      {"empty text", {}, true, "Version mismatch \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CRig rig(Scripted());
    rig.Select(kProgramOnly, 0, 4, path);
    StartScripted(rig, {0x03, 0x04, 0x30}, 12, 115200);
    Bytes first = {0x65};
    for (size_t k = 0; k < c.pieces.size() || k == 0; ++k) {
      Bytes chunk = k == 0 ? first : Bytes{};
      if (k < c.pieces.size()) chunk.insert(chunk.end(), c.pieces[k].begin(), c.pieces[k].end());
      if (c.ended && k + 1 >= c.pieces.size()) chunk.push_back(0x00);
      ASSERT_TRUE(rig.box.Send(chunk));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ASSERT_TRUE(rig.WaitClosed());
    rig.link.WaitForThreads();
    ASSERT_EQ(rig.owner.MessageTexts(), std::vector<std::string>{c.message});
    EXPECT_LE(c.message.size(), 255u);
    EXPECT_EQ(rig.owner.Messages()[0].icon, MsgIcon::Error);
    EXPECT_EQ(rig.owner.busyHistory.back(), 0);
  }
}

// The box's replies while the blocks go out, judged by the first byte of each
// read after any run of 'K's: 'K' goes on, 'e' is reported and goes on, 'N'
// ends with "Upgrade Error", anything else ends the transfer, and before the
// last block that is no completion.
TEST(Download, RepliesDuringTheBlocks) {
  CScratch files;
  const std::string path = files.Write("d.bin", Pattern(0x20000));  // Data Only, 64 blocks
  struct Case {
    const char* what;
    Bytes chunk;
    std::vector<std::string> messages;  // in order
    bool open;
  };
  const std::vector<Case> cases = {
      {"'K's only", {0x4B, 0x4B, 0x4B}, {}, true},
      {"'K' and 'N' in one read", {0x4B, 0x4E}, {"Upgrade Error", "Abort Download"}, false},
      {"'K' and 'e' in one read", {0x4B, 0x65, 0x4B}, {"Flash Write Error"}, true},
      {"'e' first", {0x65, 0x4B}, {"Flash Write Error"}, true},
      {"'N' first", {0x4E}, {"Upgrade Error", "Abort Download"}, false},
      {"another byte before the last block", {0x4F}, {"Abort Download"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CRig rig(Scripted());
    rig.Select(kDataOnly, 0, 4, path);
    rig.owner.onMessage = [&](const std::string& text) {
      if (text == "Upgrade Error") rig.owner.WaitForMessage("Abort Download", 300);
    };
    StartScripted(rig, {0x03, 0x04, 0x30}, 12, 115200);
    ASSERT_TRUE(rig.box.Send({0x45}));
    ASSERT_TRUE(rig.box.WaitReceived(12 + 2048 + 4, 5000));
    ASSERT_TRUE(rig.box.Send(c.chunk));
    if (c.open) {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      EXPECT_TRUE(rig.link.IsOpen());
      EXPECT_EQ(rig.owner.MessageTexts(), c.messages);
      rig.link.Cancel();
    }
    ASSERT_TRUE(rig.WaitClosed());
    rig.link.WaitForThreads();
    // The two threads' boxes may come in either order.
    auto texts = rig.owner.MessageTexts();
    if (c.open) texts.erase(std::remove(texts.begin(), texts.end(), "Abort Download"), texts.end());
    auto want = c.messages;
    std::sort(texts.begin(), texts.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(texts, want);
    EXPECT_EQ(rig.owner.busyHistory.back(), 0);
    EXPECT_LT(rig.box.ReceivedBytes().size(), 12u + 64 * 2052) << "sending stopped";
  }
}

// The last acknowledgements and the closing reply in one read: the Download
// completed and says so, instead of waiting out the flash-write limit.
TEST(Download, ClosingReplyInTheSameReadAsTheLastAcknowledgement) {
  CScratch files;
  const std::string path = files.Write("p.bin", ProgramImage(3000));  // two blocks
  CRig rig(Scripted());
  rig.Select(kProgramOnly, 0, 4, path);
  StartScripted(rig, {0x03, 0x04, 0x30}, 12, 115200);
  ASSERT_TRUE(rig.box.Send({0x45}));
  ASSERT_TRUE(rig.box.WaitReceived(12 + 2052 + (3000 - 2048) + 4, 5000));
  ASSERT_TRUE(rig.box.Send({0x4B, 0x4B, 0x4F}));
  ASSERT_TRUE(rig.WaitClosed());
  rig.link.WaitForThreads();
  EXPECT_EQ(rig.owner.MessageTexts(), std::vector<std::string>{"Upgrade Complete"});
  EXPECT_EQ(rig.owner.busyHistory.back(), 0);
}

// LinkMode 0x20: the sender judges the box's sums itself.
TEST(Download, PacketSumExchange) {
  const Bytes sig = {0x20, 0x10, 0x20};
  const Bytes file = ProgramImage(3000);
  const uint32_t sum1 = ByteSum(file.data(), 2048);
  struct Case {
    const char* what;
    Bytes reply;       // the box's answer to packet 1
    Bytes wire;        // what the program answers
    std::string message;
    bool open;         // the link stays open afterwards
  };
  const std::vector<Case> cases = {
      {"wrong sum: 'N', message, sending stops", Le24(sum1 + 1), {0x4E}, "CheckSum Error.", true},
      {"four bytes in one chunk: no verdict", Cat({Le24(sum1), {0x00}}), {}, "", true},
      {"right sum: 'K'", Le24(sum1), {0x4B}, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CScratch files;
    CRig rig(Scripted());
    rig.Select(kProgramOnly, 0, 4, files.Write("p.bin", file));
    StartScripted(rig, sig, 11, 115200);
    ASSERT_TRUE(rig.box.Send({0x45}));
    ASSERT_TRUE(rig.box.WaitReceived(11 + 3 + 2048, 5000));
    ASSERT_TRUE(rig.box.Send(c.reply));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const Bytes all = rig.box.ReceivedBytes();
    EXPECT_EQ(Hex(Bytes(all.begin() + 11 + 3 + 2048, all.end())), Hex(c.wire));
    EXPECT_EQ(rig.link.IsOpen(), c.open);
    EXPECT_EQ(rig.owner.MessageTexts(), c.message.empty() ? std::vector<std::string>{}
                                                           : std::vector<std::string>{c.message});
    // Sending has stopped or waits; the window stays busy until Cancel.
    EXPECT_EQ(rig.owner.Locked([&] { return rig.owner.busy; }), 1);
    EXPECT_EQ(rig.link.bTransferRunning.load(), 1);
    rig.link.Cancel();
    ASSERT_TRUE(rig.WaitClosed());
    rig.link.WaitForThreads();
    EXPECT_EQ(rig.owner.busyHistory.back(), 0);
    for (auto& m : rig.owner.MessageTexts()) EXPECT_NE(m, "Upgrade Complete");
  }
}

double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// While the sender owns the port (LinkMode 0x20, stopped after a wrong sum)
// the receiver stays off it but still pauses on every pass.
TEST(Download, ReceiverDoesNotSpinWhileTheSenderOwnsThePort) {
  CScratch files;
  const Bytes file = ProgramImage(3000);
  CRig rig(Scripted());
  rig.Select(kProgramOnly, 0, 4, files.Write("p.bin", file));
  StartScripted(rig, {0x20, 0x10, 0x20}, 11, 115200);
  ASSERT_TRUE(rig.box.Send({0x45}));
  ASSERT_TRUE(rig.box.WaitReceived(11 + 3 + 2048, 5000));
  ASSERT_TRUE(rig.box.Send(Le24(ByteSum(file.data(), 2048) + 1)));
  ASSERT_TRUE(rig.owner.WaitForMessage("CheckSum Error."));
  ASSERT_EQ(rig.link.bTransferRunning.load(), 1);
  const double before = CpuMs();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  // A spinning thread would take about all of those 400 ms.
  EXPECT_LT(CpuMs() - before, 150.0);
}

// The file shrinks after the check: the transfer ends as a cancel does.
TEST(Download, FileThatCannotBeReadEndsTheTransfer) {
  CScratch files;
  const Bytes file = ProgramImage(5000);
  const std::string path = files.Write("p.bin", file);
  CRig rig(Scripted());
  rig.Select(kProgramOnly, 0, 4, path);
  StartScripted(rig, {0x20, 0x10, 0x20}, 11, 115200);
  ASSERT_TRUE(rig.box.Send({0x45}));
  ASSERT_TRUE(rig.box.WaitReceived(11 + 3 + 2048, 5000));
  ASSERT_EQ(truncate(path.c_str(), 3000), 0);
  ASSERT_TRUE(rig.box.Send(Le24(ByteSum(file.data(), 2048))));
  ASSERT_TRUE(rig.box.WaitReceived(11 + 3 + 2048 + 1, 5000));
  ASSERT_TRUE(rig.box.Send({0x46}));
  ASSERT_TRUE(rig.WaitClosed());
  rig.link.WaitForThreads();
  EXPECT_EQ(rig.owner.MessageTexts(), std::vector<std::string>{"File Read Error"});
  EXPECT_EQ(rig.owner.Messages()[0].icon, MsgIcon::Error);
  EXPECT_EQ(rig.owner.busyHistory.back(), 0);
  // Nothing of the second packet went out.
  EXPECT_EQ(rig.box.ReceivedBytes().size(), 11u + 3 + 2048 + 1);
}

}  // namespace
}  // namespace kelvane::test
