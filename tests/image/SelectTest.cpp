// Choosing a file: the status text, the preselected kind and the picture check.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <ostream>

#include "TestFiles.h"
#include "image/JpegScan.h"
#include "image/Select.h"
#include "protocol/Protocol.h"

namespace kelvane::test {
namespace {

constexpr int kNoKind = -1;  // the kind list as it was before the selection
const std::string kSizeOver = " Image Size Over 720*576 ";
const std::string kTooLong = "Image size is over";
const std::string kTypeError = " JPEG Image Type Error";

// A frame header: marker FF C0 (or FF C2), length, precision, height, width, components.
Bytes Frame(uint16_t height, uint16_t width, uint8_t marker = 0xC0) {
  return {0xFF, marker, 0x00, 0x11, 0x08, uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8),
          uint8_t(width), 0x03, 0x01, 0x22, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
const Bytes kSoi = {0xFF, 0xD8};
const Bytes kEoi = {0xFF, 0xD9};
Bytes Jpeg(uint16_t h, uint16_t w) { return Cat({kSoi, Frame(h, w), kEoi}); }

// ---------------------------------------------------------------------------
// Size, mark and magic: the first rule that applies, then the magic override.

struct KindCase {
  const char* what;
  uint64_t size;
  Bytes head;
  int kind;
  friend void PrintTo(const KindCase& c, std::ostream* os) { *os << c.what; }
};

class ClassifyBySize : public ::testing::TestWithParam<KindCase> {};

TEST_P(ClassifyBySize, PreselectsKind) {
  const KindCase& c = GetParam();
  CTempDir dir;
  const std::string path = dir.Make("image.bin", c.size, {{0, c.head}});
  CMessageLog log;
  EXPECT_EQ(ClassifyImageFile(path, kNoKind, log.Fn()), c.kind);
  EXPECT_TRUE(log.shown.empty());
}

const Bytes kNone;
const Bytes kMark8202 = {0x82, 0x02};
const Bytes kMarkBAB0 = {0xBA, 0xB0};

INSTANTIATE_TEST_SUITE_P(
    Rules, ClassifyBySize,
    ::testing::Values(
        KindCase{"16K whatever it begins with", 0x4000, kNone, kKeyData},
        KindCase{"16K beginning BA B0", 0x4000, kMarkBAB0, kKeyData},
        KindCase{"one byte under 16K", 0x3FFF, kNone, kProgramOnly},
        KindCase{"one byte over 16K", 0x4001, kNone, kProgramOnly},
        KindCase{"16K channel list", 0x4000, Text("SATCODX"), kSatcoDX},
        KindCase{"64K with 82 02 is key data", 0x10000, kMark8202, kKeyData},
        KindCase{"64K with BA B0 stays boot", 0x10000, kMarkBAB0, kBootOnly},
        KindCase{"64K plain", 0x10000, kNone, kBootOnly},
        KindCase{"8K", 0x2000, kNone, kBootOnly},
        KindCase{"8K - 1", 0x1FFF, kNone, kProgramOnly},
        KindCase{"8K + 1", 0x2001, kNone, kProgramOnly},
        KindCase{"64K - 1", 0xFFFF, kNone, kProgramOnly},
        KindCase{"64K + 1", 0x10001, kNone, kProgramOnly},
        KindCase{"128K", 0x20000, kNone, kDataOnly},
        KindCase{"512K", 0x80000, kNone, kDataOnly},
        KindCase{"256K is not a data size here", 0x40000, kNone, kProgramOnly},
        KindCase{"128K - 1", 0x1FFFF, kNone, kProgramOnly},
        KindCase{"1M", 0x100000, kNone, kProgramAll},
        KindCase{"2M", 0x200000, kNone, kProgramAll},
        KindCase{"1.5M", 0x180000, kNone, kProgramOnly},
        KindCase{"1M + 1", 0x100001, kNone, kProgramOnly},
        KindCase{"1M beginning 82 02 is key data", 0x100000, kMark8202, kKeyData},
        KindCase{"small file beginning 82 02", 100, kMark8202, kKeyData},
        KindCase{"two bytes 82 02", 2, kMark8202, kKeyData},
        KindCase{"one byte 82 has no mark", 1, {0x82}, kProgramOnly},
        KindCase{"empty file", 0, kNone, kProgramOnly},
        KindCase{"02 82 is no mark", 100, {0x02, 0x82}, kProgramOnly},
        KindCase{"1M channel list", 0x100000, Text("SATCODX"), kSatcoDX},
        KindCase{"64K channel list", 0x10000,
                 Text("SATCODX header"), kSatcoDX},
        KindCase{"magic alone, seven bytes", 7, Text("SATCODX"), kSatcoDX},
        KindCase{"six bytes of the magic", 6, Text("SATCOD"), kProgramOnly},
        KindCase{"lower-case magic", 100, Text("satcodx"), kProgramOnly},
        KindCase{"seventh byte differs", 100, Text("SATCODY"), kProgramOnly}),
    [](const auto& info) { return "Row" + std::to_string(info.index); });

// ---------------------------------------------------------------------------
// Names ending in "jpg" and the picture check, with the messages in order.

struct JpegCase {
  const char* what;
  std::string name;
  Bytes content;
  uint64_t size;  // 0: the content's own length; else the content padded with zeros
  int kind;
  std::vector<std::string> messages;
  friend void PrintTo(const JpegCase& c, std::ostream* os) { *os << c.what; }
};

class ClassifyJpeg : public ::testing::TestWithParam<JpegCase> {};

TEST_P(ClassifyJpeg, KindAndMessages) {
  const JpegCase& c = GetParam();
  CTempDir dir;
  const std::string path = dir.Make(c.name, c.size ? c.size : c.content.size(), {{0, c.content}});
  CMessageLog log;
  EXPECT_EQ(ClassifyImageFile(path, kNoKind, log.Fn()), c.kind) << c.what;
  EXPECT_EQ(log.Texts(), c.messages) << c.what;
  for (auto& m : log.shown) EXPECT_EQ(m.second, MsgIcon::Warning) << m.first;
}

const Bytes kJpeg720x576 = Jpeg(576, 720);

INSTANTIATE_TEST_SUITE_P(
    Pictures, ClassifyJpeg,
    ::testing::Values(
        JpegCase{"720 x 576 fits", "pic.jpg", kJpeg720x576, 0, kStillImage, {}},
        JpegCase{"upper-case name", "PICTURE.JPG", kJpeg720x576, 0, kStillImage, {}},
        JpegCase{"mixed-case name", "picture.JpG", kJpeg720x576, 0, kStillImage, {}},
        JpegCase{"no dot before jpg", "picturejpg", kJpeg720x576, 0, kStillImage, {}},
        JpegCase{".jpeg is not checked", "picture.jpeg", kJpeg720x576, 0, kProgramOnly, {}},
        JpegCase{"jpg inside the name is not checked", "jpg.bin", kJpeg720x576, 0, kProgramOnly, {}},
        JpegCase{"721 wide", "pic.jpg", Jpeg(576, 721), 0, kProgramOnly, {kSizeOver}},
        JpegCase{"577 high", "pic.jpg", Jpeg(577, 720), 0, kProgramOnly, {kSizeOver}},
        JpegCase{"1 x 1", "pic.jpg", Jpeg(1, 1), 0, kStillImage, {}},
        JpegCase{"width bytes D0 02 read big-endian", "pic.jpg", Jpeg(0x0240, 0xD002), 0, kProgramOnly,
                 {kSizeOver}},
        JpegCase{"last frame decides: 160x120 then 800x600", "pic.jpg",
                 Cat({kSoi, Frame(120, 160), Frame(600, 800), kEoi}), 0, kProgramOnly, {kSizeOver}},
        JpegCase{"last frame decides: 800x600 then 160x120", "pic.jpg",
                 Cat({kSoi, Frame(600, 800), Frame(120, 160), kEoi}), 0, kStillImage, {}},
        JpegCase{"progressive frame", "pic.jpg", Cat({kSoi, Frame(576, 720, 0xC2), kEoi}), 0, kProgramOnly,
                 {kTypeError, kSizeOver}},
        JpegCase{"progressive after a good baseline frame", "pic.jpg",
                 Cat({kSoi, Frame(120, 160), Frame(120, 160, 0xC2), kEoi}), 0, kProgramOnly,
                 {kTypeError, kSizeOver}},
        JpegCase{"no frame header at all", "pic.jpg", Cat({kSoi, kEoi}), 0, kProgramOnly, {kSizeOver}},
        JpegCase{"empty file", "pic.jpg", {}, 0, kProgramOnly, {kSizeOver}},
        JpegCase{"one byte", "pic.jpg", {0xFF}, 0, kProgramOnly, {kSizeOver}},
        JpegCase{"frame header ends on the last byte", "pic.jpg", Bytes{0xFF, 0xC0, 0, 0x11, 8, 2, 0x40, 2, 0xD0},
                 0, kStillImage, {}},
        JpegCase{"frame header one byte short at the end", "pic.jpg",
                 Cat({Jpeg(120, 160), Bytes{0xFF, 0xC0, 0, 0x11, 8, 0, 1, 0}}), 0, kProgramOnly, {kSizeOver}},
        JpegCase{"FF C0 as the last two bytes", "pic.jpg", Cat({Jpeg(120, 160), Bytes{0xFF, 0xC0}}), 0,
                 kProgramOnly, {kSizeOver}},
        JpegCase{"FF as the last byte is no pair", "pic.jpg", Cat({Jpeg(120, 160), Bytes{0xFF}}), 0,
                 kStillImage, {}},
        JpegCase{"FF C2 as the last two bytes", "pic.jpg", Cat({Jpeg(120, 160), Bytes{0xFF, 0xC2}}), 0,
                 kProgramOnly, {kTypeError, kSizeOver}},
        JpegCase{"longest picture file is scanned", "pic.jpg", kJpeg720x576, 0xFFF8, kStillImage, {}},
        JpegCase{"one byte too long", "pic.jpg", kJpeg720x576, 0xFFF9, kProgramOnly, {kTooLong, kSizeOver}},
        JpegCase{"64K picture keeps the boot kind", "pic.jpg", kJpeg720x576, 0x10000, kBootOnly,
                 {kTooLong, kSizeOver}},
        JpegCase{"16K picture overrides key data", "pic.jpg", kJpeg720x576, 0x4000, kStillImage, {}},
        JpegCase{"failing 16K picture stays key data", "pic.jpg", Jpeg(600, 800), 0x4000, kKeyData, {kSizeOver}},
        JpegCase{"channel list named .jpg stays a channel list", "list.jpg", Text("SATCODX"), 0, kSatcoDX,
                 {kSizeOver}},
        JpegCase{"picture beginning with the magic passes", "list.jpg", Cat({Text("SATCODX"), Jpeg(1, 1)}), 0,
                 kStillImage, {}}),
    [](const auto& info) { return "Row" + std::to_string(info.index); });

// ---------------------------------------------------------------------------
// The scan on its own, for the boundaries of a frame header at the end.

TEST(ScanJpeg, NeverReadsPastTheEndAndKeepsTheLastCompleteFrame) {
  // Exactly nine bytes from FF to the last width byte: complete.
  const Bytes full = {0xFF, 0xC0, 0, 0x11, 8, 0x01, 0x02, 0x03, 0x04};
  for (size_t n = 0; n <= full.size(); ++n) {
    // A heap copy of exactly n bytes, so a read past it is caught under ASan.
    Bytes cut(full.begin(), full.begin() + static_cast<long>(n));
    const CJpegScan s = ScanJpeg(cut.data(), cut.size());
    SCOPED_TRACE(n);
    EXPECT_EQ(s.frames, n >= 2 ? 1 : 0);
    EXPECT_EQ(s.lastFrameCut, n >= 2 && n < 9);
    EXPECT_EQ(s.height, n == 9 ? 0x0102 : 0);
    EXPECT_EQ(s.width, n == 9 ? 0x0304 : 0);
  }
  const Bytes overlapping = {0xFF, 0xFF, 0xC0, 0, 0x11, 8, 0, 10, 0, 20};
  const CJpegScan s = ScanJpeg(overlapping.data(), overlapping.size());
  EXPECT_EQ(s.frames, 1);
  EXPECT_EQ(s.width, 20);
  EXPECT_EQ(s.height, 10);
}

// ---------------------------------------------------------------------------
// The selection: status text, size, and files that cannot be selected.

TEST(SelectImageFile, StatusTextNamesTheFileAndItsSize) {
  CTempDir dir;
  std::filesystem::create_directories(dir.Path() / "some" / "folder");
  const std::string path = dir.Make("some/folder/main.bin", 1048576);
  CMessageLog log;
  const CSelection sel = SelectImageFile(path, kNoKind, log.Fn());
  EXPECT_TRUE(sel.selected);
  EXPECT_EQ(sel.status, "main.bin  1048576 Bytes");
  EXPECT_EQ(sel.fileSize, 1048576);
  EXPECT_EQ(sel.kind, kProgramAll);
  EXPECT_TRUE(log.shown.empty());

  const struct {
    const char* name;
    uint64_t size;
    const char* status;
  } names[] = {
      {"noextension", 5, "noextension  5 Bytes"},
      {"a.b.c", 0, "a.b.c  0 Bytes"},
      {".hidden", 12, ".hidden  12 Bytes"},
      {"back\\slash.bin", 3, "back\\slash.bin  3 Bytes"},  // a backslash is part of a Linux name
  };
  for (auto& n : names) {
    const CSelection s = SelectImageFile(dir.Make(n.name, n.size), kNoKind, log.Fn());
    EXPECT_TRUE(s.selected) << n.name;
    EXPECT_EQ(s.status, n.status);
    EXPECT_EQ(s.fileSize, static_cast<int32_t>(n.size));
  }
}

TEST(SelectImageFile, MessagesOfAFailingPictureComeWithASelectedFile) {
  CTempDir dir;
  const std::string path = dir.Write("wide.JPG", Jpeg(576, 721));
  CMessageLog log;
  const CSelection sel = SelectImageFile(path, kStillImage, log.Fn());
  EXPECT_TRUE(sel.selected);
  EXPECT_EQ(sel.kind, kProgramOnly);
  EXPECT_EQ(sel.status, "wide.JPG  " + std::to_string(Jpeg(576, 721).size()) + " Bytes");
  EXPECT_EQ(log.Texts(), std::vector<std::string>{kSizeOver});
}

TEST(SelectImageFile, FilesThatCannotBeOpenedAreNotSelectedSilently) {
  CTempDir dir;
  std::filesystem::create_directory(dir.Path() / "folder");
  const std::string fifo = (dir.Path() / "pipe.bin").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const std::string cases[] = {
      (dir.Path() / "missing.bin").string(),
      (dir.Path() / "folder").string(),
      (dir.Path() / "folder/").string(),
      fifo,  // would block a plain open() for reading
      "/dev/null",
      "",
      std::string(5000, 'a'),                               // longer than the system takes
      (dir.Path() / std::string(300, 'n')).string(),        // a name longer than the system takes
      dir.Make("embedded.bin", 4) + std::string(1, '\0') + "x",  // never cut at a NUL
  };
  for (const std::string& path : cases) {
    CMessageLog log;
    const CSelection sel = SelectImageFile(path, kDataOnly, log.Fn());
    EXPECT_FALSE(sel.selected) << path.substr(0, 80);
    EXPECT_EQ(sel.kind, kDataOnly);
    EXPECT_TRUE(log.shown.empty());
    EXPECT_EQ(ClassifyImageFile(path, kSatcoDX, log.Fn()), kSatcoDX);
  }
}

TEST(SelectImageFile, UnreadableFileIsNotSelected) {
  CTempDir dir;
  const std::string path = dir.Make("secret.bin", 0x2000);
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
  auto check = [&] {
    CMessageLog log;
    const CSelection sel = SelectImageFile(path, kKeyData, log.Fn());
    return !sel.selected && sel.kind == kKeyData && log.shown.empty();
  };
  if (::geteuid() != 0) {
    EXPECT_TRUE(check());
    return;
  }
  // Root reads any file: check as an ordinary user in a child process.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    ::_exit(check() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not drop privileges, 1: the file was selected";
}

TEST(SelectImageFile, ReadErrorKeepsTheCurrentKind) {
  // A regular file whose reads fail with EIO at offset 0.
  CMessageLog log;
  EXPECT_EQ(ClassifyImageFile("/proc/self/mem", kDataOnly, log.Fn()), kDataOnly);
  EXPECT_TRUE(log.shown.empty());
}

TEST(SelectImageFile, LongPathIsUsedWholeNeverShortened) {
  // Two files where the long path cut to 260 characters names the other one.
  CTempDir dir;
  std::filesystem::path folder = dir.Path();
  while (folder.string().size() < 200) folder /= std::string(40, 'd');
  std::filesystem::create_directories(folder);
  const std::string shortName = std::string(260 - folder.string().size() - 1, 'x');
  const std::string longName = shortName + "_long.bin";
  const std::string shortPath = (folder / shortName).string();
  ASSERT_EQ(shortPath.size(), 260u);
  dir.Make((folder / shortName).lexically_relative(dir.Path()).string(), 0x2000);
  const std::string longPath = dir.Make((folder / longName).lexically_relative(dir.Path()).string(), 0x20000);
  ASSERT_GT(longPath.size(), 260u);

  CMessageLog log;
  const CSelection sel = SelectImageFile(longPath, kNoKind, log.Fn());
  EXPECT_TRUE(sel.selected);
  EXPECT_EQ(sel.status, longName + "  131072 Bytes");
  EXPECT_EQ(sel.kind, kDataOnly);
}

TEST(SelectImageFile, SizeBeyondSigned32BitsIsShownWhole) {
  CTempDir dir;
  const std::string path = dir.Make("huge.bin", 0xC0000000ull);  // 3 GiB, sparse
  CMessageLog log;
  const CSelection sel = SelectImageFile(path, kNoKind, log.Fn());
  EXPECT_TRUE(sel.selected);
  EXPECT_EQ(sel.status, "huge.bin  3221225472 Bytes");
  EXPECT_EQ(sel.fileSize, INT32_MAX);
  EXPECT_EQ(sel.kind, kProgramOnly);
}

}  // namespace
}  // namespace kelvane::test
