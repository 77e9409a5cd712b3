#!/usr/bin/env bash
# POP3 header scan: builds pop3_bench in Release, starts Dovecot on loopback with generated
# messages (tests/interop), and times Norva's TmsRemotePOP::UpdateInfo against Python poplib's
# lock-step walk in the same run; counts the receive system calls under strace in separate runs.
# Prints a report in markdown; bench/run-all.sh writes bench/README.md, with the header scan
# against every peer.
# Usage: bench/pop3_bench.sh [--messages N (10000)] [--runs R (5)]
set -euo pipefail
cd "$(dirname "$0")/.."

messages=10000 runs=5
while [[ $# -gt 0 ]]; do
  case $1 in
    --messages) messages=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    *) echo "usage: $0 [--messages N] [--runs R]" >&2; exit 2 ;;
  esac
done

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVA_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target pop3_bench
norva=build-bench/bench/pop3_bench
poplib=bench/pop3_poplib.py
py=$(python3 -c 'import sys; print(sys.executable)')  # the interpreter itself, not a wrapper

work=$(mktemp -d /tmp/norva-bench.XXXXXX)  # short: Dovecot's unix sockets live in it
section=$(mktemp)
trap 'tests/interop/stop-pop3.sh "$work" >/dev/null || true; rm -rf "$work" "$section"' EXIT
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
tests/interop/start-pop3.sh "$work" "$port"
# shellcheck disable=SC1091
source "$work/pop3.env"
python3 tests/interop/fill-mailbox.py "$POP3_MAILDIR" -n "$messages" --seed 1

# The first sessions make Dovecot index the mailbox and fill its header cache, which takes it a
# few sessions; keep that out of the figures.
echo "warming up"
for _ in 1 2; do
  "$norva" "$port" >/dev/null
  "$py" "$poplib" "$port" >/dev/null
done

load=$(cut -d' ' -f1-3 /proc/loadavg)
for r in $(seq 1 "$runs"); do  # interleaved, so drift on the machine hits all alike
  echo "run $r of $runs"
  "$norva" "$port" | tee -a "$work/norva.jsonl"
  "$norva" "$port" --blocking | tee -a "$work/norva-blocking.jsonl"
  "$py" "$poplib" "$port" | tee -a "$work/poplib.jsonl"
done

# Receive calls: one untimed run of each under strace, counting every recvfrom and read of the
# process (read also counts the files read while the program starts).
strace -f -c -e trace=recvfrom,read -o "$work/norva.strace" "$norva" "$port" >/dev/null
strace -f -c -e trace=recvfrom,read -o "$work/norva-blocking.strace" "$norva" "$port" --blocking >/dev/null
strace -f -c -e trace=recvfrom,read -o "$work/poplib.strace" "$py" "$poplib" "$port" >/dev/null

cpu=$(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
ram=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build-bench/CMakeCache.txt)
compiler="$("$compiler" --version | head -n1)"
dovecot=$(/usr/sbin/dovecot --version | cut -d' ' -f1)
mailbox=$(du -sh "$POP3_MAILDIR" | cut -f1)

table=$(python3 - "$work" "$messages" <<'PY'
import json, statistics, sys
work, expected = sys.argv[1], int(sys.argv[2])
rows = [("Norva `UpdateInfo`, non-blocking", "norva"), ("Norva `UpdateInfo`, blocking", "norva-blocking"),
        ("Python poplib, lock-step", "poplib")]

def calls(name):
    counts = {"recvfrom": 0, "read": 0}
    for line in open("%s/%s.strace" % (work, name)):
        f = line.split()
        if len(f) >= 5 and f[-1] in counts and f[3].isdigit():
            counts[f[-1]] = int(f[3])
    return counts

print("| client | wall s | wall s, fastest–slowest | CPU s (user+sys) | messages/s | recvfrom/msg | read/msg |")
print("|---|--:|--:|--:|--:|--:|--:|")
medians = {}
for label, name in rows:
    runs = [json.loads(l) for l in open("%s/%s.jsonl" % (work, name))]
    if any(r["messages"] != expected for r in runs):
        sys.exit("%s listed %s messages, expected %d" % (name, [r["messages"] for r in runs], expected))
    wall = statistics.median(r["seconds"] for r in runs)
    cpu = statistics.median(r["cpu_seconds"] for r in runs)
    medians[name] = wall
    c = calls(name)
    walls = [r["seconds"] for r in runs]
    print("| %s | %.3f | %.3f–%.3f | %.3f | %.0f | %.2f | %.2f |"
          % (label, wall, min(walls), max(walls), cpu, expected / wall, c["recvfrom"] / expected,
             c["read"] / expected))
print()
print("Norva non-blocking / poplib wall time: %.2f; blocking / poplib: %.2f."
      % (medians["norva"] / medians["poplib"], medians["norva-blocking"] / medians["poplib"]))
PY
)

cat >"$section" <<EOF
# POP3 header scan

\`pop3_bench\` times what Norva does on every mailbox check: log in, \`TmsRemotePOP::UpdateInfo\`
(STAT, then \`LIST n\` and \`TOP n 1\` for every message: its size and header block), QUIT. The
baseline is Python's \`poplib\` walking the same mailbox the same way, one command at a time
(\`bench/pop3_poplib.py\`). Both talk to Dovecot ${dovecot} on 127.0.0.1, started by
\`tests/interop/start-pop3.sh\`, with ${messages} messages from \`tests/interop/fill-mailbox.py\`
(seed 1, ${mailbox} in the Maildir).

## Method

- Each client logs in, scans and quits ${runs} times; the runs take turns (Norva non-blocking,
  Norva blocking, poplib), after two untimed warm-up rounds, in which Dovecot builds its index
  and header cache (the first sessions over a new mailbox are up to twice as slow).
- Figures are medians: wall time from connecting to QUIT, CPU time (user + system) of the client
  process over the same span (\`getrusage\` and \`time.process_time\`), messages per second of
  wall time. Dovecot's own time is in the wall time, not in the CPU time.
- Receive calls come from one more run of each client under \`strace -f -c -e trace=recvfrom,read\`,
  divided by the number of messages. \`read\` counts every read of the process, including the
  files read while it starts (Python's modules), so only \`recvfrom\` is socket traffic here.

## Running

    bench/pop3_bench.sh                            # 10,000 messages, 5 runs; prints this report
    bench/pop3_bench.sh --messages 1000 --runs 3   # a quick run

It needs the packages from \`scripts/install-deps.sh\` (as root, Dovecot runs its mail processes as
the user \`mail\`); it builds in \`build-bench/\` and removes its server and mailbox at the end.

## Results

Run on $(date -u '+%Y-%m-%d %H:%M UTC') with ${messages} messages, median of ${runs} runs.

- CPU: ${cpu:-unknown}, $(nproc) cores
- RAM: ${ram}
- System: $(uname -sr), ${compiler}, $("$py" --version)
- Load average before the runs: ${load}

${table}
EOF
cat "$section"
