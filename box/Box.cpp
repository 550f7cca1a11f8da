#include "box/Box.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "protocol/Protocol.h"
#include "serial/SerialLink.h"

namespace kelvane::box {

using namespace std::chrono;

const char* FaultKindName(BoxFaultKind kind) {
  switch (kind) {
    case BoxFaultKind::kRefuse: return "refuse";
    case BoxFaultKind::kRefuseUnended: return "refuse-unended";
    case BoxFaultKind::kNak: return "nak";
    case BoxFaultKind::kFlashError: return "flash-error";
    case BoxFaultKind::kWrongSum: return "wrong-sum";
    case BoxFaultKind::kStrayBeforeAccept: return "stray";
    case BoxFaultKind::kBadBlockSum: return "bad-sum";
    case BoxFaultKind::kVerdictN: return "verdict-n";
    case BoxFaultKind::kExtraSizeByte: return "extra-size-byte";
    case BoxFaultKind::kReset: return "reset";
    case BoxFaultKind::kSilence: return "silence";
    case BoxFaultKind::kHangUp: return "hangup";
    case BoxFaultKind::kFlipByte: return "flip";
    case BoxFaultKind::kDropByte: return "drop";
    case BoxFaultKind::kDupByte: return "dup";
    case BoxFaultKind::kNoise: return "noise";
  }
  return "?";
}

const char* BoxResultName(BoxResult r) {
  switch (r) {
    case BoxResult::kPending: return "pending";
    case BoxResult::kDone: return "done";
    case BoxResult::kRefused: return "refused";
    case BoxResult::kFaultInjected: return "fault injected";
    case BoxResult::kError: return "error";
  }
  return "?";
}

namespace {

constexpr BoxFaultKind kAllKinds[] = {
    BoxFaultKind::kRefuse,     BoxFaultKind::kRefuseUnended, BoxFaultKind::kNak,      BoxFaultKind::kFlashError,
    BoxFaultKind::kWrongSum,   BoxFaultKind::kStrayBeforeAccept, BoxFaultKind::kBadBlockSum, BoxFaultKind::kVerdictN,
    BoxFaultKind::kExtraSizeByte, BoxFaultKind::kReset,      BoxFaultKind::kSilence,  BoxFaultKind::kHangUp,
    BoxFaultKind::kFlipByte,   BoxFaultKind::kDropByte,      BoxFaultKind::kDupByte,  BoxFaultKind::kNoise,
};

bool ParseInt(const std::string& s, int* out) {
  if (s.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(s.c_str(), &end, 0);
  if (*end != '\0' || v < -1 || v > 0x7FFFFFFF) return false;
  *out = static_cast<int>(v);
  return true;
}

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint32_t Le24(const uint8_t* p) { return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16); }
void PutBe32(std::vector<uint8_t>& v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
}
void PutLe24(std::vector<uint8_t>& v, uint32_t x) {
  for (int s = 0; s <= 16; s += 8) v.push_back(static_cast<uint8_t>(x >> s));
}

}  // namespace

std::optional<BoxFault> ParseFault(const std::string& text, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<BoxFault> {
    if (error) *error = "bad fault \"" + text + "\": " + why;
    return std::nullopt;
  };
  const size_t colon = text.find(':');
  const std::string name = text.substr(0, colon);
  BoxFault f;
  bool known = false;
  for (BoxFaultKind k : kAllKinds)
    if (name == FaultKindName(k)) {
      f.kind = k;
      known = true;
    }
  if (!known) return fail("unknown kind");
  std::string rest = colon == std::string::npos ? "" : text.substr(colon + 1);
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string item = rest.substr(0, comma);
    rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    const size_t eq = item.find('=');
    if (eq == std::string::npos) return fail("expected key=value");
    const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
    if (key == "block") {
      if (!ParseInt(value, &f.block)) return fail("block");
    } else if (key == "offset") {
      if (!ParseInt(value, &f.offset) || f.offset < 0) return fail("offset");
    } else if (key == "ms") {
      if (!ParseInt(value, &f.silenceMs) || f.silenceMs < 0) return fail("ms");
    } else if (key == "transfer") {
      if (!ParseInt(value, &f.transfer)) return fail("transfer");
    } else if (key == "bytes") {
      if (!ParseHexBytes(value, &f.bytes)) return fail("bytes must be hex");
    } else if (key == "text") {
      f.bytes.assign(value.begin(), value.end());
    } else if (key == "phase") {
      if (value == "request") f.phase = BoxPhase::kRequest;
      else if (value == "start") f.phase = BoxPhase::kStart;
      else if (value == "block") f.phase = BoxPhase::kBlock;
      else if (value == "closing") f.phase = BoxPhase::kClosing;
      else return fail("phase is request, start, block or closing");
    } else {
      return fail("unknown key " + key);
    }
  }
  return f;
}

bool ParseHexBytes(const std::string& s, std::vector<uint8_t>* out) {
  std::string digits;
  for (char c : s)
    if (c != ' ' && c != ':' && c != '-') digits += c;
  if (digits.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    char* end = nullptr;
    const std::string two = digits.substr(i, 2);
    const long v = std::strtol(two.c_str(), &end, 16);
    if (*end != '\0') return false;
    out->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

// ---- one transfer -----------------------------------------------------------

class CBox::Session {
 public:
  Session(CBox& box, int index) : box_(box), cfg_(box.cfg_), index_(index) {}

  BoxTransfer t;
  bool started = false;  // a request has begun
  bool reset = false;    // ended by a kReset: the box starts again and announces itself
  int quietMs = -1;      // ended by a kSilence: how long to stay quiet (0: until stopped)

  void Serve();

 private:
  const BoxFault* Fault(BoxFaultKind kind, int block = -1, std::optional<BoxPhase> phase = std::nullopt) {
    for (const BoxFault& f : cfg_.faults) {
      if (f.kind != kind || (f.transfer != -1 && f.transfer != index_)) continue;
      if (block >= 0 && f.block != block) continue;
      if (phase && f.phase != *phase) continue;
      return &f;
    }
    return nullptr;
  }
  const BoxFault* Fire(BoxFaultKind kind, int block = -1, std::optional<BoxPhase> phase = std::nullopt) {
    const BoxFault* f = Fault(kind, block, phase);
    if (f) t.faultFired = true;
    return f;
  }
  void End(BoxResult r, std::string detail) {
    if (t.result != BoxResult::kPending) return;
    // Whatever a fault led to is the fault's doing, even a transfer that got through.
    t.result = (r != BoxResult::kRefused && t.faultFired) ? BoxResult::kFaultInjected : r;
    t.detail = std::move(detail);
  }
  // Ends the transfer after a read that did not deliver.
  void Lost(Rd rd, const std::string& what) {
    if (rd == Rd::kStop) End(BoxResult::kError, "stopped while waiting for " + what);
    else if (rd == Rd::kGone) End(BoxResult::kError, "line gone while waiting for " + what);
    else End(BoxResult::kError, "no " + what + " from the PC");
  }
  Rd Read(uint8_t* buf, int n) {
    for (int i = 0; i < n; ++i) {
      const Rd rd = box_.ReadByte(buf[i], BoxClock::now() + milliseconds(cfg_.peerTimeoutMs));
      if (rd != Rd::kOk) return rd;
    }
    return Rd::kOk;
  }
  bool Put(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return true;
    if (box_.Send(bytes)) return true;
    End(BoxResult::kError, "could not write to the line");
    return false;
  }
  // The transfer ends here; the box then stays quiet (see BoxFault::silenceMs).
  void Silence(const BoxFault* f, const std::string& where) {
    End(BoxResult::kFaultInjected, "silent " + where);
    quietMs = f->silenceMs;
  }
  bool HangUpIf(int block) {
    if (!Fire(BoxFaultKind::kHangUp, block)) return false;
    box_.HangUp();
    End(BoxResult::kFaultInjected, "hung up before block " + std::to_string(block));
    return true;
  }
  bool ResetIf(int block) {
    if (!Fire(BoxFaultKind::kReset, block)) return false;
    reset = true;
    End(BoxResult::kFaultInjected, "reset before block " + std::to_string(block));
    return true;
  }
  bool SwitchSpeed() {
    const uint32_t want = BaudForIndex(t.baudIndex);
    if (!box_.WaitSlaveSpeed(want, cfg_.switchTimeoutMs)) {
      End(BoxResult::kError, "the PC did not switch to " + std::to_string(want) + " bit/s");
      return false;
    }
    t.baudAfter = want;
    return true;
  }
  // Where a fault's byte offset falls in a block of n bytes (n > 0).
  static long At(const BoxFault* f, size_t n) {
    return static_cast<long>(std::min<size_t>(static_cast<size_t>(std::max(0, f->offset)), n - 1));
  }
  // Reads one Download frame of n bytes, as the line delivers it.
  Rd ReadFrame(std::vector<uint8_t>& frame, int n, int block) {
    frame.assign(static_cast<size_t>(n), 0);
    Rd rd = Read(frame.data(), n);
    if (rd != Rd::kOk) return rd;
    if (const BoxFault* f = Fire(BoxFaultKind::kFlipByte, block)) frame[static_cast<size_t>(At(f, frame.size()))] ^= 0xFF;
    if (const BoxFault* f = Fire(BoxFaultKind::kDropByte, block)) {
      // The lost byte's place is taken by the next one on the line.
      frame.erase(frame.begin() + At(f, frame.size()));
      uint8_t more = 0;
      rd = Read(&more, 1);
      if (rd != Rd::kOk) return rd;
      frame.push_back(more);
    }
    if (const BoxFault* f = Fire(BoxFaultKind::kDupByte, block)) {
      // The doubled byte pushes the frame's last byte into the next frame.
      const long at = At(f, frame.size());
      frame.insert(frame.begin() + at, frame[static_cast<size_t>(at)]);
      box_.PushBack(frame.back());
      frame.pop_back();
    }
    return Rd::kOk;
  }
  // Sends a block after the line has done to it what the faults say.
  std::vector<uint8_t> Damage(std::vector<uint8_t> data, int block) {
    if (const BoxFault* f = Fire(BoxFaultKind::kFlipByte, block); f && !data.empty())
      data[static_cast<size_t>(At(f, data.size()))] ^= 0xFF;
    if (const BoxFault* f = Fire(BoxFaultKind::kDropByte, block); f && !data.empty())
      data.erase(data.begin() + At(f, data.size()));
    if (const BoxFault* f = Fire(BoxFaultKind::kDupByte, block); f && !data.empty()) {
      const long at = At(f, data.size());
      data.insert(data.begin() + at, data[static_cast<size_t>(at)]);
    }
    return data;
  }
  std::vector<uint8_t> NoiseBytes(const BoxFault* f) {
    return f->bytes.empty() ? std::vector<uint8_t>{0x55, 0xAA, 0x00} : f->bytes;
  }

  bool ReadRequest();
  void Download();
  void Download20();
  void Upload();
  void Upload20();
  const std::vector<uint8_t>* Area();

  CBox& box_;
  const BoxConfig& cfg_;
  int index_;
};

bool CBox::Session::ReadRequest() {
  const int mode = cfg_.linkMode ? cfg_.linkMode
                   : (cfg_.signature[2] & 0xF0) == 0x30 ? 0x30
                   : (cfg_.signature[2] & 0xF0) == 0x40 ? 0x40
                                                         : 0x20;
  t.linkMode = mode;
  if ((cfg_.announceAtStart || index_ > 0) && !box_.Announce()) return false;
  // Announce again after each quiet spell until the PC starts a request;
  // whatever comes before its 'C' is line noise.
  uint8_t b = 0;
  for (;;) {
    // Repeats follow the first announcement, which a scripted start leaves
    // to the test: until it has gone out, look again every 10 ms.
    const bool repeat = cfg_.repeatMs > 0 && box_.Announcements() > 0;
    const auto deadline = repeat               ? BoxClock::now() + milliseconds(cfg_.repeatMs)
                          : cfg_.repeatMs > 0 ? BoxClock::now() + milliseconds(10)
                                              : BoxClock::time_point::max();
    const Rd rd = box_.ReadByte(b, deadline);
    if (rd == Rd::kStop || rd == Rd::kGone) return false;
    if (rd == Rd::kTimeout) {
      if (repeat && !box_.Announce()) return false;
      continue;
    }
    if (b == kLetterRequest) break;
  }
  started = true;
  t.request.push_back(b);
  uint8_t kindByte = 0;
  Rd rd = Read(&kindByte, 1);
  if (rd != Rd::kOk) {
    Lost(rd, "the request");
    return false;
  }
  t.request.push_back(kindByte);
  int rest = -1;
  if (mode == 0x20) {
    if (kindByte == kLetterDownload || kindByte == kLetterKeyData) rest = 4 + 3 + 2;
    else if (kindByte == kLetterUpload20) rest = 1;
  } else {
    if (kindByte == kLetterDownload) rest = (mode == 0x40 ? 5 : 4) + 4 + 2;
    else if (kindByte == kLetterUpload) rest = (mode == 0x40 ? 5 : 4) + 5 + 1;
  }
  if (rest < 0) {
    char hex[8];
    snprintf(hex, sizeof hex, "%02X", kindByte);
    End(BoxResult::kError, std::string("unexpected request letter 0x") + hex);
    return false;
  }
  std::vector<uint8_t> body(static_cast<size_t>(rest));
  rd = Read(body.data(), rest);
  t.request.insert(t.request.end(), body.begin(), body.end());
  if (rd != Rd::kOk) {
    Lost(rd, "the rest of the request");
    return false;
  }
  // The request came at this speed; the PC switches only after it (Download)
  // or after the size record (Upload).
  t.baudBefore = box_.SlaveSpeed();
  t.upload = kindByte == kLetterUpload || kindByte == kLetterUpload20;
  t.keyData = kindByte == kLetterKeyData;
  t.baudIndex = body.back();
  if (t.upload) {
    if (mode != 0x20) t.area = body[mode == 0x40 ? 1 : 0];
  } else {
    const size_t d = mode == 0x40 ? 5 : 4;
    t.descriptor.assign(body.begin(), body.begin() + static_cast<long>(d));
    t.length = mode == 0x20 ? Le24(&body[d]) : Be32(&body[d]);
    t.channelByte = body[body.size() - 2];
  }
  return true;
}

void CBox::Session::Serve() {
  if (!ReadRequest()) return;
  if (t.upload) {
    if (t.linkMode == 0x20) Upload20();
    else Upload();
  } else {
    Download();
  }
}

void CBox::Session::Download() {
  // What this loader refuses on its own: a speed it does not know, nothing to
  // write, more than its flash holds, key data of the wrong size.
  std::string refusal;
  if (BaudForIndex(t.baudIndex) == 0) refusal = "BAD SPEED";
  else if (t.length == 0 || t.length > cfg_.maxImageSize) refusal = "BAD SIZE";
  else if (t.keyData && t.length != 16384) refusal = "BAD KEY";
  if (const BoxFault* f = Fault(BoxFaultKind::kSilence, -1, BoxPhase::kRequest)) {
    t.faultFired = true;
    return Silence(f, "after the request");
  }
  const BoxFault* refuse = Fire(BoxFaultKind::kRefuse);
  const BoxFault* unended = refuse ? nullptr : Fire(BoxFaultKind::kRefuseUnended);
  if (BaudForIndex(t.baudIndex) == 0) {
    // Nothing to switch to: answer at the speed the line runs at.
    t.baudAfter = t.baudBefore;
  } else if (!SwitchSpeed()) {
    return;
  }
  if (refuse || unended || !refusal.empty()) {
    const BoxFault* f = refuse ? refuse : unended;
    std::string text = f && !f->bytes.empty() ? std::string(f->bytes.begin(), f->bytes.end())
                       : refusal.empty()      ? cfg_.refuseText
                                              : refusal;
    std::vector<uint8_t> out{kLetterRefuse};
    out.insert(out.end(), text.begin(), text.end());
    if (!unended) out.push_back(0x00);
    if (!Put(out)) return;
    if (unended) return Silence(unended, "in the middle of the refusal");
    t.result = BoxResult::kRefused;
    t.detail = "refused: " + text;
    return;
  }
  std::vector<uint8_t> accept;
  if (const BoxFault* f = Fire(BoxFaultKind::kStrayBeforeAccept)) accept = f->bytes.empty() ? std::vector<uint8_t>{0x00} : f->bytes;
  accept.push_back(kLetterAccept);
  if (!Put(accept)) return;
  if (t.linkMode == 0x20) return Download20();

  const int blocks = static_cast<int>((t.length + kBlockSize - 1) / kBlockSize);
  std::vector<uint8_t> frame;
  for (int block = 1; block <= blocks; ++block) {
    if (HangUpIf(block) || ResetIf(block)) return;
    const int n = static_cast<int>(std::min<uint32_t>(kBlockSize, t.length - static_cast<uint32_t>(block - 1) * kBlockSize));
    const Rd rd = ReadFrame(frame, n + 4, block);
    if (rd != Rd::kOk) return Lost(rd, "block " + std::to_string(block));
    if (const BoxFault* f = Fire(BoxFaultKind::kSilence, block, BoxPhase::kBlock))
      return Silence(f, "after block " + std::to_string(block));
    std::vector<uint8_t> reply;
    if (const BoxFault* f = Fire(BoxFaultKind::kNoise, block)) reply = NoiseBytes(f);
    const bool good = ByteSum(frame.data(), n) == Be32(&frame[static_cast<size_t>(n)]);
    if (!good || Fire(BoxFaultKind::kNak, block)) {
      reply.push_back(kLetterBad);
      Put(reply);
      return End(good ? BoxResult::kFaultInjected : BoxResult::kError,
                 "block " + std::to_string(block) + (good ? ": answered 'N'" : ": sum mismatch"));
    }
    reply.push_back(Fire(BoxFaultKind::kFlashError, block) ? kLetterRefuse : kLetterGood);
    t.flash.insert(t.flash.end(), frame.begin(), frame.begin() + n);
    t.blocks = block;
    if (!Put(reply)) return;
  }
  if (const BoxFault* f = Fire(BoxFaultKind::kSilence, -1, BoxPhase::kClosing)) return Silence(f, "instead of the closing reply");
  if (!box_.SleepFor(cfg_.flashWriteMs)) return End(BoxResult::kError, "stopped or hung up while writing the flash");
  if (!Put({cfg_.closingReply})) return;
  End(BoxResult::kDone, "flash written");
}

void CBox::Session::Download20() {
  uint32_t got = 0;
  std::vector<uint8_t> frame;
  for (int packet = 1; got < t.length; ++packet) {
    if (HangUpIf(packet) || ResetIf(packet)) return;
    uint8_t head[3];
    Rd rd = Read(head, 3);
    if (rd != Rd::kOk) return Lost(rd, "the length of packet " + std::to_string(packet));
    const uint32_t n = Le24(head);
    if (n == 0 || n > t.length - got || n > 0x10000)
      return End(BoxResult::kError, "packet " + std::to_string(packet) + " announces " + std::to_string(n) + " bytes");
    rd = ReadFrame(frame, static_cast<int>(n), packet);
    if (rd != Rd::kOk) return Lost(rd, "packet " + std::to_string(packet));
    if (const BoxFault* f = Fire(BoxFaultKind::kSilence, packet, BoxPhase::kBlock))
      return Silence(f, "after packet " + std::to_string(packet));
    uint32_t sum = ByteSum(frame.data(), static_cast<int>(n)) & 0xFFFFFF;
    if (Fire(BoxFaultKind::kWrongSum, packet)) sum = (sum + 1) & 0xFFFFFF;
    std::vector<uint8_t> reply;
    if (const BoxFault* f = Fire(BoxFaultKind::kNoise, packet)) reply = NoiseBytes(f);
    PutLe24(reply, sum);
    if (!Put(reply)) return;
    uint8_t verdict = 0;
    rd = Read(&verdict, 1);
    if (rd != Rd::kOk) return Lost(rd, "the verdict on packet " + std::to_string(packet));
    if (verdict != kLetterGood)
      return End(BoxResult::kError, "packet " + std::to_string(packet) + (verdict == kLetterBad ? ": the PC answered 'N'" : ": no verdict"));
    t.flash.insert(t.flash.end(), frame.begin(), frame.end());
    got += n;
    t.blocks = packet;
    if (!Put({kLetterReady})) return;
  }
  End(BoxResult::kDone, "all packets confirmed");
}

const std::vector<uint8_t>* CBox::Session::Area() {
  if (t.linkMode != 0x20) {
    auto it = cfg_.areas.find(t.area);
    if (it != cfg_.areas.end()) return &it->second;
  }
  return cfg_.anyArea ? &*cfg_.anyArea : nullptr;
}

void CBox::Session::Upload() {
  const std::vector<uint8_t>* area = Area();
  if (!area) return End(BoxResult::kError, "no image for the requested area");
  t.length = static_cast<uint32_t>(area->size());
  if (const BoxFault* f = Fire(BoxFaultKind::kSilence, -1, BoxPhase::kRequest)) return Silence(f, "after the request");
  // The size record echoes the request's opening; only the size counts.
  std::vector<uint8_t> record{kLetterRequest, kLetterUpload};
  if (t.linkMode == 0x40) record.push_back(0x00);
  record.insert(record.end(), {t.area, 0xFF, 0xFF, 0xFF});
  PutBe32(record, t.length);
  record.insert(record.end(), {0xFF, 0xFF});
  if (const BoxFault* f = Fire(BoxFaultKind::kExtraSizeByte)) record.push_back(f->bytes.empty() ? 0xFF : f->bytes[0]);
  if (!Put(record) || !SwitchSpeed()) return;
  if (const BoxFault* f = Fire(BoxFaultKind::kSilence, -1, BoxPhase::kStart)) return Silence(f, "after the size record");

  const int blocks = static_cast<int>((t.length + kBlockSize - 1) / kBlockSize);
  std::vector<uint8_t> out{kLetterAccept};
  if (blocks == 0 || cfg_.startApart) {
    if (!Put(out)) return;
    out.clear();
  }
  for (int block = 1; block <= blocks; ++block) {
    if (HangUpIf(block) || ResetIf(block)) return;
    if (const BoxFault* f = Fire(BoxFaultKind::kSilence, block, BoxPhase::kBlock)) {
      Put(out);  // a pending 'E' still goes out
      return Silence(f, "before block " + std::to_string(block));
    }
    if (const BoxFault* f = Fire(BoxFaultKind::kNoise, block)) {
      const auto noise = NoiseBytes(f);
      out.insert(out.begin(), noise.begin(), noise.end());
    }
    const size_t off = static_cast<size_t>(block - 1) * kBlockSize;
    const size_t n = std::min<size_t>(kBlockSize, area->size() - off);
    std::vector<uint8_t> data(area->begin() + static_cast<long>(off), area->begin() + static_cast<long>(off + n));
    uint32_t sum = ByteSum(data.data(), static_cast<int>(n));
    if (Fire(BoxFaultKind::kBadBlockSum, block)) sum += 1;
    data = Damage(std::move(data), block);
    out.insert(out.end(), data.begin(), data.end());
    PutBe32(out, sum);
    if (!Put(out)) return;
    out.clear();
    // The PC's answer: 'K' for the next block, 'N' to stop; anything else is noise.
    uint8_t b = 0;
    do {
      const Rd rd = Read(&b, 1);
      if (rd != Rd::kOk) return Lost(rd, "the answer to block " + std::to_string(block));
    } while (b != kLetterGood && b != kLetterBad);
    if (b == kLetterBad) return End(BoxResult::kError, "the PC answered 'N' to block " + std::to_string(block));
    t.blocks = block;
  }
  End(BoxResult::kDone, "area sent");
}

void CBox::Session::Upload20() {
  const std::vector<uint8_t>* area = Area();
  if (!area) return End(BoxResult::kError, "no image to send");
  if (area->size() > 0xFFFFFF) return End(BoxResult::kError, "the image is too large for a 3-byte size");
  t.length = static_cast<uint32_t>(area->size());
  if (const BoxFault* f = Fire(BoxFaultKind::kSilence, -1, BoxPhase::kRequest)) return Silence(f, "after the request");
  std::vector<uint8_t> record;
  PutLe24(record, t.length);
  if (const BoxFault* f = Fire(BoxFaultKind::kExtraSizeByte)) record.push_back(f->bytes.empty() ? 0xFF : f->bytes[0]);
  if (!Put(record) || !SwitchSpeed()) return;
  uint8_t b = 0;
  do {
    const Rd rd = Read(&b, 1);
    if (rd != Rd::kOk) return Lost(rd, "'E'");
  } while (b != kLetterAccept);
  if (const BoxFault* f = Fire(BoxFaultKind::kSilence, -1, BoxPhase::kStart)) return Silence(f, "after the PC's 'E'");

  const size_t packetSize = static_cast<size_t>(std::clamp(cfg_.packetSize, 1, 0xFFFFFF));
  size_t off = 0;
  for (int packet = 1; off < area->size(); ++packet) {
    if (HangUpIf(packet) || ResetIf(packet)) return;
    if (const BoxFault* f = Fire(BoxFaultKind::kSilence, packet, BoxPhase::kBlock))
      return Silence(f, "before packet " + std::to_string(packet));
    const size_t n = std::min(packetSize, area->size() - off);
    std::vector<uint8_t> data(area->begin() + static_cast<long>(off), area->begin() + static_cast<long>(off + n));
    uint32_t sum = ByteSum(data.data(), static_cast<int>(n)) & 0xFFFFFF;
    if (Fire(BoxFaultKind::kBadBlockSum, packet)) sum = (sum + 1) & 0xFFFFFF;
    std::vector<uint8_t> out;
    if (const BoxFault* f = Fire(BoxFaultKind::kNoise, packet)) out = NoiseBytes(f);
    PutLe24(out, static_cast<uint32_t>(n));
    data = Damage(std::move(data), packet);
    out.insert(out.end(), data.begin(), data.end());
    if (!Put(out)) return;
    uint8_t theirs[3];
    Rd rd = Read(theirs, 3);
    if (rd != Rd::kOk) return Lost(rd, "the PC's sum of packet " + std::to_string(packet));
    const bool good = Le24(theirs) == sum && !Fire(BoxFaultKind::kVerdictN, packet);
    if (!Put({good ? kLetterGood : kLetterBad})) return;
    if (!good) return End(BoxResult::kError, "packet " + std::to_string(packet) + ": answered 'N'");
    do {
      rd = Read(&b, 1);
      if (rd != Rd::kOk) return Lost(rd, "'F' after packet " + std::to_string(packet));
    } while (b != kLetterReady);
    off += n;
    t.blocks = packet;
  }
  End(BoxResult::kDone, "area sent");
}

// ---- the box ----------------------------------------------------------------

CBox::CBox(BoxConfig config) : cfg_(std::move(config)) {}

CBox::~CBox() { Stop(); }

bool CBox::Start(bool keepSlaveOpen) {
  if (started_) return false;
  if (!pty_.Create(keepSlaveOpen)) return false;
  started_ = true;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void CBox::Stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

void CBox::Run() {
  loaderId_.store(std::this_thread::get_id());
  if (!cfg_.loader) {
    while (!stop_.load() && Pump(10) != Rd::kGone) {
    }
  } else {
    int served = 0;
    for (int index = 0; !stop_.load() && !gone_.load(); ++index) {
      Session s(*this, index);
      s.Serve();
      if (!s.started && s.t.result == BoxResult::kPending) break;  // stopped before any request
      if (s.t.result == BoxResult::kPending) s.t.result = BoxResult::kError;
      Publish(std::move(s.t));
      if (s.quietMs >= 0) Quiet(s.quietMs);
      // A reset is not a transfer served: the box starts again as at power-on.
      if (!s.reset) ++served;
      if (cfg_.transfers > 0 && served >= cfg_.transfers) break;
      // What the PC still sends for the transfer that ended is not the start
      // of the next: the box starts again (and announces itself) once the
      // line has been still for a moment, as a loader does after its reboot.
      Quiet(-100);
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  finished_ = true;
  cv_.notify_all();
}

void CBox::Publish(BoxTransfer t) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!t.upload && t.result != BoxResult::kRefused && !t.request.empty()) {
    flash_ = t.flash;
    // One flash image is kept, not one per transfer: a box serving many
    // large Downloads must not grow without bound.
    for (BoxTransfer& earlier : transfers_) std::vector<uint8_t>().swap(earlier.flash);
  }
  transfers_.push_back(std::move(t));
  cv_.notify_all();
}

BoxClock::duration CBox::ByteTime(uint32_t baud) const {
  if (baud == 0) baud = 9600;
  return duration_cast<BoxClock::duration>(nanoseconds(10'000'000'000LL / baud));
}

uint32_t CBox::SpeedLocked() { return pty_.SlaveSpeed(); }

uint32_t CBox::SlaveSpeed() {
  std::lock_guard<std::mutex> lock(ioMu_);
  return SpeedLocked();
}

bool CBox::WaitSlaveSpeed(uint32_t baud, int timeoutMs) {
  const auto deadline = BoxClock::now() + milliseconds(timeoutMs);
  for (;;) {
    if (SlaveSpeed() == baud) return true;
    if (stop_.load() || gone_.load() || BoxClock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
}

CBox::Rd CBox::Pump(int waitMs) {
  if (gone_.load()) return Rd::kGone;
  if (stop_.load()) return Rd::kStop;
  // Only this thread closes the master while it runs, so polling it unlocked is safe.
  pollfd p{pty_.MasterFd(), POLLIN, 0};
  const int r = poll(&p, 1, std::max(0, waitMs));
  if (r <= 0) return Rd::kTimeout;
  if (!(p.revents & POLLIN)) {
    // The program has closed the slave and nobody holds it: the master
    // reports hang-up on every poll, so wait here instead of spinning.
    std::this_thread::sleep_for(milliseconds(std::max(1, waitMs)));
    return Rd::kTimeout;
  }
  uint8_t buf[4096];
  int n;
  uint32_t baud;
  {
    std::lock_guard<std::mutex> lock(ioMu_);
    n = pty_.ReadAvailable(buf, sizeof buf);
    baud = SpeedLocked();
  }
  if (n <= 0) {
    if (n < 0) std::this_thread::sleep_for(milliseconds(std::max(1, waitMs)));
    return Rd::kTimeout;
  }
  const auto now = BoxClock::now();
  const auto byteTime = ByteTime(baud);
  std::lock_guard<std::mutex> lock(mu_);
  for (int i = 0; i < n; ++i) {
    BoxClock::time_point at = now;
    if (cfg_.pacing) {
      // A UART hands a byte over once its stop bit is in: 10 bit-times after
      // the previous one at the earliest.
      at = std::max(now, rxLineFree_) + byteTime;
      rxLineFree_ = at;
    }
    if (cfg_.loader) pending_.push_back({buf[i], at});
    if (cfg_.keepRecords) received_.push_back({buf[i], at, baud});
  }
  cv_.notify_all();
  return Rd::kOk;
}

CBox::Rd CBox::ReadByte(uint8_t& b, BoxClock::time_point deadline) {
  for (;;) {
    if (stop_.load()) return Rd::kStop;
    const auto now = BoxClock::now();
    if (!pending_.empty() && pending_.front().at <= now) {
      b = pending_.front().byte;
      pending_.pop_front();
      return Rd::kOk;
    }
    if (gone_.load()) return Rd::kGone;
    if (now >= deadline) return Rd::kTimeout;
    auto until = std::min(deadline, now + milliseconds(10));
    if (!pending_.empty()) until = std::min(until, pending_.front().at);
    const int ms = static_cast<int>(duration_cast<milliseconds>(until - now).count());
    if (Pump(ms) == Rd::kTimeout && !pending_.empty() && ms == 0) std::this_thread::sleep_until(until);
  }
}

void CBox::PushBack(uint8_t b) { pending_.push_front({b, BoxClock::now()}); }

void CBox::Quiet(int ms) {
  if (ms < 0) {
    // Until the line has been still for -ms milliseconds.
    for (auto still = BoxClock::now(); !stop_.load() && !gone_.load() && BoxClock::now() - still < milliseconds(-ms);)
      if (Pump(10) == Rd::kOk) still = BoxClock::now();
  } else {
    const auto end = ms > 0 ? BoxClock::now() + milliseconds(ms) : BoxClock::time_point::max();
    while (!stop_.load() && !gone_.load() && BoxClock::now() < end) Pump(10);
  }
  pending_.clear();
}

bool CBox::SleepFor(int ms) {
  const auto end = BoxClock::now() + milliseconds(ms);
  while (BoxClock::now() < end) {
    if (stop_.load() || gone_.load()) return false;
    const auto left = duration_cast<milliseconds>(end - BoxClock::now()).count();
    // Keep taking (and recording) what the line brings meanwhile.
    Pump(static_cast<int>(std::clamp<long long>(left, 0, 10)));
  }
  return !stop_.load() && !gone_.load();
}

bool CBox::Send(const uint8_t* data, int n) {
  std::lock_guard<std::mutex> tx(txMu_);
  if (n <= 0) return true;
  const auto byteTime = ByteTime(SlaveSpeed());
  const auto start = std::max(BoxClock::now(), txLineFree_);
  // With pacing, byte k is handed over when its stop bit would have left:
  // start + (k + 1) byte-times, against these absolute deadlines, written in
  // slices of about a millisecond so that no sleep is per byte.
  const int slice = cfg_.pacing ? std::max<int>(1, static_cast<int>(milliseconds(1) / byteTime)) : n;
  int done = 0;
  while (done < n) {
    if (stop_.load() || gone_.load()) return false;
    int due = n;
    if (cfg_.pacing) {
      const auto now = BoxClock::now();
      due = static_cast<int>(std::min<long long>(n, (now - start) / byteTime));
      if (due <= done) {
        std::this_thread::sleep_until(start + byteTime * std::min(n, done + slice));
        continue;
      }
    }
    int w;
    {
      std::lock_guard<std::mutex> lock(ioMu_);
      w = pty_.WriteSome(data + done, due - done);
    }
    if (w < 0) return false;
    if (w == 0) std::this_thread::sleep_for(milliseconds(1));  // the program is not reading
    done += w;
  }
  if (cfg_.pacing) txLineFree_ = std::max(start + byteTime * n, BoxClock::now());
  return true;
}

bool CBox::Announce() {
  std::vector<uint8_t> out = cfg_.noise;
  out.insert(out.end(), cfg_.signature, cfg_.signature + 3);
  if (!Send(out)) return false;
  std::lock_guard<std::mutex> lock(mu_);
  ++announcements_;
  cv_.notify_all();
  return true;
}

void CBox::HangUp() {
  // The loader thread polls the master without a lock, so from any other
  // thread the descriptor is closed only once that thread has seen gone_
  // (within one 10 ms poll) and finished: no poll is left on a number that a
  // later open() could be handed.
  gone_.store(true);
  if (started_ && std::this_thread::get_id() != loaderId_.load()) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return finished_; });
  }
  std::lock_guard<std::mutex> lock(ioMu_);
  pty_.CloseSlaveHold();
  pty_.HangUp();
}

BoxResult CBox::WaitOutcome(int timeoutMs, int index) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, milliseconds(timeoutMs), [&] { return static_cast<int>(transfers_.size()) > index || finished_; });
  return static_cast<int>(transfers_.size()) > index ? transfers_[static_cast<size_t>(index)].result : BoxResult::kPending;
}

bool CBox::WaitFinished(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, milliseconds(timeoutMs), [&] { return finished_; });
}

std::vector<BoxTransfer> CBox::Transfers() {
  std::lock_guard<std::mutex> lock(mu_);
  return transfers_;
}

std::vector<uint8_t> CBox::Flash() {
  std::lock_guard<std::mutex> lock(mu_);
  return flash_;
}

int CBox::Announcements() {
  std::lock_guard<std::mutex> lock(mu_);
  return announcements_;
}

std::vector<RxRecord> CBox::Received() {
  std::lock_guard<std::mutex> lock(mu_);
  return {received_.begin(), received_.end()};
}

std::vector<uint8_t> CBox::ReceivedBytes() {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint8_t> out;
  out.reserve(received_.size());
  for (const RxRecord& r : received_) out.push_back(r.byte);
  return out;
}

bool CBox::WaitReceived(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, milliseconds(timeoutMs), [&] { return received_.size() >= count; });
}

}  // namespace kelvane::box
