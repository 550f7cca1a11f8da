#include "image/ImageFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kelvane {

CImageFile::~CImageFile() { Close(); }

bool CImageFile::Open(const std::string& path) {
  Close();
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  // O_NONBLOCK so that a named pipe cannot hold the caller in open(); the
  // descriptor is refused below anyway unless it is a regular file, and reads
  // of a regular file never block.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void CImageFile::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

int64_t CImageFile::Length() const {
  if (fd_ < 0) return -1;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool CImageFile::Seek(uint64_t offset) {
  if (fd_ < 0 || offset > static_cast<uint64_t>(INT64_MAX)) return false;
  return ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

int CImageFile::Read(uint8_t* buf, int n) {
  if (fd_ < 0 || n < 0 || (n > 0 && buf == nullptr)) return -1;
  int got = 0;
  // A regular file returns fewer bytes only at its end; keep reading until
  // then so that a caller asking for n bytes gets n unless the file is shorter.
  while (got < n) {
    const ssize_t r = ::read(fd_, buf + got, static_cast<size_t>(n - got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) break;
    got += static_cast<int>(r);
  }
  return got;
}

}  // namespace kelvane
