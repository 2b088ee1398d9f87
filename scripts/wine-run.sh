#!/usr/bin/env bash
# Runs a Windows program under wine in the tests' prefix ($WINEPREFIX, made by
# scripts/wine-prefix.sh), without a desktop. Its output goes through files:
# wine's background processes inherit and keep open any pipe it is given.
# Usage: scripts/wine-run.sh <program.exe> [arguments...]
set -uo pipefail
: "${WINEPREFIX:?set WINEPREFIX to the prefix of the tests}"
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEDEBUG=${WINEDEBUG:--all}
unset DISPLAY
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$wine" "$@" >"$out" 2>"$err" </dev/null
rc=$?
cat "$out"
cat "$err" >&2
exit "$rc"
