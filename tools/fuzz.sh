#!/bin/sh
# Bounded libFuzzer runs of the image code: the classification with its JPEG
# scan, and the Download check in each loader family and kind; and of the
# receiver's state handlers fed arbitrary chunk sequences. Built with
# clang under AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz.
#   FUZZ_SECONDS  time per target (default 45)
#   FUZZ_JOBS     parallel build jobs (default 2)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${FUZZ_BUILD:-$ROOT/build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-45}

command -v clang++ >/dev/null || { echo "fuzz: clang++ is missing (make deps)"; exit 1; }
CXX=clang++ cmake -S "$ROOT/fuzz" -B "$OUT" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$OUT" -j "${FUZZ_JOBS:-2}"

# Scratch files of the targets, in memory where the system has it.
KELVANE_FUZZ_TMP=$(mktemp -d /dev/shm/kelvane-fuzz.XXXXXX 2>/dev/null || mktemp -d)
export KELVANE_FUZZ_TMP
trap 'rm -rf "$KELVANE_FUZZ_TMP"' EXIT

status=0
# Runs one target for SECONDS_EACH: new inputs go to the build folder; the
# seeds in the tree are only read.
run() {
  t=$1
  work="$OUT/corpus/$t"
  mkdir -p "$work"
  echo "== ${t}_fuzzer: ${SECONDS_EACH}s"
  if ! ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
      "$OUT/${t}_fuzzer" "$work" "$ROOT/fuzz/corpus/$t" \
        -max_total_time="$SECONDS_EACH" -max_len="$2" -print_final_stats=1 \
        -artifact_prefix="$OUT/${t}-" 2>"$OUT/$t.log"; then
    status=1
    tail -40 "$OUT/$t.log"
  fi
  grep -E "DONE|Done [0-9]+ runs" "$OUT/$t.log" || true
}
run classify 4096
run check_image 4096
# The receiver: chunk sequences of up to 8 KB in each state and LinkMode,
# answered over a pseudo-terminal.
run receiver 8192

[ $status -eq 0 ] && echo "fuzz: no crash, no sanitizer report" || echo "fuzz: FAILED (artifacts in $OUT)"
exit $status
