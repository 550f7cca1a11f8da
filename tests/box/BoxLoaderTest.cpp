// The simulated box's loader, driven by a test that plays the PC over the
// slave side of the pseudo-terminal.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "BoxTestSupport.h"

namespace kelvane::box::test {
namespace {

// A box in loader mode and the PC's end of its line. The box announces itself
// only once the PC has the line open (opening discards what is queued).
struct LoaderRig {
  static BoxConfig Config(int mode) {
    BoxConfig cfg;
    cfg.signature[2] = static_cast<uint8_t>(mode == 0x20 ? 0x20 : mode);
    cfg.announceAtStart = false;
    cfg.flashWriteMs = 60;
    cfg.peerTimeoutMs = 600;
    return cfg;
  }
  void StartBox(BoxConfig cfg) {
    const size_t announcement = cfg.noise.size() + 3;
    box = std::make_unique<CBox>(std::move(cfg));
    ASSERT_TRUE(box->Start());
    ASSERT_TRUE(pc.Open(box->SlavePath()));
    ASSERT_TRUE(box->Announce());
    const auto sig = pc.Take(announcement);
    ASSERT_EQ(sig.size(), announcement);
    EXPECT_EQ(sig.back(), box->Config().signature[2]);
  }
  BoxTransfer Outcome() {
    EXPECT_NE(box->WaitOutcome(5000), BoxResult::kPending);
    const auto transfers = box->Transfers();
    return transfers.empty() ? BoxTransfer{} : transfers[0];
  }

  std::unique_ptr<CBox> box;
  CTestPc pc;
};

class LoaderTest : public ::testing::Test, public LoaderRig {};

// ---- the PC's side of a Download, as tokens of what the box answered -------

class Trace {
 public:
  void Add(const std::string& token) { text_ += (text_.empty() ? "" : " ") + token; }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
};

// A trace matches one of the '|'-separated alternatives; '.' stands for any
// hex digit (bytes whose value the case does not fix).
bool TraceMatches(const std::string& trace, const std::string& pattern) {
  size_t from = 0;
  for (;;) {
    const size_t bar = pattern.find('|', from);
    const std::string alt = pattern.substr(from, bar == std::string::npos ? std::string::npos : bar - from);
    bool same = alt.size() == trace.size();
    for (size_t i = 0; same && i < alt.size(); ++i)
      same = alt[i] == '.' ? std::isxdigit(static_cast<unsigned char>(trace[i])) != 0 : alt[i] == trace[i];
    if (same) return true;
    if (bar == std::string::npos) return false;
    from = bar + 1;
  }
}

std::string ReplyToken(uint8_t b) {
  switch (b) {
    case kLetterAccept: return "E";
    case kLetterGood: return "K";
    case kLetterBad: return "N";
    case kLetterRefuse: return "e";
    case kClosingReply: return "O";
    default: return Hex({b});
  }
}

// Sends the request, switches speed 30 ms after it, and reads the answer:
// "E", or "e(<text>)" followed by "00" when the text was ended.
bool RequestDownload(CTestPc& pc, int mode, const std::vector<uint8_t>& file, int baudIndex, uint8_t channel,
                     Trace& trace) {
  const uint32_t length = static_cast<uint32_t>(file.size());
  std::vector<uint8_t> req{kLetterRequest, mode == 0x20 && length == 16384 ? kLetterKeyData : kLetterDownload};
  if (mode == 0x40) req.push_back(0x00);
  req.insert(req.end(), {0x4F, 0x11, 0x22, 0x33});
  if (mode == 0x20) AppendLe24(req, length);
  else AppendBe32(req, length);
  req.push_back(channel);
  req.push_back(static_cast<uint8_t>(baudIndex));
  pc.Put(req);
  SleepMs(30);
  pc.Speed(baudIndex);
  for (int stray = 0; stray < 8; ++stray) {
    const auto b = pc.Take(1, 400);
    if (b.empty()) {
      if (pc.gone) trace.Add("gone");
      return false;
    }
    if (b[0] == kLetterAccept) {
      trace.Add("E");
      return true;
    }
    if (b[0] == kLetterRefuse) {
      std::string text;
      for (;;) {
        const auto c = pc.Take(1, 300);
        if (c.empty() || c[0] == 0x00) {
          trace.Add("e(" + text + ")");
          if (!c.empty()) trace.Add("00");
          return false;
        }
        text += static_cast<char>(c[0]);
      }
    }
    trace.Add(Hex(b));
  }
  return false;
}

// LinkMode 0x30/0x40: blocks 10 ms apart without waiting for replies, as the
// PC's sender does; then every reply, one token per byte.
std::string PlayDownload(CTestPc& pc, int mode, const std::vector<uint8_t>& file, int baudIndex = 4,
                         uint8_t channel = 0) {
  Trace trace;
  if (!RequestDownload(pc, mode, file, baudIndex, channel, trace)) return trace.Text();
  for (size_t off = 0; off < file.size(); off += kBlockSize) {
    const int n = static_cast<int>(std::min<size_t>(kBlockSize, file.size() - off));
    std::vector<uint8_t> block(file.begin() + static_cast<long>(off), file.begin() + static_cast<long>(off) + n);
    AppendBe32(block, ByteSum(block.data(), n));
    if (!pc.Put(block)) break;
    SleepMs(10);
  }
  for (uint8_t b : pc.Drain(300)) trace.Add(ReplyToken(b));
  if (pc.gone) trace.Add("gone");
  return trace.Text();
}

// LinkMode 0x20: per packet "S" (the box's sum is right; 'K' sent) or
// "X(hex)" (wrong; 'N' sent, the PC stops), then the box's "F".
std::string PlayDownload20(CTestPc& pc, const std::vector<uint8_t>& file, int baudIndex = 4, uint8_t channel = 0) {
  Trace trace;
  if (!RequestDownload(pc, 0x20, file, baudIndex, channel, trace)) return trace.Text();
  for (size_t off = 0; off < file.size(); off += kBlockSize) {
    const int n = static_cast<int>(std::min<size_t>(kBlockSize, file.size() - off));
    std::vector<uint8_t> packet;
    AppendLe24(packet, static_cast<uint32_t>(n));
    packet.insert(packet.end(), file.begin() + static_cast<long>(off), file.begin() + static_cast<long>(off) + n);
    if (!pc.Put(packet)) break;
    const auto sum = pc.Take(3, 400);
    if (sum.size() < 3) {
      if (!sum.empty()) trace.Add(Hex(sum));
      break;
    }
    const uint32_t theirs = sum[0] | (sum[1] << 8) | (sum[2] << 16);
    const bool good = theirs == (ByteSum(file.data() + off, n) & 0xFFFFFF);
    trace.Add(good ? "S" : "X(" + Hex(sum) + ")");
    pc.Put({good ? kLetterGood : kLetterBad});
    if (!good) break;
    const auto f = pc.Take(1, 400);
    if (f.empty()) break;
    trace.Add(f[0] == kLetterReady ? "F" : Hex(f));
  }
  for (uint8_t b : pc.Drain(150)) trace.Add(Hex({b}));
  if (pc.gone) trace.Add("gone");
  return trace.Text();
}

struct DownloadCase {
  const char* name;
  int mode;
  size_t size;
  int baudIndex;
  uint8_t channel;
  const char* trace;  // see TraceMatches
};

class DownloadServed : public LoaderTest, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(DownloadServed, KeepsTheFileAndAnswersAtTheNewSpeed) {
  const DownloadCase& c = GetParam();
  StartBox(Config(c.mode));
  const auto file = Pattern(c.size, static_cast<unsigned>(c.size));
  const std::string trace = c.mode == 0x20 ? PlayDownload20(pc, file, c.baudIndex, c.channel)
                                           : PlayDownload(pc, c.mode, file, c.baudIndex, c.channel);
  EXPECT_TRUE(TraceMatches(trace, c.trace)) << trace;
  const BoxTransfer t = Outcome();
  EXPECT_EQ(t.result, BoxResult::kDone) << t.detail;
  EXPECT_FALSE(t.upload);
  EXPECT_EQ(t.linkMode, c.mode);
  EXPECT_EQ(t.length, c.size);
  EXPECT_EQ(t.channelByte, c.channel);
  EXPECT_EQ(t.baudIndex, c.baudIndex);
  EXPECT_EQ(t.keyData, c.mode == 0x20 && c.size == 16384);
  EXPECT_EQ(t.descriptor.size(), c.mode == 0x40 ? 5u : 4u);
  EXPECT_EQ(t.baudBefore, 9600u);
  EXPECT_EQ(t.baudAfter, BaudForIndex(c.baudIndex));
  EXPECT_EQ(box->Flash(), file);
  // The request went out at 9600 bit/s, the blocks at the chosen speed.
  const auto rx = box->Received();
  ASSERT_FALSE(rx.empty());
  EXPECT_EQ(rx.front().baud, 9600u);
  EXPECT_EQ(rx.back().baud, BaudForIndex(c.baudIndex));
}

INSTANTIATE_TEST_SUITE_P(
    EveryLinkMode, DownloadServed,
    ::testing::Values(DownloadCase{"Mode30ThreeBlocksShortLast", 0x30, 5000, 4, 1, "E K K K O"},
                      DownloadCase{"Mode40ExactlyTwoBlocks", 0x40, 4096, 2, 0, "E K K O"},
                      DownloadCase{"Mode30OneByteAtTheSameSpeed", 0x30, 1, 0, 0, "E K O"},
                      DownloadCase{"Mode20ThreePackets", 0x20, 5000, 3, 0, "E S F S F S F"},
                      DownloadCase{"Mode20KeyData", 0x20, 16384, 1, 1, "E S F S F S F S F S F S F S F S F"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoaderTest, TheClosingReplyComesAfterTheFlashWriteInAReadOfItsOwn) {
  BoxConfig cfg = Config(0x30);
  cfg.flashWriteMs = 150;
  StartBox(cfg);
  Trace trace;
  const auto file = Pattern(100);
  ASSERT_TRUE(RequestDownload(pc, 0x30, file, 4, 0, trace));
  std::vector<uint8_t> block = file;
  AppendBe32(block, ByteSum(file.data(), 100));
  pc.Put(block);
  EXPECT_EQ(pc.Take(1), std::vector<uint8_t>{kLetterGood});
  const uint32_t afterK = GetTickMs();
  // Nothing else comes with the 'K'.
  EXPECT_TRUE(pc.Take(1, 50).empty());
  EXPECT_EQ(pc.Take(1), std::vector<uint8_t>{kClosingReply});
  EXPECT_GE(GetTickMs() - afterK, 100u);
  EXPECT_EQ(Outcome().result, BoxResult::kDone);
}

TEST_F(LoaderTest, APacedDownloadTakesItsLineTime) {
  BoxConfig cfg = Config(0x30);
  cfg.pacing = true;
  StartBox(cfg);
  const auto file = Pattern(3000);
  const auto t0 = BoxClock::now();
  EXPECT_EQ(PlayDownload(pc, 0x30, file, 4), "E K K O");
  EXPECT_EQ(box->Flash(), file);
  // 12 request bytes at 9600 bit/s, then 3000 data and 8 sum bytes at 115200.
  const double lineMs = 12 * 10 * 1000.0 / 9600 + 3008 * 10 * 1000.0 / 115200;
  const double ms = std::chrono::duration<double, std::milli>(box->Received().back().at - t0).count();
  EXPECT_GE(ms, lineMs);
  // The PC's 30 ms pause before the switch and its block pace come on top.
  EXPECT_LT(ms, lineMs + 150);
}

TEST_F(LoaderTest, RefusesWhatItCannotTake) {
  struct Row {
    std::vector<uint8_t> file;
    int baudIndex;
    uint32_t maxImageSize;
    const char* trace;
  };
  const Row rows[] = {
      {Pattern(10), 7, 0x1000000, "e(BAD SPEED) 00"},
      {Pattern(3000), 4, 2048, "e(BAD SIZE) 00"},
  };
  for (const Row& row : rows) {
    BoxConfig cfg = Config(0x30);
    cfg.maxImageSize = row.maxImageSize;
    LoaderRig r;
    r.StartBox(cfg);
    const std::string trace = PlayDownload(r.pc, 0x30, row.file, row.baudIndex);
    EXPECT_TRUE(TraceMatches(trace, row.trace)) << trace;
    EXPECT_EQ(r.Outcome().result, BoxResult::kRefused);
    EXPECT_TRUE(r.box->Flash().empty());
  }
}

// ---- Download faults ----------------------------------------------------------

struct FaultCase {
  const char* name;
  int mode;
  std::string fault;
  const char* trace;
  BoxResult result;
  bool flashWhole;  // the box kept the whole file all the same
};

class DownloadFault : public LoaderTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DownloadFault, ShowsOnTheLine) {
  const FaultCase& c = GetParam();
  BoxConfig cfg = Config(c.mode);
  std::string error;
  auto fault = ParseFault(c.fault, &error);
  ASSERT_TRUE(fault) << error;
  cfg.faults.push_back(*fault);
  StartBox(cfg);
  const auto file = Pattern(5000);
  const std::string trace = c.mode == 0x20 ? PlayDownload20(pc, file) : PlayDownload(pc, c.mode, file);
  EXPECT_TRUE(TraceMatches(trace, c.trace)) << trace;
  const BoxTransfer t = Outcome();
  EXPECT_EQ(t.result, c.result) << t.detail;
  EXPECT_TRUE(t.faultFired);
  EXPECT_EQ(box->Flash() == file, c.flashWhole);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DownloadFault,
    ::testing::Values(
        FaultCase{"Refusal", 0x30, "refuse:text=OLD LOADER", "e(OLD LOADER) 00", BoxResult::kRefused, false},
        FaultCase{"RefusalUnended", 0x40, "refuse-unended:text=BAD", "e(BAD)", BoxResult::kFaultInjected, false},
        FaultCase{"NakMidTransfer", 0x30, "nak:block=2", "E K N", BoxResult::kFaultInjected, false},
        FaultCase{"FlashErrorGoesOn", 0x40, "flash-error:block=1", "E e K K O", BoxResult::kFaultInjected, true},
        FaultCase{"WrongSum", 0x20, "wrong-sum:block=2", "E S F X(......)", BoxResult::kFaultInjected, false},
        FaultCase{"NoAcceptance", 0x30, "silence:phase=request", "", BoxResult::kFaultInjected, false},
        FaultCase{"NoReplyToABlock", 0x30, "silence:block=2", "E K", BoxResult::kFaultInjected, false},
        FaultCase{"NoClosingReply", 0x40, "silence:phase=closing", "E K K K", BoxResult::kFaultInjected, true},
        FaultCase{"StrayByteBeforeAccept", 0x30, "stray:bytes=58", "58 E K K K O", BoxResult::kFaultInjected, true},
        FaultCase{"HangUp", 0x30, "hangup:block=2", "E K gone|E gone", BoxResult::kFaultInjected, false},
        FaultCase{"HangUp20", 0x20, "hangup:block=2", "E S F gone|E S gone", BoxResult::kFaultInjected, false},
        FaultCase{"FlippedByte", 0x30, "flip:block=1,offset=5", "E N", BoxResult::kFaultInjected, false},
        FaultCase{"FlippedByte20", 0x20, "flip:block=1,offset=5", "E X(......)", BoxResult::kFaultInjected, false},
        FaultCase{"DroppedByte", 0x40, "drop:block=2,offset=0", "E K N", BoxResult::kFaultInjected, false},
        FaultCase{"DuplicatedByte", 0x30, "dup:block=2,offset=100", "E K N", BoxResult::kFaultInjected, false},
        FaultCase{"ResetMidTransfer", 0x30, "reset:block=2", "E K 03 04 30", BoxResult::kFaultInjected, false},
        FaultCase{"ResetMidTransfer20", 0x20, "reset:block=2", "E S F X(030420)", BoxResult::kFaultInjected, false},
        FaultCase{"NoiseBeforeAReply", 0x30, "noise:block=3,bytes=58", "E K K 58 K O", BoxResult::kFaultInjected,
                  true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoaderTest, AFaultStrikesOnlyTheTransferItNames) {
  BoxConfig cfg = Config(0x30);
  cfg.transfers = 2;
  cfg.faults.push_back(*ParseFault("nak:block=1,transfer=1", nullptr));
  StartBox(cfg);
  const auto file = Pattern(3000);
  // The second transfer starts with a fresh announcement once the line is still.
  EXPECT_EQ(PlayDownload(pc, 0x30, file), "E K K O 03 04 30");
  ASSERT_EQ(box->WaitOutcome(5000, 0), BoxResult::kDone);
  pc.Speed(0);
  EXPECT_EQ(PlayDownload(pc, 0x30, file), "E N");
  EXPECT_EQ(box->WaitOutcome(5000, 1), BoxResult::kFaultInjected);
  EXPECT_TRUE(box->WaitFinished(2000));
}

TEST_F(LoaderTest, StopEndsATransferThatIsWaitingForThePc) {
  BoxConfig cfg = Config(0x30);
  cfg.peerTimeoutMs = 60000;
  StartBox(cfg);
  Trace trace;
  ASSERT_TRUE(RequestDownload(pc, 0x30, Pattern(5000), 4, 0, trace));
  const uint32_t t0 = GetTickMs();
  box->Stop();
  EXPECT_LT(GetTickMs() - t0, 1000u);
  const auto transfers = box->Transfers();
  ASSERT_EQ(transfers.size(), 1u);
  EXPECT_EQ(transfers[0].result, BoxResult::kError);
}

// ---- Upload -------------------------------------------------------------------

// Plays the PC's side of an Upload. Tokens: "size(N)" for the size record;
// LinkMode 0x30/0x40: "E", then "B" per good block ('K' sent) or "X" (bad
// sum; 'N' sent, the PC stops); LinkMode 0x20: "P K" / "P N" per packet and
// verdict ('F' sent after 'K'), "head(hex)" for a packet length past the
// end. "short(n[:hex])" for a block that stopped
// short, "extra(hex)" for bytes after the end, other stray bytes in hex.
std::string PlayUpload(CTestPc& pc, int mode, uint8_t area, int baudIndex, std::vector<uint8_t>* data) {
  Trace trace;
  auto shortToken = [&](const std::vector<uint8_t>& got) {
    trace.Add("short(" + std::to_string(got.size()) + (got.size() && got.size() <= 4 ? ":" + Hex(got) : "") + ")");
  };
  std::vector<uint8_t> req{kLetterRequest};
  size_t recordLength = 3;
  if (mode == 0x20) {
    req.insert(req.end(), {kLetterUpload20, static_cast<uint8_t>(baudIndex)});
  } else {
    req.push_back(kLetterUpload);
    if (mode == 0x40) req.push_back(0x00);
    req.insert(req.end(), {area, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, static_cast<uint8_t>(baudIndex)});
    recordLength = mode == 0x40 ? 13 : 12;
  }
  pc.Put(req);
  const auto record = pc.Take(recordLength, 400);
  if (record.size() < recordLength) {
    shortToken(record);
    return trace.Text();
  }
  uint32_t size = 0;
  if (mode == 0x20) {
    size = record[0] | (record[1] << 8) | (record[2] << 16);
  } else {
    EXPECT_EQ(record[0], kLetterRequest);
    EXPECT_EQ(record[1], kLetterUpload);
    const size_t at = mode == 0x40 ? 7 : 6;
    size = (uint32_t{record[at]} << 24) | (record[at + 1] << 16) | (record[at + 2] << 8) | record[at + 3];
  }
  trace.Add("size(" + std::to_string(size) + ")");
  pc.Speed(baudIndex);
  if (mode == 0x20) {
    pc.Put({kLetterAccept});
    for (uint32_t got = 0; got < size;) {
      const auto head = pc.Take(3, 400);
      if (head.size() < 3) {
        shortToken(head);
        break;
      }
      const uint32_t n = head[0] | (head[1] << 8) | (head[2] << 16);
      if (n > size - got) {
        trace.Add("head(" + Hex(head) + ")");
        break;
      }
      const auto body = pc.Take(n, 300);
      if (body.size() < n) {
        shortToken(body);
        break;
      }
      std::vector<uint8_t> sum;
      AppendLe24(sum, ByteSum(body.data(), static_cast<int>(n)));
      pc.Put(sum);
      const auto verdict = pc.Take(1, 400);
      if (verdict.empty()) break;
      trace.Add("P " + ReplyToken(verdict[0]));
      if (verdict[0] != kLetterGood) break;
      data->insert(data->end(), body.begin(), body.end());
      pc.Put({kLetterReady});
      got += n;
    }
  } else {
    for (int stray = 0;; ++stray) {
      const auto b = pc.Take(1, 400);
      if (b.empty() || stray == 8) {
        if (pc.gone) trace.Add("gone");
        return trace.Text();
      }
      trace.Add(ReplyToken(b[0]));
      if (b[0] == kLetterAccept) break;
    }
    for (uint32_t off = 0; off < size; off += kBlockSize) {
      const size_t n = std::min<size_t>(kBlockSize, size - off);
      const auto frame = pc.Take(n + 4, 300);
      if (frame.size() < n + 4) {
        shortToken(frame);
        break;
      }
      const uint32_t sum = (uint32_t{frame[n]} << 24) | (frame[n + 1] << 16) | (frame[n + 2] << 8) | frame[n + 3];
      const bool good = sum == ByteSum(frame.data(), static_cast<int>(n));
      trace.Add(good ? "B" : "X");
      pc.Put({good ? kLetterGood : kLetterBad});
      if (!good) break;
      data->insert(data->end(), frame.begin(), frame.begin() + static_cast<long>(n));
    }
  }
  const auto extra = pc.Drain(150);
  if (!extra.empty()) trace.Add("extra(" + Hex(extra) + ")");
  if (pc.gone) trace.Add("gone");
  return trace.Text();
}

struct UploadCase {
  const char* name;
  int mode;
  uint8_t area;
  size_t size;
  int baudIndex;
  const char* trace;
  bool startApart = false;
};

class UploadServed : public LoaderTest, public ::testing::WithParamInterface<UploadCase> {};

TEST_P(UploadServed, SendsTheAreaItWasGiven) {
  const UploadCase& c = GetParam();
  BoxConfig cfg = Config(c.mode);
  const auto image = Pattern(c.size, 7);
  cfg.areas[c.area] = image;
  cfg.areas[0x01] = Pattern(64, 9);  // another area, never asked for
  if (c.mode == 0x20) cfg.anyArea = image;
  cfg.startApart = c.startApart;
  StartBox(cfg);
  std::vector<uint8_t> data;
  const std::string trace = PlayUpload(pc, c.mode, c.area, c.baudIndex, &data);
  EXPECT_TRUE(TraceMatches(trace, c.trace)) << trace;
  EXPECT_EQ(data, image);
  const BoxTransfer t = Outcome();
  EXPECT_EQ(t.result, BoxResult::kDone) << t.detail;
  EXPECT_TRUE(t.upload);
  EXPECT_EQ(t.linkMode, c.mode);
  EXPECT_EQ(t.length, c.size);
  EXPECT_EQ(t.baudIndex, c.baudIndex);
  EXPECT_EQ(t.baudBefore, 9600u);
  EXPECT_EQ(t.baudAfter, BaudForIndex(c.baudIndex));
  if (c.mode != 0x20) {
    EXPECT_EQ(t.area, c.area);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryLinkMode, UploadServed,
    ::testing::Values(UploadCase{"Mode30ShortLastBlock", 0x30, 0x4F, 5000, 4, "size(5000) E B B B"},
                      UploadCase{"Mode30TwoFullBlocks", 0x30, 0x1F, 4096, 3, "size(4096) E B B"},
                      UploadCase{"Mode40OneByteLastBlock", 0x40, 0x7F, 2049, 2, "size(2049) E B B"},
                      UploadCase{"Mode40StartApart", 0x40, 0x20, 3000, 4, "size(3000) E B B", true},
                      UploadCase{"Mode30EmptyArea", 0x30, 0x2F, 0, 1, "size(0) E"},
                      UploadCase{"Mode20ThreePackets", 0x20, 0, 5000, 4, "size(5000) P K P K P K"},
                      UploadCase{"Mode20EmptyArea", 0x20, 0, 0, 0, "size(0)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoaderTest, AnUploadOfAnAreaItDoesNotHaveEndsWithoutASizeRecord) {
  BoxConfig cfg = Config(0x30);
  cfg.areas[0x1F] = Pattern(10);
  StartBox(cfg);
  std::vector<uint8_t> data;
  EXPECT_EQ(PlayUpload(pc, 0x30, 0x7F, 4, &data), "short(0)");
  EXPECT_EQ(Outcome().result, BoxResult::kError);
}

struct UploadFaultCase {
  const char* name;
  int mode;
  std::string fault;
  const char* trace;
};

class UploadFault : public LoaderTest, public ::testing::WithParamInterface<UploadFaultCase> {};

TEST_P(UploadFault, ShowsOnTheLine) {
  const UploadFaultCase& c = GetParam();
  BoxConfig cfg = Config(c.mode);
  cfg.anyArea = Pattern(5000, 3);
  std::string error;
  auto fault = ParseFault(c.fault, &error);
  ASSERT_TRUE(fault) << error;
  cfg.faults.push_back(*fault);
  StartBox(cfg);
  std::vector<uint8_t> data;
  const std::string trace = PlayUpload(pc, c.mode, 0x4F, 4, &data);
  EXPECT_TRUE(TraceMatches(trace, c.trace)) << trace;
  const BoxTransfer t = Outcome();
  EXPECT_EQ(t.result, BoxResult::kFaultInjected) << t.detail;
  EXPECT_TRUE(t.faultFired);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UploadFault,
    ::testing::Values(
        UploadFaultCase{"WrongBlockSum", 0x30, "bad-sum:block=2", "size(5000) E B X"},
        UploadFaultCase{"WrongPacketSum", 0x20, "bad-sum:block=1", "size(5000) P N"},
        UploadFaultCase{"VerdictN", 0x20, "verdict-n:block=2", "size(5000) P K P N"},
        UploadFaultCase{"NoSizeRecord", 0x40, "silence:phase=request", "short(0)"},
        UploadFaultCase{"NoStart", 0x30, "silence:phase=start", "size(5000)"},
        UploadFaultCase{"NoFirstPacket", 0x20, "silence:phase=start", "size(5000) short(0)"},
        UploadFaultCase{"StallsBeforeABlock", 0x40, "silence:block=3", "size(5000) E B B short(0)"},
        UploadFaultCase{"ByteAfterTheSizeRecord", 0x30, "extra-size-byte", "size(5000) FF E B B B"},
        UploadFaultCase{"HangUp", 0x30, "hangup:block=2", "size(5000) E B short(0) gone|size(5000) E B gone"},
        UploadFaultCase{"FlippedByte", 0x40, "flip:block=1,offset=7", "size(5000) E X"},
        UploadFaultCase{"DroppedByte", 0x30, "drop:block=1,offset=0", "size(5000) E short(2051)"},
        UploadFaultCase{"DuplicatedByte", 0x30, "dup:block=2,offset=9", "size(5000) E B X extra(..)"},
        UploadFaultCase{"NoiseBetweenBlocks", 0x30, "noise:block=2,bytes=5858",
                        "size(5000) E B X extra(....)"},
        UploadFaultCase{"ResetMidTransfer", 0x30, "reset:block=2", "size(5000) E B short(3:030430)"},
        UploadFaultCase{"ResetMidTransfer20", 0x20, "reset:block=3", "size(5000) P K P K head(030420)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoaderTest, LineDamageStaysInsideATinyBlock) {
  BoxConfig cfg = Config(0x30);
  cfg.anyArea = Pattern(1, 3);
  // The drop empties the block; the doubling and the far offset then have nothing to act on.
  cfg.faults.push_back(*ParseFault("drop:block=1,offset=100", nullptr));
  cfg.faults.push_back(*ParseFault("dup:block=1,offset=100", nullptr));
  StartBox(cfg);
  std::vector<uint8_t> data;
  EXPECT_EQ(PlayUpload(pc, 0x30, 0x4F, 4, &data), "size(1) E short(4:000000" + Hex(*box->Config().anyArea) + ")");
  EXPECT_EQ(Outcome().result, BoxResult::kFaultInjected);
}

TEST_F(LoaderTest, AfterAResetTheBoxServesTheNextRequest) {
  BoxConfig cfg = Config(0x30);
  cfg.anyArea = Pattern(3000, 5);
  cfg.faults.push_back(*ParseFault("reset:block=2", nullptr));
  StartBox(cfg);
  std::vector<uint8_t> data;
  EXPECT_EQ(PlayUpload(pc, 0x30, 0x4F, 4, &data), "size(3000) E B short(3:030430)");
  EXPECT_EQ(box->WaitOutcome(5000, 0), BoxResult::kFaultInjected);
  pc.Speed(0);
  data.clear();
  EXPECT_EQ(PlayUpload(pc, 0x30, 0x4F, 4, &data), "size(3000) E B B");
  EXPECT_EQ(data, *box->Config().anyArea);
  EXPECT_EQ(box->WaitOutcome(5000, 1), BoxResult::kDone);
  EXPECT_EQ(box->Announcements(), 2);
}

// ---- the announcement ---------------------------------------------------------

TEST_F(LoaderTest, TheModeByteChoosesTheLinkModeUnlessOverridden) {
  struct Row {
    uint8_t modeByte;
    int overrideMode;
    int linkMode;
  };
  const Row rows[] = {{0x30, 0, 0x30}, {0x31, 0, 0x30}, {0x32, 0, 0x30}, {0x40, 0, 0x40}, {0x41, 0, 0x40},
                      {0x42, 0, 0x40}, {0x20, 0, 0x20}, {0xF2, 0, 0x20}, {0x30, 0x40, 0x40}, {0x20, 0x30, 0x30}};
  for (const Row& row : rows) {
    SCOPED_TRACE(Hex({row.modeByte}));
    BoxConfig cfg = Config(0x30);
    cfg.signature[2] = row.modeByte;
    cfg.linkMode = row.overrideMode;
    cfg.anyArea = Pattern(10);
    LoaderRig r;
    r.StartBox(cfg);
    std::vector<uint8_t> data;
    const std::string trace = PlayUpload(r.pc, row.linkMode, 0x1F, 0, &data);
    EXPECT_EQ(trace, row.linkMode == 0x20 ? "size(10) P K" : "size(10) E B");
    EXPECT_EQ(r.Outcome().linkMode, row.linkMode);
  }
}

TEST_F(LoaderTest, RepeatsItsAnnouncementWithItsNoiseUntilARequestBegins) {
  BoxConfig cfg = Config(0x40);
  cfg.noise = {0x00, 0x55};
  cfg.repeatMs = 40;
  cfg.anyArea = Pattern(10);
  StartBox(cfg);
  const std::vector<uint8_t> announcement{0x00, 0x55, 0x03, 0x04, 0x40};
  for (int i = 0; i < 3; ++i) EXPECT_EQ(pc.Take(5, 500), announcement);
  // The request's first letter stops the announcements; one may have been on its way.
  pc.Put({kLetterRequest});
  const auto inFlight = pc.Drain(100);
  EXPECT_TRUE(inFlight.empty() || inFlight == announcement) << Hex(inFlight);
  pc.Put({kLetterUpload, 0x00, 0x1F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00});
  const auto record = pc.Take(13);
  ASSERT_EQ(record.size(), 13u);
  EXPECT_EQ(record[10], 10);
  EXPECT_EQ(pc.Take(1 + 10 + 4).size(), 15u);  // 'E' and the one block
  pc.Put({kLetterGood});
  EXPECT_TRUE(pc.Drain(150).empty());
  EXPECT_EQ(Outcome().result, BoxResult::kDone);
  EXPECT_GE(box->Announcements(), 4);
}

TEST_F(LoaderTest, BytesBeforeTheRequestAreIgnored) {
  BoxConfig cfg = Config(0x30);
  cfg.anyArea = Pattern(10);
  StartBox(cfg);
  pc.Put({0x00, 0xFF, 0x12});
  std::vector<uint8_t> data;
  EXPECT_EQ(PlayUpload(pc, 0x30, 0x1F, 0, &data), "size(10) E B");
  const BoxTransfer t = Outcome();
  EXPECT_EQ(t.request.size(), 12u);
  EXPECT_EQ(t.request[0], kLetterRequest);
}

TEST_F(LoaderTest, ARequestLetterOfAnotherFamilyIsAnError) {
  StartBox(Config(0x30));
  pc.Put({kLetterRequest, kLetterUpload20, 0x04});
  EXPECT_TRUE(pc.Drain(200).empty());
  const BoxTransfer t = Outcome();
  EXPECT_EQ(t.result, BoxResult::kError);
  EXPECT_NE(t.detail.find("5A"), std::string::npos) << t.detail;
}

}  // namespace
}  // namespace kelvane::box::test
