#pragma once
#include <cstdint>
#include <string>

namespace kelvane {

// A file opened for reading, as the checks and the sender use it: its length,
// a seek to an absolute offset, and reads that return fewer bytes at the end.
// Every operation reports an I/O error instead of hiding it.
class CImageFile {
 public:
  CImageFile() = default;
  ~CImageFile();
  CImageFile(const CImageFile&) = delete;
  CImageFile& operator=(const CImageFile&) = delete;

  // Opens a regular file for reading (a folder or a device does not open).
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  // Length in bytes, leaving the position alone; -1 on an error.
  int64_t Length() const;
  // Seeks to an absolute offset from the start; false on an error.
  bool Seek(uint64_t offset);
  // Reads up to n bytes at the current position: the count (0 at the end), -1 on an error.
  int Read(uint8_t* buf, int n);

 private:
  int fd_ = -1;
};

}  // namespace kelvane
