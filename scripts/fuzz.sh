#!/usr/bin/env bash
# The fuzz stage of the test command: builds the libFuzzer targets of fuzz/
# with clang in build-fuzz, then runs each for a bounded time, two at a time,
# starting from its seeds (fuzz/make_seeds.py: the mail corpus, the tests'
# data, fuzz/corpus/) and its regression inputs (fuzz/regressions/). Fails on
# any crash, hang (an input running over 10 s), leak or sanitizer report; the
# input that caused it is kept in build-fuzz/findings/<target>/ and the run's
# log in build-fuzz/logs/. Prints each target's executions.
#
# Long mode (CVSMTPGW_FUZZ_RUNS set): each target runs until it has made that
# many executions, with no time limit unless CVSMTPGW_FUZZ_SECONDS is given
# too (a cap for slow targets). The corpus it grows is kept in
# build-fuzz/corpus/<target>/ (a later long run goes on from it) and, after a
# clean run, merged into fuzz/corpus/<target>/ (fuzz/merge_corpus.py: only
# what adds coverage to the seeds, minimised with -merge=1, nothing copied
# from the mail corpus, at most CVSMTPGW_FUZZ_CORPUS_KB), which the short runs
# start from. `scripts/fuzz.sh merge` does only that merge, from what
# build-fuzz/corpus/ holds.
#
# Without a working clang it says why and passes, except in CI (CI=true),
# where the fuzzers must run.
#
#   CVSMTPGW_FUZZ_SECONDS    time per target (default 60); in long mode a cap (default none)
#   CVSMTPGW_FUZZ_RUNS       long mode: executions per target
#   CVSMTPGW_FUZZ_JOBS       targets at a time (default 2)
#   CVSMTPGW_FUZZ_TARGETS    the targets to run (default: all)
#   CVSMTPGW_FUZZ_CORPUS_KB  the most a merged corpus may hold (default 4096)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

mode=run
case ${1:-} in
  "") ;;
  merge) mode=merge ;;
  *)
    echo "usage: $0 [merge]" >&2
    exit 2
    ;;
esac
runs=${CVSMTPGW_FUZZ_RUNS:-}
[[ -z $runs || $runs =~ ^[1-9][0-9]*$ ]] || {
  echo "fuzz: CVSMTPGW_FUZZ_RUNS must be a number of executions" >&2
  exit 2
}
if [[ -n $runs ]]; then
  seconds=${CVSMTPGW_FUZZ_SECONDS:-}  # a cap only when given
else
  seconds=${CVSMTPGW_FUZZ_SECONDS:-60}
fi
jobs=${CVSMTPGW_FUZZ_JOBS:-2}
corpus_kb=${CVSMTPGW_FUZZ_CORPUS_KB:-4096}
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

# The corpus a run grows: thrown away after a short run, kept after a long one.
grown_corpus() {
  if [[ -n $runs || $mode == merge ]]; then echo "$build/corpus/$1"; else echo "$work/corpus/$1"; fi
}

merge_target() {
  local t=$1
  [[ -d $(grown_corpus "$t") ]] || {
    echo "fuzz: $t: nothing to merge in $(grown_corpus "$t")/"
    return 0
  }
  TMPDIR="$work/tmp" /usr/bin/python3 fuzz/merge_corpus.py --fuzzer "$build/fuzz/$t" --target "$t" \
    --seeds "$work/merge-seeds/$t" --grown "$(grown_corpus "$t")" --max-len "$(max_len "$t")" \
    --max-kb "$corpus_kb" --log "$build/logs/$t.merge.log"
}

run_target() {
  local t=$1 findings="$build/findings/$1" log="$build/logs/$1.log" grown
  grown=$(grown_corpus "$t")
  rm -rf "$findings" && mkdir -p "$findings" "$grown"
  # New inputs go to the first; the seeds hold fuzz/corpus/<target>/ too.
  local inputs=("$grown" "$work/seeds/$t")
  [[ ! -d fuzz/regressions/$t ]] || inputs+=("fuzz/regressions/$t")
  local dict
  dict=$(dictionary "$t")
  [[ -z $dict ]] || inputs+=("-dict=$dict")
  local limits=() guard=()
  [[ -z $runs ]] || limits+=("-runs=$runs")
  if [[ -n $seconds ]]; then
    limits+=("-max_total_time=$seconds")
    # The outer time-out only guards against a fuzzer that hangs itself.
    guard=(timeout $((seconds + 300)))
  fi
  TMPDIR="$work/tmp" "${guard[@]}" "$build/fuzz/$t" "${inputs[@]}" "${limits[@]}" \
    -max_len="$(max_len "$t")" -timeout=10 -rss_limit_mb=2048 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1 || return
  [[ -z $runs ]] || merge_target "$t" >>"$log" 2>&1
}

summary() {
  local t=$1 rc=$2 took=$3 log="$build/logs/$1.log"
  local done rate units note=""
  done=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  units=$(sed -n 's/^stat::new_units_added: *//p' "$log")
  if [[ -n $runs && -n $done ]] && ((done < runs)); then note="  (stopped by the ${seconds} s cap)"; fi
  if ((rc == 0)); then
    printf 'fuzz: %-20s ok     %9s execs  %6s/s  %5s new inputs  %6s s%s\n' "$t" "${done:-?}" "${rate:-?}" \
      "${units:-?}" "$took" "$note"
    [[ -z $runs ]] || grep '^merge:' "$log" | sed 's/^/    /'
  else
    printf 'fuzz: %-20s FAILED (exit %s) after %s execs; input kept in %s\n' "$t" "$rc" "${done:-?}" \
      "$build/findings/$t/"
    grep -E 'ERROR:|SUMMARY:|fuzz invariant broken|^merge:' "$log" | head -n 5 | sed 's/^/    /'
    echo "    log: $build/logs/$t.log"
  fi
}

if [[ -n $runs || $mode == merge ]]; then
  # What the merge measures coverage against: the seeds without fuzz/corpus/.
  /usr/bin/python3 fuzz/make_seeds.py --without-committed "$work/merge-seeds" >/dev/null
fi
if [[ $mode == merge ]]; then
  failed=0
  for t in "${targets[@]}"; do merge_target "$t" || failed=1; done
  exit "$failed"
fi

declare -A pids=() began=()
failed=0
finish_one() {
  local done_pid rc=0
  wait -n -p done_pid "${!pids[@]}" || rc=$?
  summary "${pids[$done_pid]}" "$rc" $((SECONDS - began[$done_pid]))
  ((rc == 0)) || failed=1
  unset "pids[$done_pid]" "began[$done_pid]"
}
start=$SECONDS
for t in "${targets[@]}"; do
  ((${#pids[@]} < jobs)) || finish_one
  run_target "$t" &
  pids[$!]=$t
  began[$!]=$SECONDS
done
while ((${#pids[@]} > 0)); do finish_one; done
if [[ -n $runs ]]; then
  echo "fuzz: ${#targets[@]} targets, $runs executions each${seconds:+ (at most $seconds s)}, $jobs at a time: $((SECONDS - start)) s"
else
  echo "fuzz: ${#targets[@]} targets, ${seconds} s each, $jobs at a time: $((SECONDS - start)) s"
fi
exit "$failed"
