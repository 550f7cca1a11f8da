#!/bin/sh
# Installs the Debian packages that are missing. As root it installs them;
# otherwise it prints the one apt-get line to run.
quiet=0
[ "$1" = "--quiet" ] && { quiet=1; shift; }
missing=""
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -z "$missing" ]; then
  [ $quiet = 1 ] || echo "deps: everything is installed"
  exit 0
fi
if [ "$(id -u)" = 0 ]; then
  echo "deps: installing$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing >/dev/null || {
    echo "deps: apt-get failed" >&2; exit 1; }
else
  echo "deps: missing packages. Run:" >&2
  echo "  sudo apt-get install$missing" >&2
  exit 1
fi
