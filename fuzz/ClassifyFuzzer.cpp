// Selection, preselection and the JPEG scan over arbitrary file contents.
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzFile.h"
#include "image/JpegScan.h"
#include "image/Select.h"
#include "protocol/Protocol.h"

using namespace kelvane;

namespace {
// Sizes with a rule of their own, and their neighbours.
constexpr uint64_t kSizes[] = {0x2000, 0x4000, 0x3FFF, 0xFFF8, 0xFFF9, 0x10000, 0x20000, 0x40000,
                               0x80000, 0x100000, 0x200000, 0x1FFFFF};
const char* const kNames[] = {"image.bin", "picture.jpg", "PICTURE.JPG", "picjpg"};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  ++data, --size;

  // The scan alone, on a heap copy of exactly the input, so ASan sees any read past it.
  {
    std::vector<uint8_t> copy(data, data + size);
    const CJpegScan scan = ScanJpeg(copy.data(), copy.size());
    // A picture check never passes on a frame it could not measure.
    if (scan.lastFrameCut && scan.frames == 0) abort();
  }

  const char* name = kNames[flags & 3];
  const int sizeSel = (flags >> 2) & 15;
  const uint64_t fileSize = sizeSel == 0 || sizeSel > 12 ? size : kSizes[sizeSel - 1];
  const std::string path = fuzz::WriteFile(name, data, size, fileSize);

  std::vector<std::string> shown;
  const MessageFn message = [&](const std::string& text, MsgIcon icon) {
    if (icon != MsgIcon::Warning) abort();
    shown.push_back(text);
  };
  const CSelection sel = SelectImageFile(path, -1, message);
  if (!sel.selected) abort();
  if (sel.status != std::string(name) + "  " + std::to_string(fileSize) + " Bytes") abort();
  if (sel.kind < kBootOnly || sel.kind > kKeyData) abort();
  if (static_cast<uint64_t>(sel.fileSize) != fileSize) abort();

  // Messages only for names ending in jpg, the caller's own always last.
  const bool jpg = (flags & 3) != 0;
  if (!jpg && !shown.empty()) abort();
  if (!shown.empty()) {
    if (shown.size() > 2 || shown.back() != " Image Size Over 720*576 ") abort();
    if (shown.size() == 2 && shown[0] != "Image size is over" && shown[0] != " JPEG Image Type Error") abort();
    if (sel.kind == kStillImage) abort();
  }
  if (jpg && fileSize > 0xFFF8 && shown.size() != 2) abort();
  return 0;
}
