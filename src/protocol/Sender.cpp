#include "protocol/Sender.h"

#include <algorithm>
#include <cstring>

#include "image/ImageFile.h"
#include "protocol/CheckImage.h"
#include "protocol/Handshake.h"
#include "protocol/Owner.h"
#include "protocol/Protocol.h"
#include "serial/SerialLink.h"
#include "serial/Tick.h"

namespace kelvane {

namespace {

enum TxState : uint8_t {
  TxIdle = 0,
  TxHeaderSent = 1,
  TxSendBlocks = 2,
  TxAwaitFinish = 3,
  TxAwaitSum = 4,
  TxAwaitFlash = 5,
};

// Indices of the sender's wait list.
constexpr int kQuit = 0, kGo = 1, kAbort = 2;

// The pass of the sender's loop, and so the pace of LinkMode 0x30/0x40 blocks.
constexpr uint32_t kPassMs = 10;
// The line needs this long after the request's last byte before the speed changes.
constexpr uint32_t kSwitchPauseMs = 30;
// Channel lists, pictures and key data get this much more time per block.
constexpr uint32_t kSlowKindPauseMs = 5;

class CSender {
 public:
  explicit CSender(std::shared_ptr<CLinkSession> session)
      : s_(std::move(session)), link_(s_->link), owner_(OwnerOf(s_->link)) {}

  int Run();

 private:
  void OnIdle(int r);
  void OnHeaderSent(int r);
  void OnSendBlocks(int r);
  void OnAwaitFinish(int r);
  void OnAwaitSum(int r);
  void OnAwaitFlash(int r);
  void OnAckWaitEvent(int r);

  bool StartRequest();
  enum class Block { kSent, kSentCancelled, kNotSent };
  Block SendNextBlock(int r);
  void Complete();
  void ShowAbort();
  void EndOnLostLine();
  void WriteByte(uint8_t b) { s_->Write(&b, 1); }

  std::shared_ptr<CLinkSession> s_;
  CSerialLink& link_;
  IFlasherOwner& owner_;

  uint8_t txState_ = TxIdle;
  bool quit_ = false;
  bool abortShown_ = false;
  CImageFile file_;
  uint32_t length_ = 0;
  uint32_t blockCount_ = 0, blockIndex_ = 0;
  uint64_t offset_ = 0;
  uint8_t block_[kBlockSize] = {};
  uint32_t blockSum_ = 0;
  uint8_t desc_[5] = {};
  uint8_t sumReply_[10] = {};
  int sumCount_ = 0;
};

int CSender::Run() {
  const CEvent* events[] = {&s_->hQuitTx, &s_->hGo, &s_->hAbortTx};
  while (!quit_) {
    // LinkMode 0x20 packets are paced by the box's own replies, not by the
    // pass: wake as soon as the box's sum or its 'F' arrives, and send the
    // next packet without first waiting out a pass. The events are still
    // looked at, in their order, before every step.
    const bool packets = link_.linkMode.load() == 0x20;
    const bool awaitingBox = txState_ == TxAwaitSum || txState_ == TxAwaitFlash;
    const bool packetDue = packets && txState_ == TxSendBlocks;
    const int r = WaitForEvents(events, 3, packetDue ? 0 : kPassMs, awaitingBox ? s_->device.InputFd() : -1);
    if (r >= 0) const_cast<CEvent*>(events[r])->Reset();
    switch (txState_) {
      case TxIdle: OnIdle(r); break;
      case TxHeaderSent: OnHeaderSent(r); break;
      case TxSendBlocks: OnSendBlocks(r); break;
      case TxAwaitFinish: OnAwaitFinish(r); break;
      case TxAwaitSum: OnAwaitSum(r); break;
      case TxAwaitFlash: OnAwaitFlash(r); break;
      default: txState_ = TxIdle; break;
    }
  }
  file_.Close();
  // The box ended the transfer without answering every block, after the
  // last one had gone out (before that, "Abort Download" has said so).
  if (s_->downloadUnconfirmed.load() && !abortShown_) owner_.ShowMessage("Upgrade Error", MsgIcon::Error);
  if (SessionIsCurrent(*s_)) {
    owner_.ShowWriting(false);
    link_.bTransferRunning.store(0);
    owner_.UpdateControls(0);
  }
  return 0;
}

void CSender::OnIdle(int r) {
  if (r == kQuit) {
    quit_ = true;
    link_.bTransferRunning.store(0);
  } else if (r == kAbort) {
    link_.bTransferRunning.store(0);
  } else if (r == kGo) {
    if (StartRequest()) txState_ = TxHeaderSent;
  }
}

// The box has announced itself and the receiver has sent what only it sends:
// check the file, send the rest of the request, switch the line's speed.
bool CSender::StartRequest() {
  if (!file_.Open(owner_.SelectedPath())) {
    owner_.ShowMessage("File Open Error", MsgIcon::Error);
    s_->Close();
    return false;
  }
  const uint8_t linkMode = link_.linkMode.load();
  std::memset(desc_, 0, sizeof desc_);
  const int64_t len = file_.Length();
  // The request carries the length in at most 32 bits.
  if (len < 0 || len > 0xFFFFFFFFll || !CheckImage(linkMode, owner_.KindSel(), file_, desc_)) {
    file_.Close();
    owner_.ShowMessage("File is incorrect", MsgIcon::Error);
    s_->Close();
    return false;
  }
  const int baud = owner_.SpeedSel();
  SendHandshake(linkMode, 0, owner_.KindSel(), desc_, *s_, baud);
  length_ = static_cast<uint32_t>(len);
  if (linkMode == 0x30 || linkMode == 0x40) {
    for (int shift = 24; shift >= 0; shift -= 8) WriteByte(static_cast<uint8_t>(length_ >> shift));
  } else {
    for (int shift = 0; shift <= 16; shift += 8) WriteByte(static_cast<uint8_t>(length_ >> shift));
  }
  WriteByte(link_.bSaveChannelList.load() ? 0x01 : 0x00);
  WriteByte(static_cast<uint8_t>(baud));
  // Every write has drained when it returns: the pause runs from the moment
  // the last byte left, then the line takes the chosen speed.
  SleepMs(kSwitchPauseMs);
  SetBaudIndex(*s_, baud);
  return true;
}

void CSender::OnHeaderSent(int r) {
  if (r == kQuit) {
    quit_ = true;
  } else if (r == kAbort) {
    link_.bTransferRunning.store(0);
    txState_ = TxIdle;
  } else if (r == kGo) {
    link_.bTransferRunning.store(1);
    blockCount_ = length_ / kBlockSize + (length_ % kBlockSize ? 1 : 0);
    s_->downloadBlocks.store(blockCount_);
    blockIndex_ = 0;
    offset_ = 0;
    txState_ = TxSendBlocks;
    owner_.UpdateControls(1);
    owner_.SetProgressRange(static_cast<uint16_t>(std::min<uint32_t>(blockCount_, 0xFFFF)));
    owner_.OnTransferBytes(0, length_);
    link_.dwLastActivity.store(GetTickMs());
    link_.dwRxTimeout.store(5000);
  }
}

// Reads and sends the next block (LinkMode 0x30/0x40: data and 4-byte sum;
// 0x20: 3-byte length and data); r is what this pass's wait returned.
// kNotSent when the file could not be read (the transfer has then been
// cancelled); kSentCancelled when a Cancel came while the block went out.
CSender::Block CSender::SendNextBlock(int r) {
  const uint8_t linkMode = link_.linkMode.load();
  offset_ += kBlockSize;
  ++blockIndex_;
  const int n = offset_ > length_ ? static_cast<int>(length_ % kBlockSize) : kBlockSize;
  if (file_.Read(block_, n) != n) {
    // Gone or shrunk since the check: end as the Cancel button does, so the
    // receiver idles the window and closes the link, and say why.
    s_->Cancel();
    txState_ = TxIdle;
    owner_.ShowMessage("File Read Error", MsgIcon::Error);
    return Block::kNotSent;
  }
  blockSum_ = ByteSum(block_, n);
  if (linkMode == 0x20) {
    const uint8_t len[3] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16)};
    s_->Write(len, 3);
  }
  const int written = s_->Write(block_, n);
  if (linkMode != 0x20) {
    if (written != n) {
      // The line took nothing (or not all): stop; the receiver's silence
      // limit ends the transfer.
      txState_ = TxIdle;
    } else {
      const uint8_t sum[4] = {static_cast<uint8_t>(blockSum_ >> 24), static_cast<uint8_t>(blockSum_ >> 16),
                              static_cast<uint8_t>(blockSum_ >> 8), static_cast<uint8_t>(blockSum_)};
      s_->Write(sum, 4);
    }
  }
  const int kind = owner_.KindSel();
  if (kind == kSatcoDX || kind == kStillImage || kind == kKeyData) SleepMs(kSlowKindPauseMs);
  Block result = Block::kSent;
  if (linkMode != 0x20 && link_.bTransferRunning.load() == 0) {
    // Cancelled. Once the last block is out, the box's closing reply cancels
    // too (hGo set after this pass's wait): that is the end of a complete
    // transfer, which the next pass finishes. Any other end after the last
    // block (its 'N', a lost line) has been reported by the receiver.
    const bool lastOut = blockIndex_ == blockCount_;
    const bool closingReply = lastOut && r == kWaitTimeout && s_->hGo.IsSet();
    if (!closingReply) {
      txState_ = TxIdle;
      if (!lastOut) result = Block::kSentCancelled;
    }
  }
  owner_.SetProgressPos(static_cast<int>(std::min<uint32_t>(blockIndex_, 0xFFFF)));
  owner_.OnTransferBytes(std::min<uint64_t>(offset_, length_), length_);
  if (linkMode == 0x20) {
    txState_ = TxAwaitSum;
    sumCount_ = 0;
  }
  if (blockIndex_ == blockCount_) {
    owner_.ShowWriting(true);
    owner_.EnableCancel(false);
  }
  return result;
}

void CSender::OnSendBlocks(int r) {
  if (blockIndex_ + 1 > blockCount_) {
    if (link_.linkMode.load() == 0x20) {
      txState_ = TxIdle;
      link_.bTransferRunning.store(0);
      owner_.ShowMessage("Upgrade Complete", MsgIcon::Warning);
      s_->Close();
      return;
    }
    link_.dwLastActivity.store(GetTickMs());
    link_.dwRxTimeout.store(owner_.KindSel() == kProgramAll ? 90000 : 60000);
    txState_ = TxAwaitFinish;
    // An event that ended this wait belongs to the flash phase now: a quick
    // box may already have sent its closing reply.
    if (r >= 0) OnAwaitFinish(r);
    return;
  }
  const Block block = SendNextBlock(r);
  if (block == Block::kNotSent) {
    if (r == kQuit) quit_ = true;
    return;
  }
  // A cancel while blocks remain is reported once, whichever way it reaches
  // this thread: as hAbortTx, as hGo (the box ended the transfer before the
  // last block went out, which is no completion), as the transfer no longer
  // running, or as the quit event of the receiver's Close overtaking them.
  if (r == kQuit) {
    quit_ = true;
    if (block == Block::kSentCancelled || s_->hAbortTx.IsSet())
      ShowAbort();
  } else if (r == kAbort || r == kGo || block == Block::kSentCancelled) {
    ShowAbort();
    s_->Close();
    txState_ = TxIdle;
  }
}

void CSender::ShowAbort() {
  abortShown_ = true;
  owner_.ShowMessage("Abort Download", MsgIcon::Warning);
}

void CSender::Complete() {
  s_->Close();
  txState_ = TxIdle;
  owner_.ShowMessage("Upgrade Complete", MsgIcon::Warning);
}

// All blocks have gone; the box writes its flash. Its closing reply reaches
// this thread as hGo (set by the receiver before its Cancel). Any other end
// (Upgrade Error, a silence, a lost line) comes as hAbortTx or hQuitTx alone
// and is no completion.
void CSender::OnAwaitFinish(int r) {
  if (r < 0) return;
  const bool boxFinished = r == kGo || s_->hGo.IsSet();
  if (r == kQuit) {
    quit_ = true;
    if (boxFinished) {
      txState_ = TxIdle;
      owner_.ShowMessage("Upgrade Complete", MsgIcon::Warning);
    }
    return;
  }
  if (boxFinished) {
    Complete();
  } else {
    s_->Close();
    txState_ = TxIdle;
  }
}

void CSender::EndOnLostLine() {
  txState_ = TxIdle;
  if (s_->device.IsShutDown()) return;  // closed by someone else: the quit event follows
  // The line has gone: hand the port back and end the transfer; the receiver
  // idles the window and closes the link.
  s_->Cancel();
  owner_.ShowMessage("Connection Lost", MsgIcon::Error);
}

void CSender::OnAckWaitEvent(int r) {
  if (r == kQuit) {
    quit_ = true;
    txState_ = TxIdle;
  } else if (r == kAbort) {
    s_->Close();
    txState_ = TxIdle;
  }
}

void CSender::OnAwaitSum(int r) {
  uint8_t in[10];
  const int n = s_->Read(in, static_cast<int>(sizeof in));
  if (n < 0) {
    EndOnLostLine();
    OnAckWaitEvent(r);
    return;
  }
  if (n > 0 && sumCount_ + n < static_cast<int>(sizeof sumReply_)) {
    std::memcpy(sumReply_ + sumCount_, in, static_cast<size_t>(n));
    sumCount_ += n;
  }
  if (sumCount_ == 3) {
    const uint32_t v = sumReply_[0] + 256u * sumReply_[1] + 65536u * sumReply_[2];
    if (v == blockSum_) {
      WriteByte(kLetterGood);
      txState_ = TxAwaitFlash;
    } else {
      // Sending stops; the transfer stays marked running (the receiver
      // stays off the port) until the operator cancels or disconnects.
      WriteByte(kLetterBad);
      owner_.ShowMessage("CheckSum Error.", MsgIcon::Error);
      txState_ = TxIdle;
    }
  }
  OnAckWaitEvent(r);
}

void CSender::OnAwaitFlash(int r) {
  uint8_t in[10];
  const int n = s_->Read(in, static_cast<int>(sizeof in));
  if (n < 0) {
    EndOnLostLine();
  } else if (n > 0 && in[0] == kLetterReady) {
    txState_ = TxSendBlocks;
  }
  OnAckWaitEvent(r);
}

}  // namespace

int SenderThread(std::shared_ptr<CLinkSession> session) {
  auto sender = std::make_unique<CSender>(std::move(session));
  return sender->Run();
}

}  // namespace kelvane
