#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "box/Pty.h"

namespace kelvane::box {

// The byte the box sends when it has finished writing its flash after the last
// Download block (LinkMode 0x30/0x40). Anything but 'K', 'e' and 'N' ends the
// PC's transfer; 'O' ("OK") reads well in a line trace.
constexpr uint8_t kClosingReply = 0x4F;

using BoxClock = std::chrono::steady_clock;

// What can go wrong on purpose. Each fault names the block (or packet) it
// strikes, counted from 1; kinds that do not concern a block ignore it. To add
// a fault: a new kind here, its name in FaultKindName, and the line in the
// loader (Box.cpp) where it fires.
enum class BoxFaultKind {
  // Download
  kRefuse,             // 'e', text, 0x00 instead of 'E'
  kRefuseUnended,      // 'e', text, then silence (no 0x00)
  kNak,                // 'N' instead of 'K' for block `block` (LinkMode 0x30/0x40)
  kFlashError,         // 'e' instead of 'K' for block `block`; the box goes on
  kWrongSum,           // a wrong 3-byte sum for packet `block` (LinkMode 0x20)
  kStrayBeforeAccept,  // `bytes` (default 0x00) sent just before 'E'
  // Upload
  kBadBlockSum,     // the 4-byte sum of block `block` is off by one (LinkMode 0x20: the box judges with a wrong sum)
  kVerdictN,        // 'N' for packet `block` whatever the PC's sum (LinkMode 0x20)
  kExtraSizeByte,   // one byte (`bytes`, default 0xFF) more after the size record, in the same write
  // Either direction
  kReset,     // before block `block`: the box restarts and, once the line is still, announces itself again
  kSilence,   // the box goes quiet at `phase` (and `block`); see `silenceMs`
  kHangUp,    // the line goes away before block `block`
  kFlipByte,  // byte `offset` of block `block` inverted on the line
  kDropByte,  // byte `offset` of block `block` lost on the line
  kDupByte,   // byte `offset` of block `block` doubled on the line
  kNoise,     // `bytes` (default 55 AA 00) sent before the reply to block `block` (Download) or before block `block` (Upload)
};

// Where a kSilence fault strikes.
enum class BoxPhase {
  kRequest,  // no answer to the request: no 'E'/'e' (Download), no size record (Upload)
  kStart,    // Upload: the size record, then nothing (no 'E', no first packet)
  kBlock,    // block `block`: no reply to it (Download), it is never sent (Upload)
  kClosing,  // Download, LinkMode 0x30/0x40: every block answered, no closing reply
};

struct BoxFault {
  BoxFaultKind kind = BoxFaultKind::kSilence;
  int block = 1;
  BoxPhase phase = BoxPhase::kBlock;
  int offset = 0;
  std::vector<uint8_t> bytes;  // refusal text, noise, stray or extra byte
  // kSilence: 0 keeps the box quiet until it is stopped; otherwise it serves
  // again (announcing itself) after that many milliseconds.
  int silenceMs = 0;
  // The transfer it strikes, counted from 0; -1 strikes every transfer.
  int transfer = 0;
};

const char* FaultKindName(BoxFaultKind kind);
// Hex bytes such as "030430" or "03 04 30" (spaces, ':' and '-' allowed between pairs).
bool ParseHexBytes(const std::string& s, std::vector<uint8_t>* out);
// Parses "kind[:key=value,...]" (keys: block, offset, phase, bytes (hex), text,
// ms, transfer). Returns nothing and sets *error on a bad description.
std::optional<BoxFault> ParseFault(const std::string& text, std::string* error);

struct BoxConfig {
  uint8_t signature[3] = {0x03, 0x04, 0x30};
  int linkMode = 0;               // 0x20, 0x30, 0x40, or 0: taken from the mode byte
  std::vector<uint8_t> noise;     // sent before every announcement
  int repeatMs = 0;               // announce again after this much silence; 0: once
  bool announceAtStart = true;    // false: the first transfer's announcement waits for Announce()
  bool loader = true;             // false: scripted, the test drives the line alone
  bool pacing = false;            // 10 bit-times per byte at the slave's speed, both ways
  bool keepRecords = true;        // false: received bytes are not kept (a long-running box)
  int flashWriteMs = 150;         // the "flash write" after the last block
  uint8_t closingReply = kClosingReply;
  int switchTimeoutMs = 3000;     // how long the box waits for the PC's speed switch
  int peerTimeoutMs = 10000;      // silence from the PC that ends a transfer
  uint32_t maxImageSize = 0x1000000;   // larger Downloads are refused
  std::string refuseText = "VERSION"; // text of the box's own refusals and of kRefuse without text
  std::map<uint8_t, std::vector<uint8_t>> areas;  // Upload images by area byte
  std::optional<std::vector<uint8_t>> anyArea;    // for other area bytes and LinkMode 0x20
  int packetSize = 2048;          // LinkMode 0x20 Upload packets
  bool startApart = false;        // Upload: 'E' in its own write, not with block 1
  int transfers = 1;              // transfers to serve before the loader ends; 0: until Stop
  std::vector<BoxFault> faults;
};

enum class BoxResult { kPending, kDone, kRefused, kFaultInjected, kError };
const char* BoxResultName(BoxResult r);

// One transfer as the box saw it.
struct BoxTransfer {
  BoxResult result = BoxResult::kPending;
  bool upload = false;
  int linkMode = 0;
  std::vector<uint8_t> request;     // from 'C' to the BaudIndex
  std::vector<uint8_t> descriptor;  // Download: 4 or 5 bytes
  bool keyData = false;             // LinkMode 0x20 Download opened with 'I'
  uint32_t length = 0;              // Download: announced length; Upload: area size
  uint8_t channelByte = 0;
  int baudIndex = -1;
  uint8_t area = 0;                 // Upload, LinkMode 0x30/0x40
  uint32_t baudBefore = 0;          // slave speed when the request ended
  uint32_t baudAfter = 0;           // slave speed the box answered at
  int blocks = 0;                   // blocks or packets confirmed
  std::vector<uint8_t> flash;       // Download: what the box kept (the latest Download only; see Flash())
  bool faultFired = false;
  std::string detail;               // why it ended, in words
};

struct RxRecord {
  uint8_t byte;
  BoxClock::time_point at;  // arrival; with pacing, no earlier than the line allows
  uint32_t baud;            // the slave's speed when the byte was read
};

// The simulated box: a loader on its own thread behind the master side of a
// pseudo-terminal. All public calls are safe from any thread.
//
// In a test:
//   BoxConfig cfg;                       // signature 03 04 30: LinkMode 0x30
//   cfg.areas[0x4F] = image;             // what an Upload of the program area gets
//   cfg.faults.push_back(*ParseFault("nak:block=2", nullptr));
//   CBox box(cfg);
//   box.Start();                         // announces at once (announceAtStart)
//   link.SetDevicePath(box.SlavePath()); // ... the program connects and transfers
//   box.WaitOutcome(5000);               // kDone, kRefused, kFaultInjected, kError
//   box.Transfers()[0], box.Flash(), box.Received()
// Scripted (cfg.loader = false): the box only records; the test calls
// Announce(), Send() in exactly the chunks it wants, WaitReceived() and
// WaitSlaveSpeed().
class CBox {
 public:
  explicit CBox(BoxConfig config);
  ~CBox();
  CBox(const CBox&) = delete;
  CBox& operator=(const CBox&) = delete;

  // Creates the pseudo-terminal and starts the loader (or, scripted, the
  // recorder). keepSlaveOpen as in CPtyPair::Create. 1/0.
  bool Start(bool keepSlaveOpen = true);
  // Ends the thread and waits for it; the line stays up until destruction.
  void Stop();
  const std::string& SlavePath() const { return pty_.SlavePath(); }
  const BoxConfig& Config() const { return cfg_; }

  // Waits until transfer `index` (from 0) has ended; kPending on timeout.
  BoxResult WaitOutcome(int timeoutMs, int index = 0);
  // True once the loader thread has ended (all transfers served, hang-up, Stop).
  bool WaitFinished(int timeoutMs);
  std::vector<BoxTransfer> Transfers();
  // What the last Download that got as far as the blocks put into the flash.
  std::vector<uint8_t> Flash();
  int Announcements();

  // Everything received so far (nothing unless keepRecords).
  std::vector<RxRecord> Received();
  std::vector<uint8_t> ReceivedBytes();
  bool WaitReceived(size_t count, int timeoutMs);

  // Writes bytes to the program (paced when pacing is on); returns when the
  // last one has been handed over. 1/0.
  bool Send(const std::vector<uint8_t>& bytes) { return Send(bytes.data(), static_cast<int>(bytes.size())); }
  bool Send(const uint8_t* data, int n);
  // Sends the noise and the signature once.
  bool Announce();
  uint32_t SlaveSpeed();
  bool WaitSlaveSpeed(uint32_t baud, int timeoutMs);
  // Drops the line: the program's next read fails.
  void HangUp();

 private:
  enum class Rd { kOk, kTimeout, kStop, kGone };
  class Session;
  friend class Session;

  void Run();
  // Reads what the line holds (waiting at most waitMs for something) into pending_.
  Rd Pump(int waitMs);
  Rd ReadByte(uint8_t& b, BoxClock::time_point deadline);
  void PushBack(uint8_t b);
  // Stays silent, still recording: for ms, until Stop when ms is 0, or until
  // the line has been still for -ms when ms is negative. Forgets what came.
  void Quiet(int ms);
  bool SleepFor(int ms);  // false when stopped or hung up
  BoxClock::duration ByteTime(uint32_t baud) const;
  uint32_t SpeedLocked();
  void Publish(BoxTransfer t);

  BoxConfig cfg_;
  CPtyPair pty_;
  std::mutex ioMu_;    // the master descriptor and its hold
  std::mutex txMu_;    // one write at a time on the line
  std::atomic<bool> stop_{false};
  std::atomic<bool> gone_{false};
  std::thread thread_;
  std::atomic<std::thread::id> loaderId_{};  // set by the loader thread itself
  bool started_ = false;                     // written before the thread starts

  // Loader-thread only.
  struct Pending { uint8_t byte; BoxClock::time_point at; };
  std::deque<Pending> pending_;
  BoxClock::time_point rxLineFree_{};
  BoxClock::time_point txLineFree_{};  // under txMu_

  std::mutex mu_;  // everything below
  std::condition_variable cv_;
  std::deque<RxRecord> received_;  // a deque: growing it never copies the record (the loader holds the lock)
  std::vector<BoxTransfer> transfers_;
  std::vector<uint8_t> flash_;
  int announcements_ = 0;
  bool finished_ = false;
};

}  // namespace kelvane::box
