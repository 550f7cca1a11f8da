#pragma once
#include <cstdint>

namespace kelvane {
class CImageFile;

// Decides whether the open file may be sent as ImageKind `kind` (-1: no
// selection) to a loader of LinkMode `linkMode` (0x20, 0x30 or 0x40), and on
// success fills the mode descriptor. `desc` holds 5 bytes, all zero on entry;
// only the bytes the rules name are written. The file is left at offset 0
// whatever the outcome; an I/O error fails the check.
bool CheckImage(uint8_t linkMode, int kind, CImageFile& file, uint8_t desc[5]);

}  // namespace kelvane
