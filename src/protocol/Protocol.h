#pragma once
#include <cstdint>

namespace kelvane {

// Protocol letters.
constexpr uint8_t kLetterRequest = 0x43;   // 'C' opens a request
constexpr uint8_t kLetterDownload = 0x44;  // 'D'
constexpr uint8_t kLetterUpload = 0x55;    // 'U' (LinkMode 0x30/0x40)
constexpr uint8_t kLetterUpload20 = 0x5A;  // 'Z' (LinkMode 0x20)
constexpr uint8_t kLetterKeyData = 0x49;   // 'I' (LinkMode 0x20, 16384-byte file)
constexpr uint8_t kLetterAccept = 0x45;    // 'E'
constexpr uint8_t kLetterRefuse = 0x65;    // 'e'
constexpr uint8_t kLetterGood = 0x4B;      // 'K'
constexpr uint8_t kLetterBad = 0x4E;       // 'N'
constexpr uint8_t kLetterReady = 0x46;     // 'F'

constexpr int kBlockSize = 2048;

// ImageKind: index of the kind list.
enum ImageKind : int {
  kBootOnly = 0, kDataOnly = 1, kProgramOnly = 2, kProgramAll = 3, kSatcoDX = 4, kStillImage = 5, kKeyData = 6
};

// The byte sum of a block: each byte as unsigned 8-bit, summed in unsigned 32-bit.
inline uint32_t ByteSum(const uint8_t* data, int n) {
  uint32_t sum = 0;
  for (int i = 0; i < n; ++i) sum += data[i];
  return sum;
}

}  // namespace kelvane
