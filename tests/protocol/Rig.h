#pragma once
// A program-side link, a window stand-in and a simulated box on one
// pseudo-terminal, for the receiver and sender tests.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/RecordingOwner.h"
#include "box/Box.h"
#include "protocol/Protocol.h"
#include "serial/SerialLink.h"

namespace kelvane::test {

using Bytes = std::vector<uint8_t>;

// Every byte and speed switch on the program's side, in order, with the time.
class CTraceLog : public ILineTrace {
 public:
  struct Entry {
    bool tx;
    Bytes bytes;   // empty for a speed switch
    uint32_t baud;  // the switch's speed
    std::chrono::steady_clock::time_point at;
  };
  void OnLineBytes(bool transmitted, const uint8_t* data, int n) override {
    std::lock_guard<std::mutex> lock(mu_);
    entries_.push_back({transmitted, Bytes(data, data + n), 0, std::chrono::steady_clock::now()});
  }
  void OnLineSpeed(uint32_t baud) override {
    std::lock_guard<std::mutex> lock(mu_);
    entries_.push_back({true, {}, baud, std::chrono::steady_clock::now()});
  }
  std::vector<Entry> Entries() {
    std::lock_guard<std::mutex> lock(mu_);
    return entries_;
  }
  // Every transmitted write, one entry per Write call.
  std::vector<Bytes> Writes() {
    std::vector<Bytes> out;
    for (auto& e : Entries())
      if (e.tx && !e.bytes.empty()) out.push_back(e.bytes);
    return out;
  }

 private:
  std::mutex mu_;
  std::vector<Entry> entries_;
};

// A scratch directory, removed with its files at the end of the test.
class CScratch {
 public:
  CScratch() {
    char tmpl[] = "/tmp/kelvane-proto-XXXXXX";
    dir_ = mkdtemp(tmpl) ? tmpl : "/tmp";
  }
  ~CScratch() {
    for (auto& f : files_) std::remove(f.c_str());
    rmdir(dir_.c_str());
  }
  std::string Write(const std::string& name, const Bytes& content) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                static_cast<std::streamsize>(content.size()));
    files_.push_back(path);
    return path;
  }
  std::string Missing() const { return dir_ + "/no-such-file.bin"; }

 private:
  std::string dir_;
  std::vector<std::string> files_;
};

// Bytes that depend on their offset so that a misplaced block shows.
inline Bytes Pattern(size_t n, uint8_t seed = 1) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + i / 251 + seed) & 0xFF);
  return b;
}

// A Program Only image of n bytes (n >= 12): its area byte (0x4n, at n - 11)
// is what the long forms of the check look for.
inline Bytes ProgramImage(size_t n, uint8_t area = 0x45) {
  Bytes b = Pattern(n);
  b[n - 11] = area;
  return b;
}

inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline std::string Hex(const Bytes& b) {
  std::string s;
  char buf[4];
  for (uint8_t x : b) {
    snprintf(buf, sizeof buf, "%02X ", x);
    s += buf;
  }
  return s;
}

// Owns the box before the window and the window before the link, so that the
// link (and its threads) go first and the box's line last.
struct CRig {
  explicit CRig(box::BoxConfig cfg) : box(std::move(cfg)) {}
  ~CRig() {
    link.Close();
    link.WaitForThreads();
  }

  // Starts the box and connects.
  void Connect() {
    ASSERT_TRUE(box.Start());
    link.SetDevicePath(box.SlavePath());
    link.SetOwner(&owner);
    link.SetTrace(&trace);
    ASSERT_EQ(link.Open(), 1);
  }
  // The window's settings before the box announces itself.
  void Select(int kind, int direction, int speed, const std::string& path = {}) {
    owner.SetKind(kind);
    owner.SetDirection(direction);
    owner.SetSpeed(speed);
    if (!path.empty()) owner.SetPath(path);
  }
  // What the program sent, waiting for at least `count` bytes, then for a
  // short quiet spell to catch anything extra.
  Bytes Sent(size_t count, int quietMs = 60) {
    if (count > 0) box.WaitReceived(count, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(quietMs));
    return box.ReceivedBytes();
  }
  // Waits until both worker threads have ended after the link closed.
  bool WaitClosed(int timeoutMs = 5000) { return WaitUntil([&] { return !link.IsOpen(); }, timeoutMs); }
  std::vector<std::string> Texts() { return owner.MessageTexts(); }

  box::CBox box;
  CRecordingOwner owner;
  CTraceLog trace;
  CSerialLink link;
};

inline box::BoxConfig Scripted(std::initializer_list<uint8_t> sig = {0x03, 0x04, 0x30}) {
  box::BoxConfig c;
  c.loader = false;
  std::copy(sig.begin(), sig.end(), c.signature);
  return c;
}

}  // namespace kelvane::test
