#!/usr/bin/env bash
# The test command: builds the gateway with AddressSanitizer and
# UndefinedBehaviorSanitizer (and the fault seam armed from CVSMTPGW_FAULTS) in
# build-asan and runs every unit and integration test; then builds it for
# Windows in build-win32 and runs those tests under wine. Installs missing
# Debian packages first when run as root.
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

# The Windows stage: the same sources cross-built with mingw-w64 (cmake/mingw-w64-x86_64.cmake)
# in build-win32, their tests run under wine in a prefix of their own (build-win32/wineprefix),
# one at a time. Some compare with the Linux build above.
win=build-win32
cmake -S . -B "$win" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCVSMTPGW_FAULT_INJECTION=ON -DCVSMTPGW_POSIX_BUILD_DIR="$PWD/$build"
cmake --build "$win" -j2
set +e
ctest --test-dir "$win" --output-on-failure 2>&1 | tee "$win/ctest.log"
winrc=${PIPESTATUS[0]}
set -e

# ctest's own summaries, then both stages' counts as the last line.
summary() { grep -E '^[0-9]+% tests passed' "$1/ctest.log" | tail -n 1; }
echo "Linux: $(summary "$build")"
echo "Windows (wine): $(summary "$win")"
counts() { summary "$1" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/'; }
read -r failed total < <(counts "$build") || true
read -r winfailed wintotal < <(counts "$win") || true
failed=$((${failed:-0} + ${winfailed:-0}))
echo "$((${total:-0} + ${wintotal:-0} - failed)) passed, $failed failed"
if ((rc != 0)); then exit "$rc"; fi
exit "$winrc"
