// Real pictures written by Qt's JPEG writer, run through the preselection.
#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QImageWriter>
#include <QRandomGenerator>

#include "TestFiles.h"
#include "image/Select.h"
#include "protocol/Protocol.h"

namespace kelvane::test {
namespace {

const std::string kSizeOver = " Image Size Over 720*576 ";
const std::string kTooLong = "Image size is over";
const std::string kTypeError = " JPEG Image Type Error";

enum Fill { Plain, Noise };

Bytes WriteJpeg(int width, int height, bool progressive, Fill fill = Plain) {
  QImage image(width, height, QImage::Format_RGB32);
  if (fill == Plain) {
    image.fill(QColor(30, 90, 160));
  } else {
    QRandomGenerator rng(42);
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) image.setPixel(x, y, rng.generate() | 0xFF000000u);
  }
  QByteArray data;
  QBuffer buffer(&data);
  buffer.open(QIODevice::WriteOnly);
  QImageWriter writer(&buffer, "jpeg");
  writer.setQuality(fill == Noise ? 100 : 75);
  writer.setProgressiveScanWrite(progressive);
  EXPECT_TRUE(writer.write(image)) << writer.errorString().toStdString();
  return Bytes(data.begin(), data.end());
}

// A picture with a second, smaller picture (a thumbnail) in an application
// segment in front of its own frame header, as cameras write them.
Bytes WithThumbnail(const Bytes& main, const Bytes& thumb) {
  Bytes out(main.begin(), main.begin() + 2);  // FF D8
  const size_t len = thumb.size() + 2;
  out.insert(out.end(), {0xFF, 0xE1, uint8_t(len >> 8), uint8_t(len)});
  out.insert(out.end(), thumb.begin(), thumb.end());
  out.insert(out.end(), main.begin() + 2, main.end());
  return out;
}

Bytes Cat(const Bytes& a, const Bytes& b) {
  Bytes out = a;
  out.insert(out.end(), b.begin(), b.end());
  return out;
}

struct FixtureCase {
  const char* what;
  std::function<Bytes()> make;
  int kind;
  std::vector<std::string> messages;
  friend void PrintTo(const FixtureCase& c, std::ostream* os) { *os << c.what; }
};

class QtJpeg : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(QtJpeg, KindAndMessagesInOrder) {
  const FixtureCase& c = GetParam();
  const Bytes bytes = c.make();
  ASSERT_GE(bytes.size(), 100u);
  // Sizes with a rule of their own would change the kind a failing picture keeps.
  for (uint64_t ruled : {0x2000u, 0x4000u, 0x10000u}) ASSERT_NE(bytes.size(), ruled);
  CTempDir dir;
  const std::string path = dir.Write("picture.jpg", bytes);
  CMessageLog log;
  const CSelection sel = SelectImageFile(path, kBootOnly, log.Fn());
  EXPECT_TRUE(sel.selected);
  EXPECT_EQ(sel.status, "picture.jpg  " + std::to_string(bytes.size()) + " Bytes");
  EXPECT_EQ(sel.kind, c.kind) << c.what << ", " << bytes.size() << " bytes";
  EXPECT_EQ(log.Texts(), c.messages) << c.what;
  for (auto& m : log.shown) EXPECT_EQ(m.second, MsgIcon::Warning);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, QtJpeg,
    ::testing::Values(
        FixtureCase{"baseline 720x576", [] { return WriteJpeg(720, 576, false); }, kStillImage, {}},
        FixtureCase{"baseline 16x16", [] { return WriteJpeg(16, 16, false); }, kStillImage, {}},
        FixtureCase{"baseline 721x576", [] { return WriteJpeg(721, 576, false); }, kProgramOnly, {kSizeOver}},
        FixtureCase{"baseline 720x577", [] { return WriteJpeg(720, 577, false); }, kProgramOnly, {kSizeOver}},
        FixtureCase{"baseline 576x720 (on its side)", [] { return WriteJpeg(576, 720, false); }, kProgramOnly,
                    {kSizeOver}},
        FixtureCase{"progressive 720x576", [] { return WriteJpeg(720, 576, true); }, kProgramOnly,
                    {kTypeError, kSizeOver}},
        FixtureCase{"progressive 16x16", [] { return WriteJpeg(16, 16, true); }, kProgramOnly,
                    {kTypeError, kSizeOver}},
        FixtureCase{"two pictures, 160x120 then 800x600",
                    [] { return Cat(WriteJpeg(160, 120, false), WriteJpeg(800, 600, false)); }, kProgramOnly,
                    {kSizeOver}},
        FixtureCase{"two pictures, 800x600 then 160x120",
                    [] { return Cat(WriteJpeg(800, 600, false), WriteJpeg(160, 120, false)); }, kStillImage, {}},
        FixtureCase{"720x576 with a 160x120 thumbnail",
                    [] { return WithThumbnail(WriteJpeg(720, 576, false), WriteJpeg(160, 120, false)); },
                    kStillImage, {}},
        FixtureCase{"800x600 with a 160x120 thumbnail",
                    [] { return WithThumbnail(WriteJpeg(800, 600, false), WriteJpeg(160, 120, false)); },
                    kProgramOnly, {kSizeOver}},
        FixtureCase{"baseline with a progressive thumbnail",
                    [] { return WithThumbnail(WriteJpeg(320, 240, false), WriteJpeg(160, 120, true)); },
                    kProgramOnly, {kTypeError, kSizeOver}},
        FixtureCase{"over 0xFFF8 bytes", [] { return WriteJpeg(400, 300, false, Noise); }, kProgramOnly,
                    {kTooLong, kSizeOver}}),
    [](const auto& info) { return "Row" + std::to_string(info.index); });

TEST(QtJpeg, FixturesAreWhatTheyClaim) {
  // The writer really produced the frame types the table relies on.
  auto hasPair = [](const Bytes& b, uint8_t second) {
    for (size_t i = 0; i + 1 < b.size(); ++i)
      if (b[i] == 0xFF && b[i + 1] == second) return true;
    return false;
  };
  const Bytes baseline = WriteJpeg(720, 576, false);
  const Bytes progressive = WriteJpeg(720, 576, true);
  EXPECT_TRUE(hasPair(baseline, 0xC0));
  EXPECT_FALSE(hasPair(baseline, 0xC2));
  EXPECT_TRUE(hasPair(progressive, 0xC2));
  EXPECT_LE(baseline.size(), 0xFFF8u);
  EXPECT_GT(WriteJpeg(400, 300, false, Noise).size(), 0xFFF8u);
  QImage back;
  EXPECT_TRUE(back.loadFromData(reinterpret_cast<const uchar*>(baseline.data()), int(baseline.size()), "JPEG"));
  EXPECT_EQ(back.size(), QSize(720, 576));
}

}  // namespace
}  // namespace kelvane::test
