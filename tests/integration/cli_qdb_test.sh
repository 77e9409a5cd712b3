#!/usr/bin/env bash
# norva-cli qdb: put, get and dump a store; errors go to standard error with a non-zero status.
set -euo pipefail
cli=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

printf 'first\0binary' | "$cli" qdb put "$dir/a" 000000000000001
printf 'second' | "$cli" qdb put "$dir/a" 000000000000002
printf 'replaced' | "$cli" qdb put "$dir/a" 000000000000002
[ "$(stat -c %a "$dir/a.QDB")" = 600 ] || fail "new store is not owner-only"

"$cli" qdb get "$dir/a" 000000000000001 > "$dir/out"
cmp -s "$dir/out" <(printf 'first\0binary') || fail "get returned other bytes"
[ "$("$cli" qdb get "$dir/a.QDB" 000000000000002)" = replaced ] || fail "put did not replace"

dump=$("$cli" qdb dump "$dir/a")
grep -q '^items: 2$' <<<"$dump" || fail "dump: $dump"
grep -q '000000000000001  size 12$' <<<"$dump" || fail "dump sizes: $dump"

before=$(md5sum < "$dir/a.QDB") written=$(stat -c %y "$dir/a.QDB")
if "$cli" qdb get "$dir/a" nosuchkey > "$dir/out" 2> "$dir/err"; then fail "missing key succeeded"; fi
grep -q "no item with the key 'nosuchkey'" "$dir/err" || fail "missing key message"
"$cli" qdb dump "$dir/a" > /dev/null
[ "$(md5sum < "$dir/a.QDB")" = "$before" ] || fail "a read changed the file"
[ "$(stat -c %y "$dir/a.QDB")" = "$written" ] || fail "a read wrote the file again"

if "$cli" qdb dump "$dir/missing" 2> "$dir/err"; then fail "missing file succeeded"; fi
grep -q "Could not find the file $dir/missing.QDB" "$dir/err" || fail "missing file message"
[ ! -e "$dir/missing.QDB" ] || fail "dump created a file"

printf 'not a store at all' > "$dir/bad.QDB"
if "$cli" qdb dump "$dir/bad" 2> "$dir/err"; then fail "bad file succeeded"; fi
grep -q "is not a valid QDB file" "$dir/err" || fail "bad file message"

if "$cli" qdb frobnicate 2> /dev/null; then fail "unknown verb succeeded"; fi
echo "cli qdb: ok"
