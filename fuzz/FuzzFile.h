#pragma once
// Writes fuzz inputs to real files, since the code under test opens files by path.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace kelvane::fuzz {

// Kept for the whole process (never destroyed), so the exit handler below can use them.
inline std::set<std::string>& WrittenFiles() {
  static auto* files = new std::set<std::string>;
  return *files;
}

// One private folder per process, in memory where the system has one.
inline const std::string& FuzzDir() {
  static const std::string* dir = new std::string([] {
    // tools/fuzz.sh names a folder it removes afterwards, also after a crash.
    const char* base = getenv("KELVANE_FUZZ_TMP");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kelvane-fuzz-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) abort();
    // Leave nothing behind when the run ends.
    atexit([] {
      for (const std::string& f : WrittenFiles()) unlink(f.c_str());
      rmdir(FuzzDir().c_str());
    });
    return tmpl;
  }());
  return *dir;
}

// Writes `data` at offset 0 of a file of `size` bytes (zero-filled, sparse
// beyond the data), and the last `tailLen` bytes of `data` at each tail offset.
inline std::string WriteFile(const std::string& name, const uint8_t* data, size_t n, uint64_t size,
                             const uint64_t* tails = nullptr, int tailCount = 0, size_t tailLen = 0) {
  const std::string path = FuzzDir() + "/" + name;
  WrittenFiles().insert(path);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) abort();
  if (n > 0 && pwrite(fd, data, n, 0) != static_cast<ssize_t>(n)) abort();
  if (tailLen > n) tailLen = n;
  for (int i = 0; i < tailCount; ++i)
    if (tailLen > 0 && pwrite(fd, data + n - tailLen, tailLen, static_cast<off_t>(tails[i])) < 0) abort();
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) abort();
  close(fd);
  return path;
}

}  // namespace kelvane::fuzz
