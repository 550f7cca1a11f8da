#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "box/Pty.h"
#include "serial/SerialLink.h"
#include "serial/Tick.h"

namespace kelvane {
namespace {

// A link on one side of a pseudo-terminal, the test on the other.
class LinkOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Create());
    link.SetWorkerProcs(nullptr, nullptr);  // the test alone reads the line
    link.SetDevicePath(pty.SlavePath());
  }

  // The pseudo-terminal hands bytes over asynchronously: wait until they are queued.
  bool WaitQueued(int n) {
    auto s = link.Session();
    for (int i = 0; i < 500; ++i) {
      if (s && s->device.Queued() >= n) return true;
      SleepMs(2);
    }
    return false;
  }

  std::vector<uint8_t> ReadFromMaster(size_t n) {
    std::vector<uint8_t> out;
    uint8_t buf[4096];
    for (int i = 0; i < 500 && out.size() < n; ++i) {
      const int r = pty.ReadAvailable(buf, sizeof buf);
      if (r > 0) out.insert(out.end(), buf, buf + r);
      else SleepMs(2);
    }
    return out;
  }

  box::CPtyPair pty;
  CSerialLink link;
};

TEST_F(LinkOnPty, OpenAndCloseReportTheirEffect) {
  EXPECT_FALSE(link.IsOpen());
  EXPECT_EQ(link.Open(), 1);
  EXPECT_TRUE(link.IsOpen());
  auto first = link.Session();
  // A second Open leaves the open connection as it was.
  EXPECT_EQ(link.Open(), 0);
  EXPECT_EQ(link.Session(), first);
  EXPECT_EQ(link.Close(), 1);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_TRUE(first->hQuitRx.IsSet());
  EXPECT_TRUE(first->hQuitTx.IsSet());
  // Closing a closed link does nothing.
  EXPECT_EQ(link.Close(), 0);
}

TEST_F(LinkOnPty, DevicesThatCannotBeOpenedLeaveTheLinkClosed) {
  char tmpl[] = "/tmp/kelvane-plainfileXXXXXX";
  const int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  close(fd);
  struct Case {
    const char* path;
    OpenFailure failure;
  } cases[] = {
      {"/dev/kelvane-no-such-port", OpenFailure::NotFound},
      {"/dev/null", OpenFailure::NotATerminal},
      {tmpl, OpenFailure::NotATerminal},
  };
  for (const auto& c : cases) {
    link.SetDevicePath(c.path);
    EXPECT_EQ(link.Open(), 0) << c.path;
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(link.LastFailure(), c.failure) << c.path;
    EXPECT_EQ(link.LastDevice(), c.path);
    EXPECT_FALSE(link.LastFailureReason().empty());
    EXPECT_EQ(link.Close(), 0);
  }
  unlink(tmpl);
}

TEST_F(LinkOnPty, PortNumbersWithoutADeviceFailToOpen) {
  link.SetDevicePath("");
  unsetenv("KELVANE_TELNET");
  setenv("KELVANE_COM7", pty.SlavePath().c_str(), 1);
  for (uint8_t port : {uint8_t{0}, uint8_t{7}, uint8_t{9}}) {
    link.nPort = port;
    EXPECT_EQ(link.Open(), 0) << int(port);
    EXPECT_EQ(link.LastDevice(), "") << int(port);
  }
  unsetenv("KELVANE_COM7");
  // A port number resolved through the environment opens that device.
  setenv("KELVANE_COM2", pty.SlavePath().c_str(), 1);
  link.nPort = 2;
  EXPECT_EQ(link.Open(), 1);
  EXPECT_EQ(link.LastDevice(), pty.SlavePath());
  unsetenv("KELVANE_COM2");
}

TEST_F(LinkOnPty, ReadTakesOnlyWhatHasArrived) {
  ASSERT_EQ(link.Open(), 1);
  uint8_t buf[1024];
  EXPECT_EQ(link.Read(buf, 1024), 0);

  const uint8_t five[] = {1, 2, 3, 4, 5};
  ASSERT_TRUE(pty.Send(five, 5));
  ASSERT_TRUE(WaitQueued(5));
  ASSERT_EQ(link.Read(buf, 1024), 5);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 5), std::vector<uint8_t>(five, five + 5));

  std::vector<uint8_t> many(2000);
  for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(pty.Send(many.data(), 2000));
  ASSERT_TRUE(WaitQueued(2000));
  ASSERT_EQ(link.Read(buf, 1024), 1024);
  EXPECT_EQ(link.Session()->device.Queued(), 976);
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 1024), std::vector<uint8_t>(many.begin(), many.begin() + 1024));
  ASSERT_EQ(link.Read(buf, 1024), 976);
  EXPECT_EQ(buf[975], many[1999]);
}

TEST_F(LinkOnPty, WriteReturnsWhenTheBytesHaveLeft) {
  ASSERT_EQ(link.Open(), 1);
  std::vector<uint8_t> data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(link.Write(data.data(), static_cast<int>(data.size())), 3000);
  EXPECT_EQ(ReadFromMaster(3000), data);
}

TEST_F(LinkOnPty, SpeedFollowsTheIndexAndOtherIndexesKeepThePreviousSpeed) {
  ASSERT_EQ(link.Open(), 1);
  EXPECT_EQ(pty.SlaveSpeed(), 9600u);
  struct Step {
    int index;
    uint32_t expected;
  } steps[] = {{4, 115200}, {-1, 115200}, {5, 115200}, {0, 9600}, {1, 19200},
               {2, 38400},  {3, 57600},   {-1, 57600}, {4, 115200}};
  for (const auto& s : steps) {
    EXPECT_EQ(SetBaudIndex(link, s.index), 1) << s.index;
    EXPECT_EQ(pty.SlaveSpeed(), s.expected) << s.index;
    EXPECT_EQ(link.dwBaudRate.load(), s.expected) << s.index;
  }
}

TEST_F(LinkOnPty, EveryOpenStartsAt9600) {
  ASSERT_EQ(link.Open(), 1);
  SetBaudIndex(link, 4);
  ASSERT_EQ(pty.SlaveSpeed(), 115200u);
  link.Close();
  ASSERT_EQ(link.Open(), 1);
  EXPECT_EQ(pty.SlaveSpeed(), 9600u);
  EXPECT_EQ(link.dwBaudRate.load(), 9600u);
}

TEST_F(LinkOnPty, CancelAsksTheThreadsButLeavesTheLinkOpen) {
  // On a link never opened, Cancel only clears the transfer flag.
  link.bTransferRunning = 1;
  link.Cancel();
  EXPECT_EQ(link.bTransferRunning.load(), 0);

  ASSERT_EQ(link.Open(), 1);
  link.bTransferRunning = 1;
  link.Cancel();
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(link.bTransferRunning.load(), 0);
  auto s = link.Session();
  EXPECT_TRUE(s->hAbortTx.IsSet());
  EXPECT_TRUE(s->hAbortRx.IsSet());
  EXPECT_FALSE(s->hQuitRx.IsSet());
}

TEST_F(LinkOnPty, ASecondOpenerIsRefused) {
  ASSERT_EQ(link.Open(), 1);
  CSerialLink other;
  other.SetWorkerProcs(nullptr, nullptr);
  other.SetDevicePath(pty.SlavePath());
  EXPECT_EQ(other.Open(), 0);
  EXPECT_EQ(other.LastFailure(), OpenFailure::Busy);
  // Once the first lets go, the port is free again, even while a worker
  // still holds on to the closed connection.
  auto stillHeld = link.Session();
  link.Close();
  EXPECT_EQ(other.Open(), 1);
  uint8_t b;
  EXPECT_EQ(stillHeld->Read(&b, 1), -1);
  EXPECT_EQ(stillHeld->Write(&b, 1), 0);
}

TEST_F(LinkOnPty, TheOtherSideHangingUpMakesReadFail) {
  ASSERT_EQ(link.Open(), 1);
  uint8_t buf[16];
  EXPECT_EQ(link.Read(buf, 16), 0);
  pty.CloseSlaveHold();
  pty.HangUp();
  EXPECT_EQ(link.Read(buf, 16), -1);
}

TEST_F(LinkOnPty, CloseAbortsAWriteThatCannotFinish) {
  ASSERT_EQ(link.Open(), 1);
  // Nobody reads the master: the pseudo-terminal's buffer fills and the write blocks.
  std::vector<uint8_t> big(1 << 20, 0x55);
  auto writer = std::async(std::launch::async, [&] { return link.Write(big.data(), static_cast<int>(big.size())); });
  EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  link.Close();
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LT(writer.get(), static_cast<int>(big.size()));
}

// Worker procedures for the thread tests: they record that they ran on the
// connection they were given and end on their quit event.
std::atomic<int> g_started{0};
int QuitOnly(std::shared_ptr<CLinkSession> s) {
  g_started.fetch_add(1);
  const CEvent* events[] = {&s->hQuitRx, &s->hQuitTx};
  while (WaitForEvents(events, 2, 10) == kWaitTimeout) {
  }
  return 0;
}

TEST_F(LinkOnPty, CloseDoesNotWaitAndAnOldConnectionCannotCloseANewOne) {
  g_started = 0;
  link.SetWorkerProcs(&QuitOnly, &QuitOnly);
  ASSERT_EQ(link.Open(), 1);
  auto old = link.Session();
  EXPECT_EQ(link.Close(), 1);
  ASSERT_EQ(link.Open(), 1);
  // A worker of the first connection closing "its" link must not touch the second.
  EXPECT_EQ(old->Close(), 0);
  old->Cancel();
  EXPECT_TRUE(link.IsOpen());
  EXPECT_FALSE(link.Session()->hAbortRx.IsSet());
  EXPECT_EQ(link.Close(), 1);
  link.WaitForThreads();
  EXPECT_EQ(g_started.load(), 4);
}

}  // namespace
}  // namespace kelvane

namespace kelvane {
namespace {

TEST(LinkReopen, OpeningRightAfterCloseFindsThePortFree) {
  // The worker threads may still be inside a wait on the closed device when
  // the operator presses Connect again: the port must not read as "in use".
  box::CPtyPair pty;
  ASSERT_TRUE(pty.Create());
  CSerialLink link;
  link.SetDevicePath(pty.SlavePath());
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(link.Open(), 1) << "attempt " << i << ": " << link.LastFailureReason();
    SleepMs(i % 3);
    ASSERT_EQ(link.Close(), 1);
  }
}

}  // namespace
}  // namespace kelvane
