#include "ChildProcess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

extern char** environ;

namespace kelvane::test {

CChildProcess::~CChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (reader_.joinable()) reader_.join();
}

bool CChildProcess::Start(const std::string& program, const std::vector<std::string>& args, const Options& o) {
  int outPipe[2], errPipe[2] = {-1, -1};
  int ptyMaster = -1, ptySlave = -1;
  if (pipe2(outPipe, O_CLOEXEC) != 0) return false;
  if (o.stderrTerminal) {
    winsize ws{};
    ws.ws_col = 80;
    ws.ws_row = 24;
    if (openpty(&ptyMaster, &ptySlave, nullptr, nullptr, &ws) != 0) return false;
    fcntl(ptyMaster, F_SETFD, FD_CLOEXEC);
    fcntl(ptySlave, F_SETFD, FD_CLOEXEC);
    // Raw, so the bar's "\r" and "\n" arrive as the program wrote them.
    termios tio{};
    tcgetattr(ptySlave, &tio);
    cfmakeraw(&tio);
    tcsetattr(ptySlave, TCSANOW, &tio);
  } else if (pipe2(errPipe, O_CLOEXEC) != 0) {
    return false;
  }

  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const auto& add : o.env)
      replaced |= entry.compare(0, add.find('=') + 1, add, 0, add.find('=') + 1) == 0;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& add : o.env) env.push_back(add);
  std::vector<char*> envp, argv;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string prog = program;
  std::vector<std::string> argsCopy = args;
  argv.push_back(prog.data());
  for (auto& a : argsCopy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int errWrite = o.stderrTerminal ? ptySlave : errPipe[1];

  pid_ = fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(outPipe[1], 1);
    dup2(errWrite, 2);
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(126);
    if (o.uid != static_cast<uid_t>(-1)) {
      if (setgroups(0, nullptr) != 0 || setgid(o.uid) != 0 || setuid(o.uid) != 0) _exit(126);
    }
    // The test's own handlers and mask do not belong to the program.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_DFL);
    signal(SIGPIPE, SIG_DFL);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  outFd_ = outPipe[0];
  if (o.stderrTerminal) {
    close(ptySlave);
    errFd_ = ptyMaster;
  } else {
    close(errPipe[1]);
    errFd_ = errPipe[0];
  }
  reader_ = std::thread([this] { Collect(); });
  return true;
}

void CChildProcess::Collect() {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, 1000) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {  // end of the pipe, or EIO once the pseudo-terminal's last writer has gone
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      std::lock_guard<std::mutex> lock(mu_);
      (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
      cv_.notify_all();
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  eof_ = true;
  cv_.notify_all();
}

void CChildProcess::Signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

bool CChildProcess::WaitForStderr(const std::string& text, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return err_.find(text) != std::string::npos || eof_; }) &&
         err_.find(text) != std::string::npos;
}

int CChildProcess::Wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) break;
    if (std::chrono::steady_clock::now() > end) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      if (reader_.joinable()) reader_.join();
      return -1;
    }
    usleep(5000);
  }
  pid_ = -1;
  if (reader_.joinable()) reader_.join();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string CChildProcess::Stdout() {
  std::lock_guard<std::mutex> lock(mu_);
  return out_;
}

std::string CChildProcess::Stderr() {
  std::lock_guard<std::mutex> lock(mu_);
  return err_;
}

std::vector<std::string> CChildProcess::StderrLines() { return SplitLines(Stderr()); }

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < text.size()) {
    const size_t nl = text.find('\n', begin);
    if (nl == std::string::npos) {
      lines.push_back(text.substr(begin));
      break;
    }
    lines.push_back(text.substr(begin, nl - begin));
    begin = nl + 1;
  }
  return lines;
}

}  // namespace kelvane::test
