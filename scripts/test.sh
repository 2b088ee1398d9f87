#!/usr/bin/env bash
# The test command: builds the gateway with AddressSanitizer and
# UndefinedBehaviorSanitizer (and the fault seam armed from CVSMTPGW_FAULTS) in
# build-asan and runs every unit and integration test, then the fuzz targets
# (scripts/fuzz.sh). Installs missing Debian packages first when run as root.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

mapfile -t packages < <(grep -vE '^[[:space:]]*(#|$)' scripts/packages.txt)
scripts/install-deps.sh "${packages[@]}"

build=build-asan
cmake -S . -B "$build" -G Ninja -DCVSMTPGW_SANITIZE=ON -DCVSMTPGW_FAULT_INJECTION=ON
cmake --build "$build" -j2

set +e
ctest --test-dir "$build" --output-on-failure -j2 2>&1 | tee "$build/ctest.log"
rc=${PIPESTATUS[0]}
set -e
# The fuzz stage (scripts/fuzz.sh: libFuzzer targets built with clang in
# build-fuzz, each run for a minute), after ctest, whatever ctest gave.
set +e
scripts/fuzz.sh
fuzz_rc=$?
set -e
# ctest's own summary as the last line, after any list of failed tests.
grep -E '^[0-9]+% tests passed' "$build/ctest.log" | tail -n 1 || true
((fuzz_rc == 0)) || echo "fuzz stage failed (exit $fuzz_rc)"
((rc != 0)) && exit "$rc"
exit "$fuzz_rc"
