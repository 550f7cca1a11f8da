// kelvane-cli: the command-line front end. Parses the command line, routes
// Ctrl-C to the runner and returns the runner's exit status.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "CliConsole.h"
#include "CliOptions.h"
#include "CliRunner.h"

namespace {

kelvane::cli::CInterrupt* g_interrupt = nullptr;
volatile sig_atomic_t g_interrupts = 0;

// First Ctrl-C: the runner cancels the transfer. Second: leave at once.
void OnInterrupt(int) {
  if (g_interrupts) {
    const char nl = '\n';
    const ssize_t r = write(STDERR_FILENO, &nl, 1);
    (void)r;
    _exit(kelvane::cli::kExitFailed);
  }
  g_interrupts = 1;
  if (g_interrupt) g_interrupt->Raise();
}

void WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

int TerminalWidth(int fd) {
  winsize ws{};
  return ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kelvane::cli;
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  const ParseResult parsed = ParseCommandLine(args);
  switch (parsed.action) {
    case ParseResult::Help:
      WriteAll(STDOUT_FILENO, HelpText());
      return kExitCompleted;
    case ParseResult::Version:
      WriteAll(STDOUT_FILENO, VersionText());
      return kExitCompleted;
    case ParseResult::UsageError:
      WriteAll(STDERR_FILENO, "kelvane-cli: " + Printable(parsed.error) + "\n");
      return kExitUsage;
    case ParseResult::Run:
      break;
  }

  signal(SIGPIPE, SIG_IGN);
  CInterrupt interrupt;
  g_interrupt = &interrupt;
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  const bool terminal = isatty(STDERR_FILENO) == 1;
  CConsole console([](const std::string& text) { WriteAll(STDERR_FILENO, text); }, terminal,
                   terminal ? TerminalWidth(STDERR_FILENO) : 80);
  const int status = RunTransfer(parsed.options, console, interrupt);
  // The handler may still run until the process ends: it never touches a
  // destroyed pipe.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  g_interrupt = nullptr;
  return status;
}
