#!/usr/bin/env bash
# Makes the wine prefix of the Windows tests (once; later calls find it ready)
# and keeps a wineserver running for a minute after the last wine process, so
# that wine's service manager and registry stay up between the wine commands
# of one test. With "stop", ends that server and every wine process of the
# prefix instead (after the tests: a server left with the sockets of killed
# processes can keep a core busy for as long as it lives).
# Usage: scripts/wine-prefix.sh <prefix directory> [stop]
set -euo pipefail
prefix=$1
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=$prefix WINEDEBUG=-all
unset DISPLAY  # no desktop: message boxes return at once

if [[ ${2:-} == stop ]]; then
  "$wineserver" -k >/dev/null 2>&1 || true
  "$wineserver" -w >/dev/null 2>&1 || true
  echo "wine prefix stopped: $prefix"
  exit 0
fi

# A prefix is made for one wine version (the system's, or a root's: scripts/wine-root.sh).
version=$("$wine" --version)
if [[ ! -f $prefix/.cvsmtpgw-ready || $(<"$prefix/.cvsmtpgw-ready") != "$version" ]]; then
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"
  # Wine's helpers keep inherited pipes open: its output goes to a file.
  "$wine" wineboot -i >"$prefix.boot.log" 2>&1 </dev/null
  # The first server must end before a persistent one may start.
  "$wineserver" -w
  echo "$version" >"$prefix/.cvsmtpgw-ready"
fi
# A server left from an earlier run may not be a persistent one: start afresh.
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -w
"$wineserver" -p60 </dev/null >/dev/null 2>&1
echo "wine prefix ready: $prefix"
