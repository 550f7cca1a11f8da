#pragma once
#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "protocol/Protocol.h"

namespace kelvane::test {

using Bytes = std::vector<uint8_t>;

// Runs a test in a fresh directory of its own: an Upload writes to the
// current directory.
class CScratchDir {
 public:
  CScratchDir() {
    char templ[] = "/tmp/kelvane-upload-XXXXXX";
    if (mkdtemp(templ)) path_ = templ;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd)) previous_ = cwd;
    if (!path_.empty()) ok_ = chdir(path_.c_str()) == 0;
  }
  ~CScratchDir() {
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) {}
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  bool Ok() const { return ok_; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_, previous_;
  bool ok_ = false;
};

// Every name in a directory, hidden ones included.
inline std::set<std::string> Entries(const std::string& dir = ".") {
  std::set<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    closedir(d);
  }
  return names;
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(std::filesystem::symlink_status(path)); }

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// An area of the box: bytes that differ from block to block, so a block
// stored twice, dropped or out of order shows in the file.
inline Bytes Area(size_t size, uint32_t seed = 1) {
  Bytes out(size);
  uint32_t x = seed * 2654435761u + 12345u;
  for (auto& b : out) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

// Block i of an area as the box sends it (LinkMode 0x30/0x40): up to 2048
// data bytes, then their sum in 4 bytes, most significant first.
inline Bytes BlockOf(const Bytes& area, size_t i) {
  const size_t from = i * kBlockSize, to = std::min(area.size(), from + kBlockSize);
  Bytes out(area.begin() + static_cast<long>(from), area.begin() + static_cast<long>(to));
  const uint32_t sum = ByteSum(out.data(), static_cast<int>(out.size()));
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(sum >> shift));
  return out;
}

inline size_t BlockCount(size_t size) { return (size + kBlockSize - 1) / kBlockSize; }

// Packet i of an area as the box sends it (LinkMode 0x20): 3 length bytes,
// least significant first, then the data.
inline Bytes PacketOf(const Bytes& area, size_t i, size_t packetSize = kBlockSize) {
  const size_t from = i * packetSize, to = std::min(area.size(), from + packetSize);
  const size_t len = to - from;
  Bytes out{static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len >> 16)};
  out.insert(out.end(), area.begin() + static_cast<long>(from), area.begin() + static_cast<long>(to));
  return out;
}

// The PC's answer to a packet: the low 24 bits of its sum, least significant first.
inline Bytes PacketSumOf(const Bytes& packet) {
  const uint32_t sum = ByteSum(packet.data() + 3, static_cast<int>(packet.size()) - 3);
  return {static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum >> 16)};
}

// A disk that fills up: no file of this process grows past `bytes` while it
// lives (writes beyond fail with EFBIG instead of raising SIGXFSZ).
class CFileSizeLimit {
 public:
  explicit CFileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit lim = old_;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~CFileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit old_{};
  sighandler_t oldHandler_{};
};

}  // namespace kelvane::test
