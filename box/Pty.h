#pragma once
#include <cstdint>
#include <string>

namespace kelvane::box {

// A pseudo-terminal pair: the program under test opens SlavePath() as its
// serial device; the simulated box holds the master side.
class CPtyPair {
 public:
  CPtyPair() = default;
  ~CPtyPair();
  CPtyPair(const CPtyPair&) = delete;
  CPtyPair& operator=(const CPtyPair&) = delete;

  // Creates the pair with the slave in raw mode at 9600 bit/s; the slave side
  // is kept open here too (so the master never sees a hang-up between the
  // program's connections) unless keepSlaveOpen is false.
  bool Create(bool keepSlaveOpen = true);
  const std::string& SlavePath() const { return slavePath_; }
  int MasterFd() const { return master_; }
  // The speed the program has set on the slave (the master reads it back).
  uint32_t SlaveSpeed() const;
  // Writes all bytes to the master (the program reads them from the slave).
  bool Send(const uint8_t* data, int n);
  // One write that never waits: the count taken (0 when the line's buffer is
  // full), -1 on error.
  int WriteSome(const uint8_t* data, int n);
  // Reads what is queued on the master now (what the program wrote); -1 on error.
  int ReadAvailable(uint8_t* buf, int max);
  // Closes the master: the program's side sees the line go away.
  void HangUp();
  // Drops the box's own hold on the slave, so that a hang-up reaches the program.
  void CloseSlaveHold();

 private:
  int master_ = -1;
  int slaveHold_ = -1;
  std::string slavePath_;
};

}  // namespace kelvane::box
