#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer) in
# build-fuzz and runs each for SECONDS over its seed corpus and kept regression inputs, then
# prints how many inputs each one executed. Fails when a target finds a crash, a leak, a
# sanitizer report, a broken round trip or an input that runs past the time limit.
#
#   fuzz/run.sh SECONDS [TARGET...]          all targets when none is named
#   fuzz/run.sh --long MINUTES [TARGET...]   campaigns: each target runs MINUTES and goes on
#                                            after a finding; prints executions, exec/s, new
#                                            corpus inputs and findings per target
#   fuzz/run.sh --corpus                     regenerates the seed corpora in fuzz/corpus
#
# FUZZ_BUILD_DIR (default build-fuzz) and FUZZ_JOBS (targets run at once, default the number
# of cores) may be set. New inputs a run finds are kept in FUZZ_BUILD_DIR/corpus/<target>, so
# that each campaign starts from what the ones before it reached; the inputs that fail land in
# FUZZ_BUILD_DIR/artifacts/<target>/ (copy them into fuzz/regressions/ once fixed).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build=${FUZZ_BUILD_DIR:-build-fuzz}
jobs=${FUZZ_JOBS:-$(nproc)}

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DNORVA_FUZZ=ON >/dev/null
cmake --build "$build"

if [ "${1:-}" = --corpus ]; then
  rm -rf fuzz/corpus
  "$build/fuzz/fuzz-corpus-maker" fuzz/corpus
  exit 0
fi
long=0
if [ "${1:-}" = --long ]; then
  long=1
  shift
  seconds=$(( ${1:?usage: fuzz/run.sh --long MINUTES [TARGET...]} * 60 ))
else
  seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...] | --long MINUTES [TARGET...] | --corpus}
fi
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(message_load message_roundtrip header_ops codecs store_open store_roundtrip
           pop3_session smtp_session rfc2231_params charset_convert mime_walk html_text learner)
fi

# The longest input per target: big enough for every structure the target reads.
max_len() {
  case $1 in
    header_ops) echo 4096 ;;
    smtp_session) echo 4096 ;;
    message_load | store_open | mime_walk) echo 16384 ;;
    rfc2231_params) echo 4096 ;;
    *) echo 8192 ;;
  esac
}

run_one() {
  local t=$1 work="$build/corpus/$1" art="$build/artifacts/$1" log="$build/logs/$1.log"
  mkdir -p "$work" "$art" "$(dirname "$log")"
  local dirs=("$work" "fuzz/corpus/$t")
  [ -d "fuzz/regressions/$t" ] && dirs+=("fuzz/regressions/$t")
  local rc=0 mode=()
  # A campaign forks its runs, so that a finding is written out and the fuzzing goes on.
  [ "$long" = 1 ] && mode=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
  ls "$work" | wc -l >"$log.before"
  ls "$art" | wc -l >"$log.found"
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
    "$build/fuzz/fuzz_$t" "${mode[@]}" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$art/" "${dirs[@]}" \
    >"$log" 2>&1 || rc=$?
  echo "$rc" >"$log.rc"
}
export -f run_one max_len
export build seconds long

printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one {}'

status=0
if [ "$long" = 1 ]; then
  # The last status line of a forked run: "#RUNS: cov: ... corp: N exec/s E
  # oom/timeout/crash: O/T/C time: Ss ...".
  printf '\n%-20s %8s %14s %10s %8s  %s\n' target minutes executions exec/s "new in" findings
  for t in "${targets[@]}"; do
    log="$build/logs/$t.log"
    last=$(grep -E '^#[0-9]+: cov:' "$log" | tail -1)
    runs=$(sed -E 's/^#([0-9]+):.*/\1/' <<<"$last")
    time=$(sed -nE 's/.* time: ([0-9]+)s.*/\1/p' <<<"$last")
    found=$(( $(ls "$build/artifacts/$t" | wc -l) - $(cat "$log.found") ))
    grown=$(( $(ls "$build/corpus/$t" | wc -l) - $(cat "$log.before") ))
    per=?
    [ -n "$runs" ] && [ "${time:-0}" -gt 0 ] && per=$(( runs / time ))
    result=$found
    if [ "$found" != 0 ]; then
      result="$found (see $build/artifacts/$t)"
      status=1
    elif [ "$(cat "$log.rc")" != 0 ]; then
      result="FAILED (exit $(cat "$log.rc"); see $log)"
      status=1
    fi
    printf '%-20s %8s %14s %10s %8s  %s\n' "$t" "$(( ${time:-0} / 60 ))" "${runs:-?}" "$per" \
      "$grown" "$result"
  done
  exit $status
fi
printf '\n%-20s %14s %10s  %s\n' target executions exec/s result
for t in "${targets[@]}"; do
  log="$build/logs/$t.log"
  rc=$(cat "$log.rc")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  [ -n "$runs" ] || runs=$(grep -o '^#[0-9]*' "$log" | tail -1 | tr -d '#')
  per=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  if [ "$rc" = 0 ]; then result=ok; else
    result="FAILED (exit $rc; see $log)"
    status=1
  fi
  printf '%-20s %14s %10s  %s\n' "$t" "${runs:-?}" "${per:-?}" "$result"
done
exit $status
