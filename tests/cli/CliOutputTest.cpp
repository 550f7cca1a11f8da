#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "CliConsole.h"
#include "CliOwner.h"
#include "CliRunner.h"
#include "CliTrace.h"

namespace kelvane::cli {
namespace {

TEST(CliMessages, ErrorIconPrefixAndLineBreaks) {
  struct Case {
    std::string text;
    bool error;
    std::string lines;
  } cases[] = {
      {"Upgrade Complete", false, "Upgrade Complete"},
      {"Time Out Error", true, "error: Time Out Error"},
      // The refusal's text follows the line break on a line of its own.
      {"Version mismatch \nV2.31", true, "error: Version mismatch \nV2.31"},
      {" Image Size Over 720*576 ", false, " Image Size Over 720*576 "},
      // A trailing break would print an empty line the message never had.
      {"Version mismatch \n", true, "error: Version mismatch "},
      // Bytes from the box cannot drive the terminal.
      {"Version mismatch \nA\x1b[2JB\r\x7f", true, "error: Version mismatch \nA\\x1B[2JB\\x0D\\x7F"},
      {std::string("x\0y", 3), true, "error: x\\x00y"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatMessageLines(c.text, c.error), c.lines) << c.text;
  // Text beyond ASCII (a file name in UTF-8) passes untouched.
  EXPECT_EQ(Printable("Bild_\xc3\xa4.jpg"), "Bild_\xc3\xa4.jpg");
}

TEST(CliMessages, WhatEachMessageMeansForAnUnattendedTransfer) {
  struct Case {
    std::string text;
    MsgIcon icon;
    bool upload;
    MessageEffect effect;
  } cases[] = {
      // The window would wait for the operator after these.
      {"CheckSum Error.", MsgIcon::Error, false, MessageEffect::CancelNow},
      {"Read Buffer Over", MsgIcon::Error, true, MessageEffect::CancelNow},
      {"Error Packet!!!", MsgIcon::Error, true, MessageEffect::CancelNow},
      // An Upload that cannot store anything is not worth finishing.
      {"File Open Error", MsgIcon::Error, true, MessageEffect::CancelNow},
      // A Download's sender closes the link itself after it.
      {"File Open Error", MsgIcon::Error, false, MessageEffect::EndsOrStalls},
      // The box goes on after a failed flash write.
      {"Flash Write Error", MsgIcon::Error, false, MessageEffect::None},
      // Errors after which the threads close the link.
      {"Time Out Error", MsgIcon::Error, false, MessageEffect::EndsOrStalls},
      {"CheckSum Error", MsgIcon::Error, true, MessageEffect::EndsOrStalls},
      {"Upgrade Error", MsgIcon::Error, false, MessageEffect::EndsOrStalls},
      {"Version mismatch \nX", MsgIcon::Error, false, MessageEffect::EndsOrStalls},
      // Warnings never stop anything.
      {"Abort Download", MsgIcon::Warning, false, MessageEffect::None},
      {"Upgrade Complete", MsgIcon::Warning, false, MessageEffect::None},
      {"Data Upload Complete", MsgIcon::Warning, true, MessageEffect::None},
  };
  for (const auto& c : cases) EXPECT_EQ(EffectOf(c.text, c.icon, c.upload), c.effect) << c.text;
  EXPECT_TRUE(IsCompletionMessage("Upgrade Complete"));
  EXPECT_TRUE(IsCompletionMessage("Data Upload Complete"));
  EXPECT_FALSE(IsCompletionMessage("Abort Download"));
}

TEST(CliExitStatus, FromTheOutcome) {
  struct Case {
    Outcome o;
    int status;
  } cases[] = {
      {{true, false, false, false}, kExitCompleted},
      // "Upgrade Complete" after an error (a flash write that failed on the way) is no success.
      {{true, true, false, false}, kExitFailed},
      {{false, true, false, false}, kExitFailed},
      {{false, false, false, false}, kExitFailed},  // the link closed without a word
      {{true, false, true, false}, kExitFailed},    // interrupted, whatever came after
      {{false, false, true, false}, kExitFailed},
      {{false, false, false, true}, kExitWaitExpired},
      {{false, false, true, true}, kExitWaitExpired},
  };
  for (const auto& c : cases)
    EXPECT_EQ(DecideExitStatus(c.o), c.status)
        << c.o.completed << c.o.errorShown << c.o.interrupted << c.o.waitExpired;
}

TEST(CliProgress, BarFiguresAndFit) {
  // Half of 256 KiB in 10 s: 12.8 KiB/s, another 10 s to go.
  std::string bar = FormatProgressBar(131072, 262144, 10.0, 100);
  EXPECT_NE(bar.find(" 50%"), std::string::npos) << bar;
  EXPECT_NE(bar.find("128.0 KiB of 256.0 KiB"), std::string::npos) << bar;
  EXPECT_NE(bar.find("12.8 KiB/s"), std::string::npos) << bar;
  EXPECT_NE(bar.find("0:10 left"), std::string::npos) << bar;
  EXPECT_EQ(bar.front(), '[');
  // No rate before there is any time to measure it, and no division by zero.
  bar = FormatProgressBar(0, 5000, 0.0, 100);
  EXPECT_EQ(bar.find("/s"), std::string::npos) << bar;
  EXPECT_NE(bar.find("  0%"), std::string::npos) << bar;
  // A count beyond the total is shown as complete, not as 130%.
  EXPECT_NE(FormatProgressBar(6500, 5000, 1.0, 100).find("100%"), std::string::npos);
  // Unknown total: bytes and rate only.
  bar = FormatProgressBar(2048, 0, 1.0, 100);
  EXPECT_EQ(bar, "2.0 KiB  2.0 KiB/s");
  // A narrow terminal drops the graphic; nothing is ever as wide as the line
  // (a full line would wrap, and the next redraw would leave a copy behind).
  for (int width : {20, 40, 60, 80, 200}) {
    for (const std::string& line : {FormatProgressBar(1000000, 2000000, 3.0, width), FormatWritingBar(2000000, 61, width)})
      EXPECT_LT(static_cast<int>(line.size()), width) << line;
  }
  EXPECT_EQ(FormatProgressBar(1000000, 2000000, 3.0, 40).front(), ' ');
}

TEST(CliProgress, UnitsDurationsAndSummary) {
  EXPECT_EQ(FormatBytes(0), "0 B");
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1536), "1.5 KiB");
  EXPECT_EQ(FormatBytes(2u * 1024 * 1024), "2.0 MiB");
  EXPECT_EQ(FormatDuration(0), "0:00");
  EXPECT_EQ(FormatDuration(75), "1:15");
  EXPECT_EQ(FormatDuration(3725), "1:02:05");
  EXPECT_EQ(FormatDuration(-4), "0:00");
  EXPECT_EQ(FormatSummary(262144, 2.0), "262144 bytes in 2.00 s, 131072 bytes/s");
  // A transfer too quick to time still gets a finite rate.
  const std::string quick = FormatSummary(100, 0.0);
  EXPECT_EQ(quick.find("inf"), std::string::npos) << quick;
  EXPECT_NE(quick.find("100 bytes in 0.00 s"), std::string::npos) << quick;
}

TEST(CliTraceFormat, TimestampedHexLines) {
  const uint8_t req[] = {0x43, 0x44, 0x1F, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(FormatTraceBytes(12.3456, true, req, 6), "+12.346 TX 43 44 1F FF FF FF\n");
  EXPECT_EQ(FormatTraceTime(0.0005), "+0.001");
  std::vector<uint8_t> block(20);
  for (int i = 0; i < 20; ++i) block[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(FormatTraceBytes(1.0, false, block.data(), 20),
            "+1.000 RX 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n"
            "+1.000 RX 10 11 12 13\n");
}

// Lines from several threads while the main thread redraws the bar: every
// line arrives whole, and none is glued to a bar.
TEST(CliConsoleTest, LinesFromManyThreadsStayWholeBesideTheBar) {
  std::string out;
  std::mutex outMu;
  CConsole console(
      [&](const std::string& s) {
        std::lock_guard<std::mutex> lock(outMu);
        out += s;
      },
      true, 80);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) console.Line("line " + std::to_string(t) + " " + std::to_string(i));
    });
  for (int i = 0; i < 200; ++i) console.Bar("[bar " + std::to_string(i) + "]");
  for (auto& th : threads) th.join();
  console.ClearBar();

  // A bar is "\r\033[K" and its text; a line wipes it with "\r\033[K" first.
  // So what follows the last wipe before each line break must be the line alone.
  size_t lines = 0, begin = 0, nl;
  while ((nl = out.find('\n', begin)) != std::string::npos) {
    std::string segment = out.substr(begin, nl - begin);
    const size_t wipe = segment.rfind("\033[K");
    if (wipe != std::string::npos) segment = segment.substr(wipe + 3);
    EXPECT_EQ(segment.rfind("line ", 0), 0u) << "[" << segment << "]";
    EXPECT_EQ(segment.find("[bar"), std::string::npos) << segment;
    ++lines;
    begin = nl + 1;
  }
  EXPECT_EQ(lines, 800u);
  // The bar is wiped at the end: after the last line, either nothing or a
  // bar and its wipe.
  const std::string tail = out.substr(out.rfind('\n') + 1);
  EXPECT_TRUE(tail.empty() || (tail.size() >= 3 && tail.substr(tail.size() - 3) == "\033[K")) << tail;
}

TEST(CliConsoleTest, NoBarOffATerminal) {
  std::string out;
  CConsole console([&](const std::string& s) { out += s; }, false, 80);
  console.Bar("[####]");
  console.Line("Upgrade Complete");
  console.ClearBar();
  EXPECT_EQ(out, "Upgrade Complete\n");
}

}  // namespace
}  // namespace kelvane::cli
