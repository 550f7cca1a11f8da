#pragma once
#include <cstdint>
#include <string>

#include "CliConsole.h"
#include "CliOptions.h"
#include "serial/SerialDevice.h"

namespace kelvane::cli {

// Ctrl-C for the runner: a self-pipe that a signal handler may write to.
class CInterrupt {
 public:
  CInterrupt();
  ~CInterrupt();
  CInterrupt(const CInterrupt&) = delete;
  CInterrupt& operator=(const CInterrupt&) = delete;

  int Fd() const { return fds_[0]; }
  // Safe in a signal handler.
  void Raise();
  // True if Raise was called since the last Take.
  bool Take();

 private:
  int fds_[2] = {-1, -1};
};

// How the run ended, as the exit status sees it.
struct Outcome {
  bool completed = false;    // "Upgrade Complete" / "Data Upload Complete" was shown
  bool errorShown = false;   // an error message, of the threads or of the front end
  bool interrupted = false;  // Ctrl-C
  bool waitExpired = false;  // --wait ran out before a signature was accepted
};
int DecideExitStatus(const Outcome& o);

// Limits of the front end's own watchdog, in milliseconds.
struct RunLimits {
  uint32_t watchdogMarginMs = 10000;  // added to the threads' own silence limit
  uint32_t stallGraceMs = 2000;       // an error that leaves the link open this long has stalled it
  uint32_t closeAfterCancelMs = 3000; // a Cancel that has not closed the link by then: Close
};

// Opens the link, runs one Download or Upload with the very same worker
// threads as the window, and returns the exit status. Everything it says goes
// to `console`. `options` come from ParseCommandLine.
int RunTransfer(const CliOptions& options, CConsole& console, CInterrupt& interrupt,
                const RunLimits& limits = RunLimits());

}  // namespace kelvane::cli
