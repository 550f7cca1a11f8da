#pragma once
// One table of what goes wrong on the line, on the box and on the disk, and
// what the program must make of it, for each LinkMode and direction. The
// fault-matrix test runs every row; the soak program runs rows at random in
// one long-lived process. Both use RunRow, which drives a real link with both
// worker threads against the simulated box on a pseudo-terminal.
#include <cstdint>
#include <string>
#include <vector>

#include "box/Box.h"
#include "protocol/Owner.h"

namespace kelvane::faults {

enum class Dir { kDownload, kUpload };

// How the transfer ends, seen from the operator's chair.
enum class Ending {
  kByItself,  // the program reports and closes the link on its own
  kSilence,   // the program reports once the silence limit has run out
  kLeftOpen,  // the link stays open (messages or none) until the operator cancels
};

// What the transfer leaves at its destination.
enum class Dest {
  kWhole,      // Download: the box holds the whole file; Upload: the file holds the whole area
  kNotDone,    // Download: the box never confirmed the transfer
  kUntouched,  // Download: no block reached the box
  kKept,       // Upload: the earlier file under the name is intact, nothing else was left behind
};

// What the test does to the source or destination around the transfer.
enum class Action {
  kNone,
  kDeleteBefore,    // the selected file is deleted before the box announces itself
  kTruncateBefore,  // ... cut to nothing
  kDeleteDuring,    // deleted once the first block has gone out
  kTruncateDuring,  // cut to nothing once the first block has gone out
  kDiskFull,        // no file of the process may grow past 4096 bytes
};

struct FaultRow {
  std::string fault;  // in words, for the table
  Dir dir = Dir::kDownload;
  uint8_t mode = 0x30;
  std::vector<box::BoxFault> faults;
  Action action = Action::kNone;
  std::vector<uint8_t> noise;  // sent before the announcement
  int transfers = 1;           // the box serves this many (2: it comes back after a reset)
  size_t size = 24 * 2048 + 100;
  int flashWriteMs = 20;       // Download: the box's flash write before its closing reply

  Ending ending = Ending::kByItself;
  uint32_t limitMs = 0;  // kSilence: the limit that must run out (and not before)
  // Accepted message lists (any one of them, in any interleaving of the two
  // threads); `maybe` texts may come on top, at most once each.
  std::vector<std::vector<std::string>> messages;
  std::vector<std::string> maybe;
  std::vector<int> busy;  // the window's busy/idle calls, repeats folded, to the end
  Dest dest = Dest::kNotDone;
  // A fault of the program this row exposes and that is not mended yet: the
  // row states the sound outcome and is left out of the default run.
  std::string knownFault;

  std::string Name() const;  // a test name: Download_Mode30_FlippedByte
};

// Every row of the matrix.
std::vector<FaultRow> MatrixRows();

// What a run showed; the table is written from it.
struct Observed {
  std::vector<std::string> messages;  // "text (icon)"
  std::vector<int> busy;
  std::string ending;  // how it ended, in words
  std::string dest;    // the destination afterwards, in words
  int joinMs = -1;     // how long the worker threads took to end after the link closed
  double seconds = 0;  // the whole row, wall clock
};

// Runs one row start to finish; returns what differs from the row's
// expectations (empty: the row holds). Never hangs: every wait has a limit,
// and a link that will not let its threads go is reported and abandoned.
// `seed` varies the bytes of the file or area.
std::vector<std::string> RunRow(const FaultRow& row, Observed* seen, uint32_t seed = 1);

// The icon each message must carry.
MsgIcon IconFor(const std::string& text);

// The matrix as a markdown table, one line per row.
std::string MarkdownTable(const std::vector<FaultRow>& rows, const std::vector<Observed>& seen,
                          const std::vector<bool>& held);

// Counts for leak checks: threads of this process, open descriptors.
int ThreadCount();
int DescriptorCount();

}  // namespace kelvane::faults
