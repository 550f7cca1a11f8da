#include "protocol/CheckImage.h"

#include "image/ImageFile.h"
#include "protocol/Protocol.h"

namespace kelvane {

namespace {

// Reads exactly n bytes at an absolute offset; false on an error or when the
// file ends first.
bool ReadAt(CImageFile& file, uint64_t offset, uint8_t* buf, int n) {
  return file.Seek(offset) && file.Read(buf, n) == n;
}

// The first n bytes, missing ones left as 00 (a short file cannot hold a mark
// or the channel-list magic); false on an error.
bool ReadFirst(CImageFile& file, uint8_t* buf, int n) {
  for (int i = 0; i < n; ++i) buf[i] = 0;
  return file.Seek(0) && file.Read(buf, n) >= 0;
}

bool HasKeyMark(CImageFile& file, bool& ok) {
  uint8_t m[2];
  ok = ReadFirst(file, m, 2);
  return ok && ((m[0] == 0xBA && m[1] == 0xB0) || (m[0] == 0x82 && m[1] == 0x02));
}

bool InRange(uint8_t v, uint8_t lo, uint8_t hi) { return v >= lo && v <= hi; }

// LinkMode 0x20: four descriptor bytes, copied from the file unchanged.
bool CheckShort(int kind, CImageFile& file, uint64_t n, uint8_t desc[5]) {
  switch (kind) {
    case kBootOnly:
      return n == 0x2000 && ReadAt(file, 0x1FD0, desc, 4);
    case kProgramOnly:
      // A file shorter than its descriptor has nowhere to read it from.
      return n >= 4 && n <= 0xF0000 && n != 0x2000 && ReadAt(file, n - 4, desc, 4);
    case kKeyData: {
      bool ok;
      if (!HasKeyMark(file, ok) || n != 0x4000) return false;
      desc[0] = 0x37, desc[1] = 0x22, desc[2] = 0x72, desc[3] = 0x01;
      return true;
    }
    default:  // Data Only, Program All, SatcoDX, Still Image, no selection
      return false;
  }
}

// LinkMode 0x30 (4 bytes, area byte first) and 0x40 (5 bytes, area byte second).
bool CheckLong(bool five, int kind, CImageFile& file, uint64_t n, uint8_t desc[5]) {
  const int len = five ? 5 : 4;
  const int area = five ? 1 : 0;
  // The descriptor window: the len bytes that end 8 bytes before the end point
  // e (e - 11 .. e - 8, or e - 12 .. e - 8), so the area byte is always at e - 11.
  auto window = [&](uint64_t e) { return ReadAt(file, e - 7 - static_cast<uint64_t>(len), desc, len); };
  // A fixed descriptor: the area byte and its three bytes.
  auto fixed = [&](uint8_t a, uint8_t b1, uint8_t b2, uint8_t b3) {
    desc[area] = a, desc[area + 1] = b1, desc[area + 2] = b2, desc[area + 3] = b3;
    return true;
  };
  switch (kind) {
    case kBootOnly:
      return n == 0x10000 && window(0x10000) && InRange(desc[area], 0x10, 0x1F);
    case kDataOnly: {
      if (n != 0x20000 && n != 0x40000 && n != 0x80000) return false;
      uint8_t head[2];
      return ReadAt(file, 0, head, 2) && fixed(0x2F, 0xFF, 0xF0, head[1]);
    }
    case kProgramOnly:
      return n >= 7u + static_cast<uint64_t>(len) && window(n) && InRange(desc[area], 0x40, 0x4F);
    case kProgramAll:
      if ((n != 0x100000 && n != 0x200000) || !window(0x10000) || !InRange(desc[area], 0x10, 0x1F))
        return false;
      desc[area] |= 0x70;
      return true;
    case kSatcoDX: {
      uint8_t magic[7];
      static constexpr uint8_t kMagic[7] = {'S', 'A', 'T', 'C', 'O', 'D', 'X'};
      if (!ReadFirst(file, magic, 7)) return false;
      for (int i = 0; i < 7; ++i)
        if (magic[i] != kMagic[i]) return false;
      return fixed(0x80, 0, 0, 0);
    }
    case kStillImage:
      return n <= 0xFFF8 && fixed(0x10, 0, 0, 0);
    case kKeyData: {
      bool ok;
      return HasKeyMark(file, ok) && (n == 0x4000 || n == 0x10000) && fixed(0x20, 0, 0, 0);
    }
    default:
      return false;
  }
}

}  // namespace

bool CheckImage(uint8_t linkMode, int kind, CImageFile& file, uint8_t desc[5]) {
  const int64_t length = file.Length();
  bool ok = false;
  if (length >= 0) {
    const uint64_t n = static_cast<uint64_t>(length);
    if (linkMode == 0x20)
      ok = CheckShort(kind, file, n, desc);
    else if (linkMode == 0x30 || linkMode == 0x40)
      ok = CheckLong(linkMode == 0x40, kind, file, n, desc);
  }
  // The sender reads the file from here on: back to the start, whatever the verdict.
  return file.Seek(0) && ok;
}

}  // namespace kelvane
