#include "protocol/Handshake.h"

#include <cstring>

#include "protocol/Owner.h"
#include "protocol/Protocol.h"
#include "serial/SerialLink.h"

namespace kelvane {

namespace {

bool IsModeByte(uint8_t m) {
  switch (m) {
    case 0x30: case 0x31: case 0x32: case 0x40: case 0x41: case 0x42: case 0x20: case 0xF2:
      return true;
    default:
      return false;
  }
}

class CNullOwner final : public IFlasherOwner {
 public:
  int KindSel() override { return -1; }
  int DirectionSel() override { return -1; }
  int SpeedSel() override { return -1; }
  void SetProgressRange(uint16_t) override {}
  void SetProgressPos(int) override {}
  void ShowWriting(bool) override {}
  void EnableCancel(bool) override {}
  void UpdateControls(uint8_t) override {}
  void ShowMessage(const std::string&, MsgIcon) override {}
  void UploadFileName() override {}
  std::string StatusText() override { return {}; }
  std::string SelectedPath() override { return {}; }
  void ClearSelectedPath() override {}
};

}  // namespace

bool FindSignature(int count, const uint8_t* bytes, uint8_t* mode) {
  if (count < 3 || !bytes) return false;
  const uint8_t a = bytes[count - 3], b = bytes[count - 2], m = bytes[count - 1];
  if ((a != 0x03 && a != 0x20) || (b != 0x04 && b != 0x10) || !IsModeByte(m)) return false;
  if (mode) *mode = m;
  return true;
}

uint8_t DecideLinkMode(uint8_t m, int kind, int direction) {
  if (kind < kBootOnly || kind > kKeyData || (direction != 0 && direction != 1)) return 0;
  const bool upload = direction == 1;
  uint8_t passed;
  if (kind == kSatcoDX || kind == kKeyData) {
    if (m == 0x31 || m == 0x41) {
      passed = m & 0xF0;
    } else if (m == 0x20 || m == 0xF2 || upload) {
      passed = m;
    } else {
      return 0;
    }
  } else if (kind == kStillImage) {
    if (m != 0x32 && m != 0x42) return 0;
    passed = m & 0xF0;
  } else {
    if (m == 0x31 || m == 0x32 || m == 0x41 || m == 0x42) return 0;
    passed = m;
  }
  return (passed == 0x30 || passed == 0x40) ? passed : 0x20;
}

uint8_t UploadAreaByte(int kind) {
  switch (kind) {
    case kBootOnly: return 0x1F;
    case kDataOnly: return 0x2F;
    case kProgramOnly: return 0x4F;
    case kProgramAll: return 0x7F;
    case kSatcoDX: return 0x80;
    case kStillImage: return 0x10;
    case kKeyData: return 0x20;
    default: return 0x00;
  }
}

void SendHandshake(uint8_t linkMode, int upload, int kind, const uint8_t* desc, CLinkSession& s, int baudIndex) {
  auto one = [&s](uint8_t b) { s.Write(&b, 1); };
  if (upload) {
    if (linkMode == 0x20) {
      one(kLetterRequest);
      one(kLetterUpload20);
      one(static_cast<uint8_t>(baudIndex));
      return;
    }
    one(kLetterRequest);
    one(kLetterUpload);
    uint8_t d[5] = {};
    const int at = linkMode == 0x40 ? 1 : 0;
    d[at] = UploadAreaByte(kind);
    d[at + 1] = d[at + 2] = d[at + 3] = 0xFF;
    s.Write(d, linkMode == 0x40 ? 5 : 4);
    return;
  }
  if (linkMode != 0x20) {
    one(kLetterRequest);
    one(kLetterDownload);
  }
  uint8_t d[5] = {};
  if (desc) std::memcpy(d, desc, 5);
  s.Write(d, linkMode == 0x40 ? 5 : 4);
}

IFlasherOwner& OwnerOf(CSerialLink& link) {
  static CNullOwner none;
  IFlasherOwner* o = link.pOwner.load();
  return o ? *o : none;
}

bool SessionIsCurrent(CLinkSession& session) {
  auto cur = session.link.Session();
  return !cur || cur.get() == &session;
}

}  // namespace kelvane
