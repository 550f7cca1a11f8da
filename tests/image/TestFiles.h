#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "protocol/Owner.h"

namespace kelvane::test {

using Bytes = std::vector<uint8_t>;

// Bytes placed at an offset of an otherwise zero-filled file.
struct Patch {
  uint64_t offset;
  Bytes bytes;
};

// A private folder for one test, removed with everything in it afterwards.
class CTempDir {
 public:
  CTempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kelvane-image-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    dir_ = tmpl;
  }
  ~CTempDir() {
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  const std::filesystem::path& Path() const { return dir_; }

  // A file of `size` bytes, zero except for the patches (sparse where it can be).
  std::string Make(const std::string& name, uint64_t size, const std::vector<Patch>& patches = {}) {
    const std::string path = (dir_ / name).string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0) return path;
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    for (const Patch& p : patches)
      EXPECT_EQ(::pwrite(fd, p.bytes.data(), p.bytes.size(), static_cast<off_t>(p.offset)),
                static_cast<ssize_t>(p.bytes.size()));
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);  // a patch past the end is cut off
    ::close(fd);
    return path;
  }
  std::string Write(const std::string& name, const Bytes& content) {
    return Make(name, content.size(), {{0, content}});
  }

 private:
  std::filesystem::path dir_;
};

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Records message boxes in the order they are shown.
struct CMessageLog {
  std::vector<std::pair<std::string, MsgIcon>> shown;
  auto Fn() {
    return [this](const std::string& text, MsgIcon icon) { shown.emplace_back(text, icon); };
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (auto& m : shown) out.push_back(m.first);
    return out;
  }
};

}  // namespace kelvane::test
