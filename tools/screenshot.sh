#!/bin/sh
# Renders the main window offscreen into docs/screenshot.png (shown in the
# README), as it looks after start-up with a 1 MiB main.bin on the command
# line. Usage: tools/screenshot.sh [BUILD_DIR]   (default: build)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target kelvane-screenshot
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
head -c 1048576 /dev/zero > "$tmp/main.bin"
mkdir -p docs
XDG_RUNTIME_DIR=$tmp QT_QPA_PLATFORM=offscreen "$build/kelvane-screenshot" docs/screenshot.png "$tmp/main.bin"
echo "wrote docs/screenshot.png"
