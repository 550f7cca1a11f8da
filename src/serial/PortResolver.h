#pragma once
#include <string>
#include <vector>

namespace kelvane {

// The device a port number of the port list stands for on this machine.
//  - KELVANE_COM<n> in the environment, when set, names it directly.
//  - Otherwise COM<n> is the n-th serial device present: USB adapters first
//    (/dev/ttyUSB*, then /dev/ttyACM*), then /dev/ttyS* ports that have a
//    real UART behind them, each group in numeric order.
//  - Port numbers 7 and up (the network port of the original tool) resolve to
//    KELVANE_TELNET when set, and otherwise to nothing; never to COM7's device.
//  - 0 and numbers that find no device resolve to nothing ("").
std::string ResolvePortDevice(int portNumber);

// The serial devices present, in the order COM1, COM2, ... take them.
std::vector<std::string> ListSerialDevices();

}  // namespace kelvane
