// The receiver's two Download states: the box's answer to the request, and
// its replies while the blocks go out (LinkMode 0x30/0x40).
#include <cstring>
#include <string>

#include "protocol/Protocol.h"
#include "protocol/ReceiverState.h"
#include "serial/Tick.h"

namespace kelvane {

namespace {

// A refusal is complete once its terminating 0x00 has arrived, or once this
// many bytes are held without one.
constexpr int kRefusalLimit = 240;
// The longest message a refusal may produce; a longer box text is cut.
constexpr size_t kMessageLimit = 255;

}  // namespace

void CReceiver::OnAwaitAccept(const uint8_t* data, int n) {
  if (accCount + n < static_cast<int>(sizeof accBuf)) {
    std::memcpy(accBuf + accCount, data, static_cast<size_t>(n));
    accCount = static_cast<uint8_t>(accCount + n);
  } else {
    std::memset(accBuf, 0, sizeof accBuf);
    accCount = 0;
    bMismatchSeen = 0;
    return;
  }

  if (accBuf[0] == kLetterAccept) {
    accCount = 0;
    s->hGo.Set();
    // In LinkMode 0x20 the sender reads the box's replies itself.
    rxState = link.linkMode.load() == 0x20 ? RxListen : RxWatchDownload;
    downloadAcks = 0;
    link.dwRxTimeout.store(5000);
    link.dwLastActivity.store(GetTickMs());
    return;
  }
  if (accBuf[0] != kLetterRefuse) return;  // keep collecting: the silence limit or an overflow ends it

  bMismatchSeen = 1;
  if (accBuf[accCount - 1] != 0x00 && accCount < kRefusalLimit) return;

  // The box's text runs from after the 'e' to its first 0x00, or over every
  // byte held when none came.
  const char* text = reinterpret_cast<const char*>(accBuf + 1);
  const size_t held = static_cast<size_t>(accCount - 1);
  const std::string boxText(text, strnlen(text, held));
  accCount = 0;
  bMismatchSeen = 0;
  s->Cancel();
  rxState = RxListen;
  std::string message = owner.KindSel() == kStillImage ? "Image size over" : "Version mismatch \n" + boxText;
  if (message.size() > kMessageLimit) message.resize(kMessageLimit);
  owner.ShowMessage(message, MsgIcon::Error);
}

void CReceiver::OnWatchDownload(const uint8_t* data, int n) {
  // Each 'K' acknowledges one block. A read that falls behind the box can
  // hold an acknowledgement and the box's next reply together; the byte after
  // the run of 'K's is judged as if it had come in a read of its own, so an
  // 'N' or the closing reply is never lost behind an acknowledgement.
  int i = 0;
  while (i < n && data[i] == kLetterGood) ++i;
  downloadAcks += static_cast<uint32_t>(i);
  if (i == n) return;
  switch (data[i]) {
    case kLetterRefuse:
      ++downloadAcks;  // a failed write still answers its block
      owner.ShowMessage("Flash Write Error", MsgIcon::Error);
      return;
    case kLetterBad:
      s->Cancel();
      rxState = RxListen;
      owner.ShowMessage("Upgrade Error", MsgIcon::Error);
      return;
    default:
      // The box has ended the transfer. Once it has answered every block
      // this is its closing reply: hGo tells the sender so before Cancel
      // reaches it, and stays set even when the link's Close overtakes Cancel
      // in its wait. Before that (a box that reset and announces itself
      // again, noise on the line) it is no completion, whether or not the
      // last block has gone out: the sender reports it.
      if (downloadAcks >= s->downloadBlocks.load()) {
        s->hGo.Set();
      } else {
        s->downloadUnconfirmed.store(1);
      }
      s->Cancel();
      rxState = RxListen;
      return;
  }
}

}  // namespace kelvane
