#pragma once
#include <poll.h>

#include <cstdio>
#include <string>
#include <vector>

#include "box/Box.h"
#include "protocol/Protocol.h"
#include "serial/SerialDevice.h"
#include "serial/SerialLink.h"
#include "serial/Tick.h"

namespace kelvane::box::test {

// The PC's end of the line, played by a test on the slave side.
class CTestPc {
 public:
  bool Open(const std::string& path) {
    OpenFailure failure{};
    std::string reason;
    return dev.Open(path, &failure, &reason);
  }
  bool Put(const std::vector<uint8_t>& bytes) {
    return dev.Write(bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
  }
  bool Speed(int baudIndex) { return dev.SetSpeed(BaudForIndex(baudIndex)); }
  // Reads until n bytes have come or the line has been silent for silenceMs.
  std::vector<uint8_t> Take(size_t n, int silenceMs = 1000) {
    std::vector<uint8_t> out;
    uint32_t last = GetTickMs();
    while (out.size() < n && GetTickMs() - last < static_cast<uint32_t>(silenceMs)) {
      uint8_t buf[4096];
      const int want = static_cast<int>(std::min<size_t>(sizeof buf, n - out.size()));
      const int r = dev.Read(buf, want);
      if (r < 0) {
        gone = true;
        break;
      }
      if (r > 0) {
        out.insert(out.end(), buf, buf + r);
        last = GetTickMs();
      } else {
        pollfd p{dev.InputFd(), POLLIN, 0};
        poll(&p, 1, 2);
        if (p.revents & (POLLHUP | POLLERR)) SleepMs(2);
      }
    }
    return out;
  }
  // Everything until the line has been silent for silenceMs.
  std::vector<uint8_t> Drain(int silenceMs) { return Take(SIZE_MAX, silenceMs); }

  CSerialDevice dev;
  bool gone = false;
};

inline std::string Hex(const std::vector<uint8_t>& v) {
  std::string s;
  char b[4];
  for (uint8_t x : v) {
    std::snprintf(b, sizeof b, "%02X", x);
    s += b;
  }
  return s;
}

inline std::vector<uint8_t> Pattern(size_t n, unsigned seed = 1) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : v) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

inline void AppendBe32(std::vector<uint8_t>& v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
}
inline void AppendLe24(std::vector<uint8_t>& v, uint32_t x) {
  for (int s = 0; s <= 16; s += 8) v.push_back(static_cast<uint8_t>(x >> s));
}

}  // namespace kelvane::box::test
