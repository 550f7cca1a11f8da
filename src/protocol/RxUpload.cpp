// The receiver's Upload states: the box's size record, then the area in
// checked blocks (LinkMode 0x30/0x40) or packets (LinkMode 0x20), stored in a
// temporary file that becomes the destination only when every byte has been
// confirmed.
#include <algorithm>
#include <cstring>

#include "protocol/Protocol.h"
#include "protocol/ReceiverState.h"
#include "serial/Tick.h"

namespace kelvane {

namespace {

constexpr int kSumBytes = 4;
constexpr int kBlockWithSum = kBlockSize + kSumBytes;  // 2052
constexpr int kDataLimit = 4098;                       // dataBuf never holds more
constexpr uint32_t kDataTimeoutMs = 3000;

uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t LittleEndian24(const uint8_t* p) { return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16); }

// Percent of the area received, as the bar shows it: the quotient first, then
// times 100, truncated (29 of 100 bytes shows 28). Kept within the bar's range.
int PercentDone(uint32_t done, uint32_t total) {
  if (total == 0) return 0;
  const double percent = static_cast<double>(done) / static_cast<double>(total) * 100.0;
  return percent >= 100.0 ? 100 : static_cast<int>(percent);
}

// Every byte of the area has been confirmed: the temporary file becomes the
// destination, and only then is success reported. An Upload without a
// destination, or whose file could not be completed, says so instead.
// closeFirst: LinkMode 0x30/0x40 closes the link before idling the window,
// LinkMode 0x20 idles it first.
void FinishUpload(CReceiver& rx, bool closeFirst) {
  rx.rxState = RxListen;
  const char* text = "Data Upload Complete";
  MsgIcon icon = MsgIcon::Warning;
  if (!rx.dest.IsOpen()) {
    text = "Data Upload Not Saved";
    icon = MsgIcon::Error;
  } else if (!rx.dest.Commit()) {
    text = "File Write Error";
    icon = MsgIcon::Error;
  }
  rx.owner.ShowMessage(text, icon);
  if (closeFirst) {
    if (rx.s->Close() == 1) rx.owner.UpdateControls(0);
  } else {
    rx.owner.UpdateControls(0);
    rx.s->Close();
  }
}

// A failure that ends the Upload and the connection. Nothing received so far
// reaches the destination name.
void EndUpload(CReceiver& rx, const char* text) {
  rx.rxState = RxListen;
  rx.dest.Discard();
  rx.owner.ShowMessage(text, MsgIcon::Error);
  rx.owner.UpdateControls(0);
  rx.s->Close();
}

// A failure after which the link stays open and the window busy until the
// operator cancels or disconnects. The Upload cannot resume, so its data are
// dropped at once.
void AbandonUpload(CReceiver& rx, const char* text) {
  rx.rxState = RxListen;
  rx.dest.Discard();
  rx.owner.ShowMessage(text, MsgIcon::Error);
}

// Storing is skipped, not failed, when no destination could be opened.
bool Store(CReceiver& rx, const uint8_t* data, int n) {
  if (!rx.dest.IsOpen()) return true;
  if (rx.dest.Append(data, n)) return true;
  EndUpload(rx, "File Write Error");
  return false;
}

// LinkMode 0x30/0x40: checks every block that dataBuf holds complete. Bytes
// left over after a block are looked at straight away, since the box sends
// nothing more until it has its answer.
void TakeBlocks(CReceiver& rx) {
  while (rx.rxState == RxReceiveData) {
    const uint32_t lastLength = rx.uploadTotal % kBlockSize;
    const bool lastBlock = rx.uploadBlocks == rx.uploadDone + 1;
    const bool complete = rx.dataFill >= kBlockWithSum ||
                          (lastLength != 0 && lastBlock && rx.dataFill == static_cast<int>(lastLength) + kSumBytes);
    if (!complete) return;

    const int d = rx.dataFill > kBlockWithSum ? kBlockSize : rx.dataFill - kSumBytes;
    const uint32_t sum = ByteSum(rx.dataBuf, d);
    const uint32_t expected = BigEndian32(rx.dataBuf + d);
    const int carried = rx.dataFill > kBlockWithSum ? rx.dataFill - kBlockWithSum : 0;
    rx.uploadDone += 1;
    rx.owner.SetProgressPos(static_cast<int>(rx.uploadDone));

    if (sum != expected) {
      rx.WriteByte(kLetterBad);
      rx.dataFill = carried;
      EndUpload(rx, "CheckSum Error");
      return;
    }
    rx.WriteByte(kLetterGood);
    if (!Store(rx, rx.dataBuf, d)) return;
    rx.owner.OnTransferBytes(uint64_t{rx.uploadDone - 1} * kBlockSize + static_cast<uint64_t>(d), rx.uploadTotal);
    if (carried > 0) std::memmove(rx.dataBuf, rx.dataBuf + kBlockWithSum, static_cast<size_t>(carried));
    rx.dataFill = carried;
    if (rx.uploadDone == rx.uploadBlocks) {
      FinishUpload(rx, true);
      return;
    }
  }
}

// LinkMode 0x20: a packet is its 3 length bytes (which may be split over
// chunks), then exactly that many data bytes; the box waits for their sum.
void TakePacketBytes(CReceiver& rx, const uint8_t* data, int n) {
  int pos = 0;
  if (rx.packetHeadFill < 3) {
    while (pos < n && rx.packetHeadFill < 3) rx.packetHead[rx.packetHeadFill++] = data[pos++];
    if (rx.packetHeadFill < 3) return;
    rx.packetLength = LittleEndian24(rx.packetHead);
    rx.dataFill = 0;
    if (rx.packetLength > static_cast<uint32_t>(kDataLimit)) {
      AbandonUpload(rx, "Read Buffer Over");
      return;
    }
  }
  const int rest = n - pos;
  if (rest > static_cast<int>(rx.packetLength) - rx.dataFill) {
    // More bytes than the packet announced: its end cannot be told.
    AbandonUpload(rx, "Read Buffer Over");
    return;
  }
  std::memcpy(rx.dataBuf + rx.dataFill, data + pos, static_cast<size_t>(rest));
  rx.dataFill += rest;
  rx.uploadDone += static_cast<uint32_t>(rest);
  rx.owner.SetProgressPos(PercentDone(rx.uploadDone, rx.uploadTotal));
  if (rx.dataFill != static_cast<int>(rx.packetLength)) return;

  const uint32_t sum = ByteSum(rx.dataBuf, rx.dataFill);
  if (!Store(rx, rx.dataBuf, rx.dataFill)) return;
  const uint8_t reply[3] = {static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum >> 16)};
  rx.WriteBytes(reply, 3);
  rx.owner.OnTransferBytes(rx.uploadDone, rx.uploadTotal);
  rx.dataFill = 0;
  rx.packetLength = 0;
  rx.packetHeadFill = 0;
  rx.rxState = RxAwaitVerdict;
}

// The whole SizeRecord has arrived: switch speed, open the destination.
void StartData(CReceiver& rx, uint8_t mode) {
  rx.accCount = 0;
  if (mode == 0x20) {
    rx.uploadTotal = LittleEndian24(rx.accBuf);
    rx.owner.SetProgressRange(100);
    rx.rxState = RxReceiveData;
  } else {
    rx.uploadTotal = BigEndian32(rx.accBuf + (mode == 0x30 ? 6 : 7));
    rx.uploadBlocks = (rx.uploadTotal >> 11) + ((rx.uploadTotal & 0x7FF) != 0 ? 1 : 0);
    rx.owner.SetProgressRange(static_cast<uint16_t>(rx.uploadBlocks));  // the bar takes the low 16 bits
  }
  rx.bSizeKnown = true;
  SetBaudIndex(*rx.s, rx.owner.SpeedSel());
  if (mode == 0x20) {
    rx.WriteByte(kLetterAccept);
    rx.owner.UpdateControls(1);
  }
  if (!rx.dest.Open(rx.owner.StatusText())) rx.owner.ShowMessage("File Open Error", MsgIcon::Error);
  rx.owner.ClearSelectedPath();
  rx.link.dwRxTimeout.store(kDataTimeoutMs);
  rx.link.dwLastActivity.store(GetTickMs());
  // An empty area: the box has nothing to send after 'E'.
  if (mode == 0x20 && rx.uploadTotal == 0) FinishUpload(rx, false);
}

}  // namespace

int CReceiver::BytesAwaited() const {
  if (rxState != RxReceiveData) return 0;
  if (link.linkMode.load() == 0x20) {
    if (packetHeadFill < 3) return 3 - packetHeadFill;
    return std::max(0, static_cast<int>(packetLength) - dataFill);
  }
  const uint32_t lastLength = uploadTotal % kBlockSize;
  const bool lastBlock = uploadBlocks == uploadDone + 1;
  const int whole = lastLength != 0 && lastBlock ? static_cast<int>(lastLength) + kSumBytes : kBlockWithSum;
  return std::max(0, whole - dataFill);
}

void CReceiver::ResetUploadCounters() {
  uploadDone = uploadTotal = uploadBlocks = packetLength = 0;
  dataFill = 0;
  accCount = 0;
  bSizeKnown = false;
  packetHeadFill = 0;
  dest.Discard();  // an unfinished earlier Upload of this connection can never complete now
}

void CReceiver::OnAwaitSize(const uint8_t* data, int n) {
  if (n <= 0) return;
  if (accCount + n < static_cast<int>(sizeof accBuf)) {
    std::memcpy(accBuf + accCount, data, static_cast<size_t>(n));
    accCount = static_cast<uint8_t>(accCount + n);
  }
  const uint8_t mode = link.linkMode.load();
  const bool request = accBuf[0] == kLetterRequest && accBuf[1] == kLetterUpload;
  const bool whole = (mode == 0x20 && accCount == 3) || (mode == 0x30 && accCount == 12 && request) ||
                     (mode == 0x40 && accCount == 13 && request);
  if (whole) {
    StartData(*this, mode);
    return;
  }
  // LinkMode 0x30/0x40: the box's 'E' starts the data, possibly with the
  // first block's bytes in the same read.
  if (mode == 0x20 || data[0] != kLetterAccept) return;
  accCount = 0;
  rxState = RxReceiveData;
  dataFill = 0;
  owner.UpdateControls(1);
  if (bSizeKnown && uploadBlocks == 0) {
    FinishUpload(*this, true);  // an empty area: no block follows
    return;
  }
  if (n > 1) OnReceiveData(data + 1, n - 1);
}

void CReceiver::OnReceiveData(const uint8_t* data, int n) {
  if (n <= 0) return;
  if (link.linkMode.load() == 0x20) {
    TakePacketBytes(*this, data, n);
    return;
  }
  if (dataFill + n > kDataLimit) {
    AbandonUpload(*this, "Read Buffer Over");
    return;
  }
  std::memcpy(dataBuf + dataFill, data, static_cast<size_t>(n));
  dataFill += n;
  TakeBlocks(*this);
}

void CReceiver::OnAwaitVerdict(const uint8_t* data, int n) {
  if (n != 1) return;  // a verdict is one byte on its own
  if (data[0] == kLetterGood) {
    WriteByte(kLetterReady);
    rxState = RxReceiveData;
    if (uploadDone == uploadTotal) FinishUpload(*this, false);
  } else if (data[0] == kLetterBad) {
    AbandonUpload(*this, "Error Packet!!!");
  }
}

}  // namespace kelvane
