#include "BenchPhase.h"

#include <cstddef>

#include "protocol/Protocol.h"

namespace kelvane::bench {

using std::size_t;

std::vector<int> BlockLengths(uint32_t size) {
  std::vector<int> v(size / kBlockSize, kBlockSize);
  if (size % kBlockSize) v.push_back(static_cast<int>(size % kBlockSize));
  return v;
}

Phase MeasurePhase(const PhaseInput& in, const std::vector<double>& at) {
  Phase p;
  const auto lens = BlockLengths(in.size);
  const size_t n = lens.size();
  const double tau = 10.0 / in.baud;
  const double lead = in.paced ? tau : 0.0;  // from a byte's start to its arrival
  if (n == 0) return p;

  if (!in.upload && in.mode != 0x20) {
    const double pace = in.slowKind ? 0.015 : 0.010;
    size_t tail = 0;
    for (int l : lens) tail += static_cast<size_t>(l) + 4;
    if (at.size() < tail) return p;
    const size_t first = at.size() - tail;
    p.seconds = at.back() - at[first] + lead;
    p.bound = static_cast<double>(tail) * tau + static_cast<double>(n - 1) * pace;
    p.payload = in.size;
    size_t pos = first;
    for (size_t b = 0; b + 1 < n; ++b) {
      pos += static_cast<size_t>(lens[b]) + 4;  // the first byte of the next block
      p.gaps.push_back(at[pos] - lead - at[pos - 1]);
    }
  } else if (!in.upload) {
    size_t tail = 0;
    double bytes = 0;
    for (int l : lens) {
      tail += 3 + static_cast<size_t>(l) + 1;
      bytes += 3 + l + 3 + 1;
    }
    if (at.size() < tail) return p;
    const size_t first = at.size() - tail;
    p.seconds = at.back() - at[first] + lead;
    p.bound = (bytes + static_cast<double>(n - 1)) * tau;
    p.payload = in.size;
    size_t k = first - 1;  // this packet's 'K', its last byte
    for (size_t b = 0; b < n; ++b) {
      const size_t prev = k;
      k += 3 + static_cast<size_t>(lens[b]) + 1;
      if (b > 0) p.cycles.push_back(at[k] - at[prev]);
    }
  } else if (in.mode != 0x20) {
    if (at.size() < n || n < 2) return p;
    const size_t first = at.size() - n;
    p.seconds = at.back() - at[first];
    double bytes = 0;
    for (size_t b = 1; b < n; ++b) bytes += lens[b] + 4 + 1;
    p.bound = bytes * tau;
    p.payload = in.size - static_cast<uint64_t>(lens[0]);
    for (size_t i = first + 1; i < at.size(); ++i) p.cycles.push_back(at[i] - at[i - 1]);
  } else {
    const size_t tail = 4 * n;  // per packet: its 3-byte sum and 'F'
    if (at.size() < tail || n < 2) return p;
    const size_t first = at.size() - tail + 3;  // the first 'F'
    p.seconds = at.back() - at[first];
    double bytes = 0;
    for (size_t b = 1; b < n; ++b) bytes += 3 + lens[b] + 3 + 1 + 1;
    p.bound = bytes * tau;
    p.payload = in.size - static_cast<uint64_t>(lens[0]);
    for (size_t i = first + 4; i < at.size(); i += 4) p.cycles.push_back(at[i] - at[i - 4]);
  }
  p.measured = true;
  return p;
}

}  // namespace kelvane::bench
