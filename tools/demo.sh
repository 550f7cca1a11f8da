#!/bin/sh
# The demo: a Download of a sample program image into the simulated box, then
# an Upload of that area back, each compared byte for byte. With a display it
# opens the window with COM1 wired to the simulated box; without one it runs
# the same through kelvane-cli in this terminal. Leaves no process running.
set -eu
BUILD=$(cd "${1:-build}" && pwd)
BOX="$BUILD/kelvane-box"
CLI="$BUILD/kelvane-cli"
WINDOW="$BUILD/kelvane"
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvane-demo.XXXXXX")
box_pid=""

cleanup() {
  if [ -n "$box_pid" ]; then kill "$box_pid" 2>/dev/null || true; wait "$box_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A program image: a text header, pseudo-random contents, and its descriptor
# in the last bytes (area byte 0x4C eleven bytes from the end).
sample="$work/demo-program.bin"
{ printf 'KELVANE DEMO PROGRAM IMAGE\n'; head -c 59962 /dev/urandom; printf '\114\001\002\003\000\000\000\000\000\000\000'; } > "$sample"
size=$(wc -c < "$sample")

# Starts a simulated box announcing LinkMode 0x30 once a second, its line at $work/ttyBOX.
start_box() {
  "$BOX" --signature 030430 --repeat 1000 --pace --link "$work/ttyBOX" "$@" > "$work/box.out" 2> "$work/box.err" &
  box_pid=$!
  i=0
  while [ ! -e "$work/ttyBOX" ]; do
    i=$((i + 1)); [ $i -gt 100 ] && { echo "demo: the simulated box did not start" >&2; cat "$work/box.err" >&2; exit 1; }
    sleep 0.05
  done
}
stop_box() {
  kill "$box_pid" 2>/dev/null || true
  wait "$box_pid" 2>/dev/null || true
  box_pid=""
}
same() {
  if cmp -s "$1" "$2"; then echo "demo: $3: byte for byte identical ($(wc -c < "$2") bytes)"; else echo "demo: $3: DIFFERENT" >&2; return 1; fi
}

if [ -n "${DISPLAY:-}" ] && [ -x "$WINDOW" ] && [ -z "${CI:-}" ]; then
  echo "demo: the window opens with $sample selected and COM1 wired to a simulated box."
  echo "demo: press Подключить (Connect) to download it; then choose Upload, Connect again to read it back."
  start_box --flash-out "$work/flash.bin" --area 4F="$sample"
  (cd "$work" && KELVANE_COM1="$work/ttyBOX" "$WINDOW" "$sample") || true
  stop_box
  [ -e "$work/flash.bin" ] && same "$sample" "$work/flash.bin" "the box's flash after the Download"
  [ -e "$work/Program.Dat" ] && same "$sample" "$work/Program.Dat" "Program.Dat after the Upload"
  exit 0
fi

echo "demo: Download of a $size-byte program image into a simulated box (LinkMode 0x30, 115200 bit/s, paced like a real line)"
start_box --once --flash-out "$work/flash.bin"
"$CLI" --port "$work/ttyBOX" --speed 115200 "$sample"
wait "$box_pid" 2>/dev/null || true
box_pid=""
same "$sample" "$work/flash.bin" "the box's flash after the Download"

echo
echo "demo: Upload of the box's program area back into Program.Dat"
start_box --once --area 4F="$work/flash.bin"
(cd "$work" && "$CLI" --port "$work/ttyBOX" --speed 115200 --upload --kind program)
wait "$box_pid" 2>/dev/null || true
box_pid=""
same "$sample" "$work/Program.Dat" "Program.Dat after the Upload"
echo "demo: done"
