#!/usr/bin/env bash
# Runs every benchmark against its peers in one go and writes bench/README.md as a whole: the
# machine, the goals met or missed, and one section per benchmark with its method and table.
# Builds Release in build-bench/ first. Starts its own Dovecot servers and delaying relays on
# loopback and removes them, and every temporary folder, on exit.
#
# Usage: bench/run-all.sh [--messages N (10000)] [--slow-messages N (1000)] [--runs N (5)]
#                         [--rtt-ms MS (20)] [--quick] [--profile] [--skip SECTION,...] [--readme FILE]
#   --quick        1,000 messages, 100 over the slow link, 2 runs, smaller MIME and store runs
#   --profile      after the timed runs, profile each Norva check once (perf, cpu-clock)
#   --skip         leave out sections: scan, slow, mime, store, rules, list, desktop, learn
#   --readme FILE  write the report there instead of bench/README.md
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

messages=10000 slow_messages=1000 runs=5 rtt_ms=20 quick=0 profile=0 skip="" readme=bench/README.md
usage() { sed -n '7,12p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [[ $# -gt 0 ]]; do
  case $1 in
    --messages) messages=$2; shift 2 ;;
    --slow-messages) slow_messages=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --rtt-ms) rtt_ms=$2; shift 2 ;;
    --quick) quick=1 messages=1000 slow_messages=100 runs=2; shift ;;
    --profile) profile=1; shift ;;
    --skip) skip=$2; shift 2 ;;
    --readme) readme=$2; shift 2 ;;
    *) usage ;;
  esac
done
for n in "$messages" "$slow_messages" "$runs" "$rtt_ms"; do
  [[ $n =~ ^[0-9]+$ && $n -gt 0 ]] || { echo "run-all: not a positive number: $n" >&2; exit 2; }
done
(( rtt_ms % 2 == 0 )) || { echo "run-all: --rtt-ms must be even (half each way)" >&2; exit 2; }
wanted() { [[ ",$skip," != *",$1,"* ]]; }

started=$(date +%s)
step() { printf '[run-all %4ds] %s\n' $(( $(date +%s) - started )) "$*" >&2; }
die() { echo "run-all: $*" >&2; exit 1; }

# --- prerequisites --------------------------------------------------------------------------
missing=()
for tool in cmake ninja python3 c++; do command -v "$tool" >/dev/null || missing+=("$tool"); done
[[ -x /usr/bin/time ]] || missing+=("/usr/bin/time (package time)")
[[ $profile == 1 ]] && ! command -v perf >/dev/null && missing+=("perf (package linux-perf)")
if wanted scan || wanted slow || wanted desktop; then
  [[ -x /usr/sbin/dovecot ]] || missing+=("/usr/sbin/dovecot (package dovecot-pop3d)")
  command -v mpop >/dev/null || missing+=("mpop")
fi
if [[ ${#missing[@]} -gt 0 ]]; then
  die "missing: ${missing[*]}; install them with scripts/install-deps.sh (as root)"
fi
py=$(python3 -c 'import sys; print(sys.executable)')  # the interpreter itself, not a wrapper

# --- work folder and cleanup ----------------------------------------------------------------
work=$(mktemp -d /tmp/norva-all.XXXXXX)  # short: Dovecot's unix sockets live in it
chmod 0755 "$work"                       # Dovecot's mail processes run as another user
relays=()
cleanup() {
  local status=$?
  for pid in "${relays[@]}"; do kill "$pid" 2>/dev/null || true; done
  for server in "$work"/dovecot-*; do
    [[ -d $server ]] && tests/interop/stop-pop3.sh "$server" >/dev/null 2>&1 || true
  done
  rm -rf "$work"
  [[ $status -eq 0 ]] || echo "run-all: failed (exit status $status); nothing written to $readme" >&2
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
results=$work/results
mkdir -p "$results"
: >"$results/goals.tsv"

# --- build ----------------------------------------------------------------------------------
step "building Release in build-bench/"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
gui=OFF
if wanted list || wanted desktop; then gui=ON; fi
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVA_BUILD_TESTS=OFF \
  -DNORVA_BUILD_GUI=$gui "${launcher[@]}" >/dev/null
has_target() { cmake --build build-bench --target help | grep "^$1:" >/dev/null; }  # grep -q would close the pipe early
targets=(norva-cli rtt_probe delay_relay)
wanted mime && targets+=(mime_bench)
if wanted store; then
  has_target qdb_bench || die "qdb_bench is not configured (SQLite missing? install libsqlite3-dev)"
  targets+=(qdb_bench)
fi
for t in rules_bench list_bench desktop_check learn_bench; do has_target "$t" && targets+=("$t"); done
cmake --build build-bench --target "${targets[@]}" | grep -v '^\[' || true
cmake --build build-bench --target "${targets[@]}" >/dev/null  # fails loudly if the build did
cli=$root/build-bench/src/cli/norva-cli
desktop=$root/build-bench/bench/desktop_check
export NORVA_CLI=$cli

# --- the machine ----------------------------------------------------------------------------
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build-bench/CMakeCache.txt)
machine_cpu=$(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
machine_ram=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
machine_compiler=$("$compiler" --version | head -n1)
machine_load=$(cut -d' ' -f1-3 /proc/loadavg)
version_dovecot=$( { /usr/sbin/dovecot --version 2>/dev/null || echo "not installed"; } | cut -d' ' -f1)
version_mpop=$( { mpop --version 2>/dev/null || echo "mpop not installed"; } | head -n1 | sed 's/^mpop version //')
version_sqlite=$("$py" -c 'import sqlite3; print(sqlite3.sqlite_version)')
version_qt=$(dpkg-query -W -f='${Version}' libqt6core6 2>/dev/null | cut -d- -f1 || true)
date_run=$(date -u '+%Y-%m-%d %H:%M UTC')

# --- helpers for the header scans -------------------------------------------------------------
free_port() { "$py" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# Dovecot with N generated messages in $work/dovecot-NAME; sets $pop3_port and $server_pid.
start_dovecot() {  # NAME N
  local dir=$work/dovecot-$1
  pop3_port=$(free_port)
  POP3_AUTH_FAILURE_DELAY="0 secs" tests/interop/start-pop3.sh "$dir" "$pop3_port" >/dev/null
  # shellcheck disable=SC1091
  (source "$dir/pop3.env" && "$py" tests/interop/fill-mailbox.py "$POP3_MAILDIR" -n "$2" --seed 1 2>&1 >/dev/null) \
    | grep -v '^wrote ' >&2 || true
  server_pid=$(cat "$dir/run/master.pid")  # its children's CPU time is Dovecot's share
}

# A relay adding MS/2 each way in front of PORT; sets $relay_port.
start_relay() {  # PORT
  local out=$work/relay-$1.out
  build-bench/bench/delay_relay --to "127.0.0.1:$1" --delay-ms $(( rtt_ms / 2 )) >"$out" &
  relays+=($!)
  for _ in $(seq 1 50); do
    relay_port=$(sed -n 's/^listening on 127.0.0.1://p' "$out")
    [[ -n $relay_port ]] && return 0
    sleep 0.1
  done
  die "the delaying relay did not start"
}

# Does norva-cli know --pipelining? Until it does, there is no pipelined Norva row.
pipelining=no
probe=$work/probe-folder
mkdir -p "$probe"
if "$cli" config --folder "$probe" add-account --address a@b --user u --password p \
     --pop3 127.0.0.1:1 --pipelining off >/dev/null 2>&1; then
  pipelining=yes
fi
rm -rf "$probe"

# The rule set: bench/setup-ruleset.sh, when it exists.
ruleset=no
template=$work/ruleset
mkdir -p "$template"
if [[ -x bench/setup-ruleset.sh ]]; then
  step "setting up the rule set (bench/setup-ruleset.sh)"
  bench/setup-ruleset.sh "$template" >"$work/setup-ruleset.log" 2>&1 \
    || { cat "$work/setup-ruleset.log" >&2; die "bench/setup-ruleset.sh failed"; }
  ruleset=yes
fi

# A program folder per mailbox port and mode, copied afresh for every run: an empty list.
make_folder() {  # PORT MODE(lockstep|pipelined) -> prints the template folder
  local dir=$work/folder-$1-$2
  if [[ ! -d $dir ]]; then
    cp -a "$template" "$dir"
    local option=()
    [[ $pipelining == yes ]] && option=(--pipelining "$([[ $2 == pipelined ]] && echo on || echo off)")
    "$cli" config --folder "$dir" add-account --address test@example.org --user test \
      --password secret --pop3 "127.0.0.1:$1" --timeout 600 "${option[@]}" >/dev/null
  fi
  echo "$dir"
}

# One timed check; its list goes to a file and must have a row per message.
run_norva() {  # LABEL PORT MODE EXPECTED OUT.jsonl
  local folder
  folder=$(make_folder "$2" "$3")
  rm -rf "$work/run-folder"
  cp -a "$folder" "$work/run-folder"
  "$py" bench/measure.py --label "$1" --server-pid "$server_pid" --stdout "$work/check.out" --stderr "$work/check.err" -- \
    "$cli" check --folder "$work/run-folder" >>"$5" \
    || { tail -n 5 "$work/check.err" >&2; die "norva-cli check failed ($1)"; }
  local rows=$(( $(wc -l <"$work/check.out") - 1 ))
  [[ $rows -eq $4 ]] || die "norva-cli check listed $rows messages, expected $4 ($1)"
  rm -rf "$work/run-folder"
}

# With --profile: one more check of CLIENT, under perf; its top self-time symbols go to
# $results/profile-NAME.txt, one "share symbol (object)" line each, its shares by program or
# library to profile-NAME-objects.txt.
profile_norva() {  # NAME PORT MODE CLIENT(cli|desktop)
  local folder data=$work/perf.data
  folder=$(make_folder "$2" "$3")
  rm -rf "$work/run-folder"
  cp -a "$folder" "$work/run-folder"
  local command=("$cli" check --folder "$work/run-folder")
  [[ $4 == desktop ]] && command=("$desktop" --folder "$work/run-folder")
  QT_QPA_PLATFORM=offscreen perf record -q -e cpu-clock -g -o "$data" -- "${command[@]}" \
    >/dev/null 2>"$work/perf.err" || { tail -n 5 "$work/perf.err" >&2; die "perf record failed ($1)"; }
  perf report -i "$data" --no-children --percent-limit 3 --stdio -g none 2>/dev/null \
    | awk '/^ *[0-9.]+%/ { share = $1; object = $3; $1 = $2 = $3 = $4 = ""; sub(/^ +/, "");
                           print share, $0, "(" object ")" }' \
    | head -n 5 >"$results/profile-$1.txt"
  perf report -i "$data" --no-children --sort dso --stdio -g none 2>/dev/null \
    | awk '/^ *[0-9.]+%/ { print $1, $2 }' >"$results/profile-$1-objects.txt"
  rm -rf "$work/run-folder" "$data"
}

# The desktop program's check (bench/desktop_check.cpp) of the same folder, offscreen; it prints
# the rows its list shows, which must be one per message.
run_desktop() {  # LABEL PORT MODE EXPECTED OUT.jsonl
  local folder
  folder=$(make_folder "$2" "$3")
  rm -rf "$work/run-folder"
  cp -a "$folder" "$work/run-folder"
  QT_QPA_PLATFORM=offscreen "$py" bench/measure.py --label "$1" --server-pid "$server_pid" \
    --stdout "$work/desktop.out" --stderr "$work/desktop.err" -- \
    "$desktop" --folder "$work/run-folder" >>"$5" \
    || { tail -n 5 "$work/desktop.err" >&2; die "desktop_check failed ($1)"; }
  local rows
  rows=$("$py" -c 'import json, sys; print(json.loads(open(sys.argv[1]).read())["messages"])' "$work/desktop.out")
  [[ $rows -eq $4 ]] || die "the desktop program listed $rows messages, expected $4 ($1)"
  rm -rf "$work/run-folder"
}

# mpop: keep every message on the server; its filter reads the headers TOP sent and says skip.
mpop_rc() {  # PORT -> prints the configuration file
  local rc=$work/mpoprc-$1
  cat >"$rc" <<EOF
defaults
tls off
auth user
keep on
only_new on
received_header off
account default
host 127.0.0.1
port $1
user test
password secret
timeout 600
uidls_file $work/mpop-uidls
delivery mbox $work/mpop-delivered.mbox
filter cat >/dev/null; exit 2
EOF
  chmod 0600 "$rc"
  echo "$rc"
}
run_mpop() {  # LABEL PORT EXPECTED OUT.jsonl
  local rc
  rc=$(mpop_rc "$2")
  rm -f "$work/mpop-uidls"  # nothing seen before: every message is new
  "$py" bench/measure.py --label "$1" --server-pid "$server_pid" --stdout "$work/mpop.out" --stderr "$work/mpop.err" -- \
    mpop -C "$rc" -a >>"$4" || { tail -n 5 "$work/mpop.err" >&2; die "mpop failed ($1)"; }
  local skipped
  skipped=$(grep -c '^skipping message' "$work/mpop.out" || true)
  [[ $skipped -eq $3 ]] || die "mpop filtered $skipped messages, expected $3 ($1)"
  [[ ! -s $work/mpop-delivered.mbox ]] || die "mpop delivered messages; its filter did not keep them"
}

run_poplib() {  # LABEL SCRIPT PORT EXPECTED OUT.jsonl
  "$py" bench/measure.py --label "$1" --server-pid "$server_pid" --stdout "$work/poplib.out" --stderr "$work/poplib.err" -- \
    "$py" "$2" "$3" >>"$5" || { tail -n 5 "$work/poplib.err" >&2; die "$2 failed"; }
  local n
  n=$("$py" -c 'import json, sys; print(json.loads(open(sys.argv[1]).read())["messages"])' "$work/poplib.out")
  [[ $n -eq $4 ]] || die "$2 listed $n messages, expected $4"
}

# --- 1. header scan on loopback ---------------------------------------------------------------
if wanted scan; then
  step "header scan: Dovecot with $messages messages"
  start_dovecot scan "$messages"
  port=$pop3_port
  step "header scan: warming up (Dovecot indexes the mailbox and fills its header cache)"
  for _ in 1 2; do
    run_poplib warm-up bench/pop3_poplib.py "$port" "$messages" "$work/warm-up.jsonl"
    run_norva warm-up "$port" lockstep "$messages" "$work/warm-up.jsonl"
  done
  for r in $(seq 1 "$runs"); do  # taking turns, so drift on the machine hits every client alike
    step "header scan: run $r of $runs"
    build-bench/bench/rtt_probe >>"$results/rtt.jsonl"
    run_norva norva "$port" lockstep "$messages" "$results/scan.jsonl"
    [[ $pipelining == yes ]] && run_norva norva-pipelined "$port" pipelined "$messages" "$results/scan.jsonl"
    run_poplib poplib bench/pop3_poplib.py "$port" "$messages" "$results/scan.jsonl"
    run_poplib poplib-pipelined bench/pop3_pipelined.py "$port" "$messages" "$results/scan.jsonl"
    run_mpop mpop "$port" "$messages" "$results/scan.jsonl"
  done
  if [[ $profile == 1 ]]; then
    step "header scan: profiling Norva lock-step and pipelined (perf)"
    profile_norva lockstep "$port" lockstep cli
    [[ $pipelining == yes ]] && profile_norva pipelined "$port" pipelined cli
  fi
  wanted desktop || tests/interop/stop-pop3.sh "$work/dovecot-scan" >/dev/null
fi

# --- 1b. the desktop program's check ----------------------------------------------------------
if wanted desktop; then
  [[ -x $desktop ]] || die "desktop_check was not built"
  if ! wanted scan; then
    step "desktop check: Dovecot with $messages messages"
    start_dovecot scan "$messages"
    port=$pop3_port
    for _ in 1 2; do run_poplib warm-up bench/pop3_poplib.py "$port" "$messages" "$work/warm-up.jsonl"; done
  fi
  run_desktop warm-up "$port" pipelined "$messages" "$work/warm-up.jsonl"
  for r in $(seq 1 "$runs"); do
    step "desktop check: run $r of $runs"
    run_desktop desktop "$port" pipelined "$messages" "$results/desktop.jsonl"
    run_norva norva-cli "$port" pipelined "$messages" "$results/desktop.jsonl"
  done
  if [[ $profile == 1 ]]; then
    step "desktop check: profiling the desktop program (perf)"
    profile_norva desktop "$port" pipelined desktop
  fi
  tests/interop/stop-pop3.sh "$work/dovecot-scan" >/dev/null
fi

# --- 2. header scan over a slow link ----------------------------------------------------------
if wanted slow; then
  step "slow link: Dovecot with $slow_messages messages behind a relay adding $rtt_ms ms a round trip"
  start_dovecot slow "$slow_messages"
  start_relay "$pop3_port"
  run_poplib warm-up bench/pop3_poplib.py "$pop3_port" "$slow_messages" "$work/warm-up.jsonl"
  run_poplib warm-up bench/pop3_poplib.py "$pop3_port" "$slow_messages" "$work/warm-up.jsonl"
  for r in $(seq 1 "$runs"); do
    step "slow link: run $r of $runs"
    run_norva norva "$relay_port" lockstep "$slow_messages" "$results/slow.jsonl"
    [[ $pipelining == yes ]] && run_norva norva-pipelined "$relay_port" pipelined "$slow_messages" "$results/slow.jsonl"
    run_mpop mpop "$relay_port" "$slow_messages" "$results/slow.jsonl"
  done
  tests/interop/stop-pop3.sh "$work/dovecot-slow" >/dev/null
fi

# --- 3. MIME ------------------------------------------------------------------------------------
if wanted mime; then
  step "MIME decode and encode (bench/mime_bench.sh)"
  bench/mime_bench.sh --runs "$runs" --out "$results/mime.md" 2>"$work/mime.log" \
    || { tail -n 20 "$work/mime.log" >&2; die "bench/mime_bench.sh failed"; }
fi

# --- 4. record store ----------------------------------------------------------------------------
if wanted store; then
  step "record store vs SQLite (bench/run.sh)"
  store_args=(--runs "$runs")
  [[ $quick == 1 ]] && store_args+=(--items 1000)
  bench/run.sh --out "$results/store.md" "${store_args[@]}" 2>"$work/store.log" \
    || { tail -n 20 "$work/store.log" >&2; die "bench/run.sh failed"; }
fi

# --- 5. rule evaluation -------------------------------------------------------------------------
if wanted rules; then
  if [[ -x build-bench/bench/rules_bench && $ruleset == yes ]]; then
    step "rule evaluation (rules_bench)"
    build-bench/bench/rules_bench --folder "$template" --runs "$runs" >"$results/rules.md" \
      || die "rules_bench failed"
  else
    echo "rules_bench or bench/setup-ruleset.sh is not in this tree yet." >"$results/rules.md"
  fi
fi

# --- 6. the GUI list ----------------------------------------------------------------------------
if wanted list; then
  if [[ -x build-bench/bench/list_bench ]]; then
    step "GUI list (list_bench, offscreen)"
    QT_QPA_PLATFORM=offscreen build-bench/bench/list_bench --runs "$runs" >"$results/list.md" \
      2>"$work/list.log" || { tail -n 20 "$work/list.log" >&2; die "list_bench failed"; }
  else
    echo "list_bench is not in this tree yet." >"$results/list.md"
  fi
fi

# --- 8. the spam learner --------------------------------------------------------------------
if wanted learn; then
  step "spam learner beside bogofilter (bench/learn_bench.sh)"
  bench/learn_bench.sh --build build-bench --out "$results/learn.md" 2>"$work/learn.log" \
    || { tail -n 20 "$work/learn.log" >&2; die "bench/learn_bench.sh failed"; }
fi

# --- the README -----------------------------------------------------------------------------
step "writing $readme"
"$py" bench/readme.py "$results" --out "$readme" \
  --date "$date_run" --runs "$runs" --messages "$messages" --slow-messages "$slow_messages" \
  --rtt-ms "$rtt_ms" --quick "$quick" --profile "$profile" --skip "$skip" --pipelining "$pipelining" --ruleset "$ruleset" \
  --machine "CPU=${machine_cpu:-unknown}, $(nproc) cores" \
  --machine "RAM=$machine_ram" \
  --machine "Kernel=$(uname -sr)" \
  --machine "Compiler=$machine_compiler, Release build" \
  --machine "Python=$("$py" --version | cut -d' ' -f2) ($py)" \
  --machine "Peers=Dovecot $version_dovecot, mpop $version_mpop, SQLite $version_sqlite, Python poplib and email (standard library)" \
  --machine "Qt=${version_qt:-unknown}" \
  --machine "Load average before the run=$machine_load"
step "done: $readme"
