#pragma once
#include <cstdint>
#include <vector>

namespace kelvane::bench {

// One transfer as the benchmark sees it.
struct PhaseInput {
  int mode = 0x30;        // LinkMode
  bool upload = false;
  uint32_t baud = 115200;
  uint32_t size = 0;      // image bytes
  bool slowKind = false;  // channel list, picture or key data: 5 ms more per Download block
  // Paced, an arrival time is the end of the byte's 10 bit-times, so the byte
  // began one byte time earlier; unpaced it is the moment the box read it.
  bool paced = true;
};

// The data phase of a transfer, taken from what the program sent: the box's
// arrival time of each of those bytes, in seconds, oldest first (the request
// and anything else before the blocks may come first; the blocks' bytes and
// the program's acknowledgements are the tail).
//
// Measured intervals, and the protocol's best for the same interval (every
// byte costs 10 bit-times, processing at either end costs nothing):
//   Download 0x30/0x40  first data byte to last sum byte:
//                       sum(n + 4) bytes + (blocks - 1) x pace
//   Download 0x20       first length byte to the last 'K':
//                       sum(3 + n + 3 + 1) bytes + (packets - 1) 'F' bytes
//   Upload 0x30/0x40    first 'K' to last 'K': blocks 2.., each n + 4 + 1 bytes
//   Upload 0x20         first 'F' to last 'F': packets 2.., each 3 + n + 3 + 1 + 1 bytes
// The pace is 10 ms, 15 ms for the slow kinds; LinkMode 0x20 has none.
struct Phase {
  bool measured = false;  // false when the arrivals do not hold the whole tail
  double seconds = 0;
  double bound = 0;
  uint64_t payload = 0;         // data bytes carried inside the interval
  std::vector<double> gaps;     // Download 0x30/0x40: last byte of a block to the first of the next, s
  std::vector<double> cycles;   // acknowledged modes: one acknowledgement to the next, s
};

// Data lengths of the blocks (or packets) that carry `size` bytes.
std::vector<int> BlockLengths(uint32_t size);

Phase MeasurePhase(const PhaseInput& in, const std::vector<double>& arrivals);

}  // namespace kelvane::bench
