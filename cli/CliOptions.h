#pragma once
#include <string>
#include <vector>

namespace kelvane::cli {

// Exit statuses of kelvane-cli.
enum ExitStatus : int {
  kExitCompleted = 0,  // the transfer completed and no error was shown
  kExitFailed = 1,     // failed, refused, timed out or interrupted
  kExitUsage = 2,      // bad command line or unusable file
  kExitOpen = 3,       // the port could not be opened
  kExitWaitExpired = 4 // --wait ran out before the box was accepted
};

struct CliOptions {
  // Port: either a port-list number (COM1..COM6 -> 1..6) or a device path.
  int portNumber = 1;
  std::string devicePath;
  std::string portText = "COM1";  // as the operator wrote it, for messages

  int baudIndex = 4;  // 115200
  int kind = -1;      // ImageKind 0..6; -1: not given
  bool upload = false;
  std::string file;    // the Download's image
  std::string output;  // the Upload's destination (resolved: never empty for an Upload)
  bool keepChannels = false;
  double waitSeconds = 0;  // 0: wait until interrupted
  bool quiet = false;
  bool trace = false;
};

struct ParseResult {
  enum Action { Run, Help, Version, UsageError } action = Run;
  CliOptions options;
  std::string error;  // one line, without the program name, for UsageError
};

// Reads the arguments (argv[0] excluded) and checks what can be checked
// before the port opens: values, a readable FILE for a Download, a kind and a
// writable destination for an Upload. The Download's default kind is left at
// -1: it depends on the file's contents and is settled by the runner.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// Names of the kinds on the command line, by ImageKind; nullptr out of range.
const char* KindOptionName(int kind);
// The kind list's text ("Program Only" ...), by ImageKind.
const char* KindDisplayName(int kind);

// The --help text and the --version line.
std::string HelpText();
std::string VersionText();

}  // namespace kelvane::cli
