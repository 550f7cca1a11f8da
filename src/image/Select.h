#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "image/ImageFile.h"
#include "protocol/Owner.h"

namespace kelvane {

// Shows a modal message box; returns when the operator has closed it.
using MessageFn = std::function<void(const std::string& text, MsgIcon icon)>;

// The outcome of a selection, for the window to apply after the call returns
// (so any message box comes before the status line changes).
struct CSelection {
  bool selected = false;    // false: the file could not be opened; the caller clears szPath, keeps status text and kind
  int32_t fileSize = 0;     // nFileSize (saturated at INT32_MAX; the status text has the true size)
  std::string status;       // "<name><ext>  <size> Bytes"
  int kind = -1;            // the kind to select (the caller's current kind when the classification could not open the file again)
};

// Measures the file at `path`, makes its status text and preselects its kind.
// Nothing is shown when the file cannot be opened (missing, a folder, a device,
// unreadable): `selected` is false. The path is used whole, never shortened.
CSelection SelectImageFile(const std::string& path, int currentKind, const MessageFn& message);

// Preselects the ImageKind of the file at `path` from its size, its first bytes
// and, for a path ending in "jpg" in any case, the picture check. Returns
// `currentKind` when the file cannot be opened or read.
int ClassifyImageFile(const std::string& path, int currentKind, const MessageFn& message);

// True when the open file is a baseline JPEG of at most 720 x 576 pixels and
// at most 0xFFF8 bytes. Shows "Image size is over" for a file that is too long
// and " JPEG Image Type Error" for a progressive frame; other failures are
// silent (the caller has its own message). Leaves the file position wherever
// the read ended.
bool CheckJpegImage(CImageFile& file, const MessageFn& message);

}  // namespace kelvane
