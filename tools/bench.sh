#!/bin/sh
# make bench: kelvane-cli against the simulated box, measured against the
# serial line's own limit. Usage: sh tools/bench.sh [BUILD_DIR]
#   BENCH_QUICK=1  smaller images (128 KiB at 115200 bit/s, 4 KiB at 9600)
#                  instead of 1 MiB and 16 KiB: about 3 minutes instead of 15.
# The printed report is also kept in BUILD_DIR/bench-results.txt. The exit
# status is 1 when a transfer failed; the figures themselves are not judged.
set -eu
BUILD=${1:-build}
JOBS=${JOBS:-2}

cmake --build "$BUILD" -j "$JOBS" --target kelvane-cli kelvane-bench >/dev/null
# bench-answer is built with the tests (BUILD_TESTING).
ANSWER=""
if cmake --build "$BUILD" -j "$JOBS" --target bench-answer >/dev/null 2>&1; then
  ANSWER="$BUILD/tests/protocol/bench-answer"
fi

if [ "${BENCH_QUICK:-0}" = 1 ]; then
  SIZE=131072 SMALL=4096
else
  SIZE=1048576 SMALL=16384
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-bench.XXXXXX")
# The program's logs stay behind when a transfer failed.
trap '[ -e "$WORK/failed" ] || rm -rf "$WORK"' EXIT INT TERM
OUT="$BUILD/bench-results.txt"

{
  echo "kelvane bench, $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p' | head -n 1), kernel $(uname -r)"
  echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "images: $SIZE bytes at 115200 bit/s, $SMALL bytes at 9600 bit/s"
  echo
  if [ -n "$ANSWER" ] && [ -x "$ANSWER" ]; then
    echo "Announcement to first answer byte (unpaced pseudo-terminal):"
    "$ANSWER" 200
  else
    echo "Announcement to first answer byte: bench-answer is not built (configure with the tests)"
  fi
  if ! "$BUILD/kelvane-bench" --cli "$BUILD/kelvane-cli" --dir "$WORK" --size "$SIZE" --small "$SMALL"; then
    echo
    echo "bench: some transfers failed (see above; logs kept in $WORK)"
    touch "$WORK/failed"
  fi
  echo
  echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
} 2>&1 | tee "$OUT"
echo "bench: results in $OUT"
[ ! -e "$WORK/failed" ]
