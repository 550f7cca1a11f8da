#include "CliRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "CliOwner.h"
#include "serial/OpenFailureText.h"
#include "CliTrace.h"
#include "image/Select.h"
#include "protocol/Protocol.h"
#include "serial/SerialLink.h"
#include "serial/Tick.h"

namespace kelvane::cli {

// ---- Ctrl-C -----------------------------------------------------------------

CInterrupt::CInterrupt() {
  if (pipe2(fds_, O_NONBLOCK | O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
}

CInterrupt::~CInterrupt() {
  for (int fd : fds_)
    if (fd >= 0) close(fd);
}

void CInterrupt::Raise() {
  const char c = 1;
  if (fds_[1] >= 0) {
    const ssize_t r = write(fds_[1], &c, 1);  // a full pipe already says "raised"
    (void)r;
  }
}

bool CInterrupt::Take() {
  if (fds_[0] < 0) return false;
  bool raised = false;
  char buf[64];
  while (read(fds_[0], buf, sizeof buf) > 0) raised = true;
  return raised;
}

// ---- exit status and open failures -----------------------------------------

int DecideExitStatus(const Outcome& o) {
  if (o.waitExpired) return kExitWaitExpired;
  if (o.interrupted) return kExitFailed;
  return o.completed && !o.errorShown ? kExitCompleted : kExitFailed;
}

// ---- one run ----------------------------------------------------------------

namespace {

uint64_t FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

double SecondsBetween(SteadyClock::time_point a, SteadyClock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Bytes done and total from whatever the threads reported: their byte counts
// when they give them, otherwise the progress bar's position.
void ProgressBytes(const CCliOwner::State& st, uint64_t knownTotal, uint64_t* done, uint64_t* total) {
  if (st.bytesReported) {
    *done = st.bytesDone;
    *total = st.bytesTotal;
    return;
  }
  *total = knownTotal;
  const double fraction = st.progressMax ? std::clamp(st.progressPos / double(st.progressMax), 0.0, 1.0) : 0.0;
  *done = static_cast<uint64_t>(fraction * static_cast<double>(knownTotal));
}

}  // namespace

int RunTransfer(const CliOptions& options, CConsole& console, CInterrupt& interrupt, const RunLimits& limits) {
  const auto origin = SteadyClock::now();
  const bool upload = options.upload;

  // The Download's kind and status line, as the window would set them on
  // choosing the file; its messages count only when they choose the kind.
  int kind = options.kind;
  std::string status = options.output;
  uint64_t knownTotal = 0;
  if (!upload) {
    MessageFn show = [&](const std::string& text, MsgIcon icon) {
      console.Line(FormatMessageLines(text, icon == MsgIcon::Error));
    };
    const CSelection sel = SelectImageFile(options.file, kProgramOnly, kind < 0 ? show : MessageFn());
    if (!sel.selected) {
      console.Line("kelvane-cli: cannot read '" + Printable(options.file) + "'");
      return kExitUsage;
    }
    if (kind < 0) kind = sel.kind;
    status = sel.status;
    knownTotal = FileSize(options.file);
  }

  CCliOwner owner(console, kind, upload ? 1 : 0, options.baudIndex, upload ? "" : options.file, status);
  CLineMonitor monitor(console, options.trace, origin);
  // Declared after the owner and the monitor: its destructor joins the
  // threads, which may still be calling them.
  CSerialLink link;
  link.SetOwner(&owner);
  link.SetTrace(&monitor);
  link.bSaveChannelList.store(options.keepChannels ? 1 : 0);
  if (options.devicePath.empty()) {
    link.nPort.store(static_cast<uint8_t>(options.portNumber));
  } else {
    link.SetDevicePath(options.devicePath);
  }

  if (!options.quiet) {
    const std::string speed = std::to_string(BaudForIndex(options.baudIndex)) + " bit/s";
    if (upload)
      console.Line("Upload of " + std::string(KindDisplayName(kind)) + " into '" + Printable(options.output) +
                   "' at " + speed);
    else
      console.Line("Download of '" + Printable(options.file) + "' (" + std::to_string(knownTotal) + " bytes) as " +
                   KindDisplayName(kind) + " at " + speed);
  }

  // The worker threads take the signal mask of the thread that starts them:
  // Ctrl-C is then always delivered here, never in the middle of their I/O.
  sigset_t block, saved;
  sigemptyset(&block);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&block, sig);
  pthread_sigmask(SIG_BLOCK, &block, &saved);
  const int opened = link.Open();
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (!opened) {
    console.Line("OPEN ERROR");
    console.Line(Printable(
        ExplainOpenFailure(options.portText, link.LastDevice(), link.LastFailure(), link.LastFailureReason())));
    return kExitOpen;
  }
  if (!options.quiet) {
    const std::string dev = link.LastDevice();
    const std::string where =
        options.devicePath.empty() ? options.portText + " (" + dev + ")" : options.devicePath;
    console.Line("Waiting for the box on " + Printable(where) + ": switch the box on now.");
  }

  Outcome outcome;
  bool accepted = false;
  bool cancelled = false;    // we asked the threads to stop
  uint32_t cancelTick = 0;
  uint32_t errorTick = 0;    // an error that should close the link by itself
  bool errorPending = false;
  size_t seenMessages = 0;
  const uint32_t startTick = GetTickMs();
  uint32_t firstRxTick = 0;
  bool rxSeen = false, hinted = false;
  auto lastDraw = SteadyClock::now() - std::chrono::seconds(1);

  auto cancel = [&](bool disconnect) {
    if (cancelled) return;
    cancelled = true;
    cancelTick = GetTickMs();
    if (disconnect)
      link.Close();
    else
      link.Cancel();
  };

  while (link.IsOpen()) {
    pollfd pfd{interrupt.Fd(), POLLIN, 0};
    poll(&pfd, interrupt.Fd() >= 0 ? 1 : 0, 50);
    const uint32_t now = GetTickMs();
    const CCliOwner::State st = owner.Snapshot();

    if (interrupt.Take() && !outcome.interrupted) {
      outcome.interrupted = true;
      if (st.writing && !st.cancelEnabled) {
        // The window offers no Cancel while the box writes its flash; all
        // that is left is to disconnect. The box finishes the write itself.
        console.Line("kelvane-cli: interrupted while the box writes its flash; let it finish before you "
                     "switch it off");
        cancel(true);
      } else {
        console.Line("kelvane-cli: interrupted");
        cancel(false);
      }
    }

    accepted = accepted || monitor.Transmitted() || st.uploadNameAsked || st.pathAsked || st.messageCount > 0;

    // Bytes from the box that lead nowhere: most likely an announcement of a
    // loader that does not take this kind, which is ignored without a word.
    if (!accepted && !rxSeen && monitor.Received()) {
      rxSeen = true;
      firstRxTick = now;
    }
    if (!accepted && rxSeen && !hinted && !options.quiet && now - firstRxTick > 3000) {
      hinted = true;
      console.Line(std::string("kelvane-cli: the box is sending, but not an announcement this program takes for ") +
                   KindDisplayName(kind) + "; is the kind right? (--trace shows the bytes)");
    }

    if (!accepted && options.waitSeconds > 0 && !cancelled &&
        now - startTick > static_cast<uint32_t>(options.waitSeconds * 1000.0)) {
      outcome.waitExpired = true;
      char secs[32];
      std::snprintf(secs, sizeof secs, "%g", options.waitSeconds);
      console.Line(std::string("kelvane-cli: no box answered within ") + secs +
                   " s (--wait): is it switched on, on this port, and does it take this kind?");
      cancel(true);
    }

    for (const auto& m : owner.MessagesFrom(seenMessages)) {
      if (m.icon == MsgIcon::Error) outcome.errorShown = true;
      if (IsCompletionMessage(m.text)) outcome.completed = true;
      switch (EffectOf(m.text, m.icon, upload)) {
        case MessageEffect::CancelNow:
          cancel(false);
          break;
        case MessageEffect::EndsOrStalls:
          if (!errorPending) {
            errorPending = true;
            errorTick = now;
          }
          break;
        case MessageEffect::None:
          break;
      }
    }
    seenMessages = st.messageCount;

    if (errorPending && !cancelled && now - errorTick > limits.stallGraceMs && link.IsOpen()) {
      console.Line("kelvane-cli: the transfer stopped after the error; cancelling");
      cancel(false);
    }

    // The watchdog: the threads' own silence limit, plus a margin, with
    // nothing moving on the line or in the progress. During a LinkMode 0x20
    // block transfer the threads watch no time at all, so allow the longest
    // limit there.
    if (accepted && !cancelled) {
      const uint32_t lineTick = monitor.LastActivityTick();
      const uint32_t t = GetTickMs();  // read after both ticks, so neither lies ahead of it
      const uint32_t idle = std::min(t - lineTick, t - st.lastActivityTick);
      uint32_t limit = std::max<uint32_t>(link.dwRxTimeout.load(), 5000);
      if (link.linkMode.load() == 0x20 && link.bTransferRunning.load()) limit = std::max<uint32_t>(limit, 90000);
      limit += limits.watchdogMarginMs;
      if (idle > limit && link.IsOpen()) {
        outcome.errorShown = true;
        console.Line("kelvane-cli: nothing moved on the line for " + std::to_string(idle / 1000) +
                     " s; cancelling");
        cancel(false);
      }
    }

    if (cancelled && link.IsOpen() && now - cancelTick > limits.closeAfterCancelMs) link.Close();

    if (console.Terminal() && !options.quiet && st.started && !cancelled) {
      const auto t = SteadyClock::now();
      if (t - lastDraw >= std::chrono::milliseconds(100)) {
        lastDraw = t;
        uint64_t done = 0, total = 0;
        ProgressBytes(st, knownTotal, &done, &total);
        if (st.writing)
          console.Bar(FormatWritingBar(total, SecondsBetween(st.writingTime, t), console.Width()));
        else
          console.Bar(FormatProgressBar(done, total, SecondsBetween(st.startTime, t), console.Width()));
      }
    }
  }

  // The link is closed; the threads may still be showing their last message.
  link.WaitForThreads();
  console.ClearBar();

  const CCliOwner::State st = owner.Snapshot();
  for (const auto& m : owner.MessagesFrom(seenMessages)) {
    if (m.icon == MsgIcon::Error) outcome.errorShown = true;
    if (IsCompletionMessage(m.text)) outcome.completed = true;
  }
  const int exitStatus = DecideExitStatus(outcome);
  if (exitStatus == kExitCompleted) {
    const uint64_t moved = st.bytesReported ? st.bytesDone : upload ? FileSize(options.output) : knownTotal;
    const double seconds = st.started ? SecondsBetween(st.startTime, SteadyClock::now()) : 0.0;
    console.Line(FormatSummary(moved, seconds));
  }
  return exitStatus;
}

}  // namespace kelvane::cli
