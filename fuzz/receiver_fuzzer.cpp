// The receiver's state handlers fed arbitrary chunk sequences, starting in
// each state and LinkMode. The receiver sits on a real connection whose
// device is the slave side of a pseudo-terminal; what it answers is drained
// from the master side after each chunk. No worker thread runs: the input
// plays the receiver's loop, handing over chunks of 1 to 1024 bytes until the
// handlers end the transfer.
//
// Input: byte 0 the LinkMode (0x20, 0x30, 0x40 by its value mod 3); byte 1
// the state to start in (low 3 bits, mod 6; a state the family does not
// have moves the input to one that has it), the kind (bits 4-6, mod 7) and
// the direction (bit 7: Upload); when starting inside an Upload's data, four
// bytes of area size (big-endian, kept below 16 MB) and one byte whether a
// destination is open; then chunks, each a length byte (below 0xF0: 1 to 240
// bytes; from 0xF0: multiples of 64 up to 1024) and its bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzFile.h"
#include "box/Pty.h"
#include "protocol/Protocol.h"
#include "protocol/ReceiverState.h"
#include "serial/SerialLink.h"

using namespace kelvane;

namespace {

// The Upload destination, in the run's private folder.
const std::string& Destination() {
  static const std::string* path = new std::string(fuzz::FuzzDir() + "/Program.Dat");
  return *path;
}

// The window's part: fixed selections, and a check of what the receiver
// reports against what it holds.
class CFuzzOwner : public IFlasherOwner {
 public:
  int kind = kProgramOnly, direction = 0;
  std::string status, path;
  CReceiver* rx = nullptr;
  uint16_t range = 100;

  int KindSel() override { return kind; }
  int DirectionSel() override { return direction; }
  int SpeedSel() override { return 4; }
  void SetProgressRange(uint16_t maxPos) override { range = maxPos; }
  void SetProgressPos(int pos) override {
    if (pos < 0) abort();
    // Packets: a percentage, never past the end of the bar.
    if (rx && rx->link.linkMode.load() == 0x20 && rx->rxState != RxListen && pos > 100) abort();
  }
  void ShowWriting(bool) override {}
  void EnableCancel(bool) override {}
  void UpdateControls(uint8_t) override {}
  void ShowMessage(const std::string& text, MsgIcon) override {
    // Success only with every byte of the area in the file, and nothing more.
    if (text == "Data Upload Complete") {
      struct stat st {};
      if (!rx || stat(status.c_str(), &st) != 0 || static_cast<uint64_t>(st.st_size) != rx->uploadTotal) abort();
    }
  }
  void UploadFileName() override {
    if (direction == 1) status = Destination();
  }
  std::string StatusText() override { return status; }
  std::string SelectedPath() override { return path; }
  void ClearSelectedPath() override { path.clear(); }
};

struct CFixture {
  box::CPtyPair pty;
  CSerialLink link;
  CFuzzOwner owner;
  std::string image;

  CFixture() {
    if (!pty.Create()) abort();
    link.SetWorkerProcs(nullptr, nullptr);
    link.SetOwner(&owner);
    link.SetDevicePath(pty.SlavePath());
    // A file for the LinkMode 0x20 Download start, which measures it.
    static const uint8_t kImage[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    image = fuzz::WriteFile("image.bin", kImage, sizeof kImage, sizeof kImage);
  }
  void Drain() {
    uint8_t buf[4096];
    while (pty.ReadAvailable(buf, sizeof buf) > 0) {
    }
  }
};

CFixture& Fixture() {
  static CFixture* f = new CFixture;  // lives for the whole run
  return *f;
}

void CheckInvariants(const CReceiver& rx) {
  if (rx.rxState > RxWatchDownload) abort();
  if (rx.dataFill < 0 || rx.dataFill > 4098) abort();
  if (rx.rxState == RxListen && rx.accCount >= 50) abort();
  if (rx.link.linkMode.load() == 0x20 && rx.packetHeadFill == 3 && rx.dataFill > static_cast<int>(rx.packetLength))
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  CFixture& f = Fixture();
  static const uint8_t kModes[] = {0x20, 0x30, 0x40};
  const uint8_t state = static_cast<uint8_t>((data[1] & 0x07) % 6);
  // Only states the family has: the verdict on a packet is LinkMode 0x20's,
  // the watch over Download blocks that of 0x30 and 0x40.
  uint8_t mode = kModes[data[0] % 3];
  if (state == RxAwaitVerdict) mode = 0x20;
  if (state == RxWatchDownload && mode == 0x20) mode = 0x30;
  f.owner.kind = ((data[1] >> 4) & 0x07) % 7;
  f.owner.direction = (data[1] & 0x80) ? 1 : 0;
  f.owner.status = f.owner.direction ? Destination() : "";
  f.owner.path = f.image;
  f.owner.range = 100;
  size_t pos = 2;

  if (!f.link.IsOpen() && f.link.Open() != 1) abort();
  auto rx = std::make_unique<CReceiver>(f.link.Session());
  f.owner.rx = rx.get();
  f.link.linkMode.store(mode);
  f.link.bTransferRunning.store(0);
  rx->rxState = state;
  if (state == RxAwaitSize) rx->ResetUploadCounters();
  if (state == RxReceiveData || state == RxAwaitVerdict) {
    // Inside an Upload: its size known, a destination open or not.
    rx->ResetUploadCounters();
    if (size < pos + 5) return 0;
    rx->uploadTotal = ((uint32_t{data[pos]} << 24) | (uint32_t{data[pos + 1]} << 16) | (uint32_t{data[pos + 2]} << 8) |
                       data[pos + 3]) &
                      0xFFFFFF;
    rx->uploadBlocks = (rx->uploadTotal >> 11) + ((rx->uploadTotal & 0x7FF) != 0 ? 1 : 0);
    rx->bSizeKnown = true;
    f.owner.direction = 1;
    f.owner.status = Destination();
    if (data[pos + 4] & 1) rx->dest.Open(Destination());
    pos += 5;
  }

  const std::shared_ptr<CLinkSession> session = f.link.Session();
  CLinkSession& s = *session;
  while (pos < size) {
    const uint8_t code = data[pos++];
    size_t n = code < 0xF0 ? size_t{code} + 1 : (size_t{code} - 0xEF) * 64;
    if (n > size - pos) n = size - pos;
    if (n == 0) break;
    rx->OnChunk(data + pos, static_cast<int>(n));
    pos += n;
    f.Drain();
    CheckInvariants(*rx);
    // The loop ends the connection at its next wait once the transfer has
    // been closed or cancelled: no chunk follows.
    if (!f.link.IsOpen() || s.hAbortRx.IsSet() || s.hQuitRx.IsSet()) break;
  }

  f.owner.rx = nullptr;
  rx.reset();  // discards an unfinished Upload's temporary file
  // A cancelled connection is closed by the loop; do the same here.
  if (f.link.IsOpen() && (s.hAbortRx.IsSet() || s.hAbortTx.IsSet() || s.hGo.IsSet())) f.link.Close();
  f.Drain();
  unlink(Destination().c_str());
  return 0;
}
