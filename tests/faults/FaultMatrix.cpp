#include "FaultMatrix.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <sstream>
#include <thread>

#include "protocol/Rig.h"
#include "serial/Tick.h"
#include "upload/UploadTestSupport.h"

namespace kelvane::faults {

namespace {

using test::Bytes;
using Clock = std::chrono::steady_clock;

constexpr const char* kDestination = "Program.Dat";  // Upload of Program Only
const Bytes kEarlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r', ' ', 'b', 'a', 'c', 'k', 'u', 'p'};

// Names in a /proc folder; `own` is one the listing itself adds (the
// descriptor opendir holds when counting descriptors).
int CountEntries(const char* dir, int own) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n - own;
}

std::string ModeName(uint8_t mode) {
  char buf[8];
  snprintf(buf, sizeof buf, "0x%02X", mode);
  return buf;
}

std::string Join(const std::vector<std::string>& v, const char* sep = ", ") {
  std::string out;
  for (const auto& s : v) out += (out.empty() ? "" : sep) + s;
  return out;
}

std::string BusyText(const std::vector<int>& busy) {
  std::string out;
  for (int b : busy) out += (out.empty() ? "" : " → ") + std::string(b ? "busy" : "idle");
  return out.empty() ? "untouched" : out;
}

// The window's busy/idle calls with repeats of the same state folded (the
// sender idles the window once more as its thread ends).
std::vector<int> Folded(const std::vector<int>& history) {
  std::vector<int> steps;
  for (int b : history)
    if (steps.empty() || steps.back() != b) steps.push_back(b);
  return steps;
}

// Does `got` hold every text of `want` and, beyond them, only texts of
// `maybe` (each at most once)?
bool Matches(std::vector<std::string> got, const std::vector<std::string>& want, std::vector<std::string> maybe) {
  for (const auto& w : want) {
    auto it = std::find(got.begin(), got.end(), w);
    if (it == got.end()) return false;
    got.erase(it);
  }
  for (const auto& g : got) {
    auto it = std::find(maybe.begin(), maybe.end(), g);
    if (it == maybe.end()) return false;
    maybe.erase(it);
  }
  return true;
}

// A Program Only image: its area byte (0x45) where the check looks for it.
Bytes ProgramFile(size_t n, uint32_t seed) {
  Bytes b = test::Pattern(n, static_cast<uint8_t>(seed));
  b[n - 11] = 0x45;
  return b;
}

// Joins the link's worker threads, giving them `ms` to end. A link whose
// threads do not end is a hang: there is no way on from there.
int JoinWithin(CSerialLink& link, int ms) {
  const auto start = Clock::now();
  auto joined = std::async(std::launch::async, [&link] { link.WaitForThreads(); });
  if (joined.wait_for(std::chrono::milliseconds(ms)) != std::future_status::ready) {
    fprintf(stderr, "fault matrix: the worker threads did not end within %d ms after the link closed\n", ms);
    fflush(stderr);
    std::abort();
  }
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

}  // namespace

std::string FaultRow::Name() const {
  std::string name = std::string(dir == Dir::kDownload ? "Download" : "Upload") + "_Mode" +
                     ModeName(mode).substr(2) + "_";
  bool upper = true;
  for (char c : fault) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
      name += upper && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
      upper = false;
    } else {
      upper = true;
    }
  }
  return name;
}

MsgIcon IconFor(const std::string& text) {
  return text == "Upgrade Complete" || text == "Data Upload Complete" || text == "Abort Download" ? MsgIcon::Warning
                                                                                                  : MsgIcon::Error;
}

int ThreadCount() { return CountEntries("/proc/self/task", 0); }
int DescriptorCount() { return CountEntries("/proc/self/fd", 1); }

std::vector<std::string> RunRow(const FaultRow& row, Observed* seen, uint32_t seed) {
  std::vector<std::string> problems;
  auto problem = [&](const std::string& p) { problems.push_back(p); };
  Observed local;
  Observed& out = seen ? *seen : local;
  out = Observed{};
  const auto started = Clock::now();
  // A sanitizer's runtime starts a helper thread of its own with the
  // process's first thread: let that happen before counting.
  static const bool warmedUp = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmedUp;
  const int threadsBefore = ThreadCount(), descriptorsBefore = DescriptorCount();
  const bool download = row.dir == Dir::kDownload;

  test::CScratchDir dir;  // an Upload writes to the current directory
  if (!dir.Ok()) return {"no scratch directory"};
  const Bytes content = download ? ProgramFile(row.size, seed) : test::Area(row.size, seed);
  const std::string source = dir.Path() + "/image.bin";
  if (download) test::WriteFile(source, content);
  else test::WriteFile(kDestination, kEarlier);
  const auto entriesBefore = test::Entries();

  box::BoxConfig cfg;
  const uint8_t sig[3] = {static_cast<uint8_t>(row.mode == 0x20 ? 0x20 : 0x03),
                          static_cast<uint8_t>(row.mode == 0x20 ? 0x10 : 0x04), row.mode};
  std::copy(sig, sig + 3, cfg.signature);
  cfg.announceAtStart = false;  // announced once the program listens
  cfg.flashWriteMs = row.flashWriteMs;
  cfg.switchTimeoutMs = 500;
  cfg.peerTimeoutMs = 2000;
  cfg.noise = row.noise;
  cfg.transfers = row.transfers;
  cfg.faults = row.faults;
  if (!download) cfg.anyArea = content;

  {
    std::unique_ptr<test::CFileSizeLimit> limit;
    test::CRig rig(cfg);
    rig.Select(kProgramOnly, download ? 0 : 1, 4, download ? source : "/images/firmware.bin");
    if (row.action == Action::kDeleteBefore) unlink(source.c_str());
    if (row.action == Action::kTruncateBefore && truncate(source.c_str(), 0) != 0) problem("truncate failed");
    if (row.action == Action::kDiskFull) limit = std::make_unique<test::CFileSizeLimit>(4096);

    if (!rig.box.Start()) return {"the box did not start"};
    rig.link.SetDevicePath(rig.box.SlavePath());
    rig.link.SetOwner(&rig.owner);
    rig.link.SetTrace(&rig.trace);
    if (rig.link.Open() != 1) return {"the link did not open"};
    if (!rig.box.Announce()) return {"the box did not announce itself"};

    if (row.action == Action::kDeleteDuring || row.action == Action::kTruncateDuring) {
      if (!rig.owner.WaitFor([&] { return rig.owner.progressPos >= 1; }, 10000)) problem("no block went out");
      if (row.action == Action::kDeleteDuring) unlink(source.c_str());
      else if (truncate(source.c_str(), 0) != 0) problem("truncate failed");
    }

    auto messageCount = [&] { return rig.owner.Locked([&] { return rig.owner.messages.size(); }); };
    // The line has settled: nothing has moved either way, and no message
    // has come, for a while.
    auto waitQuiet = [&] {
      std::array<size_t, 3> last{SIZE_MAX, 0, 0};
      int still = 0;
      for (int i = 0; i < 400 && still < 8; ++i) {
        const std::array<size_t, 3> now{rig.box.ReceivedBytes().size(), rig.trace.Entries().size(), messageCount()};
        still = now == last ? still + 1 : 0;
        last = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      return still >= 8;
    };
    auto waitClosed = [&](int ms) { return test::WaitUntil([&] { return !rig.link.IsOpen(); }, ms); };

    switch (row.ending) {
      case Ending::kByItself:
        if (!waitClosed(20000)) problem("the link did not close by itself");
        out.ending = "closes by itself";
        break;
      case Ending::kSilence: {
        // The phase whose silence is meant has begun once its limit is set;
        // a slow start is not a silence.
        test::WaitUntil([&] { return rig.link.dwRxTimeout.load() == row.limitMs || !rig.link.IsOpen(); }, 20000);
        if (!waitQuiet()) problem("the line never went quiet");
        if (messageCount() != 0) problem("a message before the silence limit: " + Join(rig.owner.MessageTexts()));
        if (!rig.link.IsOpen()) problem("the link closed before the silence limit");
        const uint32_t limitMs = rig.link.dwRxTimeout.load();
        if (limitMs != row.limitMs)
          problem("silence limit " + std::to_string(limitMs) + " ms, expected " + std::to_string(row.limitMs));
        // Not a moment early: a second short of the limit nothing happens.
        const uint32_t lead = std::max(limitMs, row.limitMs) - 1000;
        AdvanceTickForTest(lead);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        if (messageCount() != 0 || !rig.link.IsOpen()) problem("the transfer ended before its silence limit");
        AdvanceTickForTest(1200);
        if (!waitClosed(5000)) problem("the link stayed open after the silence limit");
        out.ending = "closes after " + std::to_string(limitMs / 1000) + " s of silence";
        break;
      }
      case Ending::kLeftOpen: {
        // The transfer has begun (the window is busy), then nothing moves.
        size_t least = SIZE_MAX;
        for (const auto& m : row.messages) least = std::min(least, m.size());
        rig.owner.WaitFor([&] { return rig.owner.busy == 1 && rig.owner.messages.size() >= least; }, 20000);
        if (!waitQuiet()) problem("the line never went quiet");
        const size_t shown = messageCount();
        if (!rig.link.IsOpen()) problem("the link closed, expected it left open");
        if (rig.owner.Locked([&] { return rig.owner.busy; }) != 1) problem("the window is not busy while left open");
        // No silence limit ends it: the operator does.
        AdvanceTickForTest(100000);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        if (!rig.link.IsOpen() || messageCount() != shown) problem("a silence limit ended a transfer left to the operator");
        rig.link.Cancel();  // the operator's Cancel
        if (!waitClosed(5000)) problem("Cancel did not close the link");
        out.ending = "left open until Cancel";
        break;
      }
    }
    if (rig.link.IsOpen()) rig.link.Close();  // a failed row still ends cleanly
    out.joinMs = JoinWithin(rig.link, 5000);
    limit.reset();

    // Whatever went wrong, what the line and the box saw tells why.
    auto diagnose = [&] {
      size_t tx = 0, rx = 0, switches = 0;
      std::string head;
      for (const auto& e : rig.trace.Entries()) {
        if (e.bytes.empty()) ++switches;
        else (e.tx ? tx : rx) += e.bytes.size();
        if (head.size() < 60 && !e.bytes.empty())
          head += (e.tx ? "> " : "< ") + test::Hex(Bytes(e.bytes.begin(), e.bytes.begin() + std::min<size_t>(e.bytes.size(), 6)));
      }
      std::string box = "box: " + std::to_string(rig.box.Announcements()) + " announcements";
      for (const auto& t : rig.box.Transfers()) box += "; " + std::string(box::BoxResultName(t.result)) + ": " + t.detail;
      return "line: " + std::to_string(tx) + " bytes out, " + std::to_string(rx) + " in, " + std::to_string(switches) +
             " speed settings [" + head + "]; " + box;
    };

    // Messages and icons.
    std::vector<std::string> texts;
    for (const auto& m : rig.owner.Messages()) {
      texts.push_back(m.text);
      out.messages.push_back(m.text + (m.icon == MsgIcon::Warning ? " (warning)" : " (error)"));
      if (m.icon != IconFor(m.text)) problem("wrong icon for \"" + m.text + "\"");
    }
    bool matched = false;
    for (const auto& want : row.messages) matched = matched || Matches(texts, want, row.maybe);
    if (!matched) problem("messages [" + Join(texts, " | ") + "]");

    // The window and the link afterwards.
    out.busy = Folded(rig.owner.busyHistory);
    if (out.busy != row.busy) problem("window " + BusyText(out.busy) + ", expected " + BusyText(row.busy));
    if (rig.owner.busy != 0) problem("the window is left busy");
    if (rig.owner.writing) problem("the writing notice is left shown");
    if (rig.link.bTransferRunning.load() != 0) problem("the transfer is left marked running");
    if (rig.link.IsOpen()) problem("the link is left open");

    // The destination.
    if (download) {
      // The box may still be on its way from its closing reply to recording
      // the transfer; one that completes does so at once.
      if (row.dest == Dest::kWhole) rig.box.WaitOutcome(5000, 0);
      const auto transfers = rig.box.Transfers();
      const bool confirmed = !transfers.empty() && transfers[0].result == box::BoxResult::kDone;
      const Bytes flash = rig.box.Flash();
      // Every block taken and kept; with a fault that did no harm (a flash
      // write error the box went on from) the box counts it as the fault's.
      const int blocks = static_cast<int>((content.size() + kBlockSize - 1) / kBlockSize);
      const bool whole = flash == content && !transfers.empty() && transfers[0].blocks == blocks;
      if (whole && confirmed) out.dest = "box holds the whole file";
      else if (whole) out.dest = "box holds every block, never confirmed";
      else if (flash.empty()) out.dest = "box got no block";
      else out.dest = "box kept " + std::to_string(transfers.empty() ? 0 : transfers[0].blocks) + " of " +
                      std::to_string(blocks) + " blocks";
      switch (row.dest) {
        case Dest::kWhole:
          if (!whole) problem("the box does not hold the whole file");
          break;
        case Dest::kUntouched:
          if (!flash.empty()) problem("blocks reached the box");
          [[fallthrough]];
        default:
          if (confirmed) problem("the box confirmed the transfer");
          break;
      }
    } else {
      const Bytes now = test::ReadFile(kDestination);
      const auto entries = test::Entries();
      if (now == content && entries == std::set<std::string>{kDestination}) out.dest = "file holds the whole area";
      else if (now == kEarlier && entries == entriesBefore) out.dest = "earlier file kept, nothing left behind";
      else out.dest = "file of " + std::to_string(now.size()) + " bytes, " + std::to_string(entries.size()) + " names";
      if (row.dest == Dest::kWhole && !(now == content && entries == std::set<std::string>{kDestination}))
        problem("the file does not hold the whole area");
      if (row.dest == Dest::kKept && !(now == kEarlier && entries == entriesBefore))
        problem("the earlier file was not kept as it was: " + out.dest);
    }
    if (!problems.empty()) problem(diagnose());
  }
  // With the link, the window and the box gone, nothing of the transfer remains.
  if (ThreadCount() != threadsBefore)
    problem(std::to_string(ThreadCount() - threadsBefore) + " threads more than before the transfer");
  if (DescriptorCount() != descriptorsBefore)
    problem(std::to_string(DescriptorCount() - descriptorsBefore) + " descriptors more than before the transfer");
  out.seconds = std::chrono::duration<double>(Clock::now() - started).count();
  return problems;
}

std::string MarkdownTable(const std::vector<FaultRow>& rows, const std::vector<Observed>& seen,
                          const std::vector<bool>& held) {
  std::ostringstream md;
  md << "| Direction | LinkMode | Fault | Messages (icon) | Ends | Window | Destination | Threads end | Row |\n"
     << "|---|---|---|---|---|---|---|---|---|\n";
  for (size_t i = 0; i < rows.size() && i < seen.size(); ++i) {
    const FaultRow& r = rows[i];
    const Observed& o = seen[i];
    std::string messages = o.messages.empty() ? "none" : Join(o.messages, "; ");
    for (size_t p; (p = messages.find('\n')) != std::string::npos;) messages.replace(p, 1, "\\n");
    md << "| " << (r.dir == Dir::kDownload ? "Download" : "Upload") << " | " << ModeName(r.mode) << " | " << r.fault
       << " | " << messages << " | " << o.ending << " | " << BusyText(o.busy) << " | " << o.dest << " | "
       << (o.joinMs < 0 ? "—" : std::to_string(o.joinMs) + " ms") << " | " << (held[i] ? "holds" : r.knownFault.empty() ? "**FAILS**" : "**FAILS**: " + r.knownFault)
       << " |\n";
  }
  return md.str();
}

}  // namespace kelvane::faults
