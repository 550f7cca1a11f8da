// The kelvane-box program, run as an operator or a script would run it.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BoxTestSupport.h"

extern char** environ;

namespace kelvane::box::test {
namespace {

// One run of the program with its standard output on a pipe.
class CBoxProcess {
 public:
  explicit CBoxProcess(std::vector<std::string> args) {
    args.insert(args.begin(), KELVANE_BOX_EXE);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (posix_spawn(&pid_, KELVANE_BOX_EXE, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
  }
  ~CBoxProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  // The next line of standard output, or "" after timeoutMs.
  std::string Line(int timeoutMs = 3000) {
    std::string line;
    const uint32_t t0 = GetTickMs();
    while (GetTickMs() - t0 < static_cast<uint32_t>(timeoutMs)) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char c;
      if (read(out_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return "";
  }
  // Everything up to the end of standard output.
  std::string Rest(int timeoutMs = 3000) {
    std::string text;
    const uint32_t t0 = GetTickMs();
    while (GetTickMs() - t0 < static_cast<uint32_t>(timeoutMs)) {
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buf[512];
      const ssize_t n = read(out_, buf, sizeof buf);
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
    return text;
  }
  // The exit status, or -1 if the program is still running after timeoutMs.
  int Wait(int timeoutMs) {
    const uint32_t t0 = GetTickMs();
    for (;;) {
      int status = 0;
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (GetTickMs() - t0 > static_cast<uint32_t>(timeoutMs)) return -1;
      SleepMs(10);
    }
  }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "kelvane-box-" + std::to_string(getpid()) + "-" + name;
}

bool IsLink(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

TEST(BoxProgram, HelpDocumentsTheOptionsAndUsageErrorsAreRefused) {
  {
    CBoxProcess help({"--help"});
    const std::string text = help.Rest();
    EXPECT_EQ(help.Wait(3000), 0);
    for (const char* option : {"--signature", "--mode", "--noise", "--repeat", "--area", "--area-file",
                               "--flash-out", "--pace", "--fault", "--once", "--transfers", "--link"})
      EXPECT_NE(text.find(option), std::string::npos) << option;
  }
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--mode", "50"}, {"--signature", "0304"}, {"--fault", "nak:block=x"}, {"--repeat"}, {"--bogus", "1"}}) {
    CBoxProcess p(bad);
    EXPECT_EQ(p.Wait(3000), 2) << bad[0];
  }
}

TEST(BoxProgram, ServesOneDownloadThroughItsLinkAndWritesTheFlash) {
  const std::string link = TempPath("line");
  const std::string flash = TempPath("flash.bin");
  unlink(flash.c_str());
  CBoxProcess box({"--once", "--repeat", "50", "--flash-ms", "50", "--link", link, "--flash-out", flash});
  const std::string slave = box.Line();
  ASSERT_FALSE(slave.empty());
  ASSERT_TRUE(IsLink(link));
  CTestPc pc;
  ASSERT_TRUE(pc.Open(link));
  // The box keeps announcing until the request's first letter arrives.
  std::vector<uint8_t> seen;
  for (int i = 0; i < 100 && (seen.size() < 3 || seen[seen.size() - 3] != 0x03); ++i) {
    const auto b = pc.Take(1, 500);
    seen.insert(seen.end(), b.begin(), b.end());
  }
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(std::vector<uint8_t>(seen.end() - 3, seen.end()), (std::vector<uint8_t>{0x03, 0x04, 0x30}));
  pc.Put({kLetterRequest});
  pc.Drain(120);  // an announcement that was already on its way
  const auto file = Pattern(100);
  std::vector<uint8_t> rest{kLetterDownload, 0x4F, 0x00, 0x00, 0x00};
  AppendBe32(rest, 100);
  rest.insert(rest.end(), {0x00, 0x04});
  pc.Put(rest);
  SleepMs(30);
  pc.Speed(4);
  EXPECT_EQ(pc.Take(1), std::vector<uint8_t>{kLetterAccept});
  std::vector<uint8_t> block = file;
  AppendBe32(block, ByteSum(file.data(), 100));
  pc.Put(block);
  EXPECT_EQ(pc.Take(2), (std::vector<uint8_t>{kLetterGood, kClosingReply}));
  EXPECT_EQ(box.Wait(3000), 0);
  std::ifstream in(flash, std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), file);
  EXPECT_FALSE(IsLink(link));
  unlink(flash.c_str());
}

TEST(BoxProgram, EndsCleanlyOnATerminationSignal) {
  for (int sig : {SIGTERM, SIGINT}) {
    const std::string link = TempPath("sig-line");
    CBoxProcess box({"--repeat", "20", "--link", link});
    ASSERT_FALSE(box.Line().empty());
    ASSERT_TRUE(IsLink(link));
    SleepMs(50);
    ASSERT_EQ(kill(box.Pid(), sig), 0);
    EXPECT_EQ(box.Wait(3000), 0) << sig;
    EXPECT_FALSE(IsLink(link));
  }
}

}  // namespace
}  // namespace kelvane::box::test
