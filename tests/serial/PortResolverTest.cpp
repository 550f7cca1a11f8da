#include <gtest/gtest.h>

#include <cstdlib>

#include "serial/PortResolver.h"

namespace kelvane {
namespace {

class PortResolver : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("KELVANE_COM3");
    unsetenv("KELVANE_COM7");
    unsetenv("KELVANE_TELNET");
  }
};

TEST_F(PortResolver, EnvironmentNamesTheDevice) {
  setenv("KELVANE_COM3", "/dev/pts/77", 1);
  EXPECT_EQ(ResolvePortDevice(3), "/dev/pts/77");
}

TEST_F(PortResolver, PortZeroResolvesToNothing) { EXPECT_EQ(ResolvePortDevice(0), ""); }

TEST_F(PortResolver, PortsSevenAndUpNeverTakeAComDevice) {
  // The network port stands apart: even a KELVANE_COM7 is not used for it.
  setenv("KELVANE_COM7", "/dev/pts/78", 1);
  EXPECT_EQ(ResolvePortDevice(7), "");
  setenv("KELVANE_TELNET", "/dev/pts/79", 1);
  EXPECT_EQ(ResolvePortDevice(7), "/dev/pts/79");
  EXPECT_EQ(ResolvePortDevice(12), "/dev/pts/79");
}

TEST_F(PortResolver, WithoutEnvironmentTheNthDevicePresentIsTaken) {
  const auto devices = ListSerialDevices();
  for (int n = 1; n <= 6; ++n) {
    const std::string expected = static_cast<size_t>(n) <= devices.size() ? devices[n - 1] : "";
    EXPECT_EQ(ResolvePortDevice(n), expected) << "COM" << n;
  }
}

}  // namespace
}  // namespace kelvane
