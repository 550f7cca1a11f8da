// How many bytes the receiver still waits for in a block or packet: it sleeps
// through the time the line needs for them, so a count too high would delay
// the answer and one too low would only cost wake-ups.
#include <gtest/gtest.h>

#include <memory>

#include "protocol/ReceiverState.h"
#include "serial/SerialLink.h"

namespace kelvane {
namespace {

TEST(BytesAwaited, FollowsTheBlockOrPacketBeingReceived) {
  struct Case {
    const char* name;
    uint8_t mode;
    uint8_t state;
    uint32_t total, done;
    int fill;
    int headFill;
    uint32_t packetLength;
    int expected;
  };
  const Case cases[] = {
      {"0x30, first of three blocks, nothing yet", 0x30, RxReceiveData, 5000, 0, 0, 0, 0, 2052},
      {"0x30, first block half in", 0x30, RxReceiveData, 5000, 0, 1024, 0, 0, 1028},
      {"0x30, the next block's bytes already held", 0x30, RxReceiveData, 5000, 0, 3072, 0, 0, 0},
      {"0x40, short last block of 904", 0x40, RxReceiveData, 5000, 2, 0, 0, 0, 908},
      {"0x40, short last block nearly in", 0x40, RxReceiveData, 5000, 2, 900, 0, 0, 8},
      {"0x30, last block a full one", 0x30, RxReceiveData, 4096, 1, 100, 0, 0, 1952},
      {"0x20, packet length incomplete", 0x20, RxReceiveData, 5000, 0, 0, 1, 0, 2},
      {"0x20, packet data arriving", 0x20, RxReceiveData, 5000, 0, 48, 3, 2048, 2000},
      {"0x20, packet complete", 0x20, RxReceiveData, 5000, 0, 904, 3, 904, 0},
      {"0x20, awaiting the verdict", 0x20, RxAwaitVerdict, 5000, 0, 0, 0, 0, 0},
      {"listening", 0x30, RxListen, 0, 0, 0, 0, 0, 0},
      {"0x30, awaiting the size record", 0x30, RxAwaitSize, 0, 0, 0, 0, 0, 0},
  };
  CSerialLink link;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    link.linkMode.store(c.mode);
    CReceiver rx(std::make_shared<CLinkSession>(link));
    rx.rxState = c.state;
    rx.uploadTotal = c.total;
    rx.uploadBlocks = c.total / 2048 + (c.total % 2048 ? 1 : 0);
    rx.uploadDone = c.done;
    rx.dataFill = c.fill;
    rx.packetHeadFill = c.headFill;
    rx.packetLength = c.packetLength;
    EXPECT_EQ(rx.BytesAwaited(), c.expected);
  }
}

}  // namespace
}  // namespace kelvane
