// The rows of the fault matrix: for each direction and LinkMode, each fault
// and what the operator must see afterwards.
#include <string>

#include "FaultMatrix.h"

namespace kelvane::faults {

namespace {

using box::BoxFault;
using box::BoxFaultKind;
using box::BoxPhase;
using Texts = std::vector<std::string>;

BoxFault Fault(BoxFaultKind kind, int block = 2, BoxPhase phase = BoxPhase::kBlock) {
  BoxFault f;
  f.kind = kind;
  f.block = block;
  f.phase = phase;
  return f;
}

BoxFault WithText(BoxFault f, const std::string& text) {
  f.bytes.assign(text.begin(), text.end());
  return f;
}

// The box goes quiet at block 2 for a moment, then starts afresh and
// announces itself, as a box that was switched off and on again does.
BoxFault Reset() {
  BoxFault f = Fault(BoxFaultKind::kSilence);
  f.silenceMs = 50;
  return f;
}

const std::vector<uint8_t> kLineNoise = {0x00, 0x55, 0xAA};

void DownloadRows(uint8_t mode, std::vector<FaultRow>& rows) {
  const bool packets = mode == 0x20;
  auto row = [&](std::string fault) {
    FaultRow r;
    r.fault = std::move(fault);
    r.dir = Dir::kDownload;
    r.mode = mode;
    return r;
  };
  const Texts complete = {"Upgrade Complete"};
  // While blocks remain the sender reports the end of the transfer as well,
  // if it is still sending when the receiver ends it.
  const Texts aborted = {"Abort Download"};

  {
    FaultRow r = row("none");
    r.messages = {complete};
    r.busy = {1, 0};
    r.dest = Dest::kWhole;
    rows.push_back(r);
  }
  {
    FaultRow r = row("noise before the announcement");
    r.noise = kLineNoise;
    r.messages = {complete};
    r.busy = {1, 0};
    r.dest = Dest::kWhole;
    rows.push_back(r);
  }
  // A byte damaged on its way to the box: in blocks the box finds the sum
  // wrong and answers 'N'; in packets the PC finds the box's sum wrong.
  for (auto [name, kind] : {std::pair{"flipped byte in block 2", BoxFaultKind::kFlipByte},
                            std::pair{"duplicated byte in block 2", BoxFaultKind::kDupByte}}) {
    FaultRow r = row(name);
    r.faults = {Fault(kind)};
    r.busy = {1, 0};
    if (packets) {
      r.ending = Ending::kLeftOpen;
      r.messages = {{"CheckSum Error."}};
    } else {
      r.messages = {{"Upgrade Error"}};
      r.maybe = aborted;
    }
    rows.push_back(r);
  }
  {
    FaultRow r = row("dropped byte in block 2");
    r.faults = {Fault(BoxFaultKind::kDropByte)};
    r.busy = {1, 0};
    if (packets) {
      // The box waits for the byte it lost, the PC for the box's sum: no
      // silence limit runs while the sender waits, the operator cancels.
      r.ending = Ending::kLeftOpen;
      r.messages = {{}};
    } else {
      r.messages = {{"Upgrade Error"}};
      r.maybe = aborted;
    }
    rows.push_back(r);
  }
  {
    FaultRow r = row("noise before the acceptance");
    r.faults = {WithText(Fault(BoxFaultKind::kStrayBeforeAccept), "\x55\xAA")};
    r.ending = Ending::kSilence;
    r.limitMs = 5000;
    r.messages = {{"Time Out Error"}};
    r.busy = {0};
    r.dest = Dest::kUntouched;
    rows.push_back(r);
  }
  {
    FaultRow r = row("noise before the reply to block 2");
    r.faults = {Fault(BoxFaultKind::kNoise)};
    r.busy = {1, 0};
    if (packets) {
      // Noise and sum in one read are more than a sum: the sender keeps
      // waiting; split apart, the noise reads as a wrong sum.
      r.ending = Ending::kLeftOpen;
      r.messages = {{}, {"CheckSum Error."}};
    } else {
      r.messages = {aborted};
    }
    rows.push_back(r);
  }
  {
    FaultRow r = row("silence: no answer to the request");
    r.faults = {Fault(BoxFaultKind::kSilence, 1, BoxPhase::kRequest)};
    r.ending = Ending::kSilence;
    r.limitMs = 5000;
    r.messages = {{"Time Out Error"}};
    r.busy = {0};
    r.dest = Dest::kUntouched;
    rows.push_back(r);
  }
  {
    FaultRow r = row("silence: no reply to block 2");
    r.faults = {Fault(BoxFaultKind::kSilence)};
    r.busy = {1, 0};
    if (packets) {
      r.ending = Ending::kLeftOpen;
      r.messages = {{}};
    } else {
      // The sender sends every block, then the flash-write limit runs.
      r.ending = Ending::kSilence;
      r.limitMs = 60000;
      r.messages = {{"Time Out Error"}};
    }
    rows.push_back(r);
  }
  if (!packets) {
    // Noise ahead of the last block's 'K', while the box has yet to write
    // its flash: taken for the closing reply, it would let the operator
    // switch the box off in the middle of the write.
    FaultRow r = row("noise before the reply to the last block");
    r.faults = {Fault(BoxFaultKind::kNoise, static_cast<int>((r.size + 2047) / 2048))};
    r.messages = {{"Upgrade Error"}};
    r.busy = {1, 0};
    rows.push_back(r);
  }
  if (!packets) {
    // The closing reply right behind the last 'K', often in the same read.
    FaultRow r = row("quick box: closing reply right after the last 'K'");
    r.flashWriteMs = 0;
    r.messages = {complete};
    r.busy = {1, 0};
    r.dest = Dest::kWhole;
    rows.push_back(r);
  }
  if (!packets) {
    FaultRow r = row("silence: no closing reply");
    r.faults = {Fault(BoxFaultKind::kSilence, 1, BoxPhase::kClosing)};
    r.ending = Ending::kSilence;
    r.limitMs = 60000;
    r.messages = {{"Time Out Error"}};
    r.busy = {1, 0};
    rows.push_back(r);
  }
  {
    FaultRow r = row("refusal");
    r.faults = {WithText(Fault(BoxFaultKind::kRefuse, 1), "OLD LOADER")};
    r.messages = {{"Version mismatch \nOLD LOADER"}};
    r.busy = {0};
    r.dest = Dest::kUntouched;
    rows.push_back(r);
  }
  {
    FaultRow r = row("refusal whose text never ends");
    r.faults = {WithText(Fault(BoxFaultKind::kRefuseUnended, 1), "OLD")};
    r.ending = Ending::kSilence;
    r.limitMs = 5000;
    r.messages = {{"version mismatch"}};
    r.busy = {0};
    r.dest = Dest::kUntouched;
    rows.push_back(r);
  }
  if (packets) {
    FaultRow r = row("'N': the box's sum of packet 2 is wrong");
    r.faults = {Fault(BoxFaultKind::kWrongSum)};
    r.ending = Ending::kLeftOpen;
    r.messages = {{"CheckSum Error."}};
    r.busy = {1, 0};
    rows.push_back(r);
  } else {
    FaultRow r = row("'N' for block 2");
    r.faults = {Fault(BoxFaultKind::kNak)};
    r.messages = {{"Upgrade Error"}};
    r.maybe = aborted;
    r.busy = {1, 0};
    rows.push_back(r);

    FaultRow e = row("'e' for block 2 (flash write error)");
    e.faults = {Fault(BoxFaultKind::kFlashError)};
    e.messages = {{"Flash Write Error", "Upgrade Complete"}};
    e.busy = {1, 0};
    e.dest = Dest::kWhole;
    rows.push_back(e);
  }
  {
    FaultRow r = row("box resets and announces itself again at block 2");
    r.faults = {Reset()};
    r.transfers = 2;
    r.busy = {1, 0};
    if (packets) {
      // The announcement arrives where the sender waits for the box's sum.
      r.ending = Ending::kLeftOpen;
      r.messages = {{"CheckSum Error."}};
    } else {
      // The box comes back once the blocks have stopped, while the PC waits
      // for the end of the flash write; it confirmed block 1 only, so this
      // is no completion.
      r.messages = {{"Upgrade Error"}};
      r.maybe = aborted;
    }
    rows.push_back(r);
  }
  {
    FaultRow r = row("line hung up before block 2");
    r.faults = {Fault(BoxFaultKind::kHangUp)};
    r.messages = {{"Connection Lost"}};
    if (!packets) r.maybe = aborted;
    r.busy = {1, 0};
    rows.push_back(r);
  }
  {
    FaultRow r = row("source file deleted after selection");
    r.action = Action::kDeleteBefore;
    r.messages = {{"File Open Error"}};
    r.busy = {0};
    r.dest = Dest::kUntouched;
    rows.push_back(r);
  }
  {
    FaultRow r = row("source file truncated after selection");
    r.action = Action::kTruncateBefore;
    r.messages = {{"File is incorrect"}};
    r.busy = {0};
    r.dest = Dest::kUntouched;
    rows.push_back(r);
  }
  {
    // The open file keeps its bytes: the transfer completes from it.
    FaultRow r = row("source file deleted mid-transfer");
    r.action = Action::kDeleteDuring;
    r.messages = {complete};
    r.busy = {1, 0};
    r.dest = Dest::kWhole;
    rows.push_back(r);
  }
  {
    FaultRow r = row("source file truncated mid-transfer");
    r.action = Action::kTruncateDuring;
    r.messages = {{"File Read Error"}};
    r.busy = {1, 0};
    rows.push_back(r);
  }
}

void UploadRows(uint8_t mode, std::vector<FaultRow>& rows) {
  const bool packets = mode == 0x20;
  auto row = [&](std::string fault) {
    FaultRow r;
    r.fault = std::move(fault);
    r.dir = Dir::kUpload;
    r.mode = mode;
    r.size = 5 * 2048 + 100;
    r.busy = {1, 0};
    r.dest = Dest::kKept;
    return r;
  };
  const Texts timeOut = {"Time Out Error"};
  auto silence = [&](FaultRow r, uint32_t limit) {
    r.ending = Ending::kSilence;
    r.limitMs = limit;
    r.messages = {timeOut};
    return r;
  };

  {
    FaultRow r = row("none");
    r.messages = {{"Data Upload Complete"}};
    r.dest = Dest::kWhole;
    rows.push_back(r);
  }
  {
    FaultRow r = row("noise before the announcement");
    r.noise = kLineNoise;
    r.messages = {{"Data Upload Complete"}};
    r.dest = Dest::kWhole;
    rows.push_back(r);
  }
  {
    // In blocks the PC finds the sum wrong and answers 'N'; in packets the
    // box judges the PC's sum of the damaged bytes and answers 'N'.
    FaultRow r = row("flipped byte in block 2");
    r.faults = {Fault(BoxFaultKind::kFlipByte)};
    if (packets) {
      r.ending = Ending::kLeftOpen;
      r.messages = {{"Error Packet!!!"}};
    } else {
      r.messages = {{"CheckSum Error"}};
    }
    rows.push_back(r);
  }
  {
    // One byte short: the PC waits for it, the box for the PC's answer.
    FaultRow r = row("dropped byte in block 2");
    r.faults = {Fault(BoxFaultKind::kDropByte)};
    rows.push_back(silence(r, 3000));
  }
  {
    FaultRow r = row("duplicated byte in block 2");
    r.faults = {Fault(BoxFaultKind::kDupByte)};
    if (packets) {
      // One byte more than the packet announced: when it arrives with the
      // packet's last bytes the packet's end cannot be told; when a read
      // ends exactly at the announced length the box judges the sum.
      r.ending = Ending::kLeftOpen;
      r.messages = {{"Read Buffer Over"}, {"Error Packet!!!"}};
    } else {
      r.messages = {{"CheckSum Error"}};
    }
    rows.push_back(r);
  }
  {
    FaultRow r = row("noise after the size record");
    r.faults = {Fault(BoxFaultKind::kExtraSizeByte, 1)};
    r.busy = {0};
    rows.push_back(silence(r, 5000));
  }
  {
    FaultRow r = row("noise before block 2");
    r.faults = {Fault(BoxFaultKind::kNoise)};
    if (packets) {
      // The noise is taken for the packet's length, far beyond a packet.
      r.ending = Ending::kLeftOpen;
      r.messages = {{"Read Buffer Over"}};
    } else {
      r.messages = {{"CheckSum Error"}};
    }
    rows.push_back(r);
  }
  {
    FaultRow r = row("silence: no size record");
    r.faults = {Fault(BoxFaultKind::kSilence, 1, BoxPhase::kRequest)};
    r.busy = {0};
    rows.push_back(silence(r, 5000));
  }
  {
    // Blocks: the window turns busy only with the box's 'E'; packets: with the PC's.
    FaultRow r = row("silence: no data after the size record");
    r.faults = {Fault(BoxFaultKind::kSilence, 1, BoxPhase::kStart)};
    r.busy = packets ? std::vector<int>{1, 0} : std::vector<int>{0};
    rows.push_back(silence(r, 3000));
  }
  {
    FaultRow r = row("silence: block 2 never comes");
    r.faults = {Fault(BoxFaultKind::kSilence)};
    rows.push_back(silence(r, 3000));
  }
  if (packets) {
    FaultRow r = row("'N': the box rejects packet 2");
    r.faults = {Fault(BoxFaultKind::kVerdictN)};
    r.ending = Ending::kLeftOpen;
    r.messages = {{"Error Packet!!!"}};
    rows.push_back(r);
  } else {
    FaultRow r = row("'N': the box's sum of block 2 is wrong");
    r.faults = {Fault(BoxFaultKind::kBadBlockSum)};
    r.messages = {{"CheckSum Error"}};
    rows.push_back(r);
  }
  {
    FaultRow r = row("box resets and announces itself again at block 2");
    r.faults = {Fault(BoxFaultKind::kReset)};
    r.transfers = 2;
    if (packets) {
      // The announcement is taken for the next packet's length.
      r.ending = Ending::kLeftOpen;
      r.messages = {{"Read Buffer Over"}};
      rows.push_back(r);
    } else {
      rows.push_back(silence(r, 3000));
    }
  }
  {
    FaultRow r = row("line hung up before block 2");
    r.faults = {Fault(BoxFaultKind::kHangUp)};
    r.messages = {{"Connection Lost"}};
    rows.push_back(r);
  }
  {
    FaultRow r = row("destination disk full");
    r.action = Action::kDiskFull;
    r.messages = {{"File Write Error"}};
    rows.push_back(r);
  }
}

}  // namespace

std::vector<FaultRow> MatrixRows() {
  std::vector<FaultRow> rows;
  for (uint8_t mode : {0x20, 0x30, 0x40}) DownloadRows(mode, rows);
  for (uint8_t mode : {0x20, 0x30, 0x40}) UploadRows(mode, rows);
  return rows;
}

}  // namespace kelvane::faults
