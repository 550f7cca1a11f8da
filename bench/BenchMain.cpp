// kelvane-bench: how close kelvane-cli comes to the serial line's own limit.
//
// Runs the real kelvane-cli as a child process against the simulated box (in
// this process, so that every byte the program sends is seen with its arrival
// time) and prints:
//   - the box's line pacing against its theoretical time;
//   - paced transfers (each byte takes 10 bit-times each way, as on a UART):
//     the data phase's time and rate against the line rate and against the
//     best the protocol allows in that LinkMode, with the program's CPU time
//     and peak memory;
//   - unpaced transfers: the pause the program leaves between two blocks of a
//     LinkMode 0x30/0x40 Download, and the time per block of the exchanges
//     that wait for an acknowledgement.
// Nothing is asserted: the figures depend on the machine and its load.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "box/Box.h"
#include "BenchPhase.h"
#include "protocol/Protocol.h"

extern char** environ;

namespace {

using kelvane::box::BoxConfig;
using kelvane::box::BoxResult;
using kelvane::box::CBox;
using kelvane::box::RxRecord;
using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using kelvane::bench::MeasurePhase;
using kelvane::bench::Phase;
using kelvane::bench::PhaseInput;

constexpr int kBlock = kelvane::kBlockSize;

// Seconds one byte takes on the wire at baud bit/s with 8N1 framing.
double ByteSeconds(uint32_t baud) { return 10.0 / baud; }

double Seconds(Clock::duration d) { return duration<double>(d).count(); }

struct Stats {
  double median = 0, p99 = 0, worst = 0;
  size_t count = 0;
};

Stats Summarise(std::vector<double> v) {
  Stats s;
  s.count = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  s.median = v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
  s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
  s.worst = v.back();
  return s;
}

std::vector<uint8_t> MakeImage(uint32_t size, bool channelList, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(size);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  if (channelList) {
    std::memcpy(v.data(), "SATCODX", 7);
  } else if (size >= 11) {
    v[size - 11] = 0x45;  // the descriptor's area byte: a program image in every LinkMode
  }
  return v;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(f);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// ---------------------------------------------------------------------------
// One transfer through kelvane-cli.

struct Transfer {
  int mode = 0x30;
  bool upload = false;
  uint32_t baud = 115200;
  uint32_t size = 0;
  bool paced = true;
  bool channelList = false;  // Download as a channel list (the slower pace)
};

struct Outcome {
  bool ok = false;
  std::string why;
  int exitStatus = -1;
  double toolWall = 0;   // the child's life, s
  double toolCpu = 0;    // its user + system time, s
  long maxRssKb = 0;
  long wakeups = 0;      // voluntary context switches: each is a wait that ended
  Phase phase;           // measured at the box
};

std::string Describe(const Transfer& t) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "%-8s 0x%02X %6u %8u", t.upload ? "Upload" : "Download", t.mode, t.baud, t.size);
  return buf;
}

// Starts the program; its standard output and error go to logPath.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args, const std::string& logPath) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : -1;
}

// The peak resident size of a running process (VmHWM), KiB; 0 when unknown.
long PeakRssKb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

// Waits for the child with its resource use; kills it when the time runs out.
// Its peak memory is read while it runs: the ru_maxrss of a child also counts
// what the parent had resident when it forked, which here is the box's records.
bool Reap(pid_t pid, double timeoutS, int* status, rusage* ru, long* peakKb) {
  const auto deadline = Clock::now() + duration<double>(timeoutS);
  for (;;) {
    *peakKb = std::max(*peakKb, PeakRssKb(pid));
    const pid_t r = wait4(pid, status, WNOHANG, ru);
    if (r == pid) return true;
    if (r < 0) return false;
    if (Clock::now() >= deadline) {
      kill(pid, SIGKILL);
      wait4(pid, status, 0, ru);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Outcome RunTransfer(const std::string& cli, const std::string& dir, const Transfer& t) {
  Outcome o;
  const auto image = MakeImage(t.size, t.channelList, t.size ^ static_cast<unsigned>(t.mode));
  BoxConfig cfg;
  // Channel lists are taken only from a loader that announces mode byte 0x31 or 0x41.
  cfg.signature[2] = static_cast<uint8_t>(t.mode + (t.channelList ? 1 : 0));
  cfg.linkMode = t.mode;
  cfg.repeatMs = 30;  // announce until the program listens
  cfg.pacing = t.paced;
  cfg.flashWriteMs = 20;
  cfg.transfers = 1;
  if (t.upload) cfg.anyArea = image;
  CBox box(cfg);
  if (!box.Start()) {
    o.why = "the simulated box does not start";
    return o;
  }
  const std::string imagePath = dir + "/image.bin", outPath = dir + "/upload.bin", log = dir + "/cli-" + std::string(t.upload ? "up" : "down") +
                                                   (t.channelList ? "-sdx" : "") + "-" + std::to_string(t.mode) + "-" +
                                                   std::to_string(t.baud) + (t.paced ? "" : "-unpaced") + ".log";
  std::vector<std::string> args = {"--port", box.SlavePath(), "--speed", std::to_string(t.baud)};
  if (t.upload) {
    unlink(outPath.c_str());
    args.insert(args.end(), {"--upload", "--kind", "program", "--output", outPath});
  } else {
    if (!WriteFile(imagePath, image)) {
      o.why = "cannot write " + imagePath;
      return o;
    }
    args.insert(args.end(), {"--kind", t.channelList ? "satcodx" : "program", imagePath});
  }
  const double lineTime = t.size * ByteSeconds(t.baud);
  const auto start = Clock::now();
  const pid_t pid = Spawn(cli, args, log);
  if (pid < 0) {
    o.why = "cannot start " + cli;
    return o;
  }
  int status = 0;
  rusage ru{};
  const bool ended = Reap(pid, lineTime * 2 + 60, &status, &ru, &o.maxRssKb);
  o.toolWall = Seconds(Clock::now() - start);
  o.toolCpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
  o.wakeups = ru.ru_nvcsw;
  o.exitStatus = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  box.WaitOutcome(5000);
  box.Stop();
  const bool same = t.upload ? ReadFile(outPath) == image : box.Flash() == image;
  if (!ended) {
    o.why = "kelvane-cli did not end in time (log: " + log + ")";
  } else if (o.exitStatus != 0) {
    o.why = "kelvane-cli exited with " + std::to_string(o.exitStatus) + " (log: " + log + ")";
  } else if (!same) {
    o.why = "the data arrived changed";
  } else {
    o.ok = true;
  }
  if (o.ok) {
    // Arrival times at the box of everything the program sent, from the run's start.
    std::vector<double> arrivals;
    for (const RxRecord& r : box.Received()) arrivals.push_back(Seconds(r.at - start));
    o.phase = MeasurePhase(PhaseInput{t.mode, t.upload, t.baud, t.size, t.channelList, t.paced}, arrivals);
  }
  return o;
}

// A control for the block gaps: how late a plain 10 ms sleep wakes on this
// machine meanwhile. A gap tail that this shows too is the scheduler's.
class CWakeProbe {
 public:
  CWakeProbe()
      : thread_([this] {
          while (!stop_.load()) {
            const auto t0 = Clock::now();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            late_.push_back(Seconds(Clock::now() - t0) - 0.010);
          }
        }) {}
  std::vector<double> Stop() {
    stop_.store(true);
    thread_.join();
    return late_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<double> late_;  // written by the thread until Stop has joined it
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// The box's own line: a stream of known size, each way, against its theoretical time.

struct LineCheck {
  uint32_t baud;
  int bytes;
  double toProgram = 0;    // box -> program: from the first write until the last byte can be read, s
  double fromProgram = 0;  // program -> box: from the write until the box's arrival time of the last byte, s
  bool ok = false;
};

speed_t SpeedConstant(uint32_t baud) {
  switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    default: return B115200;
  }
}

LineCheck CheckLine(uint32_t baud, int bytes) {
  LineCheck c{baud, bytes};
  BoxConfig cfg;
  cfg.loader = false;
  cfg.pacing = true;
  CBox box(cfg);
  if (!box.Start()) return c;
  const int fd = open(box.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return c;
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  cfsetispeed(&tio, SpeedConstant(baud));
  cfsetospeed(&tio, SpeedConstant(baud));
  tcsetattr(fd, TCSANOW, &tio);
  box.WaitSlaveSpeed(baud, 1000);

  std::vector<uint8_t> data(static_cast<size_t>(bytes), 0x5A);
  // Box to program: a reader takes the bytes as they come.
  Clock::time_point lastByte{};
  std::thread reader([&] {
    std::vector<uint8_t> buf(4096);
    int got = 0;
    while (got < bytes) {
      const ssize_t r = read(fd, buf.data(), buf.size());
      if (r <= 0) break;
      got += static_cast<int>(r);
      lastByte = Clock::now();
    }
  });
  const auto t0 = Clock::now();
  const bool sent = box.Send(data);
  reader.join();
  c.toProgram = Seconds(lastByte - t0);

  // Program to box: one write; the box dates each byte's arrival.
  const auto t1 = Clock::now();
  const bool written = write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  const bool received = box.WaitReceived(data.size(), static_cast<int>(bytes * ByteSeconds(baud) * 1000) + 5000);
  const auto rx = box.Received();
  if (!rx.empty()) c.fromProgram = Seconds(rx.back().at - t1);
  box.Stop();
  close(fd);
  c.ok = sent && written && received;
  return c;
}

// ---------------------------------------------------------------------------

void PrintLineChecks(const std::vector<LineCheck>& checks) {
  std::printf("\nLine pacing of the simulated box (one-way stream, theoretical time = bytes x 10 bit-times)\n");
  std::printf("%8s %7s %11s %11s %8s %11s %8s\n", "bit/s", "bytes", "theory s", "box->PC s", "error", "PC->box s",
              "error");
  for (const auto& c : checks) {
    const double theory = c.bytes * ByteSeconds(c.baud);
    if (!c.ok) {
      std::printf("%8u %7d  line check failed\n", c.baud, c.bytes);
      continue;
    }
    std::printf("%8u %7d %11.4f %11.4f %+7.2f%% %11.4f %+7.2f%%\n", c.baud, c.bytes, theory, c.toProgram,
                100 * (c.toProgram / theory - 1), c.fromProgram, 100 * (c.fromProgram / theory - 1));
  }
}

void PrintPacedHeader() {
  std::printf("\nPaced transfers (both directions at the line rate; data phase measured at the box)\n");
  std::printf("%-8s %4s %6s %8s %9s %8s %7s %7s %8s %8s %6s %8s %8s %7s\n", "dir", "mode", "bit/s", "bytes",
              "phase s", "B/s", "line", "bound", "tool s", "cpu s", "cpu%", "rss KiB", "wakes/s", "late ms");
}

void PrintPacedRow(const Transfer& t, const Outcome& o, double meanLate) {
  if (!o.ok || !o.phase.measured) {
    std::printf("%s  FAILED: %s\n", Describe(t).c_str(), o.why.empty() ? "no data phase measured" : o.why.c_str());
    return;
  }
  const Phase& p = o.phase;
  const double rate = static_cast<double>(p.payload) / p.seconds;
  std::printf("%s %9.3f %8.0f %6.2f%% %6.2f%% %8.2f %8.3f %5.2f%% %8ld %8.0f %7.3f\n", Describe(t).c_str(),
              p.seconds, rate, 100 * rate / (t.baud / 10.0), 100 * p.bound / p.seconds, o.toolWall, o.toolCpu,
              100 * o.toolCpu / o.toolWall, o.maxRssKb, o.wakeups / o.toolWall, meanLate * 1000);
}

int Usage() {
  std::fprintf(stderr,
               "usage: kelvane-bench --cli PATH [--dir DIR] [--size BYTES] [--small BYTES] [--only paced|unpaced|line]\n"
               "                     [--match TEXT]\n"
               "  --size   image size for the 115200 bit/s runs (default 1048576)\n"
               "  --small  image size for the 9600 bit/s runs (default 16384)\n"
               "  --match  only the paced runs whose row holds TEXT (e.g. \"Upload   0x30 115200\")\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string cli, dir = "/tmp", only, match;
  uint32_t size = 1u << 20, small = 16384;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return Usage();
    const std::string v = argv[++i];
    if (a == "--cli") cli = v;
    else if (a == "--dir") dir = v;
    else if (a == "--size") size = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 0));
    else if (a == "--small") small = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 0));
    else if (a == "--only") only = v;
    else if (a == "--match") match = v;
    else return Usage();
  }
  if (cli.empty() || size < 2 * kBlock || small < 2 * kBlock) return Usage();
  signal(SIGPIPE, SIG_IGN);
  int failures = 0;
  // LinkMode 0x20 takes program images of at most 0xF0000 bytes.
  auto sizeFor = [](int mode, bool upload, uint32_t s) { return !upload && mode == 0x20 ? std::min<uint32_t>(s, 0xF0000) : s; };

  if (only.empty() || only == "line") {
    std::vector<LineCheck> checks = {CheckLine(115200, 23040), CheckLine(9600, 1920)};
    for (const auto& c : checks) failures += !c.ok;
    PrintLineChecks(checks);
    std::fflush(stdout);
  }

  if (only.empty() || only == "unpaced") {
    std::printf("\nUnpaced (pseudo-terminal speed). Block gap: from the arrival of a Download block's last byte to\n"
                "the arrival of the next block's first; over: gaps longer than the pace + 1 ms. Per block / packet:\n"
                "one acknowledgement of the program to the next, a whole round trip.\n");
    std::printf("%-8s %4s %8s %-37s %9s %8s %8s %6s %7s %7s %8s\n", "dir", "mode", "bytes", "measure", "median ms",
                "p99 ms", "worst ms", "over", "tool s", "cpu s", "rss KiB");
    struct Case {
      int mode;
      bool upload;
      bool channelList;
      const char* what;
    };
    const Case cases[] = {
        {0x30, false, false, "block gap (pace 10 ms)"},
        {0x40, false, false, "block gap (pace 10 ms)"},
        {0x30, false, true, "block gap, channel list (pace 15 ms)"},
        {0x20, false, false, "per packet, 'K' to 'K'"},
        {0x30, true, false, "per block, 'K' to 'K'"},
        {0x40, true, false, "per block, 'K' to 'K'"},
        {0x20, true, false, "per packet, 'F' to 'F'"},
    };
    for (const Case& c : cases) {
      Transfer t{c.mode, c.upload, 115200, sizeFor(c.mode, c.upload, size), false, c.channelList};
      CWakeProbe probe;
      const Outcome o = RunTransfer(cli, dir, t);
      const Stats late = Summarise(probe.Stop());
      const auto& v = o.phase.gaps.empty() ? o.phase.cycles : o.phase.gaps;
      const Stats s = Summarise(v);
      // Block gaps longer than the pace plus 1 ms.
      const double limit = (c.channelList ? 0.015 : 0.010) + 0.001;
      const long over = o.phase.gaps.empty() ? -1 : std::count_if(v.begin(), v.end(), [&](double g) { return g > limit; });
      if (!o.ok || s.count == 0) {
        std::printf("%s  FAILED: %s\n", Describe(t).c_str(), o.why.empty() ? "nothing measured" : o.why.c_str());
        ++failures;
      } else {
        char overText[24] = "-";
        if (over >= 0) std::snprintf(overText, sizeof overText, "%ld", over);
        std::printf("%-8s 0x%02X %8u %-37s %9.3f %8.3f %8.3f %6s %7.2f %7.3f %8ld\n", c.upload ? "Upload" : "Download",
                    c.mode, t.size, c.what, s.median * 1000, s.p99 * 1000, s.worst * 1000, overText, o.toolWall,
                    o.toolCpu, o.maxRssKb);
        if (over > 0 && std::getenv("KELVANE_BENCH_GAPS")) {
          // Where the long gaps fell: block numbers and lengths.
          for (size_t i = 0; i < o.phase.gaps.size(); ++i)
            if (o.phase.gaps[i] > limit) std::printf("    after block %zu: %.3f ms\n", i + 1, o.phase.gaps[i] * 1000);
        }
        if (!o.phase.gaps.empty())
          std::printf("%-8s %4s %8s %-37s %9.3f %8.3f %8.3f\n", "", "", "", "  control: a 10 ms sleep woke late by",
                      late.median * 1000, late.p99 * 1000, late.worst * 1000);
      }
      std::fflush(stdout);
    }
  }

  if (only.empty() || only == "paced") {
    PrintPacedHeader();
    long rssSmall = 0, rssLarge = 0;
    for (uint32_t baud : {115200u, 9600u}) {
      for (bool upload : {false, true}) {
        for (int mode : {0x20, 0x30, 0x40}) {
          Transfer t{mode, upload, baud, sizeFor(mode, upload, baud == 9600 ? small : size), true, false};
          if (!match.empty() && Describe(t).find(match) == std::string::npos) continue;
          CWakeProbe probe;
          const Outcome o = RunTransfer(cli, dir, t);
          const auto late = probe.Stop();
          double mean = 0;
          for (double l : late) mean += l / static_cast<double>(late.size());
          PrintPacedRow(t, o, mean);
          std::fflush(stdout);
          if (!o.ok) ++failures;
          long& rss = baud == 9600 ? rssSmall : rssLarge;
          rss = std::max(rss, o.maxRssKb);
        }
      }
    }
    std::printf("\npeak memory of kelvane-cli: %ld KiB with %u-byte images, %ld KiB with %u-byte images\n", rssLarge,
                size, rssSmall, small);
    std::printf("line = payload rate / (bit/s / 10); bound = the protocol's best time for the measured phase / the "
                "measured time;\nwakes/s = the program's voluntary context switches; late ms = how late, on average, a "
                "plain 10 ms sleep\nwoke meanwhile (the machine's wake-up latency, paid at each turn of an exchange)\n");
  }
  return failures ? 1 : 0;
}
