#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "CliOptions.h"

namespace kelvane::cli {
namespace {

// A scratch directory holding an image, a subdirectory, a FIFO and a
// read-only directory; the tests run inside it, so default Upload names land there.
class CliOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelvane-cli-opts-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_NE(getcwd(oldCwd_, sizeof oldCwd_), nullptr);
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    std::ofstream("main.bin") << std::string(5000, 'x');
    mkdir("sub", 0755);
    mkfifo("fifo", 0644);
    mkdir("ro", 0555);
    std::ofstream("secret.bin") << "x";
    chmod("secret.bin", 0);
  }
  void TearDown() override {
    if (chdir(oldCwd_) != 0) ADD_FAILURE() << "cannot return to " << oldCwd_;
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string dir_;
  char oldCwd_[4096] = {};
};

ParseResult Parse(std::vector<std::string> args) { return ParseCommandLine(args); }

TEST_F(CliOptionsTest, ValuesAndDefaults) {
  struct Case {
    std::vector<std::string> args;
    int port;
    std::string device;
    int baud, kind;
    bool upload, keep, quiet, trace;
    double wait;
    std::string output;
  } cases[] = {
      // Defaults: COM1, 115200, the kind left to the file's contents.
      {{"main.bin"}, 1, "", 4, -1, false, false, false, false, 0, ""},
      {{"-p", "com3", "-s", "9600", "main.bin"}, 3, "", 0, -1, false, false, false, false, 0, ""},
      {{"--port=/dev/ttyUSB0", "--speed=57600", "main.bin"}, 0, "/dev/ttyUSB0", 3, -1, false, false, false, false, 0, ""},
      {{"-pCOM6", "-s19200", "-kKEYDATA", "main.bin"}, 6, "", 1, 6, false, false, false, false, 0, ""},
      {{"main.bin", "--keep-channels", "-q", "--trace", "-w", "2.5"}, 1, "", 4, -1, false, true, true, true, 2.5, ""},
      {{"--", "main.bin"}, 1, "", 4, -1, false, false, false, false, 0, ""},
      // A later value wins, as usual.
      {{"-p", "/dev/ttyS0", "-p", "COM2", "-s", "38400", "main.bin"}, 2, "", 2, -1, false, false, false, false, 0, ""},
      // Uploads: default names per area, in the current directory.
      {{"-u", "-k", "boot"}, 1, "", 4, 0, true, false, false, false, 0, "Boot.Dat"},
      {{"-uq", "-k", "data"}, 1, "", 4, 1, true, false, true, false, 0, "Data.Dat"},
      {{"--upload", "--kind", "program"}, 1, "", 4, 2, true, false, false, false, 0, "Program.Dat"},
      {{"-u", "-k", "all"}, 1, "", 4, 3, true, false, false, false, 0, "Flash.Dat"},
      {{"-u", "-k", "keydata"}, 1, "", 4, 6, true, false, false, false, 0, "Key.Dat"},
      {{"-u", "-k", "satcodx", "-o", "sub/list.sdx"}, 1, "", 4, 4, true, false, false, false, 0, "sub/list.sdx"},
      {{"-u", "-k", "still", "--output=pic.jpg"}, 1, "", 4, 5, true, false, false, false, 0, "pic.jpg"},
      // An existing destination may be replaced.
      {{"-u", "-k", "data", "-o", "main.bin"}, 1, "", 4, 1, true, false, false, false, 0, "main.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ParseResult r = Parse(c.args);
    ASSERT_EQ(r.action, ParseResult::Run) << r.error;
    const CliOptions& o = r.options;
    EXPECT_EQ(o.portNumber, c.port);
    EXPECT_EQ(o.devicePath, c.device);
    EXPECT_EQ(o.baudIndex, c.baud);
    EXPECT_EQ(o.kind, c.kind);
    EXPECT_EQ(o.upload, c.upload);
    EXPECT_EQ(o.keepChannels, c.keep);
    EXPECT_EQ(o.quiet, c.quiet);
    EXPECT_EQ(o.trace, c.trace);
    EXPECT_DOUBLE_EQ(o.waitSeconds, c.wait);
    EXPECT_EQ(o.output, c.output);
    if (!c.upload) {
      EXPECT_EQ(o.file, "main.bin");
    }
  }
}

TEST_F(CliOptionsTest, HelpAndVersionWinOverEverythingElse) {
  EXPECT_EQ(Parse({"--help"}).action, ParseResult::Help);
  EXPECT_EQ(Parse({"-h", "-u"}).action, ParseResult::Help);  // no kind needed to read the help
  EXPECT_EQ(Parse({"-V"}).action, ParseResult::Version);
  EXPECT_EQ(Parse({"--version", "missing.bin"}).action, ParseResult::Version);
  // An unknown option still is one, even next to --help.
  EXPECT_EQ(Parse({"--help", "--colour"}).action, ParseResult::UsageError);
  EXPECT_NE(VersionText().find(KELVANE_VERSION), std::string::npos);
  for (const char* word : {"--port", "--speed", "--kind", "--upload", "--output", "--keep-channels", "--wait",
                           "--quiet", "--trace", "Exit status"})
    EXPECT_NE(HelpText().find(word), std::string::npos) << word;
}

TEST_F(CliOptionsTest, UsageErrorsNameTheProblem) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;  // the one line, or a distinctive part of it
  } cases[] = {
      {{"--colour", "main.bin"}, "unknown option '--colour'"},
      {{"--colour=red", "main.bin"}, "unknown option '--colour'"},
      {{"-x", "main.bin"}, "unknown option '-x'"},
      {{"-qx", "main.bin"}, "unknown option '-x'"},
      {{"--quiet=yes", "main.bin"}, "option --quiet takes no value"},
      {{"main.bin", "-s"}, "option -s needs a value"},
      {{"main.bin", "--port"}, "option --port needs a value"},
      {{"-s", "4800", "main.bin"}, "bad speed '4800'"},
      {{"-s", "115200x", "main.bin"}, "bad speed '115200x'"},
      {{"-s", "", "main.bin"}, "bad speed ''"},
      {{"-k", "flash", "main.bin"}, "bad kind 'flash'"},
      {{"-p", "COM7", "main.bin"}, "bad port 'COM7'"},
      {{"-p", "COM0", "main.bin"}, "bad port 'COM0'"},
      {{"-p", "ttyUSB0", "main.bin"}, "bad port 'ttyUSB0'"},
      {{"-w", "0", "main.bin"}, "bad --wait '0'"},
      {{"-w", "-3", "main.bin"}, "bad --wait '-3'"},
      {{"-w", "1e3", "main.bin"}, "bad --wait '1e3'"},
      {{"-w", "soon", "main.bin"}, "bad --wait 'soon'"},
      {{}, "no FILE given"},
      {{"-q"}, "no FILE given"},
      {{"main.bin", "other.bin"}, "more than one FILE given ('other.bin')"},
      {{"missing.bin"}, "cannot read 'missing.bin': No such file or directory"},
      {{"sub"}, "cannot read 'sub': it is a directory"},
      {{"fifo"}, "cannot read 'fifo': not a regular file"},
      {{"main.bin/x"}, "cannot read 'main.bin/x': Not a directory"},
      {{"-o", "out.bin", "main.bin"}, "-o/--output is for an upload (-u) only"},
      {{"-u"}, "an upload needs -k/--kind"},
      {{"-u", "-k", "data", "main.bin"}, "an upload takes no FILE ('main.bin')"},
      {{"-u", "-k", "satcodx"}, "an upload of kind satcodx needs -o/--output FILE"},
      {{"-u", "-k", "still"}, "an upload of kind still needs -o/--output FILE"},
      {{"-u", "-k", "data", "-o", ""}, "the output file name is empty"},
      {{"-u", "-k", "data", "-o", "sub"}, "cannot write 'sub': it is a directory"},
      {{"-u", "-k", "data", "-o", "sub/"}, "cannot write 'sub/': it names a directory"},
      {{"-u", "-k", "data", "-o", "nodir/Data.Dat"}, "cannot write 'nodir/Data.Dat': directory 'nodir': No such file or directory"},
      {{"-u", "-k", "data", "-o", "main.bin/Data.Dat"}, "cannot write 'main.bin/Data.Dat': 'main.bin' is not a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ParseResult r = Parse(c.args);
    ASSERT_EQ(r.action, ParseResult::UsageError);
    EXPECT_NE(r.error.find(c.expected), std::string::npos) << r.error;
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << "one line only";
  }
}

// Permission bits do not stop root, so these only mean something for a user.
TEST_F(CliOptionsTest, PermissionProblemsForAnOrdinaryUser) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads and writes regardless of permission bits";
  ParseResult r = Parse({"secret.bin"});
  ASSERT_EQ(r.action, ParseResult::UsageError);
  EXPECT_NE(r.error.find("cannot read 'secret.bin': Permission denied"), std::string::npos) << r.error;
  r = Parse({"-u", "-k", "boot", "-o", "ro/Boot.Dat"});
  ASSERT_EQ(r.action, ParseResult::UsageError);
  EXPECT_NE(r.error.find("directory 'ro': Permission denied"), std::string::npos) << r.error;
}

TEST_F(CliOptionsTest, KindNamesFollowTheKindList) {
  const char* names[] = {"boot", "data", "program", "all", "satcodx", "still", "keydata"};
  for (int k = 0; k < 7; ++k) {
    EXPECT_STREQ(KindOptionName(k), names[k]);
    const ParseResult r = Parse({"-k", names[k], "main.bin"});
    ASSERT_EQ(r.action, ParseResult::Run);
    EXPECT_EQ(r.options.kind, k);
  }
  EXPECT_EQ(KindOptionName(7), nullptr);
  EXPECT_EQ(KindOptionName(-1), nullptr);
  EXPECT_STREQ(KindDisplayName(3), "Program All");
}

}  // namespace
}  // namespace kelvane::cli
