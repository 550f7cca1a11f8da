#include "image/Select.h"

#include <climits>
#include <vector>

#include "image/JpegScan.h"
#include "protocol/Protocol.h"

namespace kelvane {

namespace {

constexpr const char kImageSizeOver[] = " Image Size Over 720*576 ";
constexpr const char kFileTooLong[] = "Image size is over";
constexpr const char kProgressive[] = " JPEG Image Type Error";

void Show(const MessageFn& message, const char* text) {
  if (message) message(text, MsgIcon::Warning);
}

// Reads up to n bytes from offset 0; missing bytes stay 00. False on an error.
bool ReadHead(CImageFile& file, uint8_t* buf, int n) {
  for (int i = 0; i < n; ++i) buf[i] = 0;
  return file.Seek(0) && file.Read(buf, n) >= 0;
}

// Name and extension of a path: everything after its last '/'.
std::string FileNamePart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool EndsInJpg(const std::string& path) {
  if (path.size() < 3) return false;
  std::string tail = path.substr(path.size() - 3);
  for (char& c : tail)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return tail == "jpg";
}

// Preselection by size and the 82 02 mark, first rule that applies.
int KindBySize(int64_t n, const uint8_t mark[2]) {
  if (n == 0x4000) return kKeyData;
  if (mark[0] == 0x82 && mark[1] == 0x02) return kKeyData;
  if (n == 0x2000 || n == 0x10000) return kBootOnly;
  if (n == 0x20000 || n == 0x80000) return kDataOnly;
  if (n == 0x100000 || n == 0x200000) return kProgramAll;
  return kProgramOnly;
}

}  // namespace

CJpegScan ScanJpeg(const uint8_t* data, size_t n) {
  CJpegScan scan;
  for (size_t i = 0; i + 1 < n; ++i) {
    if (data[i] != 0xFF) continue;
    if (data[i + 1] == 0xC2) {
      scan.progressive = true;
      return scan;
    }
    if (data[i + 1] != 0xC0) continue;
    ++scan.frames;
    if (i + 8 < n) {
      scan.height = static_cast<uint16_t>(data[i + 5] << 8 | data[i + 6]);
      scan.width = static_cast<uint16_t>(data[i + 7] << 8 | data[i + 8]);
    } else {
      // The size bytes of this frame lie past the end: it cannot be measured.
      // Any later pair would be cut off too, so this one stays the last.
      scan.lastFrameCut = true;
    }
  }
  return scan;
}

bool CheckJpegImage(CImageFile& file, const MessageFn& message) {
  const int64_t n = file.Length();
  if (n < 0) return false;
  if (n > kMaxJpegFileSize) {
    Show(message, kFileTooLong);
    return false;
  }
  std::vector<uint8_t> buf(static_cast<size_t>(n));
  if (!file.Seek(0)) return false;
  const int got = n > 0 ? file.Read(buf.data(), static_cast<int>(n)) : 0;
  if (got < 0) return false;
  // A file that shrank since its length was taken is scanned as far as it goes.
  const CJpegScan scan = ScanJpeg(buf.data(), static_cast<size_t>(got));
  if (scan.progressive) {
    Show(message, kProgressive);
    return false;
  }
  return scan.frames >= 1 && !scan.lastFrameCut && scan.width <= kMaxJpegWidth &&
         scan.height <= kMaxJpegHeight;
}

int ClassifyImageFile(const std::string& path, int currentKind, const MessageFn& message) {
  CImageFile file;
  if (!file.Open(path)) return currentKind;
  uint8_t mark[2];
  if (!ReadHead(file, mark, 2)) return currentKind;
  const int64_t n = file.Length();
  if (n < 0) return currentKind;

  int kind = KindBySize(n, mark);

  uint8_t magic[7];
  if (!ReadHead(file, magic, 7)) return currentKind;
  static constexpr uint8_t kSatcodx[7] = {'S', 'A', 'T', 'C', 'O', 'D', 'X'};
  bool isList = true;
  for (int i = 0; i < 7; ++i) isList = isList && magic[i] == kSatcodx[i];
  if (isList) kind = kSatcoDX;

  if (EndsInJpg(path)) {
    if (CheckJpegImage(file, message))
      kind = kStillImage;
    else
      Show(message, kImageSizeOver);
  }
  return kind;
}

CSelection SelectImageFile(const std::string& path, int currentKind, const MessageFn& message) {
  CSelection sel;
  sel.kind = currentKind;
  int64_t n;
  {
    CImageFile file;
    if (!file.Open(path)) return sel;
    n = file.Length();
    if (n < 0) return sel;
  }
  sel.selected = true;
  sel.fileSize = n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
  sel.status = FileNamePart(path) + "  " + std::to_string(n) + " Bytes";
  sel.kind = ClassifyImageFile(path, currentKind, message);
  return sel;
}

}  // namespace kelvane
