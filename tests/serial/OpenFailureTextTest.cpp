#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/OpenFailureText.h"

namespace kelvane {
namespace {

TEST(OpenFailureText, NamesThePortTheDeviceTheReasonAndWhatToDo) {
  struct Case {
    std::string port, device;
    OpenFailure failure;
    std::string reason;
    std::vector<std::string> parts;
  } cases[] = {
      {"COM1", "/dev/ttyUSB0", OpenFailure::Permission, "cannot open: Permission denied",
       {"COM1 (/dev/ttyUSB0): cannot open: Permission denied", "dialout"}},
      {"/dev/ttyS0", "/dev/ttyS0", OpenFailure::Busy, "the port is in use by another program",
       {"/dev/ttyS0: the port is in use by another program", "fuser -v /dev/ttyS0"}},
      {"COM4", "", OpenFailure::NotFound, "no device for this port",
       {"COM4: no device for this port", "KELVANE_COM4=", "--port"}},
      {"/dev/ttyUSB3", "/dev/ttyUSB3", OpenFailure::NotFound, "cannot open: No such file or directory",
       {"/dev/ttyUSB3: cannot open: No such file or directory", "plugged in", "braille"}},
      {"/tmp/x", "/tmp/x", OpenFailure::NotATerminal, "not a serial device", {"/tmp/x: not a serial device"}},
  };
  for (const auto& c : cases) {
    const std::string line = ExplainOpenFailure(c.port, c.device, c.failure, c.reason);
    for (const auto& p : c.parts) EXPECT_NE(line.find(p), std::string::npos) << line << "\n lacks " << p;
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
}

}  // namespace
}  // namespace kelvane
