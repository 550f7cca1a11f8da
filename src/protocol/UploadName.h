#pragma once

namespace kelvane {

// The file an Upload of this ImageKind is stored under ("Boot.Dat" ...), or
// nullptr for the kinds that keep the status text as the name (SatcoDX, Still
// Image, no selection).
inline const char* UploadFileNameForKind(int kind) {
  switch (kind) {
    case 0: return "Boot.Dat";
    case 1: return "Data.Dat";
    case 2: return "Program.Dat";
    case 3: return "Flash.Dat";
    case 6: return "Key.Dat";
    default: return nullptr;
  }
}

}  // namespace kelvane
