#include "serial/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace kelvane {

CEvent::CEvent() { fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

CEvent::~CEvent() {
  if (fd_ >= 0) close(fd_);
}

void CEvent::Set() {
  // The flag is the truth; the eventfd only wakes poll(). Writing while already
  // set is harmless (the counter just grows until the next Reset drains it).
  set_.store(true, std::memory_order_release);
  if (fd_ >= 0) {
    uint64_t one = 1;
    ssize_t r = write(fd_, &one, sizeof one);
    (void)r;
  }
}

void CEvent::Reset() {
  set_.store(false, std::memory_order_release);
  if (fd_ >= 0) {
    uint64_t v;
    ssize_t r = read(fd_, &v, sizeof v);
    (void)r;
  }
}

namespace {
int64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int LowestSet(const CEvent* const* events, int count) {
  for (int i = 0; i < count; ++i)
    if (events[i] && events[i]->IsSet()) return i;
  return kWaitTimeout;
}
}  // namespace

int WaitForEvents(const CEvent* const* events, int count, uint32_t timeoutMs, int inputFd) {
  constexpr int kMax = 8;
  if (count > kMax) count = kMax;
  const int64_t deadline = NowMs() + timeoutMs;
  bool watchInput = inputFd >= 0;
  for (;;) {
    int hit = LowestSet(events, count);
    if (hit != kWaitTimeout) return hit;
    pollfd fds[kMax + 1];
    int n = 0;
    for (int i = 0; i < count; ++i)
      if (events[i] && events[i]->Fd() >= 0) fds[n++] = pollfd{events[i]->Fd(), POLLIN, 0};
    const int inputSlot = watchInput ? n : -1;
    if (watchInput) fds[n++] = pollfd{inputFd, POLLIN, 0};
    const int64_t left = deadline - NowMs();
    if (left <= 0) return kWaitTimeout;
    const int r = poll(fds, static_cast<nfds_t>(n), static_cast<int>(left));
    if (r < 0 && errno != EINTR) return LowestSet(events, count);
    if (r <= 0) continue;  // EINTR or timeout: the loop head decides
    // An eventfd can be left readable by a Set that raced with a Reset while
    // its flag is clear; drain it so that poll() does not wake again at once.
    // The flag is checked again at the loop head, so no Set is lost.
    for (int i = 0, k = 0; i < count; ++i) {
      if (!events[i] || events[i]->Fd() < 0) continue;
      if ((fds[k].revents & POLLIN) && !events[i]->IsSet()) {
        uint64_t v;
        ssize_t d = read(fds[k].fd, &v, sizeof v);
        (void)d;
      }
      ++k;
    }
    if (inputSlot >= 0) {
      const short re = fds[inputSlot].revents;
      if (re & (POLLHUP | POLLERR | POLLNVAL)) {
        watchInput = false;  // a dead line wakes poll() forever; stop looking at it
      } else if (re & POLLIN) {
        return LowestSet(events, count);
      }
    }
  }
}

}  // namespace kelvane
