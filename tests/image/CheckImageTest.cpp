// The Download check: which files each loader family takes as each kind, and
// the descriptor bytes it fills.
#include <algorithm>
#include <array>

#include "TestFiles.h"
#include "image/ImageFile.h"
#include "protocol/CheckImage.h"
#include "protocol/Protocol.h"

namespace kelvane::test {
namespace {

using Desc = std::array<uint8_t, 5>;
constexpr Desc kRejected = {0, 0, 0, 0, 0};  // not compared for rejected rows

struct CheckCase {
  const char* what;
  uint8_t mode;
  int kind;
  uint64_t size;
  std::vector<Patch> patches;
  bool accepted;
  Desc desc = kRejected;
  friend void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.what; }
};

// The byte the file holds at an offset, from its patches.
uint8_t ByteAt(const CheckCase& c, uint64_t off) {
  uint8_t b = 0;
  for (const Patch& p : c.patches)
    if (off >= p.offset && off < p.offset + p.bytes.size()) b = p.bytes[off - p.offset];
  return b;
}

class CheckImageTable : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckImageTable, VerdictDescriptorAndPosition) {
  const CheckCase& c = GetParam();
  CTempDir dir;
  const std::string path = dir.Make("image", c.size, c.patches);
  CImageFile file;
  ASSERT_TRUE(file.Open(path));
  uint8_t desc[5] = {};
  EXPECT_EQ(CheckImage(c.mode, c.kind, file, desc), c.accepted) << c.what;
  if (c.accepted) {
    EXPECT_EQ(Desc({desc[0], desc[1], desc[2], desc[3], desc[4]}), c.desc) << c.what;
  }

  // Whatever the verdict, the next read starts at offset 0.
  uint8_t head[16];
  const int n = file.Read(head, sizeof head);
  ASSERT_EQ(n, static_cast<int>(std::min<uint64_t>(c.size, sizeof head))) << c.what;
  for (int i = 0; i < n; ++i) EXPECT_EQ(head[i], ByteAt(c, static_cast<uint64_t>(i))) << c.what << " @" << i;
}

// Marks at the start, so the position check sees more than zeros.
const Patch kKey8202{0, {0x82, 0x02, 0x55}};
const Patch kKeyBAB0{0, {0xBA, 0xB0, 0x55}};
const Patch kMagic{0, Text("SATCODX")};
// A boot area whose end holds the descriptor window: FFF4 = 99, FFF5 = area, FFF6..FFF8 = 01 02 03,
// then seven unused bytes EE.
Patch BootEnd(uint8_t area) { return {0xFFF4, {0x99, area, 0x01, 0x02, 0x03, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}}; }
// The same window at the end of a file of n bytes.
Patch ProgramEnd(uint64_t n, uint8_t area) {
  return {n - 12, {0x77, area, 0x0A, 0x0B, 0x0C, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}};
}
const Patch kHead{0, {0x31, 0x5C, 0x32}};

std::vector<CheckCase> ShortFormCases() {
  return {
      {"boot 8K: descriptor at 1FD0", 0x20, kBootOnly, 0x2000, {kHead, {0x1FD0, {0x11, 0x22, 0x33, 0x44, 0x55}}}, true, {0x11, 0x22, 0x33, 0x44, 0}},
      {"boot 8K - 1", 0x20, kBootOnly, 0x1FFF, {kHead}, false},
      {"boot 8K + 1", 0x20, kBootOnly, 0x2001, {kHead}, false},
      {"program 8K - 1: last four bytes", 0x20, kProgramOnly, 0x1FFF, {kHead, {0x1FFB, {0xAA, 0xBB, 0xCC, 0xDD}}}, true, {0xAA, 0xBB, 0xCC, 0xDD, 0}},
      {"program 8K + 1", 0x20, kProgramOnly, 0x2001, {kHead, {0x1FFD, {1, 2, 3, 4}}}, true, {1, 2, 3, 4, 0}},
      {"program F0000", 0x20, kProgramOnly, 0xF0000, {kHead, {0xEFFFC, {5, 6, 7, 8}}}, true, {5, 6, 7, 8, 0}},
      {"program 8K is a boot size", 0x20, kProgramOnly, 0x2000, {kHead}, false},
      {"program F0001", 0x20, kProgramOnly, 0xF0001, {kHead}, false},
      {"program of four bytes", 0x20, kProgramOnly, 4, {{0, {9, 8, 7, 6}}}, true, {9, 8, 7, 6, 0}},
      {"program of three bytes has no descriptor", 0x20, kProgramOnly, 3, {{0, {9, 8, 7}}}, false},
      {"program of one byte", 0x20, kProgramOnly, 1, {{0, {9}}}, false},
      {"empty program", 0x20, kProgramOnly, 0, {}, false},
      {"key 16K 82 02: fixed descriptor", 0x20, kKeyData, 0x4000, {kKey8202}, true, {0x37, 0x22, 0x72, 0x01, 0}},
      {"key 16K BA B0", 0x20, kKeyData, 0x4000, {kKeyBAB0}, true, {0x37, 0x22, 0x72, 0x01, 0}},
      {"key 16K B0 BA", 0x20, kKeyData, 0x4000, {{0, {0xB0, 0xBA}}}, false},
      {"key 16K without mark", 0x20, kKeyData, 0x4000, {kHead}, false},
      {"key 64K is long-form only", 0x20, kKeyData, 0x10000, {kKey8202}, false},
      {"data never", 0x20, kDataOnly, 0x40000, {kHead}, false},
      {"whole flash never", 0x20, kProgramAll, 0x100000, {kHead, BootEnd(0x13)}, false},
      {"channel list never", 0x20, kSatcoDX, 100, {kMagic}, false},
      {"picture never", 0x20, kStillImage, 100, {kHead}, false},
      {"no selection", 0x20, -1, 0x2000, {kHead}, false},
      {"unknown kind", 0x20, 7, 0x2000, {kHead}, false},
  };
}

// The long-form rows, given for the 4-byte form: the 5-byte form puts one
// more byte in front (the byte before the window, or 00 for fixed descriptors).
struct LongCase {
  const char* what;
  int kind;
  uint64_t size;
  std::vector<Patch> patches;
  bool accepted;
  Desc desc4 = kRejected;
  Desc desc5 = kRejected;
};

std::vector<LongCase> LongFormRows() {
  const uint64_t odd = 0x12345;
  return {
      {"boot 64K area 1A", kBootOnly, 0x10000, {kHead, BootEnd(0x1A)}, true, {0x1A, 1, 2, 3, 0}, {0x99, 0x1A, 1, 2, 3}},
      {"boot area 10", kBootOnly, 0x10000, {kHead, BootEnd(0x10)}, true, {0x10, 1, 2, 3, 0}, {0x99, 0x10, 1, 2, 3}},
      {"boot area 1F", kBootOnly, 0x10000, {kHead, BootEnd(0x1F)}, true, {0x1F, 1, 2, 3, 0}, {0x99, 0x1F, 1, 2, 3}},
      {"boot area 0F", kBootOnly, 0x10000, {kHead, BootEnd(0x0F)}, false},
      {"boot area 20", kBootOnly, 0x10000, {kHead, BootEnd(0x20)}, false},
      {"boot area 2A", kBootOnly, 0x10000, {kHead, BootEnd(0x2A)}, false},
      {"boot 64K - 1", kBootOnly, 0xFFFF, {kHead, BootEnd(0x1A)}, false},
      {"boot 64K + 1", kBootOnly, 0x10001, {kHead, BootEnd(0x1A)}, false},
      {"data 256K: byte 1 is v", kDataOnly, 0x40000, {kHead}, true, {0x2F, 0xFF, 0xF0, 0x5C, 0}, {0, 0x2F, 0xFF, 0xF0, 0x5C}},
      {"data 128K", kDataOnly, 0x20000, {kHead}, true, {0x2F, 0xFF, 0xF0, 0x5C, 0}, {0, 0x2F, 0xFF, 0xF0, 0x5C}},
      {"data 512K", kDataOnly, 0x80000, {kHead}, true, {0x2F, 0xFF, 0xF0, 0x5C, 0}, {0, 0x2F, 0xFF, 0xF0, 0x5C}},
      {"data 192K", kDataOnly, 0x30000, {kHead}, false},
      {"data 1M", kDataOnly, 0x100000, {kHead}, false},
      {"program area 45 at N - 11", kProgramOnly, odd, {kHead, ProgramEnd(odd, 0x45)}, true, {0x45, 0x0A, 0x0B, 0x0C, 0}, {0x77, 0x45, 0x0A, 0x0B, 0x0C}},
      {"program area 40", kProgramOnly, odd, {kHead, ProgramEnd(odd, 0x40)}, true, {0x40, 0x0A, 0x0B, 0x0C, 0}, {0x77, 0x40, 0x0A, 0x0B, 0x0C}},
      {"program area 4F", kProgramOnly, odd, {kHead, ProgramEnd(odd, 0x4F)}, true, {0x4F, 0x0A, 0x0B, 0x0C, 0}, {0x77, 0x4F, 0x0A, 0x0B, 0x0C}},
      {"program area 3F", kProgramOnly, odd, {kHead, ProgramEnd(odd, 0x3F)}, false},
      {"program area 50", kProgramOnly, odd, {kHead, ProgramEnd(odd, 0x50)}, false},
      {"program size not limited", kProgramOnly, 0x300000, {kHead, ProgramEnd(0x300000, 0x41)}, true, {0x41, 0x0A, 0x0B, 0x0C, 0}, {0x77, 0x41, 0x0A, 0x0B, 0x0C}},
      {"program of 12 bytes", kProgramOnly, 12, {ProgramEnd(12, 0x42)}, true, {0x42, 0x0A, 0x0B, 0x0C, 0}, {0x77, 0x42, 0x0A, 0x0B, 0x0C}},
      {"program empty", kProgramOnly, 0, {}, false},
      {"program of 7 bytes", kProgramOnly, 7, {{0, {0x44, 1, 2, 3, 4, 5, 6}}}, false},
      {"whole flash 1M area 13 -> 73", kProgramAll, 0x100000, {kHead, BootEnd(0x13)}, true, {0x73, 1, 2, 3, 0}, {0x99, 0x73, 1, 2, 3}},
      {"whole flash 2M area 1F -> 7F", kProgramAll, 0x200000, {kHead, BootEnd(0x1F)}, true, {0x7F, 1, 2, 3, 0}, {0x99, 0x7F, 1, 2, 3}},
      {"whole flash 1.5M", kProgramAll, 0x180000, {kHead, BootEnd(0x13)}, false},
      {"whole flash area 23", kProgramAll, 0x100000, {kHead, BootEnd(0x23)}, false},
      {"whole flash area 0F", kProgramAll, 0x100000, {kHead, BootEnd(0x0F)}, false},
      {"channel list", kSatcoDX, 100, {kMagic}, true, {0x80, 0, 0, 0, 0}, {0, 0x80, 0, 0, 0}},
      {"channel list of seven bytes", kSatcoDX, 7, {kMagic}, true, {0x80, 0, 0, 0, 0}, {0, 0x80, 0, 0, 0}},
      {"channel list of 3M", kSatcoDX, 0x300000, {kMagic}, true, {0x80, 0, 0, 0, 0}, {0, 0x80, 0, 0, 0}},
      {"channel list in lower case", kSatcoDX, 100, {{0, Text("satcodx")}}, false},
      {"channel list seventh byte differs", kSatcoDX, 100, {{0, Text("SATCODY")}}, false},
      {"six bytes of the magic", kSatcoDX, 6, {{0, Text("SATCOD")}}, false},
      {"picture FFF8", kStillImage, 0xFFF8, {kHead}, true, {0x10, 0, 0, 0, 0}, {0, 0x10, 0, 0, 0}},
      {"picture contents not examined", kStillImage, 100, {kMagic}, true, {0x10, 0, 0, 0, 0}, {0, 0x10, 0, 0, 0}},
      {"picture FFF9", kStillImage, 0xFFF9, {kHead}, false},
      {"key 64K 82 02", kKeyData, 0x10000, {kKey8202}, true, {0x20, 0, 0, 0, 0}, {0, 0x20, 0, 0, 0}},
      {"key 16K BA B0", kKeyData, 0x4000, {kKeyBAB0}, true, {0x20, 0, 0, 0, 0}, {0, 0x20, 0, 0, 0}},
      {"key B0 BA", kKeyData, 0x10000, {{0, {0xB0, 0xBA}}}, false},
      {"key 32K", kKeyData, 0x8000, {kKey8202}, false},
      {"key one byte", kKeyData, 1, {{0, {0x82}}}, false},
      {"no selection", -1, 0x10000, {kHead, BootEnd(0x1A)}, false},
  };
}

std::vector<CheckCase> AllCases() {
  std::vector<CheckCase> out = ShortFormCases();
  for (const LongCase& r : LongFormRows()) {
    out.push_back({r.what, 0x30, r.kind, r.size, r.patches, r.accepted, r.desc4});
    out.push_back({r.what, 0x40, r.kind, r.size, r.patches, r.accepted, r.desc5});
  }
  // Rows where the two long forms part: the 5-byte window needs one more byte.
  out.push_back({"program of 11 bytes, 4-byte form", 0x30, kProgramOnly, 11, {{0, {0x46, 1, 2, 3}}}, true, {0x46, 1, 2, 3, 0}});
  out.push_back({"program of 11 bytes, 5-byte form", 0x40, kProgramOnly, 11, {{0, {0x46, 1, 2, 3}}}, false});
  out.push_back({"program of 10 bytes, 4-byte form", 0x30, kProgramOnly, 10, {{0, {0x46, 1, 2, 3}}}, false});
  out.push_back({"unknown loader family", 0x50, kStillImage, 100, {kHead}, false});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Table, CheckImageTable, ::testing::ValuesIn(AllCases()), [](const auto& info) {
  return "Mode" + std::to_string(info.param.mode / 16) + "0_Row" + std::to_string(info.index);
});

TEST(CheckImage, ReadErrorFailsTheCheck) {
  // /proc/self/mem is a regular file whose read at offset 0 fails with EIO.
  for (uint8_t mode : {uint8_t(0x20), uint8_t(0x30), uint8_t(0x40)}) {
    for (int kind : {int(kSatcoDX), int(kKeyData)}) {
      CImageFile file;
      ASSERT_TRUE(file.Open("/proc/self/mem"));
      uint8_t desc[5] = {};
      EXPECT_FALSE(CheckImage(mode, kind, file, desc)) << int(mode) << " " << kind;
    }
  }
}

}  // namespace
}  // namespace kelvane::test
