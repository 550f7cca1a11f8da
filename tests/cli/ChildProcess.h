#pragma once
#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kelvane::test {

// A program run as a child process, its standard output and standard error
// collected as they come, so a test can wait for a line and then act (send
// SIGINT, say) while the program still runs.
class CChildProcess {
 public:
  struct Options {
    std::string cwd;                  // empty: the test's own
    std::vector<std::string> env;     // NAME=value added to (or replacing in) the test's environment
    bool stderrTerminal = false;      // standard error is a pseudo-terminal (80 columns)
    uid_t uid = static_cast<uid_t>(-1);  // run as this user (the test must be root)
  };

  CChildProcess() = default;
  ~CChildProcess();  // kills a child that still runs
  CChildProcess(const CChildProcess&) = delete;
  CChildProcess& operator=(const CChildProcess&) = delete;

  bool Start(const std::string& program, const std::vector<std::string>& args, const Options& options);
  void Signal(int sig);
  // Waits until standard error holds `text`; false when the time runs out or the child has ended without it.
  bool WaitForStderr(const std::string& text, int timeoutMs);
  // Waits for the end: the exit status, 128 + signal for a signal, -1 when
  // the time ran out (the child is then killed).
  int Wait(int timeoutMs);

  std::string Stdout();
  std::string Stderr();
  // Standard error as lines, without their line breaks.
  std::vector<std::string> StderrLines();

 private:
  void Collect();

  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::string out_, err_;
  bool eof_ = false;
};

// Splits text at line breaks; a last line without one still counts.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace kelvane::test
