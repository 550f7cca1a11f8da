#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>

#include "box/Pty.h"
#include "protocol/ReceiverState.h"
#include "serial/SerialLink.h"
#include "serial/Tick.h"
#include "support/RecordingOwner.h"
#include "UploadTestSupport.h"

namespace kelvane::test {

// The box's size record for an area of `size` bytes.
inline Bytes SizeRecord(uint8_t mode, uint32_t size) {
  if (mode == 0x20) return {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size >> 16)};
  Bytes r{kLetterRequest, kLetterUpload};
  if (mode == 0x40) r.push_back(0x00);
  r.insert(r.end(), {0x4F, 0xFF, 0xFF, 0xFF});
  for (int shift = 24; shift >= 0; shift -= 8) r.push_back(static_cast<uint8_t>(size >> shift));
  r.insert(r.end(), {0xFF, 0xFF});
  return r;
}

// A receiver on a real connection, its handlers driven by the test: the test
// plays the box, handing chunks to the receiver and reading its answers from
// the other side of a pseudo-terminal. No worker thread runs.
class UploadOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.Ok());
    ASSERT_TRUE(pty.Create());
    // A second hold on the line, opened before the link takes it exclusively:
    // a marker written through it shows where the receiver's answers end.
    markerFd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(markerFd, 0);
    owner.SetDirection(1);
    owner.SetKind(kProgramOnly);
    owner.SetSpeed(4);
    owner.SetStatus("Program.Dat");
    owner.SetPath("/images/firmware.bin");
    link.SetOwner(&owner);
    link.SetWorkerProcs(nullptr, nullptr);
    link.SetDevicePath(pty.SlavePath());
    ASSERT_EQ(link.Open(), 1);
    rx = std::make_unique<CReceiver>(link.Session());
  }
  void TearDown() override {
    rx.reset();
    link.Close();
    if (markerFd >= 0) close(markerFd);
  }

  // The state the receiver is in once the UploadRequest has gone out.
  void Start(uint8_t mode) {
    link.linkMode.store(mode);
    link.dwRxTimeout.store(5000);
    rx->rxState = RxAwaitSize;
    rx->ResetUploadCounters();
  }

  // Hands the bytes to the receiver in reads of at most `chunk` bytes.
  void Feed(const Bytes& bytes, size_t chunk = 1024) {
    for (size_t pos = 0; pos < bytes.size(); pos += chunk) {
      const size_t n = std::min(chunk, bytes.size() - pos);
      rx->OnChunk(bytes.data() + pos, static_cast<int>(n));
    }
  }

  // Everything the receiver has written since the last call.
  Bytes Replies() {
    static const uint8_t kMarker[] = {0xA5, 0x5A, 0xC3, 0x3C, 0x96, 0x69};
    const size_t m = sizeof kMarker;
    if (write(markerFd, kMarker, m) != static_cast<ssize_t>(m)) {
      ADD_FAILURE() << "marker not written";
      return {};
    }
    Bytes got;
    uint8_t buf[4096];
    for (int i = 0; i < 3000; ++i) {
      const int r = pty.ReadAvailable(buf, sizeof buf);
      if (r > 0) got.insert(got.end(), buf, buf + r);
      if (got.size() >= m && std::equal(kMarker, kMarker + m, got.end() - static_cast<long>(m))) {
        got.resize(got.size() - m);
        return got;
      }
      if (r <= 0) SleepMs(1);
    }
    ADD_FAILURE() << "the marker never came back";
    return got;
  }

  CScratchDir dir;
  box::CPtyPair pty;
  int markerFd = -1;
  CRecordingOwner owner;
  CSerialLink link;
  std::unique_ptr<CReceiver> rx;
};

}  // namespace kelvane::test
