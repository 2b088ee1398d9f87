#!/usr/bin/env bash
# Runs a Windows program under wine in the tests' prefix ($WINEPREFIX, made by
# scripts/wine-prefix.sh), without a desktop. Its output goes through files:
# wine's background processes inherit and keep open any pipe it is given.
# With WINEDEBUG=err+all (the tests'), a program of ours fails when wine
# reports an error in a function it imports (scripts/wine_api_errors.py).
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
# A caller that runs one program many times checks once, at its end: it names
# a file in WINE_RUN_ERRORS that collects the standard error of each run.
if [[ -n ${WINE_RUN_ERRORS:-} ]]; then
  cat "$err" >>"$WINE_RUN_ERRORS"
elif [[ $1 == *.exe && -f $1 && $WINEDEBUG == *err* ]] &&
  ! /usr/bin/python3 "$(dirname "${BASH_SOURCE[0]}")/wine_api_errors.py" "$1" "$err"; then
  ((rc != 0)) || rc=1
fi
exit "$rc"
