#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "serial/Event.h"

namespace kelvane {

// Why a device did not open, in terms an operator can act on.
enum class OpenFailure { None, NotFound, Permission, Busy, NotATerminal, Settings, Other };

// One open terminal device in raw 8N1 mode. Read never waits; Write returns
// when the bytes have left the machine (write, then tcdrain). Shutdown may be
// called from another thread while Read or Write runs: it makes every later
// call fail, aborts a write that is still running and releases the device at
// once, but keeps the descriptor number reserved (pointing at /dev/null) until
// this object is destroyed, so no later open() can be handed the same number
// while a worker still holds it.
class CSerialDevice {
 public:
  CSerialDevice() = default;
  ~CSerialDevice();
  CSerialDevice(const CSerialDevice&) = delete;
  CSerialDevice& operator=(const CSerialDevice&) = delete;

  // Opens exclusively (advisory lock and TIOCEXCL), non-blocking, raw 8N1,
  // CLOCAL|CREAD, no flow control, DTR and RTS dropped, at 9600 bit/s, both
  // queues discarded. On failure returns false and fills failure/reason.
  bool Open(const std::string& path, OpenFailure* failure, std::string* reason);

  // Applies the speed after the output has drained (TCSADRAIN). Speeds
  // outside the usual table are refused. Returns true on success.
  bool SetSpeed(uint32_t baud);
  // The speed the device is set to now, read back from the driver (0 if unknown).
  uint32_t Speed() const;

  // Bytes queued for reading, or -1 if the line has gone (the driver refuses
  // to answer, as it does for a hung-up pseudo-terminal or a pulled adapter).
  int Queued() const;
  // Takes at most max already-queued bytes: the count taken, 0, or -1.
  int Read(uint8_t* buf, int max);
  // Writes all bytes and waits until they are on the wire. Returns the count
  // written (fewer than asked, or 0, when the device failed or was shut down).
  int Write(const uint8_t* buf, int n);

  void DiscardInput();
  void Shutdown();
  bool IsShutDown() const { return shut_.load(std::memory_order_acquire); }
  // Descriptor to poll for input; -1 once shut down.
  int InputFd() const { return IsShutDown() ? -1 : fd_; }

 private:
  int fd_ = -1;
  std::atomic<bool> shut_{false};
  std::atomic<int> writers_{0};
  CEvent abort_;
};

// Maps a bit rate of the speed table to its termios constant; 0 if not in it.
unsigned BaudConstant(uint32_t baud);
// Maps a termios speed constant back to its bit rate; 0 if not in the table.
uint32_t BaudFromConstant(unsigned speedConstant);

}  // namespace kelvane
