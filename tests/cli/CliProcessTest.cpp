// kelvane-cli as a process against the simulated box on a pseudo-terminal:
// exit statuses, stderr lines, and what reached the box or the disk.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "box/Box.h"

namespace kelvane {
namespace {

using box::BoxConfig;
using box::BoxFault;
using box::BoxFaultKind;
using box::BoxPhase;
using box::BoxResult;
using box::CBox;
using test::CChildProcess;
using Clock = std::chrono::steady_clock;

const char* const kCli = KELVANE_CLI_PATH;

std::vector<uint8_t> RandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// A program image every LinkMode takes: its area byte (11 bytes before the
// end) names the program area.
std::vector<uint8_t> ProgramImage(size_t n, unsigned seed) {
  auto v = RandomBytes(n, seed);
  v[n - 11] = 0x45;
  return v;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), static_cast<long>(data.size()));
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// The summary line of a completed transfer of n bytes.
std::string SummaryPattern(size_t n) { return std::to_string(n) + R"( bytes in \d+\.\d\d s, \d+ bytes/s)"; }

std::string Quote(const std::string& text) {
  static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
  return std::regex_replace(text, special, R"(\$&)");
}

// Every line matches its pattern, in order, and there are no others.
void ExpectLines(const std::vector<std::string>& lines, const std::vector<std::string>& patterns) {
  std::string all;
  for (auto& l : lines) all += "  [" + l + "]\n";
  ASSERT_EQ(lines.size(), patterns.size()) << all;
  for (size_t i = 0; i < lines.size(); ++i)
    EXPECT_TRUE(std::regex_match(lines[i], std::regex(patterns[i]))) << "line " << i << " [" << lines[i]
                                                                      << "] vs /" << patterns[i] << "/\n" << all;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& pattern) {
  for (auto& l : lines)
    if (std::regex_match(l, std::regex(pattern))) return true;
  return false;
}

class CliProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelvane-cli-proc-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    chmod(dir_.c_str(), 0755);  // the runs as an ordinary user read here
    program_ = ProgramImage(5000, 1);
    WriteFile(Path("program.bin"), program_);
    // A key-data block: its size alone makes it KeyData.
    key_ = RandomBytes(0x4000, 2);
    key_[0] = 0x82, key_[1] = 0x02;
    WriteFile(Path("key.bin"), key_);
    area_ = RandomBytes(10000, 3);
    mkdir(Path("sub").c_str(), 0755);
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // A box that keeps announcing itself until the program's request, so it
  // does not matter when kelvane-cli gets round to opening the port.
  static BoxConfig Box(uint8_t mode, uint8_t m1 = 0x03, uint8_t m2 = 0x04) {
    BoxConfig c;
    c.signature[0] = m1, c.signature[1] = m2, c.signature[2] = mode;
    c.repeatMs = 100;
    c.flashWriteMs = 50;
    return c;
  }

  // Starts kelvane-cli with the arguments, in the scratch directory.
  void Start(CChildProcess& child, const std::vector<std::string>& args, CChildProcess::Options o = {}) {
    if (o.cwd.empty()) o.cwd = dir_;
    ASSERT_TRUE(child.Start(kCli, args, o));
  }

  // Runs kelvane-cli to its end; the exit status.
  int Run(CChildProcess& child, const std::vector<std::string>& args, CChildProcess::Options o = {},
          int timeoutMs = 20000) {
    Start(child, args, o);
    return child.Wait(timeoutMs);
  }

  std::string dir_;
  std::vector<uint8_t> program_, key_, area_;
};

TEST_F(CliProcess, DownloadsInEachLinkMode) {
  struct Case {
    const char* name;
    uint8_t mode, m1, m2;
    std::string file;
    std::vector<std::string> extra;
    int linkMode;
    uint8_t channelByte;
    int baudIndex;
    bool keyData;
  } cases[] = {
      {"0x30, defaults", 0x30, 0x03, 0x04, "program.bin", {}, 0x30, 0x00, 4, false},
      {"0x40, keep channels, 57600", 0x40, 0x20, 0x10, "program.bin", {"--keep-channels", "-s", "57600"}, 0x40, 0x01, 3,
       false},
      {"0x20, 38400", 0x20, 0x20, 0x10, "program.bin", {"--speed=38400"}, 0x20, 0x00, 2, false},
      // The kind comes from the file: 16 KiB with the key mark is KeyData, sent with 'I'.
      {"0x20 (F2), key data by its size", 0xF2, 0x03, 0x04, "key.bin", {}, 0x20, 0x00, 4, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CBox box(Box(c.mode, c.m1, c.m2));
    ASSERT_TRUE(box.Start());
    std::vector<std::string> args = {"-q", "-p", box.SlavePath(), c.file};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    CChildProcess cli;
    EXPECT_EQ(Run(cli, args), 0);
    const auto& sent = c.file == "key.bin" ? key_ : program_;
    ExpectLines(cli.StderrLines(), {"Upgrade Complete", SummaryPattern(sent.size())});
    EXPECT_EQ(cli.Stdout(), "");
    ASSERT_EQ(box.WaitOutcome(5000), BoxResult::kDone);
    const auto t = box.Transfers().at(0);
    EXPECT_EQ(t.linkMode, c.linkMode);
    EXPECT_EQ(t.channelByte, c.channelByte);
    EXPECT_EQ(t.baudIndex, c.baudIndex);
    EXPECT_EQ(t.keyData, c.keyData);
    EXPECT_EQ(box.Flash(), sent);
  }
}

TEST_F(CliProcess, UploadsInEachLinkMode) {
  // An earlier file of the default name is replaced only by a complete upload.
  WriteFile(Path("Data.Dat"), {'o', 'l', 'd'});
  struct Case {
    const char* name;
    uint8_t mode;
    std::vector<std::string> args;
    uint8_t area;
    std::string output;
  } cases[] = {
      {"0x30, default name", 0x30, {"-u", "-k", "data"}, 0x2F, "Data.Dat"},
      {"0x40, -o into a subdirectory", 0x40, {"--upload", "--kind=boot", "-o", "sub/boot.img"}, 0x1F, "sub/boot.img"},
      {"0x20, key data", 0x20, {"-u", "-k", "keydata", "-s", "19200", "--output", "key.out"}, 0x20, "key.out"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BoxConfig cfg = Box(c.mode);
    cfg.areas[c.area] = area_;
    cfg.anyArea = area_;  // LinkMode 0x20 names no area
    CBox box(cfg);
    ASSERT_TRUE(box.Start());
    std::vector<std::string> args = {"-q", "-p", box.SlavePath()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CChildProcess cli;
    EXPECT_EQ(Run(cli, args), 0);
    ExpectLines(cli.StderrLines(), {"Data Upload Complete", SummaryPattern(area_.size())});
    EXPECT_EQ(ReadFile(Path(c.output)), area_);
    ASSERT_EQ(box.WaitOutcome(5000), BoxResult::kDone);
    EXPECT_EQ(box.Transfers().at(0).linkMode, c.mode);
  }
}

TEST_F(CliProcess, FailuresEndWithTheirMessagesAndStatusOne) {
  WriteFile(Path("Data.Dat"), {'o', 'l', 'd'});
  struct Case {
    const char* name;
    uint8_t mode;
    std::vector<std::string> args;
    BoxFault fault;
    std::vector<std::string> required;  // these lines, in this order, among the output
    int maxMs;                          // the run ends this soon: nothing waits for an operator
  };
  auto fault = [](BoxFaultKind k, int block = 1, std::string text = "") {
    BoxFault f;
    f.kind = k;
    f.block = block;
    f.bytes.assign(text.begin(), text.end());
    return f;
  };
  const Case cases[] = {
      {"refusal", 0x30, {"program.bin"}, fault(BoxFaultKind::kRefuse, 1, "V1.2"),
       {"error: Version mismatch ", "V1\\.2"}, 5000},
      // A loader that takes pictures announces 0x32.
      {"refusal of a picture", 0x32, {"-k", "still", "program.bin"}, fault(BoxFaultKind::kRefuse),
       {"error: Image size over"}, 5000},
      {"block refused", 0x30, {"program.bin"}, fault(BoxFaultKind::kNak, 2), {"error: Upgrade Error"}, 5000},
      // The box goes on after a failed flash write, but the run is no success.
      {"flash write error", 0x40, {"program.bin"}, fault(BoxFaultKind::kFlashError, 1),
       {"error: Flash Write Error", "Upgrade Complete"}, 5000},
      // The window would wait for Cancel after these two; the front end cancels.
      {"packet sum differs", 0x20, {"program.bin"}, fault(BoxFaultKind::kWrongSum, 2),
       {Quote("error: CheckSum Error.")}, 4000},
      {"packet refused in an upload", 0x20, {"-u", "-k", "data", "-o", "packets.out"},
       fault(BoxFaultKind::kVerdictN, 2), {Quote("error: Error Packet!!!")}, 4000},
      {"block sum differs in an upload", 0x30, {"-u", "-k", "data"}, fault(BoxFaultKind::kBadBlockSum, 2),
       {"error: CheckSum Error"}, 5000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BoxConfig cfg = Box(c.mode);
    cfg.anyArea = area_;
    if (!c.fault.bytes.empty()) cfg.refuseText.assign(c.fault.bytes.begin(), c.fault.bytes.end());
    cfg.faults.push_back(c.fault);
    CBox box(cfg);
    ASSERT_TRUE(box.Start());
    std::vector<std::string> args = {"-q", "-p", box.SlavePath()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CChildProcess cli;
    const auto t0 = Clock::now();
    EXPECT_EQ(Run(cli, args), 1);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(c.maxMs));
    const auto lines = cli.StderrLines();
    std::string all;
    for (auto& l : lines) all += "  [" + l + "]\n";
    size_t at = 0;
    for (const auto& want : c.required) {
      while (at < lines.size() && !std::regex_match(lines[at], std::regex(want))) ++at;
      EXPECT_LT(at, lines.size()) << "missing /" << want << "/ in\n" << all;
    }
    EXPECT_FALSE(HasLine(lines, R"(\d+ bytes in .*)")) << "no summary after a failure\n" << all;
    EXPECT_FALSE(HasLine(lines, "Data Upload Complete")) << all;
  }
  // Failed uploads left the earlier file alone and created no new one.
  EXPECT_EQ(ReadFile(Path("Data.Dat")), (std::vector<uint8_t>{'o', 'l', 'd'}));
  EXPECT_FALSE(Exists(Path("packets.out")));
}

// The one test that lives through the receiver's real 5-second limit.
TEST_F(CliProcess, SilentBoxTimesOut) {
  BoxConfig cfg = Box(0x30);
  BoxFault f;
  f.kind = BoxFaultKind::kSilence;
  f.phase = BoxPhase::kRequest;
  cfg.faults.push_back(f);
  CBox box(cfg);
  ASSERT_TRUE(box.Start());
  CChildProcess cli;
  EXPECT_EQ(Run(cli, {"-q", "-p", box.SlavePath(), "program.bin"}), 1);
  ExpectLines(cli.StderrLines(), {"error: Time Out Error"});
}

TEST_F(CliProcess, WaitGivesUpOnlyBeforeTheBoxIsAccepted) {
  // A loader that takes channel lists only: its signature is ignored for a program image.
  {
    CBox box(Box(0x31));
    ASSERT_TRUE(box.Start());
    CChildProcess cli;
    const auto t0 = Clock::now();
    EXPECT_EQ(Run(cli, {"-q", "-w", "0.5", "-p", box.SlavePath(), "program.bin"}), 4);
    const auto took = Clock::now() - t0;
    EXPECT_GE(took, std::chrono::milliseconds(500));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    ExpectLines(cli.StderrLines(), {"kelvane-cli: no box answered within 0\\.5 s \\(--wait\\).*"});
    EXPECT_GT(box.Announcements(), 0);
    EXPECT_TRUE(box.ReceivedBytes().empty()) << "the PC never answered";
  }
  // Once accepted, the transfer may take longer than --wait.
  {
    BoxConfig cfg = Box(0x30);
    cfg.flashWriteMs = 800;
    CBox box(cfg);
    ASSERT_TRUE(box.Start());
    CChildProcess cli;
    EXPECT_EQ(Run(cli, {"-q", "-w", "0.4", "-p", box.SlavePath(), "program.bin"}), 0);
    ExpectLines(cli.StderrLines(), {"Upgrade Complete", SummaryPattern(program_.size())});
  }
}

TEST_F(CliProcess, CtrlCCancels) {
  // Before the box has said anything.
  {
    BoxConfig cfg = Box(0x30);
    cfg.announceAtStart = false;
    cfg.repeatMs = 0;
    CBox box(cfg);
    ASSERT_TRUE(box.Start());
    CChildProcess cli;
    Start(cli, {"-p", box.SlavePath(), "program.bin"});
    ASSERT_TRUE(cli.WaitForStderr("switch the box on now.\n", 5000)) << cli.Stderr();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(3000), 1);
    const auto lines = cli.StderrLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "kelvane-cli: interrupted");
  }
  // In the middle of the blocks, on a line paced at its real speed.
  const auto big = ProgramImage(60 * 1024, 4);  // 64 KiB would be taken for a boot image
  WriteFile(Path("big.bin"), big);
  for (uint8_t mode : {0x30, 0x20}) {
    SCOPED_TRACE(mode);
    BoxConfig cfg = Box(mode);
    cfg.pacing = true;
    CBox box(cfg);
    ASSERT_TRUE(box.Start());
    CChildProcess cli;
    Start(cli, {"-q", "-p", box.SlavePath(), "big.bin"});
    ASSERT_TRUE(box.WaitReceived(8 * 1024, 10000));
    const auto t0 = Clock::now();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(5000), 1);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));
    const auto lines = cli.StderrLines();
    std::string all;
    for (auto& l : lines) all += "  [" + l + "]\n";
    EXPECT_TRUE(HasLine(lines, "kelvane-cli: interrupted")) << all;
    // 0x30: the sender was sending blocks and says so; 0x20: it was waiting for a sum, silently.
    if (mode == 0x30) {
      EXPECT_TRUE(HasLine(lines, "Abort Download")) << all;
    }
    EXPECT_FALSE(HasLine(lines, "Upgrade Complete")) << all;
    box.Stop();
    ASSERT_FALSE(box.Transfers().empty());
    EXPECT_NE(box.Transfers().at(0).result, BoxResult::kDone);
  }
  // While the box writes its flash there is no Cancel: the front end lets go
  // of the line and says so, and claims no success.
  {
    BoxConfig cfg = Box(0x30);
    cfg.flashWriteMs = 10000;
    CBox box(cfg);
    ASSERT_TRUE(box.Start());
    CChildProcess cli;
    CChildProcess::Options o;
    o.stderrTerminal = true;  // the bar tells when the writing has begun
    Start(cli, {"-p", box.SlavePath(), "program.bin"}, o);
    ASSERT_TRUE(cli.WaitForStderr("writing its flash", 10000)) << cli.Stderr();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(3000), 1);
    const std::string err = cli.Stderr();
    EXPECT_NE(err.find("kelvane-cli: interrupted while the box writes its flash"), std::string::npos) << err;
    EXPECT_EQ(err.find("Upgrade Complete"), std::string::npos) << err;
  }
}

TEST_F(CliProcess, PortsThatDoNotOpen) {
  CBox box(Box(0x30));
  ASSERT_TRUE(box.Start());
  // Another program holds the box's port.
  const int holder = open(box.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string second;  // the line after OPEN ERROR
  } cases[] = {
      {"no such device", {"-p", "/dev/ttyKELVANE9"}, {}, Quote("/dev/ttyKELVANE9: cannot open: No such file or directory")},
      {"a COM port set to a missing device", {"-p", "COM4"}, {"KELVANE_COM4=/dev/ttyKELVANE9"},
       Quote("COM4 (/dev/ttyKELVANE9): cannot open: No such file or directory")},
      {"a COM port with no device", {"--port=com5"}, {"KELVANE_COM5="},
       Quote("com5: no device for this port; ") + ".*KELVANE_COM5=.*"},
      {"not a serial device", {"-p", "/dev/null"}, {}, Quote("/dev/null: not a serial device") + ".*"},
      {"held by another program", {"-p", box.SlavePath()}, {},
       Quote(box.SlavePath() + ": the port is in use by another program; ") + ".*fuser.*"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"-q"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back("program.bin");
    CChildProcess::Options o;
    o.env = c.env;
    CChildProcess cli;
    EXPECT_EQ(Run(cli, args, o), 3);
    ExpectLines(cli.StderrLines(), {"OPEN ERROR", c.second});
  }
  close(holder);
  EXPECT_TRUE(box.ReceivedBytes().empty());
}

TEST_F(CliProcess, UsageErrorsComeBeforeThePort) {
  // Every one of these names a port that does not exist: the usage error wins.
  struct Case {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"--colour", "program.bin"}, "kelvane-cli: unknown option '--colour' (kelvane-cli --help lists them)"},
      {{"-s", "4800", "program.bin"}, "kelvane-cli: bad speed '4800' (9600, 19200, 38400, 57600 or 115200)"},
      {{"-k", "flash", "program.bin"},
       "kelvane-cli: bad kind 'flash' (boot, data, program, all, satcodx, still or keydata)"},
      {{}, "kelvane-cli: no FILE given: name the image to download (or -u to upload)"},
      {{"missing.bin"}, "kelvane-cli: cannot read 'missing.bin': No such file or directory"},
      {{"-u", "-k", "data", "-o", "nodir/Data.Dat"},
       "kelvane-cli: cannot write 'nodir/Data.Dat': directory 'nodir': No such file or directory"},
      {{"-u", "-k", "still"}, "kelvane-cli: an upload of kind still needs -o/--output FILE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    std::vector<std::string> args = {"-p", "/dev/ttyKELVANE9"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CChildProcess cli;
    EXPECT_EQ(Run(cli, args), 2);
    ExpectLines(cli.StderrLines(), {Quote(c.line)});
    EXPECT_EQ(cli.Stdout(), "");
  }
  EXPECT_FALSE(Exists(Path("nodir")));
}

// Permission bits stop an ordinary user, not root: run those cases as one.
TEST_F(CliProcess, WhatAnOrdinaryUserMayNotDo) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to start the program as another user";
  const passwd* nobody = getpwnam("nobody");
  if (!nobody) GTEST_SKIP() << "no user 'nobody'";
  WriteFile(Path("secret.bin"), program_);
  chmod(Path("secret.bin").c_str(), 0600);
  chmod(Path("program.bin").c_str(), 0644);
  mkdir(Path("ro").c_str(), 0755);  // root's, so nobody cannot write in it

  CBox box(Box(0x30));
  ASSERT_TRUE(box.Start());
  struct Case {
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines;
  } cases[] = {
      {{"-p", "/dev/ttyKELVANE9", "secret.bin"}, 2, {Quote("kelvane-cli: cannot read 'secret.bin': Permission denied")}},
      {{"-p", "/dev/ttyKELVANE9", "-u", "-k", "boot", "-o", "ro/Boot.Dat"},
       2,
       {Quote("kelvane-cli: cannot write 'ro/Boot.Dat': directory 'ro': Permission denied")}},
      // The pseudo-terminal is root's: the dialout hint.
      {{"-p", box.SlavePath(), "program.bin"},
       3,
       {"OPEN ERROR", Quote(box.SlavePath() + ": cannot open: Permission denied; ") + ".*'dialout' group.*"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    std::vector<std::string> args = {"-q"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CChildProcess::Options o;
    o.uid = nobody->pw_uid;
    CChildProcess cli;
    EXPECT_EQ(Run(cli, args, o), c.status);
    ExpectLines(cli.StderrLines(), c.lines);
  }
  EXPECT_FALSE(Exists(Path("ro/Boot.Dat")));
}

TEST_F(CliProcess, TraceShowsEveryByteAndTheSpeedSwitch) {
  CBox box(Box(0x30));
  ASSERT_TRUE(box.Start());
  CChildProcess cli;
  EXPECT_EQ(Run(cli, {"-q", "--trace", "-s", "19200", "-p", box.SlavePath(), "program.bin"}), 0);
  const auto lines = cli.StderrLines();
  std::string all;
  for (auto& l : lines) all += "  [" + l + "]\n";
  const std::string t = R"(\+\d+\.\d{3} )";
  EXPECT_TRUE(HasLine(lines, t + "speed 9600")) << all;
  EXPECT_TRUE(HasLine(lines, t + "RX( 03 04 30)+")) << all;
  EXPECT_TRUE(HasLine(lines, t + "TX 43")) << all;
  // The length, 5000, big-endian, one byte at a time; then the channel byte and BaudIndex 1.
  EXPECT_TRUE(HasLine(lines, t + "TX 13")) << all;
  EXPECT_TRUE(HasLine(lines, t + "TX 88")) << all;
  EXPECT_TRUE(HasLine(lines, t + "speed 19200")) << all;
  // Blocks go out in lines of 16 bytes: the first line of the image is there, as sent.
  char first[64];
  std::snprintf(first, sizeof first, "TX %02X %02X %02X %02X", program_[0], program_[1], program_[2], program_[3]);
  EXPECT_TRUE(HasLine(lines, t + first + ".*")) << all;
  // Every byte the box received was traced: count the TX bytes.
  size_t txBytes = 0;
  for (auto& l : lines)
    if (std::regex_match(l, std::regex(t + "TX( [0-9A-F]{2})+"))) txBytes += (l.size() - l.find(" TX") - 3) / 3;
  EXPECT_EQ(txBytes, box.ReceivedBytes().size());
  EXPECT_EQ(lines.back().find("5000 bytes in"), 0u) << all;
}

TEST_F(CliProcess, ProgressBarOnATerminalOnly) {
  const auto big = RandomBytes(24 * 1024, 5);
  BoxConfig cfg = Box(0x30);
  cfg.pacing = true;  // about 2 s at 115200 bit/s: a bar gets drawn
  cfg.areas[0x2F] = big;
  CBox box(cfg);
  ASSERT_TRUE(box.Start());
  CChildProcess::Options o;
  o.stderrTerminal = true;
  CChildProcess cli;
  EXPECT_EQ(Run(cli, {"-p", box.SlavePath(), "-u", "-k", "data"}, o), 0);
  const std::string err = cli.Stderr();
  EXPECT_NE(err.find("\r\033[K["), std::string::npos) << err;
  EXPECT_TRUE(std::regex_search(err, std::regex(R"(\d+%  [\d.]+ KiB of 24\.0 KiB  [\d.]+ KiB/s  \d+:\d\d left)")))
      << err;
  // Once the bar is wiped, what is left reads as plain lines.
  const std::string plain = std::regex_replace(err, std::regex("\r\033\\[K[^\r\n]*(?=\r)|\r\033\\[K"), "");
  const auto lines = test::SplitLines(plain);
  ASSERT_GE(lines.size(), 2u) << plain;
  EXPECT_EQ(lines[lines.size() - 2], "Data Upload Complete");
  EXPECT_TRUE(std::regex_match(lines.back(), std::regex(SummaryPattern(big.size())))) << plain;
  EXPECT_EQ(ReadFile(Path("Data.Dat")), big);
}

TEST_F(CliProcess, HelpAndVersionOnStandardOutput) {
  CChildProcess help;
  EXPECT_EQ(Run(help, {"--help"}), 0);
  EXPECT_EQ(help.Stdout().rfind("Usage: kelvane-cli", 0), 0u);
  EXPECT_EQ(help.Stderr(), "");
  CChildProcess version;
  EXPECT_EQ(Run(version, {"-V"}), 0);
  EXPECT_EQ(version.Stdout(), std::string("kelvane-cli ") + KELVANE_VERSION + "\n");
}

}  // namespace
}  // namespace kelvane
