#!/usr/bin/env bash
# The test command: builds the gateway with AddressSanitizer and
# UndefinedBehaviorSanitizer (and the fault seam armed from CVSMTPGW_FAULTS) in
# build-asan and runs every unit and integration test; builds the demo's
# optimised gateway (whose warnings differ); builds it for Windows in
# build-win32 and runs those tests under wine; then runs the fuzz targets
# (scripts/fuzz.sh). Every stage runs whatever the one before gave; the exit
# status is that of the first that failed. Installs missing Debian packages
# first when run as root.
#
# Run as root, the Windows tests run under wine 10 of a Debian trixie root
# (scripts/wine-root.sh, made once in CVSMTPGW_WINE_ROOT, by default
# /var/cache/cvsmtpgw-wine-root), whose Schannel has the TLS server side that
# bookworm's wine 8 lacks; CVSMTPGW_WINE_ROOT= (empty) or a run as another user
# takes the system's wine64 instead.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

mapfile -t packages < <(grep -vE '^[[:space:]]*(#|$)' scripts/packages.txt)
scripts/install-deps.sh "${packages[@]}"

# The wine root is made beside the Linux build, which leaves the disk idle.
wine_root=""
if ((EUID == 0)); then wine_root=${CVSMTPGW_WINE_ROOT-/var/cache/cvsmtpgw-wine-root}; fi
if [[ -n $wine_root ]]; then
  mkdir -p build-win32
  scripts/wine-root.sh "$wine_root" >build-win32/wine-root.log 2>&1 &
  wine_root_pid=$!
fi

# The test builds compile at -O1 with line tables only: the sanitizers' own
# advice, enough for their stack traces, and some 40% less compile time than
# -O2 -g, which is most of the command's time on two cores.
test_flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
build=build-asan
cmake -S . -B "$build" -G Ninja -DCVSMTPGW_SANITIZE=ON -DCVSMTPGW_FAULT_INJECTION=ON "${test_flags[@]}"
cmake --build "$build" -j2

set +e
ctest --test-dir "$build" --output-on-failure -j2 2>&1 | tee "$build/ctest.log"
rc=${PIPESTATUS[0]}
set -e

# The gateway as scripts/demo.sh builds it: Release, -O3, no tests.
set +e
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCVSMTPGW_TESTS=OFF >/dev/null &&
  cmake --build build-release -j2 --target cvsmtpgw
release_rc=$?
set -e

# The Windows stage: the same sources cross-built with mingw-w64 (cmake/mingw-w64-x86_64.cmake)
# in build-win32, their tests run under wine in a prefix of their own (build-win32/wineprefix),
# one at a time. Some compare with the Linux build above.
win=build-win32
set +e
# A wine root that cannot be made fails the stage; its tests then run under
# the system's wine, where there is one.
root_rc=0
if [[ -n $wine_root ]]; then
  wait "$wine_root_pid"
  root_rc=$?
  cat build-win32/wine-root.log
  if ((root_rc == 0)); then
    export PATH="$wine_root/.host-bin:$PATH" CVSMTPGW_WINE_ROOT_BINDS="$PWD:${PWD%/*}/shared"
  fi
fi
cmake -S . -B "$win" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCVSMTPGW_FAULT_INJECTION=ON -DCVSMTPGW_POSIX_BUILD_DIR="$PWD/$build" "${test_flags[@]}" &&
  cmake --build "$win" -j2 &&
  ctest --test-dir "$win" --output-on-failure 2>&1 | tee "$win/ctest.log"
winrc=${PIPESTATUS[0]}  # the last command run: ctest, or the step that failed
set -e

# The fuzz stage (scripts/fuzz.sh: libFuzzer targets built with clang in
# build-fuzz, each run for a minute).
set +e
scripts/fuzz.sh
fuzz_rc=$?
set -e

# ctest's own summaries, then the stages' results as the last lines.
summary() { grep -E '^[0-9]+% tests passed' "$1/ctest.log" 2>/dev/null | tail -n 1; }
echo "Linux: $(summary "$build")"
echo "Windows (wine): $(summary "$win")"
((release_rc == 0)) || echo "release build failed (exit $release_rc)"
((root_rc == 0)) || echo "the wine root $wine_root could not be made (exit $root_rc)"
((fuzz_rc == 0)) || echo "fuzz stage failed (exit $fuzz_rc)"
counts() { summary "$1" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1 \2/'; }
read -r failed total < <(counts "$build") || true
read -r winfailed wintotal < <(counts "$win") || true
failed=$((${failed:-0} + ${winfailed:-0}))
echo "$((${total:-0} + ${wintotal:-0} - failed)) passed, $failed failed"
for stage_rc in "$rc" "$release_rc" "$root_rc" "$winrc" "$fuzz_rc"; do
  ((stage_rc == 0)) || exit "$stage_rc"
done
exit 0
