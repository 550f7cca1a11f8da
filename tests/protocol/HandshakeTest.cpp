// Recognising the box's announcement, choosing the protocol family, and what
// the program answers on the wire.
#include <gtest/gtest.h>

#include "Rig.h"
#include "protocol/Handshake.h"

namespace kelvane::test {
namespace {

TEST(FindSignature, OnlyTheEndOfTheCollectionCounts) {
  struct Case {
    const char* what;
    Bytes bytes;
    bool found;
    uint8_t mode;
  };
  const Case cases[] = {
      {"plain", {0x03, 0x04, 0x30}, true, 0x30},
      {"other markers", {0x20, 0x10, 0x20}, true, 0x20},
      {"mixed markers", {0x03, 0x10, 0xF2}, true, 0xF2},
      {"mixed markers 2", {0x20, 0x04, 0x42}, true, 0x42},
      {"noise before", {0x00, 0x55, 0x03, 0x04, 0x41}, true, 0x41},
      {"a byte after", {0x03, 0x04, 0x30, 0x55}, false, 0},
      {"two bytes only", {0x04, 0x30}, false, 0},
      {"empty", {}, false, 0},
      {"unknown mode byte", {0x03, 0x04, 0x33}, false, 0},
      {"mode byte 0x21", {0x03, 0x04, 0x21}, false, 0},
      {"first marker wrong", {0x04, 0x04, 0x30}, false, 0},
      {"second marker wrong", {0x03, 0x03, 0x30}, false, 0},
      {"markers swapped", {0x04, 0x03, 0x30}, false, 0},
  };
  for (const Case& c : cases) {
    uint8_t mode = 0xAA;
    EXPECT_EQ(FindSignature(static_cast<int>(c.bytes.size()), c.bytes.data(), &mode), c.found) << c.what;
    EXPECT_EQ(mode, c.found ? c.mode : 0xAA) << c.what << ": the mode byte is written only when found";
  }
}

// The decision table, row by row: for each mode byte the LinkMode for kinds
// 0-3, for kinds 4 and 6 (Download, Upload) and for kind 5; 0 is "ignored".
TEST(DecideLinkMode, EveryModeByteKindAndDirection) {
  struct Row {
    uint8_t mode;
    uint8_t firmware;      // kinds 0..3, both directions
    uint8_t listDown, listUp;  // kinds 4 and 6
    uint8_t still;         // kind 5, both directions
  };
  const Row rows[] = {
      {0x30, 0x30, 0, 0x30, 0}, {0x40, 0x40, 0, 0x40, 0}, {0x31, 0, 0x30, 0x30, 0},
      {0x41, 0, 0x40, 0x40, 0}, {0x32, 0, 0, 0x20, 0x30}, {0x42, 0, 0, 0x20, 0x40},
      {0x20, 0x20, 0x20, 0x20, 0}, {0xF2, 0x20, 0x20, 0x20, 0},
  };
  for (const Row& r : rows) {
    for (int dir = 0; dir <= 1; ++dir) {
      for (int kind = 0; kind <= 6; ++kind) {
        uint8_t want = r.firmware;
        if (kind == kSatcoDX || kind == kKeyData) want = dir ? r.listUp : r.listDown;
        if (kind == kStillImage) want = r.still;
        EXPECT_EQ(DecideLinkMode(r.mode, kind, dir), want)
            << "mode 0x" << std::hex << int(r.mode) << " kind " << kind << " direction " << dir;
      }
      // No selection in the kind list: nothing is answered.
      EXPECT_EQ(DecideLinkMode(r.mode, -1, dir), 0);
      EXPECT_EQ(DecideLinkMode(r.mode, 7, dir), 0);
    }
    EXPECT_EQ(DecideLinkMode(r.mode, 0, -1), 0) << "no direction selected";
  }
}

// What goes on the wire for an announcement, byte by byte and write by write,
// through a pseudo-terminal.
TEST(Handshake, AnswerOnTheWire) {
  CScratch files;
  const std::string key = files.Write("key.bin", Pattern(16384));
  const std::string image = files.Write("image.bin", Pattern(5000));
  const std::string missing = files.Missing();
  auto tail = [](const Bytes& b) { return Bytes(b.end() - 4, b.end()); };
  const Bytes keyTail = tail(Pattern(16384)), imageTail = tail(Pattern(5000));
  const Bytes ff8(8, 0xFF);
  struct Case {
    const char* what;
    Bytes sig;
    int kind, direction, speed;
    std::string path;
    Bytes wire;
    std::vector<int> writes;  // sizes of the Write calls, in order
    uint8_t linkMode;         // what the link learnt (0: unchanged 0x30)
  };
  auto up = [&](std::initializer_list<uint8_t> head, uint8_t baud) {
    Bytes b(head);
    b.insert(b.end(), ff8.begin(), ff8.end());
    b.push_back(baud);
    return b;
  };
  const std::vector<Case> cases = {
      {"0x40 Program All Upload speed 2", {0x03, 0x04, 0x40}, 3, 1, 2, "",
       up({0x43, 0x55, 0x00, 0x7F}, 0x02), {1, 1, 5, 5, 1}, 0x40},
      {"0xF2 Boot Only Upload speed 4", {0x03, 0x04, 0xF2}, 0, 1, 4, "", {0x43, 0x5A, 0x04}, {1, 1, 1}, 0x20},
      {"0x30 KeyData Upload speed 1", {0x20, 0x10, 0x30}, 6, 1, 1, "", up({0x43, 0x55, 0x20}, 0x01),
       {1, 1, 4, 5, 1}, 0x30},
      {"0x30 Boot Only Upload", {0x03, 0x04, 0x30}, 0, 1, 0, "", up({0x43, 0x55, 0x1F}, 0x00), {1, 1, 4, 5, 1},
       0x30},
      {"0x30 Data Only Upload", {0x03, 0x04, 0x30}, 1, 1, 3, "", up({0x43, 0x55, 0x2F}, 0x03), {1, 1, 4, 5, 1},
       0x30},
      {"0x40 Program Only Upload", {0x03, 0x04, 0x40}, 2, 1, 4, "", up({0x43, 0x55, 0x00, 0x4F}, 0x04),
       {1, 1, 5, 5, 1}, 0x40},
      {"0x31 SatcoDX Upload", {0x03, 0x04, 0x31}, 4, 1, 4, "", up({0x43, 0x55, 0x80}, 0x04), {1, 1, 4, 5, 1},
       0x30},
      {"0x42 Still Image Upload", {0x03, 0x04, 0x42}, 5, 1, 2, "", up({0x43, 0x55, 0x00, 0x10}, 0x02),
       {1, 1, 5, 5, 1}, 0x40},
      {"0x20 KeyData Upload", {0x20, 0x10, 0x20}, 6, 1, 3, "", {0x43, 0x5A, 0x03}, {1, 1, 1}, 0x20},
      {"0x32 SatcoDX Upload", {0x03, 0x04, 0x32}, 4, 1, 1, "", {0x43, 0x5A, 0x01}, {1, 1, 1}, 0x20},
      // The receiver's two letters, then the sender's part of the request:
      // the descriptor (the file's last four bytes), L in 3 bytes
      // little-endian, the channel-list byte and the speed index.
      {"0x20 Download of 16384 bytes", {0x20, 0x10, 0x20}, 2, 0, 3, key,
       {0x43, 0x49, keyTail[0], keyTail[1], keyTail[2], keyTail[3], 0x00, 0x40, 0x00, 0x00, 0x03},
       {1, 1, 4, 1, 1, 1, 1, 1}, 0x20},
      {"0xF2 Download of 5000 bytes", {0x03, 0x04, 0xF2}, 2, 0, 4, image,
       {0x43, 0x44, imageTail[0], imageTail[1], imageTail[2], imageTail[3], 0x88, 0x13, 0x00, 0x00, 0x04},
       {1, 1, 4, 1, 1, 1, 1, 1}, 0x20},
      {"0x20 Download, file gone", {0x03, 0x04, 0x20}, 2, 0, 4, missing, {0x43}, {1}, 0x20},
      {"0x30 Download, file gone: the sender answers nothing", {0x03, 0x04, 0x30}, 2, 0, 4, missing, {}, {},
       0x30},
      {"0x31 Program Only: ignored", {0x03, 0x04, 0x31}, 2, 1, 4, "", {}, {}, 0},
      {"0x30 KeyData Download: ignored", {0x03, 0x04, 0x30}, 6, 0, 4, key, {}, {}, 0},
      {"0x20 Still Image: ignored", {0x03, 0x04, 0x20}, 5, 1, 4, "", {}, {}, 0},
      {"0x41 Boot Only: ignored", {0x03, 0x04, 0x41}, 0, 1, 4, "", {}, {}, 0},
      {"0x32 KeyData Download: ignored", {0x03, 0x04, 0x32}, 6, 0, 4, key, {}, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CRig rig(Scripted());
    rig.Select(c.kind, c.direction, c.speed, c.path);
    rig.link.linkMode.store(0x30);
    rig.Connect();
    ASSERT_TRUE(rig.box.Send(c.sig));
    const Bytes got = rig.Sent(c.wire.size(), c.wire.empty() ? 150 : 60);
    EXPECT_EQ(Hex(got), Hex(c.wire));
    std::vector<int> sizes;
    for (auto& w : rig.trace.Writes()) sizes.push_back(static_cast<int>(w.size()));
    EXPECT_EQ(sizes, c.writes);
    EXPECT_EQ(rig.link.linkMode.load(), c.linkMode ? c.linkMode : 0x30);
    if (c.direction == 1 && c.linkMode) {
      EXPECT_EQ(rig.owner.Locked([&] { return rig.owner.uploadNameCalls; }), 1);
    }
    if (!c.linkMode) {
      EXPECT_TRUE(rig.link.IsOpen()) << "an ignored announcement changes nothing";
      EXPECT_TRUE(rig.owner.Messages().empty());
    }
  }
}

}  // namespace
}  // namespace kelvane::test
