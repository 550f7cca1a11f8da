#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "protocol/ReceiverState.h"

namespace kelvane {

namespace {

std::atomic<bool> gNamedTemporary{false};

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The mode a plain create would give the file: 0666 less the process's umask.
// umask() itself cannot be read without setting it (a race with other
// threads), so the value comes from the kernel's status file.
mode_t CreationMode() {
  mode_t mask = 022;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Umask:", 0) == 0) {
      mask = static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
      break;
    }
  }
  return 0666 & ~mask;
}

// A hidden name beside the destination that no area file can have:
// ".Boot.Dat.part-1a2b3c4d".
std::string TemporaryName(const std::string& dir, const std::string& name) {
  static thread_local std::mt19937 gen{std::random_device{}()};
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(gen()));
  return dir + "/." + name + ".part-" + suffix;
}

void SyncDirectory(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

void CUploadFile::UseNamedTemporaryForTest(bool named) { gNamedTemporary.store(named); }

CUploadFile::~CUploadFile() { Discard(); }

bool CUploadFile::Open(const std::string& finalPath) {
  Discard();
  if (finalPath.empty() || finalPath.back() == '/') return false;

  std::string target = finalPath;
  struct stat st {};
  if (lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // The backup goes where the link points, as a plain create would write
    // through it; the link itself stays.
    char resolved[PATH_MAX];
    if (realpath(target.c_str(), resolved)) target = resolved;
  }
  if (stat(target.c_str(), &st) == 0) {
    // Only a regular file is ever replaced: never a directory or a device
    // such as /dev/null, which a rename would destroy.
    if (!S_ISREG(st.st_mode)) return false;
    if (access(target.c_str(), W_OK) != 0) return false;
  }

  const std::string dir = DirectoryOf(target);
  const mode_t mode = CreationMode();
  // Preferably an unnamed file in the destination's directory: it vanishes by
  // itself however the program ends, and gets a name only at Commit.
  if (!gNamedTemporary.load() && access("/proc/self/fd", X_OK) == 0) {
    fd_ = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd_ >= 0) {
      unnamed_ = true;
      finalPath_ = target;
      return true;
    }
  }
  // File systems without unnamed files (FAT on a memory stick, network
  // shares): a hidden file of a unique name, removed again unless committed.
  std::string buf = dir + "/." + NameOf(target) + ".part-XXXXXX";
  fd_ = mkostemp(buf.data(), O_CLOEXEC);
  if (fd_ < 0) return false;
  fchmod(fd_, mode);
  unnamed_ = false;
  tempPath_ = buf;
  finalPath_ = target;
  return true;
}

bool CUploadFile::Append(const uint8_t* data, int n) {
  if (fd_ < 0) return false;
  int done = 0;
  while (done < n) {
    const ssize_t w = write(fd_, data + done, static_cast<size_t>(n - done));
    if (w > 0) {
      done += static_cast<int>(w);
    } else if (w < 0 && errno == EINTR) {
      continue;
    } else {
      return false;  // a full disk, a file too large, an I/O error
    }
  }
  return true;
}

bool CUploadFile::Commit() {
  if (fd_ < 0) return false;
  // A full disk may show itself only when the data reach the disk.
  if (fsync(fd_) != 0) {
    Discard();
    return false;
  }
  const std::string dir = DirectoryOf(finalPath_);
  if (unnamed_) {
    const std::string procPath = "/proc/self/fd/" + std::to_string(fd_);
    for (int attempt = 0; attempt < 100; ++attempt) {
      const std::string name = TemporaryName(dir, NameOf(finalPath_));
      if (linkat(AT_FDCWD, procPath.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        tempPath_ = name;
        break;
      }
      if (errno != EEXIST) break;
    }
    if (tempPath_.empty()) {
      Discard();
      return false;
    }
    unnamed_ = false;
  }
  const bool closed = close(fd_) == 0;
  fd_ = -1;
  if (!closed || rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
    Discard();
    return false;
  }
  tempPath_.clear();
  SyncDirectory(dir);
  return true;
}

void CUploadFile::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!tempPath_.empty()) unlink(tempPath_.c_str());
  tempPath_.clear();
  finalPath_.clear();
  unnamed_ = false;
}

}  // namespace kelvane
