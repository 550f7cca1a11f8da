#include "CliConsole.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kelvane::cli {

CConsole::CConsole(Sink sink, bool terminal, int width)
    : sink_(std::move(sink)), terminal_(terminal), width_(std::clamp(width, 20, 400)) {}

void CConsole::ClearBarLocked() {
  if (!barShown_) return;
  sink_("\r\033[K");
  barShown_ = false;
}

void CConsole::Line(const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  ClearBarLocked();
  sink_(text + "\n");
}

void CConsole::Bar(const std::string& text) {
  if (!terminal_) return;
  std::lock_guard<std::mutex> lock(mu_);
  sink_("\r\033[K" + text);
  barShown_ = true;
}

void CConsole::ClearBar() {
  std::lock_guard<std::mutex> lock(mu_);
  ClearBarLocked();
}

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\n' || (c >= 0x20 && c != 0x7F)) {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
    }
  }
  return out;
}

std::string FormatMessageLines(const std::string& text, bool errorIcon) {
  std::string out = errorIcon ? "error: " : "";
  out += Printable(text);
  // One message, one or more whole lines: a trailing line break would leave
  // an empty line behind, which the message never had.
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string FormatBytes(uint64_t bytes) {
  char buf[32];
  if (bytes < 1024) {
    std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
  } else if (bytes < 1024ull * 1024) {
    std::snprintf(buf, sizeof buf, "%.1f KiB", bytes / 1024.0);
  } else {
    std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024.0));
  }
  return buf;
}

std::string FormatDuration(double seconds) {
  if (!(seconds >= 0)) seconds = 0;
  const auto s = static_cast<unsigned long long>(std::llround(std::min(seconds, 1e7)));
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%llu:%02llu", s / 60, s % 60);
  return buf;
}

namespace {

// "[#####-----]" of the given inner width.
std::string BarGraphic(double fraction, int inner) {
  fraction = std::clamp(fraction, 0.0, 1.0);
  const int filled = static_cast<int>(fraction * inner);
  return "[" + std::string(filled, '#') + std::string(inner - filled, '-') + "]";
}

std::string Fit(std::string text, int width) {
  if (static_cast<int>(text.size()) > width - 1) text.resize(std::max(0, width - 1));
  return text;
}

}  // namespace

std::string FormatProgressBar(uint64_t done, uint64_t total, double elapsedSeconds, int width) {
  std::string figures;
  double fraction = 0;
  if (total > 0) {
    done = std::min(done, total);
    fraction = static_cast<double>(done) / static_cast<double>(total);
    char pct[8];
    std::snprintf(pct, sizeof pct, "%3d%%", static_cast<int>(fraction * 100));
    figures = std::string(pct) + "  " + FormatBytes(done) + " of " + FormatBytes(total);
  } else {
    figures = FormatBytes(done);
  }
  const double rate = elapsedSeconds > 0.05 ? done / elapsedSeconds : 0;
  if (rate > 0) {
    figures += "  " + FormatBytes(static_cast<uint64_t>(rate)) + "/s";
    if (total > 0) figures += "  " + FormatDuration((total - done) / rate) + " left";
  }
  const int inner = std::min(30, width - 1 - static_cast<int>(figures.size()) - 4);
  if (total > 0 && inner >= 10) return Fit(BarGraphic(fraction, inner) + "  " + figures, width);
  return Fit(figures, width);
}

std::string FormatWritingBar(uint64_t total, double writingSeconds, int width) {
  std::string text = "all " + FormatBytes(total) + " sent; the box is writing its flash (" +
                     FormatDuration(writingSeconds) + ")";
  if (total == 0) text = "the box is writing its flash (" + FormatDuration(writingSeconds) + ")";
  return Fit(text, width);
}

std::string FormatSummary(uint64_t bytes, double seconds) {
  const double s = std::max(seconds, 0.001);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%llu bytes in %.2f s, %.0f bytes/s", static_cast<unsigned long long>(bytes),
                seconds < 0 ? 0.0 : seconds, bytes / s);
  return buf;
}

}  // namespace kelvane::cli
