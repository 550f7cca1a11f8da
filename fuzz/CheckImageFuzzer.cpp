// The Download check over arbitrary file contents, in each loader family and kind.
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzFile.h"
#include "image/ImageFile.h"
#include "protocol/CheckImage.h"
#include "protocol/Protocol.h"

using namespace kelvane;

namespace {
constexpr uint64_t kSizes[] = {0x2000, 0x1FFF, 0x4000, 0x10000, 0xFFF8, 0xFFF9, 0x20000, 0x40000, 0x80000,
                               0xF0000, 0xF0001, 0x100000, 0x200000, 0x180000, 11, 12};
constexpr uint8_t kModes[] = {0x20, 0x30, 0x40};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Mostly the three real families; now and then any byte.
  const uint8_t mode = data[0] < 0xF0 ? kModes[data[0] % 3] : data[0];
  const int kind = static_cast<int>(data[1] % 10) - 1;  // -1 .. 8
  const uint8_t sizeSel = data[2] % 20;
  data += 3, size -= 3;
  const uint64_t fileSize = sizeSel < 16 ? kSizes[sizeSel] : size;

  // The input's last 13 bytes also go where the descriptor windows are read:
  // the end of the boot area and the end of the file.
  uint64_t tails[2];
  int tailCount = 0;
  if (fileSize >= 0x10000) tails[tailCount++] = 0xFFF3;
  if (fileSize >= 13) tails[tailCount++] = fileSize - 13;
  const std::string path = fuzz::WriteFile("image", data, size, fileSize, tails, tailCount, 13);

  CImageFile file;
  if (!file.Open(path)) abort();
  // The bytes the file starts with, to check the position afterwards.
  uint8_t head[16] = {}, again[16] = {};
  const int headLen = file.Read(head, sizeof head);
  if (headLen < 0 || !file.Seek(0)) abort();

  uint8_t desc[5] = {};
  const bool ok = CheckImage(mode, kind, file, desc);

  if (file.Read(again, sizeof again) != headLen || std::memcmp(head, again, sizeof head) != 0) abort();
  if (ok) {
    if (mode != 0x20 && mode != 0x30 && mode != 0x40) abort();
    if (mode != 0x40 && desc[4] != 0) abort();
    if (mode == 0x20 && kind != kBootOnly && kind != kProgramOnly && kind != kKeyData) abort();
    if (kind < kBootOnly || kind > kKeyData) abort();
    if (kind == kBootOnly && fileSize != (mode == 0x20 ? 0x2000u : 0x10000u)) abort();
    if (kind == kStillImage && fileSize > 0xFFF8) abort();
    if (mode != 0x20 && (kind == kBootOnly || kind == kProgramAll)) {
      const uint8_t area = desc[mode == 0x40 ? 1 : 0];
      if ((area >> 4) != (kind == kBootOnly ? 0x1 : 0x7)) abort();
    }
  }
  return 0;
}
