// The soak run: transfers back to back in one long-lived process, directions
// alternating and LinkModes in turn, a share of them struck by a fault drawn
// at random from the fault matrix. After each transfer nothing may remain of
// it: no thread, no descriptor, no memory; every transfer that completed is
// byte for byte what was sent.
//   SOAK_SECONDS  how long to run (default 120)
//   SOAK_SEED     the random seed (default: from the clock; printed either way)
//   SOAK_FAULTS   percent of transfers struck by a fault (default 40)
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FaultMatrix.h"

using namespace kelvane;
using namespace kelvane::faults;

namespace {

long EnvNumber(const char* name, long fallback) {
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  char* end = nullptr;
  const long n = std::strtol(v, &end, 10);
  return *end == '\0' && n >= 0 ? n : fallback;
}

size_t HeapInUse() { return mallinfo2().uordblks; }

}  // namespace

int main(int, char** argv) {
  using Clock = std::chrono::steady_clock;
  // The allocator's per-thread caches keep freed blocks that its figures
  // count as in use, and they fill slowly over a run: with them off, the
  // heap figure is live memory only, and a leak shows as growth.
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (!tunables || !std::strstr(tunables, "tcache_count")) {
    setenv("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0", 1);
    execv("/proc/self/exe", argv);
    std::perror("soak: cannot restart with the allocator's caches off");
  }
  const long seconds = EnvNumber("SOAK_SECONDS", 120);
  const uint32_t seed = static_cast<uint32_t>(
      EnvNumber("SOAK_SEED", static_cast<long>(Clock::now().time_since_epoch().count() & 0x7FFFFFFF)));
  const long faultPercent = std::min(100L, EnvNumber("SOAK_FAULTS", 40));
  std::mt19937 rng(seed);
  std::printf("soak: %ld s, seed %u, %ld%% of transfers with a fault\n", seconds, seed, faultPercent);
  std::fflush(stdout);

  // The rows a transfer can draw, by direction and LinkMode. Rows of a known,
  // not yet mended fault of the program stay out: the matrix reports them.
  const std::vector<FaultRow> rows = MatrixRows();
  auto pick = [&](Dir dir, uint8_t mode, bool faulty) {
    std::vector<const FaultRow*> fit;
    for (const FaultRow& r : rows)
      if (r.dir == dir && r.mode == mode && r.knownFault.empty() && (r.fault == "none") != faulty) fit.push_back(&r);
    return fit.empty() ? nullptr : fit[std::uniform_int_distribution<size_t>(0, fit.size() - 1)(rng)];
  };

  // A sanitizer's runtime starts a helper thread with the process's first
  // thread: let it start before the count that every transfer is held to.
  std::thread([] {}).join();
  const int threads0 = ThreadCount(), descriptors0 = DescriptorCount();
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  long transfers = 0, faultsInjected = 0, failures = 0, completed = 0, downloads = 0, uploads = 0;
  long leakedThreads = 0, leakedDescriptors = 0;
  size_t heapSettled = 0, heapPeak = 0, heapLast = 0;
  const uint8_t modes[] = {0x20, 0x30, 0x40};
  while (Clock::now() < end) {
    const Dir dir = transfers % 2 == 0 ? Dir::kDownload : Dir::kUpload;
    const uint8_t mode = modes[(transfers / 2) % 3];
    const bool faulty = std::uniform_int_distribution<int>(0, 99)(rng) < faultPercent;
    const FaultRow* chosen = pick(dir, mode, faulty);
    if (!chosen) break;
    FaultRow row = *chosen;
    if (!faulty) {
      // A clean transfer of any size: short last blocks, single blocks, a
      // Download of 12 bytes, an empty area.
      const size_t most = 40 * 2048;
      size_t size = std::uniform_int_distribution<size_t>(dir == Dir::kDownload ? 12 : 0, most)(rng);
      if (size == 0x2000) size += 1;  // that size is a boot image in LinkMode 0x20
      row.size = size;
    }
    Observed seen;
    const std::vector<std::string> problems = RunRow(row, &seen, rng());
    ++transfers;
    (dir == Dir::kDownload ? downloads : uploads) += 1;
    if (faulty) ++faultsInjected;
    if (row.dest == Dest::kWhole && problems.empty()) ++completed;

    const int threads = ThreadCount(), descriptors = DescriptorCount();
    leakedThreads = std::max<long>(leakedThreads, threads - threads0);
    leakedDescriptors = std::max<long>(leakedDescriptors, descriptors - descriptors0);
    heapLast = HeapInUse();
    heapPeak = std::max(heapPeak, heapLast);
    if (transfers == 50) heapSettled = heapLast;  // after the first of every kind of row

    if (!problems.empty() || threads != threads0 || descriptors != descriptors0) {
      ++failures;
      std::printf("FAIL #%ld %s (size %zu):", transfers, row.Name().c_str(), row.size);
      for (const auto& p : problems) std::printf("\n    %s", p.c_str());
      if (threads != threads0) std::printf("\n    %d threads alive, %d at the start", threads, threads0);
      if (descriptors != descriptors0) std::printf("\n    %d descriptors open, %d at the start", descriptors, descriptors0);
      std::printf("\n");
    }
    if (transfers % 50 == 0) {
      std::printf("soak: %ld transfers, %ld with a fault, %ld failures, heap %zu bytes\n", transfers, faultsInjected,
                  failures, heapLast);
    }
    std::fflush(stdout);
  }

  // The heap after the run against the heap once every kind of row had run:
  // what one transfer leaks, hundreds would show here.
  const long heapGrowth = heapSettled ? static_cast<long>(heapLast) - static_cast<long>(heapSettled) : 0;
  const bool heapLeak = heapSettled && heapGrowth > 8 * 1024;
  if (heapLeak) ++failures;
  std::printf(
      "soak: seed %u: %ld transfers (%ld Download, %ld Upload), %ld faults injected, %ld completed byte-exact, "
      "failures: %ld\n",
      seed, transfers, downloads, uploads, faultsInjected, completed, failures);
  std::printf("soak: threads %+ld, descriptors %+ld over the run; ", leakedThreads, leakedDescriptors);
  if (heapPeak != 0 && heapSettled == 0) {
    std::printf("heap %zu bytes at the end, not compared (fewer than 50 transfers)\n", heapLast);
  } else if (heapPeak == 0) {
    std::printf("heap not measured (a sanitizer's allocator: its leak check runs at exit)\n");
  } else {
    std::printf("heap %zu bytes after transfer 50, %zu at the end (%+ld), peak %zu%s\n", heapSettled, heapLast,
                heapGrowth, heapPeak, heapLeak ? " (LEAK)" : "");
  }
  return failures == 0 && transfers > 0 ? 0 : 1;
}
