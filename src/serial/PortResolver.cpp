#include "serial/PortResolver.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace kelvane {
namespace {

// Names /dev/<prefix><number>, sorted by number.
std::vector<std::string> Numbered(const std::string& prefix) {
  std::vector<std::pair<long, std::string>> found;
  if (DIR* d = opendir("/dev")) {
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
      const std::string digits = name.substr(prefix.size());
      if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
      found.emplace_back(std::strtol(digits.c_str(), nullptr, 10), "/dev/" + name);
    }
    closedir(d);
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (auto& f : found) out.push_back(f.second);
  return out;
}

// A /dev/ttyS* node exists for every possible legacy port; only those whose
// UART type is known to the kernel have hardware behind them.
bool HasUart(const std::string& dev) {
  const std::string name = dev.substr(dev.rfind('/') + 1);
  std::ifstream type("/sys/class/tty/" + name + "/type");
  int t = 0;
  return static_cast<bool>(type >> t) && t != 0;
}

}  // namespace

std::vector<std::string> ListSerialDevices() {
  std::vector<std::string> out = Numbered("ttyUSB");
  for (auto& d : Numbered("ttyACM")) out.push_back(d);
  for (auto& d : Numbered("ttyS"))
    if (HasUart(d)) out.push_back(d);
  return out;
}

std::string ResolvePortDevice(int portNumber) {
  if (portNumber <= 0) return "";
  if (portNumber >= 7) {
    const char* t = std::getenv("KELVANE_TELNET");
    return t ? t : "";
  }
  const std::string var = "KELVANE_COM" + std::to_string(portNumber);
  if (const char* v = std::getenv(var.c_str())) return v;
  const auto devs = ListSerialDevices();
  return static_cast<size_t>(portNumber) <= devs.size() ? devs[portNumber - 1] : "";
}

}  // namespace kelvane
