#!/usr/bin/env bash
# The fuzz stage of the test command: builds the libFuzzer targets of fuzz/
# with clang in build-fuzz, then runs each for a bounded time, two at a time,
# starting from its seeds (fuzz/make_seeds.py: the mail corpus, the tests'
# data, fuzz/corpus/) and its regression inputs (fuzz/regressions/). Fails on
# any crash, hang (an input running over 10 s), leak or sanitizer report; the
# input that caused it is kept in build-fuzz/findings/<target>/ and the run's
# log in build-fuzz/logs/. Prints each target's executions.
#
# Without a working clang it says why and passes, except in CI (CI=true),
# where the fuzzers must run.
#
#   CVSMTPGW_FUZZ_SECONDS  time per target (default 60)
#   CVSMTPGW_FUZZ_JOBS     targets at a time (default 2)
#   CVSMTPGW_FUZZ_TARGETS  the targets to run (default: all)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds=${CVSMTPGW_FUZZ_SECONDS:-60}
jobs=${CVSMTPGW_FUZZ_JOBS:-2}
build=build-fuzz
targets=(${CVSMTPGW_FUZZ_TARGETS:-mime_decoder_fuzz smtp_session_fuzz compose_fuzz header_summary_fuzz
  hive_parser_fuzz dns_parser_fuzz})

skip() {
  if [[ ${CI:-} == true ]]; then
    echo "fuzz: cannot run: $1" >&2
    exit 1
  fi
  echo "fuzz: skipped: $1" >&2
  exit 0
}

# Work files on a RAM disk when there is one with room (a container's may be
# small): the targets sync spool files, and the corpora grow.
base=/dev/shm
if ! [[ -d $base && -w $base ]] || (($(df -Pk "$base" | awk 'NR == 2 { print $4 }') < 1024 * 1024)); then
  base=${TMPDIR:-/tmp}
fi
work=$(mktemp -d "$base/cvsmtpgw-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

command -v clang++ >/dev/null || skip "clang++ not found (Debian packages clang and libclang-rt-14-dev)"
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' >"$work/probe.cpp"
clang++ -fsanitize=fuzzer,address,undefined "$work/probe.cpp" -o "$work/probe" 2>"$work/probe.log" ||
  skip "clang++ cannot link libFuzzer (Debian package libclang-rt-14-dev, or the one matching clang): $(head -n 1 "$work/probe.log")"

start=$SECONDS
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCVSMTPGW_FUZZ=ON -DCVSMTPGW_TESTS=OFF >/dev/null
cmake --build "$build" -j2
echo "fuzz: targets built in $((SECONDS - start)) s"

/usr/bin/python3 fuzz/make_seeds.py "$work/seeds"
mkdir -p "$build/findings" "$build/logs" "$work/tmp"

# Inputs longer than this are not made (the seeds are cut to it): long enough
# for what each target reads, short enough to keep the runs quick.
max_len() {
  case $1 in
    mime_decoder_fuzz) echo 65536 ;;
    smtp_session_fuzz) echo 16384 ;;
    dns_parser_fuzz) echo 4096 ;;
    *) echo 8192 ;;
  esac
}

# The dictionary of tokens a target's input is made of, if it has one.
dictionary() {
  case $1 in
    mime_decoder_fuzz | header_summary_fuzz) echo fuzz/dict/mime.dict ;;
    smtp_session_fuzz) echo fuzz/dict/smtp.dict ;;
    compose_fuzz) echo fuzz/dict/compose.dict ;;
    hive_parser_fuzz) echo fuzz/dict/hive.dict ;;
  esac
}

run_target() {
  local t=$1 findings="$build/findings/$1" log="$build/logs/$1.log"
  rm -rf "$findings" && mkdir -p "$findings" "$work/corpus/$t"
  local inputs=("$work/corpus/$t" "$work/seeds/$t")  # new inputs go to the first
  for dir in fuzz/corpus/$t fuzz/regressions/$t; do [[ -d $dir ]] && inputs+=("$dir"); done
  local dict
  dict=$(dictionary "$t")
  [[ -z $dict ]] || inputs+=("-dict=$dict")
  # The outer time-out only guards against a fuzzer that hangs itself.
  TMPDIR="$work/tmp" timeout $((seconds + 300)) "$build/fuzz/$t" "${inputs[@]}" \
    -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1
}

summary() {
  local t=$1 rc=$2 log="$build/logs/$1.log"
  local runs rate units
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  units=$(sed -n 's/^stat::new_units_added: *//p' "$log")
  if ((rc == 0)); then
    printf 'fuzz: %-20s ok     %9s execs  %6s/s  %5s new inputs\n' "$t" "${runs:-?}" "${rate:-?}" "${units:-?}"
  else
    printf 'fuzz: %-20s FAILED (exit %s) after %s execs; input kept in %s\n' "$t" "$rc" "${runs:-?}" \
      "$build/findings/$t/"
    grep -E 'ERROR:|SUMMARY:|fuzz invariant broken' "$log" | head -n 5 | sed 's/^/    /'
    echo "    log: $build/logs/$t.log"
  fi
}

declare -A pids=()
failed=0
finish_one() {
  local done_pid rc=0
  wait -n -p done_pid "${!pids[@]}" || rc=$?
  summary "${pids[$done_pid]}" "$rc"
  ((rc == 0)) || failed=1
  unset "pids[$done_pid]"
}
start=$SECONDS
for t in "${targets[@]}"; do
  ((${#pids[@]} < jobs)) || finish_one
  run_target "$t" &
  pids[$!]=$t
done
while ((${#pids[@]} > 0)); do finish_one; done
echo "fuzz: ${#targets[@]} targets, ${seconds} s each, $jobs at a time: $((SECONDS - start)) s"
exit "$failed"
