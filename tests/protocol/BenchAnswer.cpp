// bench-answer: how soon the receiver answers the box's announcement.
// Measures, through a pseudo-terminal, the time from the moment the
// announcement's last byte has been handed to the line until the first byte
// of the answer can be read on the box's side, over 100 announcements, and
// prints the median and the worst. Nothing is asserted: a loaded machine
// gives other figures.
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "box/Pty.h"
#include "serial/SerialLink.h"
#include "support/RecordingOwner.h"

using namespace kelvane;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
  box::CPtyPair pty;
  if (!pty.Create()) {
    std::fprintf(stderr, "bench-answer: cannot create a pseudo-terminal\n");
    return 1;
  }
  test::CRecordingOwner owner;
  owner.kind = 0;       // Boot Only
  owner.direction = 1;  // Upload: the receiver answers at once, 'C' 'Z' b
  owner.speed = 4;
  const uint8_t sig[3] = {0x03, 0x04, 0xF2};
  std::vector<double> us;
  uint8_t buf[64];
  for (int i = 0; i < rounds; ++i) {
    CSerialLink link;
    link.SetDevicePath(pty.SlavePath());
    link.SetOwner(&owner);
    if (link.Open() != 1) {
      std::fprintf(stderr, "bench-answer: the link does not open\n");
      return 1;
    }
    // Let the receiver settle into its loop; vary the phase against its pass.
    std::this_thread::sleep_for(std::chrono::microseconds(20000 + (i * 997) % 10000));
    pty.Send(sig, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    pty.Send(sig + 2, 1);
    const auto sent = Clock::now();
    pollfd p{pty.MasterFd(), POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) {
      std::fprintf(stderr, "bench-answer: no answer to announcement %d\n", i + 1);
      return 1;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    link.Close();
    link.WaitForThreads();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    while (pty.ReadAvailable(buf, sizeof buf) > 0) {
    }
  }
  std::sort(us.begin(), us.end());
  const double median = us.size() % 2 ? us[us.size() / 2] : (us[us.size() / 2 - 1] + us[us.size() / 2]) / 2;
  std::printf("answer latency over %zu announcements: median %.0f us, worst %.0f us, best %.0f us\n", us.size(),
              median, us.back(), us.front());
  return 0;
}
