#pragma once
#include <cstddef>
#include <string>

namespace kelvane {

// The selected file's path: at most 260 bytes of text and the terminator.
constexpr std::size_t kPathBytes = 261;

// The argument text of the command line: argv[1..] joined by single blanks
// (the shell has already split and unquoted them; this puts them back into
// one text, which is then taken as one path, blanks included). Empty without
// arguments.
std::string JoinArguments(int argc, const char* const* argv);

// How the argument text became a path.
enum class PathTaken {
  Empty,     // no path: no text, `""`, or a lone `"`
  Taken,     // szPath holds the path
  TooLong,   // the path has more than 260 bytes: rejected, szPath stays empty
};

// Fills all kPathBytes of szPath with zeros, then takes the path from the
// argument text: a text that begins with a double quote loses its first and
// its last character (whatever that is); any other text is taken whole. A
// path that does not fit is not cut short, since the shortened name could
// name another file: szPath stays empty instead. Nothing is written past
// kPathBytes.
PathTaken TakeCommandLinePath(const std::string& argumentText, char (&szPath)[kPathBytes]);

}  // namespace kelvane
