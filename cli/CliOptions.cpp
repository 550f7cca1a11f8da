#include "CliOptions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "protocol/UploadName.h"
#include "serial/SerialLink.h"

namespace kelvane::cli {
namespace {

constexpr const char* kKindNames[] = {"boot", "data", "program", "all", "satcodx", "still", "keydata"};
constexpr const char* kKindTexts[] = {"Boot Only", "Data Only",   "Program Only", "Program All",
                                      "SatcoDX",   "Still Image", "KeyData"};

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

// COM1..COM6 (any letter case) -> 1..6; 0 for anything else.
int PortNumberOf(const std::string& text) {
  if (text.size() != 4 || strncasecmp(text.c_str(), "COM", 3) != 0) return 0;
  const char d = text[3];
  return d >= '1' && d <= '6' ? d - '0' : 0;
}

int BaudIndexOf(const std::string& text) {
  for (int i = 0; i < 5; ++i)
    if (text == std::to_string(BaudForIndex(i))) return i;
  return -1;
}

int KindOf(const std::string& text) {
  for (int i = 0; i < 7; ++i)
    if (strcasecmp(text.c_str(), kKindNames[i]) == 0) return i;
  return -1;
}

// A positive number of seconds, with an optional fraction; false otherwise.
bool ParseSeconds(const std::string& text, double* out) {
  if (text.empty() || text.size() > 32) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) || v <= 0 || v > 1e7) return false;
  // strtod also takes hexadecimal, "inf" and leading blanks: only plain decimals here.
  for (char c : text)
    if (!((c >= '0' && c <= '9') || c == '.')) return false;
  *out = v;
  return true;
}

// "" when the file can be opened for reading and is a regular file;
// otherwise the reason, for one line on stderr.
std::string ReadableFileProblem(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "cannot read " + Quoted(path) + ": " + std::strerror(errno);
  struct stat st {};
  const bool ok = fstat(fd, &st) == 0;
  const int err = errno;
  close(fd);
  if (!ok) return "cannot read " + Quoted(path) + ": " + std::strerror(err);
  if (S_ISDIR(st.st_mode)) return "cannot read " + Quoted(path) + ": it is a directory";
  if (!S_ISREG(st.st_mode)) return "cannot read " + Quoted(path) + ": not a regular file";
  return "";
}

// "" when an Upload may create `path`: its directory exists and can be
// written, and the name itself is not a directory.
std::string WritableDestinationProblem(const std::string& path) {
  const std::string what = "cannot write " + Quoted(path) + ": ";
  if (path.empty()) return "the output file name is empty";
  if (path.back() == '/') return what + "it names a directory";
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return what + "it is a directory";
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (stat(dir.c_str(), &st) != 0) return what + "directory " + Quoted(dir) + ": " + std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return what + Quoted(dir) + " is not a directory";
  if (access(dir.c_str(), W_OK | X_OK) != 0)
    return what + "directory " + Quoted(dir) + ": " + std::strerror(errno);
  return "";
}

ParseResult Usage(std::string error) {
  ParseResult r;
  r.action = ParseResult::UsageError;
  r.error = std::move(error);
  return r;
}

}  // namespace

const char* KindOptionName(int kind) { return kind >= 0 && kind < 7 ? kKindNames[kind] : nullptr; }
const char* KindDisplayName(int kind) { return kind >= 0 && kind < 7 ? kKindTexts[kind] : "none"; }

ParseResult ParseCommandLine(const std::vector<std::string>& args) {
  ParseResult result;
  CliOptions& o = result.options;
  std::vector<std::string> positional;
  bool outputGiven = false;

  // Options that take a value, by their long and short names.
  struct ValueOption {
    const char* longName;
    char shortName;
  };
  static constexpr ValueOption kValueOptions[] = {
      {"port", 'p'}, {"speed", 's'}, {"kind", 'k'}, {"output", 'o'}, {"wait", 'w'}};

  auto applyValue = [&](const std::string& name, const std::string& value) -> std::string {
    if (name == "port") {
      if (value.find('/') != std::string::npos) {
        o.portNumber = 0;
        o.devicePath = value;
      } else if (const int n = PortNumberOf(value)) {
        o.portNumber = n;
        o.devicePath.clear();
      } else {
        return "bad port " + Quoted(value) + " (COM1..COM6 or a device path such as /dev/ttyUSB0)";
      }
      o.portText = value;
    } else if (name == "speed") {
      const int i = BaudIndexOf(value);
      if (i < 0) return "bad speed " + Quoted(value) + " (9600, 19200, 38400, 57600 or 115200)";
      o.baudIndex = i;
    } else if (name == "kind") {
      const int k = KindOf(value);
      if (k < 0) return "bad kind " + Quoted(value) + " (boot, data, program, all, satcodx, still or keydata)";
      o.kind = k;
    } else if (name == "output") {
      if (value.empty()) return "the output file name is empty";
      o.output = value;
      outputGiven = true;
    } else if (name == "wait") {
      if (!ParseSeconds(value, &o.waitSeconds)) return "bad --wait " + Quoted(value) + " (a number of seconds above 0)";
    }
    return "";
  };

  bool help = false, version = false;
  auto applyFlag = [&](const std::string& name) {
    if (name == "upload") o.upload = true;
    else if (name == "quiet") o.quiet = true;
    else if (name == "trace") o.trace = true;
    else if (name == "keep-channels") o.keepChannels = true;
    else if (name == "help") help = true;
    else if (name == "version") version = true;
    else return false;
    return true;
  };
  auto flagOfShort = [](char c) -> const char* {
    switch (c) {
      case 'u': return "upload";
      case 'q': return "quiet";
      case 'h': return "help";
      case 'V': return "version";
      default: return nullptr;
    }
  };

  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      positional.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    if (a[1] == '-') {
      const size_t eq = a.find('=');
      const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      bool takesValue = false;
      for (const auto& v : kValueOptions) takesValue |= name == v.longName;
      if (takesValue) {
        std::string value;
        if (eq != std::string::npos) {
          value = a.substr(eq + 1);
        } else if (i + 1 < args.size()) {
          value = args[++i];
        } else {
          return Usage("option --" + name + " needs a value");
        }
        if (std::string e = applyValue(name, value); !e.empty()) return Usage(e);
      } else if (eq != std::string::npos) {
        bool known = applyFlag(name);
        return Usage(known ? "option --" + name + " takes no value"
                           : "unknown option " + Quoted(a.substr(0, eq)) + " (kelvane-cli --help lists them)");
      } else if (!applyFlag(name)) {
        return Usage("unknown option " + Quoted(a) + " (kelvane-cli --help lists them)");
      }
      continue;
    }
    // One or more short options: -uq, -p COM2, -pCOM2.
    for (size_t j = 1; j < a.size(); ++j) {
      const char c = a[j];
      const ValueOption* vo = nullptr;
      for (const auto& v : kValueOptions)
        if (v.shortName == c) vo = &v;
      if (vo) {
        std::string value;
        if (j + 1 < a.size()) {
          value = a.substr(j + 1);
        } else if (i + 1 < args.size()) {
          value = args[++i];
        } else {
          return Usage(std::string("option -") + c + " needs a value");
        }
        if (std::string e = applyValue(vo->longName, value); !e.empty()) return Usage(e);
        break;
      }
      const char* flag = flagOfShort(c);
      if (!flag) return Usage(std::string("unknown option '-") + c + "' (kelvane-cli --help lists them)");
      applyFlag(flag);
    }
  }

  if (help) {
    result.action = ParseResult::Help;
    return result;
  }
  if (version) {
    result.action = ParseResult::Version;
    return result;
  }

  if (positional.size() > 1) return Usage("more than one FILE given (" + Quoted(positional[1]) + ")");

  if (!o.upload) {
    if (positional.empty()) return Usage("no FILE given: name the image to download (or -u to upload)");
    if (outputGiven) return Usage("-o/--output is for an upload (-u) only");
    o.file = positional[0];
    if (std::string e = ReadableFileProblem(o.file); !e.empty()) return Usage(e);
    return result;
  }

  if (!positional.empty())
    return Usage("an upload takes no FILE (" + Quoted(positional[0]) + "): name the destination with -o");
  if (o.kind < 0) return Usage("an upload needs -k/--kind: the area to read (boot, data, program, all or keydata)");
  if (!outputGiven) {
    const char* name = UploadFileNameForKind(o.kind);
    if (!name)
      return Usage(std::string("an upload of kind ") + KindOptionName(o.kind) + " needs -o/--output FILE");
    o.output = name;
  }
  if (std::string e = WritableDestinationProblem(o.output); !e.empty()) return Usage(e);
  return result;
}

std::string HelpText() {
  return R"(Usage: kelvane-cli [OPTIONS] FILE          send FILE into the box (download)
       kelvane-cli -u -k KIND [OPTIONS]     read an area of the box into a file (upload)

Moves data between this PC and a satellite set-top box over a serial line.
Start kelvane-cli, then switch the box on: its loader announces itself, and
the transfer runs at the chosen speed. Messages, progress and the summary go
to standard error.

Options:
  -p, --port PORT      COM1..COM6 or a device path such as /dev/ttyUSB0
                       (default COM1; COMn is $KELVANE_COMn when set,
                       otherwise the n-th serial device: USB adapters first)
  -s, --speed BAUD     9600, 19200, 38400, 57600 or 115200 (default 115200)
  -k, --kind KIND      boot, data, program, all, satcodx, still or keydata;
                       a download guesses it from FILE's size and contents,
                       an upload needs it
  -u, --upload         read the area of KIND from the box (default: download)
  -o, --output FILE    where an upload goes (default Boot.Dat, Data.Dat,
                       Program.Dat, Flash.Dat or Key.Dat in the current
                       directory; required for satcodx and still). An earlier
                       file of that name is replaced only when the upload
                       completes
      --keep-channels  ask the box to keep its channel list (default: clear)
  -w, --wait SECONDS   give up when no box has been answered within SECONDS
                       (default: wait until interrupted); the transfer
                       itself may then take as long as it needs
  -q, --quiet          no prompt and no progress bar (messages and the
                       summary stay)
      --trace          every byte on the line as timestamped hex, and each
                       speed switch, on standard error
  -h, --help           show this help and exit
  -V, --version        show the version and exit

Ctrl-C cancels the transfer (a second Ctrl-C quits at once). Serial ports
usually belong to the group 'dialout': join it to open them without root.

Exit status:
  0  the transfer completed without an error
  1  the transfer failed, was refused, timed out or was interrupted
  2  bad command line, or FILE cannot be read or the output cannot be written
  3  the port could not be opened
  4  --wait ran out

Examples:
  kelvane-cli -p /dev/ttyUSB0 main.bin           send a program image
  kelvane-cli -u -k data -o data-backup.dat      save the data area
  KELVANE_COM1=/dev/ttyACM0 kelvane-cli -s 57600 -k keydata key.bin
)";
}

std::string VersionText() { return std::string("kelvane-cli ") + KELVANE_VERSION + "\n"; }

}  // namespace kelvane::cli
