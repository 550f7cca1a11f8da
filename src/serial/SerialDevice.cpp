#include "serial/SerialDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelvane {

unsigned BaudConstant(uint32_t baud) {
  switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return 0;
  }
}

uint32_t BaudFromConstant(unsigned s) {
  switch (s) {
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
  }
}

namespace {
OpenFailure Classify(int err) {
  switch (err) {
    case ENOENT: case ENODEV: case ENXIO: return OpenFailure::NotFound;
    case EACCES: case EPERM: return OpenFailure::Permission;
    case EBUSY: case EWOULDBLOCK: return OpenFailure::Busy;
    case ENOTTY: return OpenFailure::NotATerminal;
    default: return OpenFailure::Other;
  }
}
}  // namespace

CSerialDevice::~CSerialDevice() {
  if (fd_ >= 0) close(fd_);
}

bool CSerialDevice::Open(const std::string& path, OpenFailure* failure, std::string* reason) {
  auto fail = [&](OpenFailure f, int err, const char* what) {
    if (failure) *failure = f;
    if (reason) *reason = std::string(what) + (err ? std::string(": ") + std::strerror(err) : std::string());
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    return false;
  };
  if (path.empty()) return fail(OpenFailure::NotFound, 0, "no device for this port");
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    const int err = errno;
    return fail(Classify(err), err, "cannot open");
  }
  if (!isatty(fd_)) return fail(OpenFailure::NotATerminal, ENOTTY, "not a serial device");
  // The advisory lock keeps out other well-behaved programs (and a second
  // opener running as root, whom TIOCEXCL does not stop); TIOCEXCL keeps out
  // the rest. TIOCEXCL may fail on exotic drivers: the lock still holds.
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    return fail(OpenFailure::Busy, err == EWOULDBLOCK ? 0 : err, "the port is in use by another program");
  }
  ioctl(fd_, TIOCEXCL);

  termios tio{};
  if (tcgetattr(fd_, &tio) != 0) {
    const int err = errno;
    return fail(OpenFailure::Settings, err, "cannot read the line settings");
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~(PARENB | CSTOPB | CSIZE | CRTSCTS | HUPCL);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  tio.c_cc[VSTART] = 0x11;
  tio.c_cc[VSTOP] = 0x13;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  if (tcsetattr(fd_, TCSANOW, &tio) != 0) {
    const int err = errno;
    return fail(OpenFailure::Settings, err, "the driver refused the line settings");
  }
  termios check{};
  if (tcgetattr(fd_, &check) != 0 || cfgetospeed(&check) != B9600 || (check.c_cflag & CSIZE) != CS8)
    return fail(OpenFailure::Settings, 0, "the driver did not take the line settings");

  // DTR and RTS off. Pseudo-terminals have no modem lines and refuse this
  // with ENOTTY or EINVAL: that is no reason to fail.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd_, TIOCMBIC, &lines);

  tcflush(fd_, TCIOFLUSH);
  if (!abort_.Valid()) return fail(OpenFailure::Other, 0, "cannot create an event");
  return true;
}

bool CSerialDevice::SetSpeed(uint32_t baud) {
  if (IsShutDown() || fd_ < 0) return false;
  const unsigned c = BaudConstant(baud);
  if (c == 0) return false;
  termios tio{};
  if (tcgetattr(fd_, &tio) != 0) return false;
  cfsetispeed(&tio, c);
  cfsetospeed(&tio, c);
  return tcsetattr(fd_, TCSADRAIN, &tio) == 0;
}

uint32_t CSerialDevice::Speed() const {
  termios tio{};
  if (IsShutDown() || fd_ < 0 || tcgetattr(fd_, &tio) != 0) return 0;
  return BaudFromConstant(cfgetospeed(&tio));
}

int CSerialDevice::Queued() const {
  if (IsShutDown() || fd_ < 0) return -1;
  int n = 0;
  if (ioctl(fd_, FIONREAD, &n) != 0) return -1;
  return n;
}

int CSerialDevice::Read(uint8_t* buf, int max) {
  const int queued = Queued();
  if (queued < 0) return -1;
  // Compared as unsigned: a negative limit asks for everything queued.
  unsigned count = static_cast<unsigned>(max) < static_cast<unsigned>(queued) ? static_cast<unsigned>(max)
                                                                              : static_cast<unsigned>(queued);
  if (count == 0) return 0;
  const ssize_t r = read(fd_, buf, count);
  if (r > 0) return static_cast<int>(r);
  return -1;  // 0 after FIONREAD said bytes were there is a hang-up; EAGAIN cannot finish at once
}

int CSerialDevice::Write(const uint8_t* buf, int n) {
  if (n <= 0) return 0;
  writers_.fetch_add(1, std::memory_order_acq_rel);
  int done = 0;
  while (done < n && !IsShutDown()) {
    const ssize_t w = write(fd_, buf + done, static_cast<size_t>(n - done));
    if (w > 0) {
      done += static_cast<int>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno == EAGAIN) {
      // The driver's queue is full: wait until it takes more, or until the
      // device is shut down. No time limit: a real line always drains.
      pollfd fds[2] = {{fd_, POLLOUT, 0}, {abort_.Fd(), POLLIN, 0}};
      const int r = poll(fds, 2, 1000);
      if (r < 0 && errno != EINTR) break;
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) break;
      continue;
    }
    break;  // a real failure
  }
  if (done == n && !IsShutDown()) {
    while (tcdrain(fd_) != 0 && errno == EINTR && !IsShutDown()) {
    }
  }
  writers_.fetch_sub(1, std::memory_order_acq_rel);
  return done;
}

void CSerialDevice::DiscardInput() {
  if (!IsShutDown() && fd_ >= 0) tcflush(fd_, TCIFLUSH);
}

void CSerialDevice::Shutdown() {
  if (fd_ < 0 || shut_.exchange(true, std::memory_order_acq_rel)) return;
  tcflush(fd_, TCIFLUSH);
  // Output is thrown away only to abort a write still in progress: every
  // completed write has drained already, and on a pseudo-terminal a flush
  // would drop bytes the other side has not read yet.
  if (writers_.load(std::memory_order_acquire) > 0) tcflush(fd_, TCOFLUSH);
  abort_.Set();
  // Give up the exclusive claims first: a worker still inside poll() keeps the
  // open file alive until it returns, and the next Open must not find the
  // port "in use" meanwhile.
  flock(fd_, LOCK_UN);
  ioctl(fd_, TIOCNXCL);
  // Release the device now, but keep the number taken.
  const int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devnull >= 0) {
    dup2(devnull, fd_);
    close(devnull);
  }
}

}  // namespace kelvane
