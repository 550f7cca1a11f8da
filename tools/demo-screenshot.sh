#!/bin/sh
# Renders the window in the middle of real work into docs/demo-window.png: a
# Download of a sample program image into the simulated box, over a line paced
# like a real one, caught the moment the last block has gone (the bar full,
# the writing notice up). Runs under a private X server (Xvfb), checks the
# box's copy byte for byte and leaves no process running.
# Usage: tools/demo-screenshot.sh [BUILD_DIR]   (default: build)
set -eu
cd "$(dirname "$0")/.."
BUILD=$(cd "${1:-build}" && pwd)
cmake --build "$BUILD" --target kelvane-box kelvane-demo-shot -j2 > /dev/null
for tool in Xvfb xauth; do
  command -v $tool > /dev/null || { echo "demo-screenshot: $tool is missing (apt-get install xvfb xauth)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-shot.XXXXXX")
box_pid=""
x_pid=""
stop() {  # stop PID and wait until it has gone
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
cleanup() {
  if [ -n "$box_pid" ]; then stop "$box_pid"; fi
  if [ -n "$x_pid" ]; then stop "$x_pid"; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A program image: a text header, pseudo-random contents, and its descriptor
# in the last bytes (area byte 0x4C eleven bytes from the end).
sample="$work/demo-program.bin"
{ printf 'KELVANE DEMO PROGRAM IMAGE\n'; head -c 24538 /dev/urandom; printf '\114\001\002\003\000\000\000\000\000\000\000'; } > "$sample"

# The box: one transfer, paced at the line's speed, a flash write long enough
# to be seen, its line at $work/ttyBOX.
"$BUILD/kelvane-box" --signature 030430 --repeat 500 --pace --flash-ms 1500 --once \
  --flash-out "$work/flash.bin" --link "$work/ttyBOX" > "$work/box.out" 2> "$work/box.err" &
box_pid=$!
i=0
while [ ! -e "$work/ttyBOX" ]; do
  i=$((i + 1))
  if [ $i -gt 100 ]; then echo "demo-screenshot: the simulated box did not start" >&2; cat "$work/box.err" >&2; exit 1; fi
  sleep 0.05
done

# A private X server on the first free display, reachable only with the
# cookie in $work/Xauthority; this script stops it (and waits for it) at exit.
export XAUTHORITY="$work/Xauthority"
: > "$XAUTHORITY"
cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
n=99
while :; do
  n=$((n + 1))
  if [ $n -gt 140 ]; then echo "demo-screenshot: no X server could be started" >&2; exit 1; fi
  if [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; then continue; fi
  xauth add ":$n" . "$cookie"
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp -auth "$XAUTHORITY" > "$work/x.err" 2>&1 &
  x_pid=$!
  i=0
  while kill -0 "$x_pid" 2>/dev/null && [ ! -e "/tmp/.X11-unix/X$n" ] && [ $i -lt 100 ]; do
    i=$((i + 1)); sleep 0.05
  done
  if kill -0 "$x_pid" 2>/dev/null && [ -e "/tmp/.X11-unix/X$n" ]; then break; fi
  stop "$x_pid"; x_pid=""  # taken meanwhile, or it failed: the next one
done

mkdir -p docs
if ! DISPLAY=":$n" XDG_RUNTIME_DIR="$work" KELVANE_COM1="$work/ttyBOX" QT_QPA_PLATFORM=xcb \
     "$BUILD/kelvane-demo-shot" "$work/shot.png" "$sample" 60; then
  echo "demo-screenshot: the transfer did not complete" >&2
  cat "$work/box.err" >&2
  exit 1
fi
wait "$box_pid" 2>/dev/null || true
box_pid=""
stop "$x_pid"
x_pid=""
if ! cmp -s "$sample" "$work/flash.bin"; then
  echo "demo-screenshot: the box's copy differs from the file" >&2
  exit 1
fi
cp "$work/shot.png" docs/demo-window.png
echo "wrote docs/demo-window.png (the box's copy is byte for byte identical)"
