#include "protocol/Receiver.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "image/ImageFile.h"
#include "protocol/Handshake.h"
#include "protocol/Protocol.h"
#include "protocol/ReceiverState.h"
#include "serial/Tick.h"

namespace kelvane {

namespace {

// The longest collection RxListen keeps: a chunk that would bring it to this
// size is dropped, and the collection takes bytes again only once a silence
// has emptied it.
constexpr int kListenLimit = 50;

// The receiver's pass waits this long on its events (and on input).
constexpr uint32_t kPassMs = 10;
// While the sender owns the port (LinkMode 0x20 blocks) the receiver only
// pauses this long per pass.
constexpr uint32_t kIdlePassMs = 2;

}  // namespace

CReceiver::CReceiver(std::shared_ptr<CLinkSession> session)
    : s(std::move(session)), link(s->link), owner(OwnerOf(s->link)) {}

void CReceiver::OnChunk(const uint8_t* data, int n) {
  switch (rxState) {
    case RxListen: OnListen(data, n); break;
    case RxAwaitSize: OnAwaitSize(data, n); break;
    case RxReceiveData: OnReceiveData(data, n); break;
    case RxAwaitVerdict: OnAwaitVerdict(data, n); break;
    case RxAwaitAccept: OnAwaitAccept(data, n); break;
    case RxWatchDownload: OnWatchDownload(data, n); break;
    default: rxState = RxListen; break;
  }
}

void CReceiver::OnListen(const uint8_t* data, int n) {
  link.dwRxTimeout.store(500);
  if (accCount + n < kListenLimit) {
    std::memcpy(accBuf + accCount, data, static_cast<size_t>(n));
    accCount = static_cast<uint8_t>(accCount + n);
  }
  uint8_t mode = 0;
  if (!FindSignature(accCount, accBuf, &mode)) return;
  accCount = 0;

  const int kind = owner.KindSel();
  const int direction = owner.DirectionSel();
  const uint8_t linkMode = DecideLinkMode(mode, kind, direction);
  if (linkMode == 0) return;  // refused: consumed, keep listening
  link.linkMode.store(linkMode);

  if (direction == 1) {
    // The window names the destination before anything goes out.
    owner.UploadFileName();
    const int baud = owner.SpeedSel();
    SendHandshake(linkMode, 1, kind, nullptr, *s, baud);
    if (linkMode != 0x20) {
      static const uint8_t kFill[5] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
      WriteBytes(kFill, 5);
      WriteByte(static_cast<uint8_t>(baud));
    }
    rxState = RxAwaitSize;
    ResetUploadCounters();
  } else {
    rxState = RxAwaitAccept;
    accCount = 0;
    bMismatchSeen = 0;
    if (linkMode == 0x20) {
      // The loader of this family learns from the second letter whether a
      // key-data block (exactly 16384 bytes) or an image is coming. A file
      // that does not open gets no letter: the sender reports it.
      WriteByte(kLetterRequest);
      CImageFile file;
      if (file.Open(owner.SelectedPath())) {
        const int64_t len = file.Length();
        WriteByte(len == 16384 ? kLetterKeyData : kLetterDownload);
        file.Close();
      }
    }
    s->hGo.Set();
  }
  link.dwRxTimeout.store(5000);
  link.dwLastActivity.store(GetTickMs());
}

int ReceiverThread(std::shared_ptr<CLinkSession> session) {
  {
    CEvent probe;
    if (!probe.Valid()) {
      OwnerOf(session->link).ShowMessage("Failed to create event for thread!", MsgIcon::Warning);
      return 0;
    }
  }
  auto rx = std::make_unique<CReceiver>(session);
  CLinkSession& s = *session;
  CSerialLink& link = s.link;
  IFlasherOwner& owner = rx->owner;

  rx->rxState = RxListen;
  rx->accCount = 0;
  rx->bMismatchSeen = 0;
  link.dwRxTimeout.store(1000);
  link.dwLastActivity.store(GetTickMs());

  const CEvent* events[] = {&s.hQuitRx, &s.hAbortRx};
  bool quit = false;
  auto lastRead = std::chrono::steady_clock::now();  // the last read that brought bytes
  while (!quit) {
    link.PumpMessages();

    // During a LinkMode 0x20 block transfer the sender reads the port and
    // nobody supervises silence; stay off the port, but never spin, and end
    // once this connection has been closed.
    if (link.linkMode.load() == 0x20 && link.bTransferRunning.load() == 1) {
      link.dwLastActivity.store(GetTickMs());
      if (s.hQuitRx.IsSet()) break;
      SleepMs(kIdlePassMs);
      continue;
    }

    const uint32_t now = GetTickMs();
    if (now - link.dwLastActivity.load() > link.dwRxTimeout.load()) {
      rx->accCount = 0;
      if (rx->rxState != RxListen) {
        s.Cancel();
        owner.SetProgressPos(0);
        rx->rxState = RxListen;
        owner.ShowMessage(rx->bMismatchSeen ? "version mismatch" : "Time Out Error", MsgIcon::Error);
        rx->bMismatchSeen = 0;
      }
    }

    const int n = s.Read(rx->chunk, static_cast<int>(sizeof rx->chunk));
    if (n > 0) {
      link.dwLastActivity.store(GetTickMs());
      rx->OnChunk(rx->chunk, n);
    } else if (n < 0) {
      // The read fails once this connection is closed (nothing to say: the
      // quit event follows) or when the line itself has gone: a pulled
      // adapter, a hung-up pseudo-terminal. A dead line never comes back, so
      // the transfer ends and the link closes, once, with a message.
      const bool lineGone = !s.device.IsShutDown() && !s.hAbortRx.IsSet() && !s.hQuitRx.IsSet();
      rx->rxState = RxListen;
      rx->accCount = 0;
      if (lineGone) {
        s.Cancel();
        owner.SetProgressPos(0);
        owner.ShowMessage("Connection Lost", MsgIcon::Error);
      } else if (link.bTransferRunning.load()) {
        s.Cancel();
      }
    }

    // While a block or packet is still arriving and its bytes trickle in at
    // the line's pace, the bytes it lacks cannot all be there before the
    // line's speed allows: until then wait on the events alone (at most a
    // pass) instead of waking for every few bytes the line delivers. Bytes
    // already queued count as arrived. A read that brought more than the line
    // carries in the time since the previous one shows a source that
    // delivers in bursts (a buffering adapter, a pseudo-terminal): then every
    // arrival wakes the loop, so that nothing is answered later than the
    // bytes allow.
    uint32_t waitMs = kPassMs;
    int inputFd = s.device.InputFd();
    if (n > 0) {
      const auto now = std::chrono::steady_clock::now();
      const int awaited = rx->BytesAwaited();
      const uint32_t baud = link.dwBaudRate.load();
      const double lineBytes = std::chrono::duration<double>(now - lastRead).count() * baud / 10;
      lastRead = now;
      if (awaited > 0 && inputFd >= 0 && baud > 0 && n <= lineBytes + 2) {
        const int queued = s.device.Queued();
        const uint64_t lineMs = queued >= 0 && queued < awaited ? uint64_t(awaited - queued) * 10000 / baud : 0;
        if (lineMs >= 1) {
          waitMs = static_cast<uint32_t>(std::min<uint64_t>(lineMs, kPassMs));
          inputFd = -1;
        }
      }
    }
    const int r = WaitForEvents(events, 2, waitMs, inputFd);
    if (r == 0) {
      quit = true;
    } else if (r == 1) {
      owner.UpdateControls(0);
      s.Close();
      rx->rxState = RxListen;
    }
  }

  // Thread end: the Upload file (if any) is released with `rx`.
  if (SessionIsCurrent(s)) link.bTransferRunning.store(0);
  rx.reset();
  return 0;
}

}  // namespace kelvane
