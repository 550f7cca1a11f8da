#include "box/Pty.h"

#include "serial/SerialDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace kelvane::box {

CPtyPair::~CPtyPair() {
  HangUp();
  CloseSlaveHold();
}

bool CPtyPair::Create(bool keepSlaveOpen) {
  int slave = -1;
  char name[256] = {};
  termios tio{};
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  if (openpty(&master_, &slave, name, &tio, nullptr) != 0) return false;
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  slavePath_ = name;
  if (keepSlaveOpen) {
    slaveHold_ = slave;
  } else {
    close(slave);
  }
  return true;
}

uint32_t CPtyPair::SlaveSpeed() const {
  termios tio{};
  if (master_ < 0 || tcgetattr(master_, &tio) != 0) return 0;
  return BaudFromConstant(cfgetospeed(&tio));
}

bool CPtyPair::Send(const uint8_t* data, int n) {
  int done = 0;
  while (done < n) {
    const ssize_t w = write(master_, data + done, static_cast<size_t>(n - done));
    if (w > 0) {
      done += static_cast<int>(w);
    } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 100);
    } else {
      return false;
    }
  }
  return true;
}

int CPtyPair::WriteSome(const uint8_t* data, int n) {
  if (master_ < 0) return -1;
  const ssize_t w = write(master_, data, static_cast<size_t>(n));
  if (w >= 0) return static_cast<int>(w);
  return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

int CPtyPair::ReadAvailable(uint8_t* buf, int max) {
  if (master_ < 0) return -1;
  const ssize_t r = read(master_, buf, static_cast<size_t>(max));
  if (r >= 0) return static_cast<int>(r);
  return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

void CPtyPair::HangUp() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void CPtyPair::CloseSlaveHold() {
  if (slaveHold_ >= 0) close(slaveHold_);
  slaveHold_ = -1;
}

}  // namespace kelvane::box
