#include "CliTrace.h"

#include <cstdio>

#include "serial/Tick.h"

namespace kelvane::cli {

CLineMonitor::CLineMonitor(CConsole& console, bool trace, SteadyClock::time_point origin)
    : console_(console), trace_(trace), origin_(origin), lastActivity_(GetTickMs()) {}

namespace {
double SecondsSince(SteadyClock::time_point origin) {
  return std::chrono::duration<double>(SteadyClock::now() - origin).count();
}
}  // namespace

void CLineMonitor::OnLineBytes(bool transmitted, const uint8_t* data, int n) {
  if (n <= 0) return;
  lastActivity_.store(GetTickMs(), std::memory_order_release);
  (transmitted ? transmitted_ : received_).store(true, std::memory_order_release);
  if (trace_) {
    std::string lines = FormatTraceBytes(SecondsSince(origin_), transmitted, data, n);
    lines.pop_back();  // the console adds the last line break
    console_.Line(lines);
  }
}

void CLineMonitor::OnLineSpeed(uint32_t baud) {
  if (trace_) console_.Line(FormatTraceTime(SecondsSince(origin_)) + " speed " + std::to_string(baud));
}

std::string FormatTraceTime(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "+%.3f", seconds < 0 ? 0.0 : seconds);
  return buf;
}

std::string FormatTraceBytes(double seconds, bool transmitted, const uint8_t* data, int n) {
  const std::string head = FormatTraceTime(seconds) + (transmitted ? " TX" : " RX");
  std::string out;
  out.reserve(static_cast<size_t>(n) * 3 + (n / 16 + 1) * (head.size() + 1));
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < n; ++i) {
    if (i % 16 == 0) {
      if (i) out += '\n';
      out += head;
    }
    out += ' ';
    out += kHex[data[i] >> 4];
    out += kHex[data[i] & 15];
  }
  out += '\n';
  return out;
}

}  // namespace kelvane::cli
