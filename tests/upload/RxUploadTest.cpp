#include <gtest/gtest.h>

#include "UploadOnPty.h"

namespace kelvane {
namespace {

using test::Area;
using test::BlockOf;
using test::Bytes;
using test::Entries;
using test::PacketOf;
using test::PacketSumOf;
using test::ReadFile;
using test::SizeRecord;
using test::Text;

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kE{kLetterAccept};
const Bytes kK{kLetterGood};
const Bytes kN{kLetterBad};
const Bytes kF{kLetterReady};

// ---- the size record ---------------------------------------------------------

struct SizeCase {
  const char* name;
  uint8_t mode;
  std::vector<Bytes> reads;
  bool recognised;
  uint32_t total, blocks;
  uint16_t progressMax;
};
void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class SizeRecordTest : public test::UploadOnPty, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(SizeRecordTest, StartsTheDataOnlyOnAWholeRecord) {
  const SizeCase& c = GetParam();
  Start(c.mode);
  for (const Bytes& r : c.reads) rx->OnChunk(r.data(), static_cast<int>(r.size()));

  if (!c.recognised) {
    // Nothing happens: the silence limit of the loop ends the Upload later.
    EXPECT_EQ(rx->rxState, RxAwaitSize);
    EXPECT_EQ(rx->uploadTotal, 0u);
    EXPECT_TRUE(Replies().empty());
    EXPECT_EQ(pty.SlaveSpeed(), 9600u);
    EXPECT_FALSE(rx->dest.IsOpen());
    EXPECT_EQ(owner.SelectedPath(), "/images/firmware.bin");
    EXPECT_EQ(link.dwRxTimeout.load(), 5000u);
    EXPECT_TRUE(owner.busyHistory.empty());
    return;
  }
  EXPECT_EQ(rx->uploadTotal, c.total);
  EXPECT_EQ(owner.progressMax, c.progressMax);
  EXPECT_EQ(pty.SlaveSpeed(), 115200u);
  EXPECT_TRUE(rx->dest.IsOpen());
  EXPECT_EQ(owner.SelectedPath(), "");  // the file chosen for Download is forgotten
  EXPECT_EQ(link.dwRxTimeout.load(), 3000u);
  EXPECT_TRUE(owner.messages.empty());
  EXPECT_FALSE(test::Exists("Program.Dat"));  // nothing stands under the name yet
  if (c.mode == 0x20) {
    // The PC starts the data: 'E' at the new speed, the window busy.
    EXPECT_EQ(rx->rxState, RxReceiveData);
    EXPECT_EQ(Replies(), kE);
    EXPECT_EQ(owner.busyHistory, std::vector<int>{1});
  } else {
    // The box starts the data with its own 'E'.
    EXPECT_EQ(rx->uploadBlocks, c.blocks);
    EXPECT_EQ(rx->rxState, RxAwaitSize);
    EXPECT_TRUE(Replies().empty());
    EXPECT_TRUE(owner.busyHistory.empty());
  }
}

const Bytes kRecord4096{0x43, 0x55, 0x1F, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Upload, SizeRecordTest,
    ::testing::Values(
        SizeCase{"Mode30OneRead", 0x30, {kRecord4096}, true, 4096, 2, 2},
        SizeCase{"Mode30FivePlusSeven", 0x30,
                 {Bytes(kRecord4096.begin(), kRecord4096.begin() + 5), Bytes(kRecord4096.begin() + 5, kRecord4096.end())},
                 true, 4096, 2, 2},
        SizeCase{"Mode30ThirteenthByteInTheSameRead", 0x30, {Join({kRecord4096, {0xFF}})}, false, 0, 0, 0},
        SizeCase{"Mode30OtherLeadingLetters", 0x30,
                 {{0x43, 0x44, 0x1F, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00}}, false, 0, 0, 0},
        SizeCase{"Mode40ShortLastBlock", 0x40, {{0x43, 0x55, 0x00, 0x1F, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x08, 0x01, 0, 0}},
                 true, 2049, 2, 2},
        SizeCase{"Mode40LargestSize", 0x40, {SizeRecord(0x40, 0xFFFFFFFFu)}, true, 0xFFFFFFFFu, 0x200000, 0},
        SizeCase{"Mode30TwelveBytesForMode40", 0x40, {kRecord4096}, false, 0, 0, 0},
        SizeCase{"Mode20OneRead", 0x20, {{0x00, 0x10, 0x00}}, true, 4096, 0, 100},
        SizeCase{"Mode20ByteByByte", 0x20, {{0x00}, {0x10}, {0x00}}, true, 4096, 0, 100},
        SizeCase{"Mode20LargestSize", 0x20, {{0xFF, 0xFF, 0xFF}}, true, 0xFFFFFF, 0, 100},
        SizeCase{"Mode20FourBytes", 0x20, {{0x00, 0x10, 0x00, 0x00}}, false, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- complete Uploads, driven read by read -----------------------------------

struct RunCase {
  const char* name;
  uint8_t mode;
  uint32_t size;
  size_t chunk;       // the largest read the receiver is handed
  bool startApart;    // LinkMode 0x30/0x40: 'E' in a read of its own
  size_t packetSize;  // LinkMode 0x20
};
void PrintTo(const RunCase& c, std::ostream* os) { *os << c.name; }

class CompleteUploadTest : public test::UploadOnPty,
                           public ::testing::WithParamInterface<std::tuple<RunCase, bool>> {};

// The test answers as a loader would: the next block only after 'K', the next
// packet only after 'F'.
TEST_P(CompleteUploadTest, StoresTheAreaByteForByte) {
  const auto& [c, earlier] = GetParam();
  {
    if (earlier) test::WriteFile("Program.Dat", Text("earlier backup"));
    const Bytes area = Area(c.size);
    Start(c.mode);
    Feed(SizeRecord(c.mode, c.size), c.chunk);
    if (c.mode == 0x20) {
      ASSERT_EQ(Replies(), kE);
      for (size_t i = 0; i * c.packetSize < area.size(); ++i) {
        const Bytes packet = PacketOf(area, i, c.packetSize);
        Feed(packet, c.chunk);
        ASSERT_EQ(Replies(), PacketSumOf(packet)) << "packet " << i;
        EXPECT_EQ(rx->rxState, RxAwaitVerdict);
        Feed(kK);
        ASSERT_EQ(Replies(), kF);
      }
    } else {
      const size_t blocks = test::BlockCount(c.size);
      if (c.startApart || blocks == 0) Feed(kE);
      for (size_t i = 0; i < blocks; ++i) {
        const Bytes block = BlockOf(area, i);
        Feed(i == 0 && !c.startApart ? Join({kE, block}) : block, c.chunk);
        ASSERT_EQ(Replies(), kK) << "block " << i;
      }
      EXPECT_EQ(owner.progressMax, blocks);
      std::vector<int> positions;
      for (size_t i = 1; i <= blocks; ++i) positions.push_back(static_cast<int>(i));
      EXPECT_EQ(owner.progressHistory, positions);
    }
    EXPECT_EQ(owner.MessageTexts(), std::vector<std::string>{"Data Upload Complete"});
    EXPECT_EQ(owner.messages.at(0).icon, MsgIcon::Warning);
    EXPECT_EQ(rx->rxState, RxListen);
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(owner.busyHistory, (std::vector<int>{1, 0}));
    EXPECT_EQ(owner.bytesDone, c.size);
    EXPECT_EQ(ReadFile("Program.Dat"), area);
    EXPECT_EQ(Entries(), std::set<std::string>{"Program.Dat"});
  }
}

const RunCase kRuns[] = {
        RunCase{"Mode30FullBlocks", 0x30, 4096, 1024, false, 0},
        RunCase{"Mode30ThreeBlocks", 0x30, 5000, 1024, true, 0},
        RunCase{"Mode30OneByteLastBlock", 0x30, 2049, 1024, false, 0},
        RunCase{"Mode30Empty", 0x30, 0, 1024, true, 0},
        RunCase{"Mode30ByteByByte", 0x30, 2049, 1, false, 0},
        RunCase{"Mode40FullBlocks", 0x40, 4096, 1024, true, 0},
        RunCase{"Mode40ThreeBlocks", 0x40, 5000, 1000, false, 0},
        RunCase{"Mode40OneByteLastBlock", 0x40, 2049, 1024, true, 0},
        RunCase{"Mode40Empty", 0x40, 0, 1024, false, 0},
        // A small area arrives whole in the same read as the 'E'.
        RunCase{"Mode40SmallAreaWithTheStart", 0x40, 100, 1024, false, 0},
        RunCase{"Mode20FullPackets", 0x20, 4096, 1024, false, 2048},
        RunCase{"Mode20ThreePackets", 0x20, 5000, 1024, false, 2048},
        RunCase{"Mode20OneBytePacket", 0x20, 2049, 1024, false, 2048},
        RunCase{"Mode20Empty", 0x20, 0, 1024, false, 2048},
        // First reads of a packet shorter than its three length bytes.
        RunCase{"Mode20ByteByByte", 0x20, 2049, 1, false, 2048},
        RunCase{"Mode20SplitLength", 0x20, 5000, 2, false, 2048},
        RunCase{"Mode20LargestPacket", 0x20, 5000, 1024, false, 4098},
};

INSTANTIATE_TEST_SUITE_P(Upload, CompleteUploadTest, ::testing::Combine(::testing::ValuesIn(kRuns), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_OverEarlierFile" : "_FreshName");
                         });

// ---- reads that carry more than one thing --------------------------------------

class UploadReads : public test::UploadOnPty {};

TEST_F(UploadReads, BytesOfTheNextBlockThatComeEarlyAreKept) {
  const Bytes area = Area(4096);
  const Bytes stream = Join({BlockOf(area, 0), BlockOf(area, 1)});
  Start(0x30);
  Feed(SizeRecord(0x30, 4096));
  Feed(kE);
  // 1024 + 1024 + 1024: the third read completes block 1 and brings 1020
  // bytes of block 2.
  Feed(Bytes(stream.begin(), stream.begin() + 3072));
  EXPECT_EQ(Replies(), kK);
  EXPECT_EQ(rx->dataFill, 1020);
  EXPECT_EQ(rx->uploadDone, 1u);
  Feed(Bytes(stream.begin() + 3072, stream.end()));
  EXPECT_EQ(Replies(), kK);
  EXPECT_EQ(ReadFile("Program.Dat"), area);
}

TEST_F(UploadReads, ABlockCarriedOverWholeIsCheckedAtOnce) {
  // Block 2 (one data byte) rides in the read that completes block 1: the box
  // then waits for its answer and sends nothing more.
  const Bytes area = Area(2049);
  Start(0x40);
  Feed(SizeRecord(0x40, 2049));
  Feed(Join({kE, BlockOf(area, 0), BlockOf(area, 1)}));
  EXPECT_EQ(Replies(), Join({kK, kK}));
  EXPECT_EQ(owner.MessageTexts(), std::vector<std::string>{"Data Upload Complete"});
  EXPECT_EQ(ReadFile("Program.Dat"), area);
}

TEST_F(UploadReads, TheStartAndTheFirstBytesInOneRead) {
  Start(0x30);
  Feed(SizeRecord(0x30, 5000));
  Feed(Join({kE, Bytes(100, 0x5A)}));
  EXPECT_EQ(rx->rxState, RxReceiveData);
  EXPECT_EQ(rx->dataFill, 100);
  EXPECT_EQ(owner.busyHistory, std::vector<int>{1});
  EXPECT_TRUE(Replies().empty());
}

TEST_F(UploadReads, AStartBeforeTheSizeRecordIsNoEmptyArea) {
  // The box's 'E' is taken wherever it comes, but without a size record the
  // Upload has no end: it must not pass for a complete empty area.
  Start(0x30);
  Feed(kE);
  EXPECT_EQ(rx->rxState, RxReceiveData);
  EXPECT_EQ(owner.busyHistory, std::vector<int>{1});
  EXPECT_TRUE(owner.messages.empty());
  EXPECT_TRUE(link.IsOpen());
  EXPECT_TRUE(Replies().empty());
  EXPECT_TRUE(Entries().empty());
}

TEST_F(UploadReads, ADestinationThatCannotBeCompletedIsNoSuccess) {
  // The directory goes away while the data arrive: the last step, putting the
  // file in place, fails and says so.
  std::filesystem::create_directory("backups");
  owner.SetStatus("backups/Program.Dat");
  const Bytes area = Area(4096);
  Start(0x40);
  Feed(SizeRecord(0x40, 4096));
  Feed(Join({kE, BlockOf(area, 0)}));
  EXPECT_EQ(Replies(), kK);
  std::filesystem::rename("backups", "moved");
  Feed(BlockOf(area, 1));
  EXPECT_EQ(Replies(), kK);
  EXPECT_EQ(owner.MessageTexts(), std::vector<std::string>{"File Write Error"});
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(owner.busyHistory, (std::vector<int>{1, 0}));
  EXPECT_EQ(Entries(), std::set<std::string>{"moved"});
  EXPECT_TRUE(Entries("moved").empty());
}

// ---- single answers whose bytes are known --------------------------------------

TEST_F(UploadReads, ABlockSumIsFourBytesMostSignificantFirst) {
  Start(0x30);
  Feed(SizeRecord(0x30, 3));
  Feed({kLetterAccept, 0x01, 0x02, 0x03, 0x00, 0x00, 0x00, 0x06});
  EXPECT_EQ(Replies(), kK);
  EXPECT_EQ(ReadFile("Program.Dat"), (Bytes{0x01, 0x02, 0x03}));
}

TEST_F(UploadReads, APacketSumIsThreeBytesLeastSignificantFirst) {
  Start(0x20);
  Feed({0x03, 0x00, 0x00});
  EXPECT_EQ(Replies(), kE);
  Feed({0x03, 0x00, 0x00, 0x41, 0x42, 0x43});
  EXPECT_EQ(Replies(), (Bytes{0xC6, 0x00, 0x00}));
  Feed(kK);
  EXPECT_EQ(Replies(), kF);
  EXPECT_EQ(ReadFile("Program.Dat"), Text("ABC"));
}

TEST_F(UploadReads, PacketProgressIsAPercentTruncated) {
  struct Case {
    uint32_t total;
    uint32_t received;
    int position;
  } cases[] = {
      {4096, 2048, 50},
      {100, 29, 28},  // 29/100 is a little under 0.29 in binary: 28, not 29
      {3, 1, 33},
      {100, 100, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.received << " of " << c.total);
    Start(0x20);
    Feed(SizeRecord(0x20, c.total));
    EXPECT_EQ(Replies(), kE);
    EXPECT_EQ(owner.progressMax, 100);
    Feed(PacketOf(Area(c.total), 0, c.received));
    ASSERT_FALSE(owner.progressHistory.empty());
    EXPECT_EQ(owner.progressHistory.back(), c.position);
    Replies();
  }
}

// ---- failures --------------------------------------------------------------------

struct Step {
  Bytes bytes;
  Bytes replies;
  size_t chunk = 1024;
};

struct FaultCase {
  const char* name;
  uint8_t mode;
  std::vector<Step> steps;
  std::vector<std::string> messages;
  bool linkOpen;
  std::vector<int> busy;
  uint8_t state;
  const char* status = "Program.Dat";
  rlim_t fileLimit = 0;  // a disk that fills up after this many bytes
};
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class UploadFaultTest : public test::UploadOnPty,
                        public ::testing::WithParamInterface<std::tuple<FaultCase, bool>> {};

// Whatever goes wrong, the destination name shows afterwards exactly what it
// showed before, and no temporary name is left.
TEST_P(UploadFaultTest, ReportsAndLeavesTheDestinationAlone) {
  const auto& [c, earlier] = GetParam();
  if (earlier) test::WriteFile("Program.Dat", Text("earlier backup"));
  owner.SetStatus(c.status);
  Start(c.mode);
  {
    std::unique_ptr<test::CFileSizeLimit> limit;
    if (c.fileLimit) limit = std::make_unique<test::CFileSizeLimit>(c.fileLimit);
    for (size_t i = 0; i < c.steps.size(); ++i) {
      Feed(c.steps[i].bytes, c.steps[i].chunk);
      EXPECT_EQ(Replies(), c.steps[i].replies) << "step " << i;
    }
  }
  EXPECT_EQ(owner.MessageTexts(), c.messages);
  for (const auto& m : owner.Messages()) EXPECT_EQ(m.icon, MsgIcon::Error) << m.text;
  EXPECT_EQ(link.IsOpen(), c.linkOpen);
  EXPECT_EQ(owner.busyHistory, c.busy);
  EXPECT_EQ(rx->rxState, c.state);
  if (earlier) {
    EXPECT_EQ(ReadFile("Program.Dat"), Text("earlier backup"));
    EXPECT_EQ(Entries(), std::set<std::string>{"Program.Dat"});
  } else {
    EXPECT_TRUE(Entries().empty());
  }
}

const Bytes kArea5000 = Area(5000);
const Bytes kArea2049 = Area(2049);

Bytes WithBadSum(Bytes block) {
  block.back() ^= 0x01;
  return block;
}

Bytes PacketLength(uint32_t n) {
  return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16)};
}

const FaultCase kFaults[] = {
    {"BlockSumWrong", 0x30,
     {{SizeRecord(0x30, 5000), {}}, {Join({kE, BlockOf(kArea5000, 0)}), kK}, {WithBadSum(BlockOf(kArea5000, 1)), kN}},
     {"CheckSum Error"}, false, {1, 0}, RxListen},
    {"LastBlockSumWrong", 0x40,
     {{SizeRecord(0x40, 2049), {}}, {Join({kE, BlockOf(kArea2049, 0)}), kK}, {WithBadSum(BlockOf(kArea2049, 1)), kN}},
     {"CheckSum Error"}, false, {1, 0}, RxListen},
    {"GarbageBetweenBlocks", 0x30,
     {{SizeRecord(0x30, 5000), {}},
      {Join({kE, BlockOf(kArea5000, 0)}), kK},
      {Join({{0x00, 0x55, 0xAA}, BlockOf(kArea5000, 1)}), kN}},
     {"CheckSum Error"}, false, {1, 0}, RxListen},
    // Longer than any read of the line: the buffer's guard still holds.
    {"ReadPastTheBuffer", 0x40, {{SizeRecord(0x40, 5000), {}}, {kE, {}}, {Bytes(4099, 0x11), {}, 4099}},
     {"Read Buffer Over"}, true, {1}, RxListen},
    // Bytes after the last block: it never completes, the silence limit ends it.
    {"TrailingByteAfterTheLastBlock", 0x30,
     {{SizeRecord(0x30, 2049), {}}, {Join({kE, BlockOf(kArea2049, 0)}), kK}, {Join({BlockOf(kArea2049, 1), {0x00}}), {}}},
     {}, true, {1}, RxReceiveData},
    {"FullDiskMode30", 0x30,
     {{SizeRecord(0x30, 5000), {}},
      {Join({kE, BlockOf(kArea5000, 0)}), kK},
      {BlockOf(kArea5000, 1), kK},
      {BlockOf(kArea5000, 2), kK}},
     {"File Write Error"}, false, {1, 0}, RxListen, "Program.Dat", 4096},
    {"NoDestinationMode40", 0x40,
     {{SizeRecord(0x40, 2049), {}}, {Join({kE, BlockOf(kArea2049, 0)}), kK}, {BlockOf(kArea2049, 1), kK}},
     {"File Open Error", "Data Upload Not Saved"}, false, {1, 0}, RxListen, ""},
    {"DestinationInAMissingDirectory", 0x30,
     {{SizeRecord(0x30, 2049), {}}, {Join({kE, BlockOf(kArea2049, 0)}), kK}, {BlockOf(kArea2049, 1), kK}},
     {"File Open Error", "Data Upload Not Saved"}, false, {1, 0}, RxListen, "missing/Program.Dat"},
    {"VerdictN", 0x20,
     {{SizeRecord(0x20, 5000), kE}, {PacketOf(kArea5000, 0), PacketSumOf(PacketOf(kArea5000, 0))}, {kN, {}}},
     {"Error Packet!!!"}, true, {1}, RxListen},
    {"VerdictOfTwoBytesIsIgnored", 0x20,
     {{SizeRecord(0x20, 5000), kE}, {PacketOf(kArea5000, 0), PacketSumOf(PacketOf(kArea5000, 0))}, {{'K', 'K'}, {}}},
     {}, true, {1}, RxAwaitVerdict},
    {"PacketLongerThanTheBuffer", 0x20, {{SizeRecord(0x20, 5000), kE}, {Join({PacketLength(4099), Bytes(1021, 0x22)}), {}}},
     {"Read Buffer Over"}, true, {1}, RxListen},
    {"PacketLengthSplitAndTooLong", 0x20, {{SizeRecord(0x20, 0xFFFFFF), kE}, {{0xFF, 0xFF, 0xFF}, {}, 1}},
     {"Read Buffer Over"}, true, {1}, RxListen},
    {"MoreBytesThanThePacketAnnounced", 0x20,
     {{SizeRecord(0x20, 5000), kE}, {{0x03, 0x00, 0x00, 0x41, 0x42, 0x43, 0x44}, {}}},
     {"Read Buffer Over"}, true, {1}, RxListen},
    {"FullDiskMode20", 0x20,
     {{SizeRecord(0x20, 5000), kE},
      {PacketOf(kArea5000, 0), PacketSumOf(PacketOf(kArea5000, 0))},
      {kK, kF},
      {PacketOf(kArea5000, 1), PacketSumOf(PacketOf(kArea5000, 1))},
      {kK, kF},
      {PacketOf(kArea5000, 2), {}}},
     {"File Write Error"}, false, {1, 0}, RxListen, "Program.Dat", 4096},
    {"NoDestinationMode20", 0x20,
     {{SizeRecord(0x20, 3), kE}, {{0x03, 0x00, 0x00, 0x41, 0x42, 0x43}, {0xC6, 0x00, 0x00}}, {kK, kF}},
     {"File Open Error", "Data Upload Not Saved"}, false, {1, 0}, RxListen, ""},
};

INSTANTIATE_TEST_SUITE_P(Upload, UploadFaultTest, ::testing::Combine(::testing::ValuesIn(kFaults), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) ? "_EarlierFile" : "_FreshName");
                         });

}  // namespace
}  // namespace kelvane
