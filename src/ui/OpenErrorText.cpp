#include "ui/OpenErrorText.h"

namespace kelvane {

std::string DescribeOpenFailure(int portNumber, const std::string& device, OpenFailure failure,
                                const std::string& reason) {
  const std::string port = "COM" + std::to_string(portNumber);
  if (device.empty())
    return port + ": no serial device found for this port. Plug in the adapter, or set KELVANE_COM" +
           std::to_string(portNumber) + " to the device's path.";
  std::string text = port + " (" + device + "): " + (reason.empty() ? std::string("cannot open") : reason) + ".";
  switch (failure) {
    case OpenFailure::Permission:
      text += " Add your user to the dialout group (sudo usermod -aG dialout $USER) and log in again.";
      break;
    case OpenFailure::Busy:
      text += " Another program holds the port: close it and try again.";
      break;
    case OpenFailure::NotFound:
      text += " Check that the adapter is plugged in, or set KELVANE_COM" + std::to_string(portNumber) +
              " to the device's path.";
      break;
    default:
      break;
  }
  return text;
}

}  // namespace kelvane
