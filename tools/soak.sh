#!/bin/sh
# The soak run: several hundred transfers back to back in one process against
# the simulated box, directions alternating, LinkModes in turn, random faults.
#   sh tools/soak.sh [build-dir]
#   SOAK_SECONDS  how long (default 120); SOAK_SEED  the seed (printed);
#   SOAK_FAULTS   percent of transfers with a fault (default 40)
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
cmake --build "$BUILD" -j "${SOAK_JOBS:-2}" --target kelvane-soak
exec "$BUILD/kelvane-soak"
