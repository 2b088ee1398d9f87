#!/usr/bin/env bash
# Runs the Windows unit tests under wine one test suite per process, as the
# Linux build's ctest runs each test in a process of its own: a suite that
# leaves threads or sockets behind cannot touch the next one's memory, and a
# failure names its suite.
# Usage: scripts/wine-unit-tests.sh <unit_tests.exe> <excluded gtest patterns, ':'-separated>
set -uo pipefail
here=$(dirname "${BASH_SOURCE[0]}")
program=$1
excluded=${2:-}

listing=$("$here/wine-run.sh" "$program" --gtest_list_tests) || {
  echo "cannot list the tests of $program" >&2
  exit 1
}
mapfile -t suites < <(printf '%s\n' "$listing" | tr -d '\r' | sed -nE 's/^([A-Za-z_][A-Za-z0-9_/]*\.)( .*)?$/\1/p')
((${#suites[@]} > 0)) || {
  echo "no test suites listed by $program" >&2
  exit 1
}

failed=()
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
for suite in "${suites[@]}"; do
  WINE_RUN_ERRORS=$errors "$here/wine-run.sh" "$program" --gtest_brief=1 "--gtest_filter=${suite}*${excluded:+-$excluded}" ||
    failed+=("${suite%.}")
done
echo "${#suites[@]} suites run under wine, ${#failed[@]} failed${failed:+: ${failed[*]}}"
# Wine's errors in functions the program imports, over all suites at once.
if [[ $WINEDEBUG == *err* ]] && ! /usr/bin/python3 "$here/wine_api_errors.py" "$program" "$errors"; then
  failed+=("wine errors")
fi
((${#failed[@]} == 0))
