#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/CommandLine.h"

namespace kelvane {
namespace {

TEST(JoinArguments, PutsTheArgumentsBackIntoOneText) {
  struct Case {
    std::vector<const char*> argv;  // argv[0] is the program
    std::string text;
  };
  const Case cases[] = {
      {{"kelvane"}, ""},
      {{"kelvane", "/tmp/main.bin"}, "/tmp/main.bin"},
      // The shell split "My Files/main.bin" at the blank: one blank joins it again.
      {{"kelvane", "/home/a/My", "Files/main.bin"}, "/home/a/My Files/main.bin"},
      {{"kelvane", "a", "", "b"}, "a  b"},
      {{"kelvane", "\"/tmp/x y.bin\""}, "\"/tmp/x y.bin\""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(JoinArguments(static_cast<int>(c.argv.size()), c.argv.data()), c.text) << c.text;
}

// The buffer the window keeps, with a guard area behind it that the rule
// must never touch.
struct GuardedPath {
  char szPath[kPathBytes];
  char guard[64];
};

TEST(TakeCommandLinePath, FollowsTheQuoteRuleWithinTheBuffer) {
  const std::string longest(kPathBytes - 1, 'p');  // 260 bytes: fits exactly
  const std::string tooLong(kPathBytes, 'p');      // 261 bytes: does not
  struct Case {
    const char* name;
    std::string text;
    PathTaken taken;
    std::string path;
  };
  const Case cases[] = {
      {"no argument", "", PathTaken::Empty, ""},
      {"quoted", "\"/tmp/My Files/main.bin\"", PathTaken::Taken, "/tmp/My Files/main.bin"},
      {"unquoted with blanks", "/tmp/My Files/main.bin", PathTaken::Taken, "/tmp/My Files/main.bin"},
      {"two quotes", "\"\"", PathTaken::Empty, ""},
      {"a lone quote", "\"", PathTaken::Empty, ""},
      // The last character goes whatever it is: the closing quote stays, the
      // blank and all but the last character of what follows.
      {"quoted then more text", "\"/tmp/a.bin\" extra", PathTaken::Taken, "/tmp/a.bin\" extr"},
      {"quote only at the start", "\"/tmp/a.bin", PathTaken::Taken, "/tmp/a.bi"},
      {"quote inside, not first", "/tmp/\"a\".bin", PathTaken::Taken, "/tmp/\"a\".bin"},
      {"260 bytes", longest, PathTaken::Taken, longest},
      {"260 bytes quoted", "\"" + longest + "\"", PathTaken::Taken, longest},
      {"261 bytes", tooLong, PathTaken::TooLong, ""},
      {"261 bytes quoted", "\"" + tooLong + "\"", PathTaken::TooLong, ""},
      {"very long", std::string(5000, 'x'), PathTaken::TooLong, ""},
  };
  for (const Case& c : cases) {
    GuardedPath buf;
    std::memset(&buf, 0x5A, sizeof buf);  // stale bytes everywhere
    EXPECT_EQ(TakeCommandLinePath(c.text, buf.szPath), c.taken) << c.name;
    EXPECT_EQ(std::string(buf.szPath), c.path) << c.name;
    // Every byte after the path is zero, and nothing behind the buffer changed.
    for (std::size_t i = c.path.size(); i < kPathBytes; ++i)
      ASSERT_EQ(buf.szPath[i], '\0') << c.name << " at " << i;
    for (char g : buf.guard) ASSERT_EQ(g, 0x5A) << c.name;
  }
}

}  // namespace
}  // namespace kelvane
