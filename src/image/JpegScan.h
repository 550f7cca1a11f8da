#pragma once
#include <cstddef>
#include <cstdint>

namespace kelvane {

// What a byte-by-byte scan of a JPEG file finds. Every FF C0 pair anywhere in
// the bytes counts as a baseline frame header (also one inside another
// segment, such as an embedded thumbnail); the last one decides the size.
struct CJpegScan {
  int frames = 0;           // FF C0 pairs seen
  uint16_t height = 0;      // of the last complete frame header
  uint16_t width = 0;
  bool progressive = false; // an FF C2 pair was met; the scan stopped there
  bool lastFrameCut = false;  // the last FF C0 pair has its size bytes cut off by the end
};

// Scans n bytes. Never reads outside [data, data + n).
CJpegScan ScanJpeg(const uint8_t* data, size_t n);

// The picture limits of the box: width and height inclusive.
constexpr int kMaxJpegWidth = 720;
constexpr int kMaxJpegHeight = 576;
// The largest picture file the box takes.
constexpr int64_t kMaxJpegFileSize = 0xFFF8;

}  // namespace kelvane
