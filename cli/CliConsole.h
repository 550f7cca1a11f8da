#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace kelvane::cli {

// Standard error, shared by the worker threads (messages, --trace) and the
// main thread (progress, summary). Whole lines only; on a terminal a progress
// bar may occupy the last line, and every other line first wipes it so that
// the bar is redrawn below the text instead of being mixed into it.
class CConsole {
 public:
  using Sink = std::function<void(const std::string&)>;
  CConsole(Sink sink, bool terminal, int width = 80);

  bool Terminal() const { return terminal_; }
  int Width() const { return width_; }
  // One line; `text` carries no newline of its own.
  void Line(const std::string& text);
  // Terminal only: replaces the bar line (nothing written otherwise).
  void Bar(const std::string& text);
  // Wipes the bar line, if one is shown.
  void ClearBar();

 private:
  void ClearBarLocked();
  Sink sink_;
  const bool terminal_;
  const int width_;
  std::mutex mu_;
  bool barShown_ = false;
};

// Text that came from outside (the box's refusal, a file name) made safe for
// a terminal: control characters other than the line break become \xNN, so
// no byte from the line can drive the terminal.
std::string Printable(const std::string& text);

// A message of the worker threads as its lines on stderr: the error icon's
// messages get "error: " before their first line; a line break in the text
// starts a new line.
std::string FormatMessageLines(const std::string& text, bool errorIcon);

// 1536 -> "1.5 KiB"; below 1024 "512 B".
std::string FormatBytes(uint64_t bytes);
// 75 -> "1:15", 3725 -> "1:02:05".
std::string FormatDuration(double seconds);

// The progress bar line: done of total bytes (total 0: unknown), the
// average rate so far and the time left at that rate, fitted to `width`.
std::string FormatProgressBar(uint64_t done, uint64_t total, double elapsedSeconds, int width);
// The line shown while the box writes its flash after the last block.
std::string FormatWritingBar(uint64_t total, double writingSeconds, int width);
// The closing line of a completed transfer.
std::string FormatSummary(uint64_t bytes, double seconds);

}  // namespace kelvane::cli
