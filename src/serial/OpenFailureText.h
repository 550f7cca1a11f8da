#pragma once
#include <string>

#include "serial/SerialDevice.h"

namespace kelvane {

// What the operator can do about a port that did not open, on one line: the
// port as the operator named it (and the device it stands for), the system's
// reason and, where one helps, a hint. Shown under "OPEN ERROR" by the window
// and by the front end; the message itself stays as it is.
std::string ExplainOpenFailure(const std::string& portText, const std::string& device, OpenFailure failure,
                               const std::string& reason);

}  // namespace kelvane
