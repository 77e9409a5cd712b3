#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer) in
# build-fuzz and runs each for SECONDS over its seed corpus and kept regression inputs, then
# prints how many inputs each one executed. Fails when a target finds a crash, a leak, a
# sanitizer report, a broken round trip or an input that runs past the time limit.
#
#   fuzz/run.sh SECONDS [TARGET...]    all targets when none is named
#   fuzz/run.sh --corpus               regenerates the seed corpora in fuzz/corpus
#
# FUZZ_BUILD_DIR (default build-fuzz) and FUZZ_JOBS (targets run at once, default the number
# of cores) may be set. New inputs a run finds are kept in FUZZ_BUILD_DIR/corpus/<target>, the
# inputs that fail in FUZZ_BUILD_DIR/artifacts/<target>/ (copy them into fuzz/regressions/).
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
seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...] | --corpus}
shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(message_load message_roundtrip header_ops codecs store_open store_roundtrip
           pop3_session smtp_session)
fi

# The longest input per target: big enough for every structure the target reads.
max_len() {
  case $1 in
    header_ops) echo 4096 ;;
    smtp_session) echo 4096 ;;
    message_load | store_open) echo 16384 ;;
    *) echo 8192 ;;
  esac
}

run_one() {
  local t=$1 work="$build/corpus/$1" art="$build/artifacts/$1" log="$build/logs/$1.log"
  mkdir -p "$work" "$art" "$(dirname "$log")"
  local dirs=("$work" "fuzz/corpus/$t")
  [ -d "fuzz/regressions/$t" ] && dirs+=("fuzz/regressions/$t")
  local rc=0
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
    "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$art/" "${dirs[@]}" \
    >"$log" 2>&1 || rc=$?
  echo "$rc" >"$log.rc"
}
export -f run_one max_len
export build seconds

printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one {}'

status=0
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
