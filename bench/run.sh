#!/usr/bin/env bash
# Record store vs SQLite: builds qdb_bench in Release, runs it (arguments go to the benchmark,
# e.g. --items 1000 --runs 3) and writes its section of bench/README.md, the method and the
# results, to FILE (--out FILE) or to standard output. bench/run-all.sh puts it in the README.
# Usage: bench/run.sh [--out FILE] [qdb_bench arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

out=/dev/stdout
if [[ ${1:-} == --out ]]; then
  out=$2
  shift 2
fi

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORVA_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench --target qdb_bench >&2

results=$(mktemp)
trap 'rm -f "$results"' EXIT
build-bench/bench/qdb_bench "$@" | tee "$results" >&2

tmp=${TMPDIR:-/tmp}
fstype=$(df -T "$tmp" | awk 'NR == 2 { print $2 }')

cat >"$out" <<EOF
\`qdb_bench\` times the record store (\`norva::TQDB\`) against SQLite on a mail archive: items of
about 5 KB of mail-like text (the same pseudo-random text every run) under 15-digit keys such as
\`000000000000001\`. Both sides get the same items and the same operations:

1. **read all**: open the archive, read every item in key order, close.
   Store: \`FirstItem\`/\`NextItem\` until \`Eof()\`, \`GetItem\` into a \`TMemoryStream\`.
   SQLite: \`SELECT data FROM items ORDER BY key\`, each blob copied out.
2. **add one item**: open the full archive, add an item, close. The store appends the item and
   a new index at close; SQLite inserts in one transaction.
3. **look up 1,000 random keys** on an open archive and read each item: \`ExactMatch\` +
   \`GetItem\` against a prepared \`SELECT ... WHERE key = ?\`. Opening and closing are not timed.
4. **pack**: open a copy of the full archive, delete every other item, pack, close. Store:
   \`ExactMatch\` + \`KillItem\`, \`Pack\`; SQLite: \`DELETE\` by key in one transaction, then
   \`VACUUM\`. The file sizes before and after are printed below the table.

### Method

- Each figure is the median of the runs (5 by default): wall time in milliseconds, user + system
  CPU time in brackets (\`getrusage\`), and the bytes handed to write calls (\`wchar\` of
  \`/proc/self/io\`). The ratio is Norva wall time / SQLite wall time, so below 1 means the
  store is faster. Both sides wait for their syncs, so on a shared disk the sync latency sets
  the wall-time ratio; the CPU times show the work itself.
- The store is set up as the program sets it up: cache size 4096, compression off, no-data
  warnings silenced. SQLite keeps its defaults: a table \`items(key TEXT PRIMARY KEY, data BLOB)\`,
  rollback journal, \`synchronous=FULL\`, one transaction per operation. Both sync their file to
  disk when an operation ends.
- The store reads entries from its file where they lie, reading only its index at open. A
  close after a change writes the new bytes and a new index past the file's end, syncs, then
  overwrites the data-section length at the start and syncs again; the old index becomes
  unreferenced data. When unreferenced bytes pass a quarter of the file (or on \`Pack\`) the
  file is rewritten whole beside the old one, synced and renamed into place. SQLite changes
  pages in place behind its journal.
- Files live in a temporary folder under \`\$TMPDIR\`, which is removed at the end. The page cache is warm: the archive is built just before.
- Each run adds one more item in step 2, so later runs see a few more items.

### Running

    bench/run.sh                         # 10,000 items, 5 runs; prints this section
    bench/run.sh --items 1000 --runs 3   # a quick run

\`run.sh\` builds \`qdb_bench\` in Release in \`build-bench/\` and runs it; \`bench/run-all.sh\`
puts the section it writes into this README.

### Results

Run with \`qdb_bench${*:+ $*}\`, temporary files on ${fstype} (\`${tmp}\`).

$(cat "$results")
EOF
