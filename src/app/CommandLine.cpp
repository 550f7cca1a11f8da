#include "app/CommandLine.h"

#include <cstring>

namespace kelvane {

std::string JoinArguments(int argc, const char* const* argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return text;
}

PathTaken TakeCommandLinePath(const std::string& argumentText, char (&szPath)[kPathBytes]) {
  std::memset(szPath, 0, kPathBytes);
  const char* from = argumentText.data();
  std::size_t n = argumentText.size();
  if (n > 0 && argumentText[0] == '"') {
    // Drop the opening quote and the last character. A lone quote leaves
    // nothing (its length would be negative).
    if (n < 2) return PathTaken::Empty;
    from += 1;
    n -= 2;
  }
  if (n == 0) return PathTaken::Empty;
  if (n > kPathBytes - 1) return PathTaken::TooLong;
  std::memcpy(szPath, from, n);
  return PathTaken::Taken;
}

}  // namespace kelvane
