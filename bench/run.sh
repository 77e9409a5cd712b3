#!/usr/bin/env bash
# Builds qdb_bench in Release, runs it (arguments go to the benchmark, e.g. --items 1000 --runs 3)
# and rewrites the record store section of bench/README.md with the results and the machine.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVA_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target qdb_bench

load=$(cut -d' ' -f1-3 /proc/loadavg)  # other work on the machine makes the figures noisy
results=$(mktemp)
section=$(mktemp)
trap 'rm -f "$results" "$section"' EXIT
build-bench/bench/qdb_bench "$@" | tee "$results"

cpu=$(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
ram=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
tmp=${TMPDIR:-/tmp}
fstype=$(df -T "$tmp" | awk 'NR == 2 { print $2 }')
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build-bench/CMakeCache.txt)
compiler="$("$compiler" --version | head -n1)"

cat >"$section" <<EOF
# Record store benchmark

\`qdb_bench\` times the record store (\`norva::TQDB\`) against SQLite on a mail archive: items of
about 5 KB of mail-like text (the same pseudo-random text every run) under 15-digit keys such as
\`000000000000001\`. Both sides get the same items and the same operations:

1. **read all**: open the archive, read every item in key order, close.
   Store: \`FirstItem\`/\`NextItem\` until \`Eof()\`, \`GetItem\` into a \`TMemoryStream\`.
   SQLite: \`SELECT data FROM items ORDER BY key\`, each blob copied out.
2. **add one item**: open the full archive, add an item, close. The store rebuilds its file at
   close; SQLite inserts in one transaction.
3. **look up 1,000 random keys** on an open archive and read each item: \`ExactMatch\` +
   \`GetItem\` against a prepared \`SELECT ... WHERE key = ?\`. Opening and closing are not timed.
4. **pack**: open a copy of the full archive, delete every other item, pack, close. Store:
   \`ExactMatch\` + \`KillItem\`, \`Pack\`; SQLite: \`DELETE\` by key in one transaction, then
   \`VACUUM\`. The file sizes before and after are printed below the table.

## Method

- Each figure is the median of the runs (5 by default): wall time in milliseconds, user + system
  CPU time in brackets (\`getrusage\`). The ratio is Norva wall time / SQLite wall time, so below
  1 means the store is faster.
- The store is set up as the program sets it up: cache size 4096, compression off, no-data
  warnings silenced. SQLite keeps its defaults: a table \`items(key TEXT PRIMARY KEY, data BLOB)\`,
  rollback journal, \`synchronous=FULL\`, one transaction per operation. Both sync their file to
  disk when an operation ends.
- The store copies its data section into a working file at open and, when anything changed,
  rebuilds the whole file at close, so everything that opens it costs time in proportion to the
  archive's size; SQLite changes pages in place.
- Files live in a temporary folder under \`\$TMPDIR\` (the store's working files go there too),
  which is removed at the end. The page cache is warm: the archive is built just before.
- Each run adds one more item in step 2, so later runs see a few more items.

## Running

    bench/run.sh                         # 10,000 items, 5 runs; rewrites this section
    bench/run.sh --items 1000 --runs 3   # a quick run

\`run.sh\` builds \`qdb_bench\` in Release in \`build-bench/\`, runs it and rewrites this section.

## Results

Run on $(date -u '+%Y-%m-%d %H:%M UTC') with \`qdb_bench${*:+ $*}\`.

- CPU: ${cpu:-unknown}, $(nproc) cores
- RAM: ${ram}
- System: $(uname -sr), ${compiler}, temporary files on ${fstype} (\`${tmp}\`)
- Load average before the run: ${load}

$(cat "$results")
EOF
bench/readme-section.sh qdb-bench "$section"
echo "bench/README.md: record store section rewritten."
