#include "serial/OpenFailureText.h"

namespace kelvane {

std::string ExplainOpenFailure(const std::string& portText, const std::string& device, OpenFailure failure,
                               const std::string& reason) {
  const bool isPath = portText.find('/') != std::string::npos;
  std::string who = isPath || device.empty() ? portText : portText + " (" + device + ")";
  std::string line = who + ": " + reason;
  switch (failure) {
    case OpenFailure::Permission:
      line += "; add your user to the 'dialout' group (sudo usermod -aG dialout $USER) and log in again";
      break;
    case OpenFailure::Busy:
      line += "; close the program that holds it (fuser -v " + (device.empty() ? std::string("DEVICE") : device) +
              " names it)";
      break;
    case OpenFailure::NotFound:
      if (device.empty() && !isPath) {
        const std::string n = portText.size() == 4 ? portText.substr(3) : "N";
        line += "; plug in the serial adapter, or name the device: --port /dev/ttyUSB0 or KELVANE_COM" + n +
                "=/dev/ttyUSB0";
      } else if (device.rfind("/dev/ttyUSB", 0) == 0 || device.rfind("/dev/ttyACM", 0) == 0) {
        line += "; is the adapter plugged in? A service such as a braille-display daemon may have taken it "
                "over (see dmesg)";
      }
      break;
    case OpenFailure::NotATerminal:
      line += "; name a serial device such as /dev/ttyUSB0";
      break;
    default:
      break;
  }
  return line;
}

}  // namespace kelvane
