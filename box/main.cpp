// kelvane-box: a simulated set-top box loader on a pseudo-terminal.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "box/Box.h"

namespace {

using kelvane::box::BoxConfig;
using kelvane::box::BoxResult;
using kelvane::box::BoxTransfer;
using kelvane::box::CBox;
using kelvane::box::ParseHexBytes;

const char kHelp[] =
    "Usage: kelvane-box [options]\n"
    "\n"
    "Plays a set-top box's boot loader on a pseudo-terminal. Prints the slave\n"
    "device's path as the first line of its output; point the program under test\n"
    "at it (e.g. KELVANE_COM1=<path> kelvane, or kelvane-cli --port <path>), then\n"
    "start the transfer there. Progress and the outcome of every transfer go to\n"
    "standard error. Stops on SIGINT or SIGTERM.\n"
    "\n"
    "The announcement:\n"
    "  --signature HEX      the three bytes the loader announces itself with\n"
    "                       (default 030430). Byte 3, the mode byte, chooses the\n"
    "                       LinkMode: 30 31 32 -> 0x30, 40 41 42 -> 0x40, 20 F2 -> 0x20\n"
    "  --mode 20|30|40      use this LinkMode whatever the mode byte says\n"
    "  --noise HEX          bytes sent before every announcement\n"
    "  --repeat MS          announce again after MS ms without a request\n"
    "                       (default 1000; 0 announces once)\n"
    "\n"
    "Download (PC to box):\n"
    "  --flash-out FILE     after each Download, write what the box kept to FILE\n"
    "  --flash-ms MS        time the box takes to write its flash after the last\n"
    "                       block before its closing reply (default 150)\n"
    "  --closing-reply HEX  the closing reply byte (default 4F, 'O')\n"
    "  --max-size N         larger Downloads are refused (default 16777216)\n"
    "  --refuse-text TEXT   text of the box's refusals (default VERSION)\n"
    "\n"
    "Upload (box to PC):\n"
    "  --area AREA=FILE     the image served for area byte AREA (hex: 1F Boot,\n"
    "                       2F Data, 4F Program, 7F Flash, 20 Key); repeatable\n"
    "  --area-file FILE     the image served for any other area byte, and in\n"
    "                       LinkMode 0x20 (which names no area)\n"
    "  --packet-size N      LinkMode 0x20 packet size (default 2048)\n"
    "  --start-apart        send 'E' in a write of its own, not with block 1\n"
    "\n"
    "The line:\n"
    "  --pace               every byte takes 10 bit-times at the speed the program\n"
    "                       has set, in both directions, as on a real line\n"
    "  --link PATH          also make PATH a symbolic link to the slave device\n"
    "                       (removed again on exit)\n"
    "\n"
    "Serving:\n"
    "  --once               serve one transfer, then exit\n"
    "  --transfers N        serve N transfers, then exit (0, the default: until\n"
    "                       stopped). Each new transfer starts with a fresh\n"
    "                       announcement; the program must connect again.\n"
    "\n"
    "Faults (repeatable): --fault KIND[:key=value,...]\n"
    "  keys: block=N (the block or packet, from 1), offset=N (byte in the block),\n"
    "        phase=request|start|block|closing, bytes=HEX, text=TEXT,\n"
    "        ms=N (silence: serve again after N ms; 0 stays silent),\n"
    "        transfer=N (which transfer, from 0; -1 every one; default 0)\n"
    "  Download: refuse[:text=T]   'e', text, 0x00\n"
    "            refuse-unended    'e', text, then silence\n"
    "            nak:block=N       'N' for block N\n"
    "            flash-error:block=N  'e' for block N, and go on\n"
    "            wrong-sum:block=N    wrong 3-byte sum (LinkMode 0x20)\n"
    "            stray[:bytes=HEX]    stray byte(s) before 'E'\n"
    "  Upload:   bad-sum:block=N      wrong 4-byte sum (LinkMode 0x20: 'N')\n"
    "            verdict-n:block=N    'N' for packet N (LinkMode 0x20)\n"
    "            extra-size-byte[:bytes=HEX]  one byte more after the size record\n"
    "  Both:     silence:phase=P[,block=N][,ms=M]\n"
    "            hangup:block=N       the line goes away before block N\n"
    "            reset:block=N        restart before block N, announce again\n"
    "            flip|drop|dup:block=N,offset=K   a byte inverted, lost or doubled\n"
    "            noise:block=N[,bytes=HEX]        noise before the reply / block\n"
    "  e.g. --fault nak:block=2   --fault silence:phase=closing\n"
    "\n"
    "Exit status: 0 when stopped or all transfers served, 1 if the line could not\n"
    "be set up, 2 for a usage error.\n";

bool ParseCount(const std::string& s, long max, int* out) {
  char* end = nullptr;
  const long v = std::strtol(s.c_str(), &end, 0);
  if (s.empty() || *end != '\0' || v < 0 || v > max) return false;
  *out = static_cast<int>(v);
  return true;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int Usage(const std::string& why) {
  std::fprintf(stderr, "kelvane-box: %s (see --help)\n", why.c_str());
  return 2;
}

void Report(size_t n, const BoxTransfer& t) {
  std::fprintf(stderr, "kelvane-box: transfer %zu: %s, LinkMode 0x%02X, %u bytes, %u -> %u bit/s: %s (%s)\n", n + 1,
               t.upload ? "upload" : "download", t.linkMode, t.length, t.baudBefore, t.baudAfter,
               kelvane::box::BoxResultName(t.result), t.detail.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  BoxConfig cfg;
  cfg.repeatMs = 1000;
  cfg.transfers = 0;
  cfg.keepRecords = false;  // served for hours: nothing reads the record
  std::string flashOut, linkPath;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* v) {
      if (i + 1 >= args.size()) return false;
      *v = args[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a == "--pace") {
      cfg.pacing = true;
    } else if (a == "--once") {
      cfg.transfers = 1;
    } else if (a == "--start-apart") {
      cfg.startApart = true;
    } else if (!value(&v)) {
      return Usage(a.rfind("--", 0) == 0 ? a + " needs a value" : "unknown argument " + a);
    } else if (a == "--signature") {
      std::vector<uint8_t> sig;
      if (!ParseHexBytes(v, &sig) || sig.size() != 3) return Usage("--signature takes three hex bytes");
      std::copy(sig.begin(), sig.end(), cfg.signature);
    } else if (a == "--mode") {
      if (v != "20" && v != "30" && v != "40" && v != "0x20" && v != "0x30" && v != "0x40")
        return Usage("--mode is 20, 30 or 40");
      cfg.linkMode = static_cast<int>(std::strtol(v.c_str(), nullptr, 16));
    } else if (a == "--noise") {
      if (!ParseHexBytes(v, &cfg.noise)) return Usage("--noise takes hex bytes");
    } else if (a == "--repeat") {
      if (!ParseCount(v, 3600000, &cfg.repeatMs)) return Usage("--repeat takes milliseconds");
    } else if (a == "--flash-out") {
      flashOut = v;
    } else if (a == "--flash-ms") {
      if (!ParseCount(v, 600000, &cfg.flashWriteMs)) return Usage("--flash-ms takes milliseconds");
    } else if (a == "--closing-reply") {
      std::vector<uint8_t> b;
      if (!ParseHexBytes(v, &b) || b.size() != 1) return Usage("--closing-reply takes one hex byte");
      cfg.closingReply = b[0];
    } else if (a == "--max-size") {
      int n = 0;
      if (!ParseCount(v, 0x7FFFFFFF, &n)) return Usage("--max-size takes a byte count");
      cfg.maxImageSize = static_cast<uint32_t>(n);
    } else if (a == "--refuse-text") {
      cfg.refuseText = v;
    } else if (a == "--area") {
      const size_t eq = v.find('=');
      std::vector<uint8_t> areaByte, image;
      if (eq == std::string::npos || !ParseHexBytes(v.substr(0, eq), &areaByte) || areaByte.size() != 1)
        return Usage("--area takes AREA=FILE with a hex area byte");
      if (!ReadFile(v.substr(eq + 1), &image)) return Usage("cannot read " + v.substr(eq + 1));
      cfg.areas[areaByte[0]] = std::move(image);
    } else if (a == "--area-file") {
      std::vector<uint8_t> image;
      if (!ReadFile(v, &image)) return Usage("cannot read " + v);
      cfg.anyArea = std::move(image);
    } else if (a == "--packet-size") {
      if (!ParseCount(v, 0xFFFFFF, &cfg.packetSize) || cfg.packetSize == 0) return Usage("--packet-size takes 1..16777215");
    } else if (a == "--fault") {
      std::string error;
      auto f = kelvane::box::ParseFault(v, &error);
      if (!f) return Usage(error);
      cfg.faults.push_back(*f);
    } else if (a == "--transfers") {
      if (!ParseCount(v, 1000000, &cfg.transfers)) return Usage("--transfers takes a count");
    } else if (a == "--link") {
      linkPath = v;
    } else {
      return Usage("unknown option " + a);
    }
  }

  // The signals are taken here, by sigtimedwait, never by a handler: block
  // them before any thread starts so that every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  CBox box(cfg);
  if (!box.Start()) {
    std::fprintf(stderr, "kelvane-box: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  if (!linkPath.empty()) {
    struct stat st {};
    if (lstat(linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(linkPath.c_str());
    if (symlink(box.SlavePath().c_str(), linkPath.c_str()) != 0) {
      std::fprintf(stderr, "kelvane-box: cannot link %s: %s\n", linkPath.c_str(), std::strerror(errno));
      box.Stop();
      return 1;
    }
  }
  std::printf("%s\n", box.SlavePath().c_str());
  std::fflush(stdout);

  size_t reported = 0;
  int signal = 0;
  for (;;) {
    const bool finished = box.WaitFinished(0);
    const auto transfers = box.Transfers();
    for (; reported < transfers.size(); ++reported) {
      const BoxTransfer& t = transfers[reported];
      Report(reported, t);
      if (!t.upload && !flashOut.empty() && t.result != BoxResult::kRefused) {
        std::ofstream out(flashOut, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(t.flash.data()), static_cast<std::streamsize>(t.flash.size()));
        if (!out) std::fprintf(stderr, "kelvane-box: cannot write %s\n", flashOut.c_str());
      }
    }
    if (finished) break;
    timespec tick{0, 100 * 1000 * 1000};
    signal = sigtimedwait(&stopSignals, nullptr, &tick);
    if (signal > 0) break;
  }
  box.Stop();
  if (!linkPath.empty()) {
    char target[4096] = {};
    const ssize_t n = readlink(linkPath.c_str(), target, sizeof target - 1);
    if (n > 0 && box.SlavePath() == std::string(target, static_cast<size_t>(n))) unlink(linkPath.c_str());
  }
  if (signal > 0) std::fprintf(stderr, "kelvane-box: stopped\n");
  return 0;
}
