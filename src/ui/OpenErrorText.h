#pragma once
#include <string>

#include "serial/SerialDevice.h"

namespace kelvane {

// What the operator can do about a port that did not open: the device the
// port stands for, the system's reason and, where one helps, a hint. Shown
// below "OPEN ERROR"; the message itself stays as it is.
std::string DescribeOpenFailure(int portNumber, const std::string& device, OpenFailure failure,
                                const std::string& reason);

}  // namespace kelvane
