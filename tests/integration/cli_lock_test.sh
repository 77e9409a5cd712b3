#!/usr/bin/env bash
# One writer per program folder: two norva-cli send at once, each waiting for the other (--wait),
# deliver each message exactly once and empty the outbox; while the folder is held, a writing command
# fails at once naming the holder and queues nothing, and looking (config show) still works.
set -euo pipefail
cli=$1
settings=$2
# shellcheck disable=SC1090
source "$settings"
if [[ -n ${SMTP_SKIP:-} ]]; then echo "skipped: $SMTP_SKIP"; exit 77; fi
dir=$(mktemp -d)
holder=
trap '[ -n "$holder" ] && kill "$holder" 2>/dev/null; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
items() { "$cli" qdb dump "$1" | sed -n 's/^items: //p'; }
arrived() { grep -la "^Subject: $1" "$SMTP_DIR"/*.eml 2>/dev/null | wc -l; }

"$cli" config --folder "$dir" add-account --address me@example.org --user me --password pw \
  --pop3 127.0.0.1:1 --smtp "127.0.0.1:$SMTP_PORT" --default >/dev/null
head -c 3000000 /dev/urandom > "$dir/big.bin"  # a send that takes a while
tag=lock-$$-$RANDOM
"$cli" --wait 60 send --folder "$dir" --to a@example.org --subject "$tag-big" --attach "$dir/big.bin" \
  2> "$dir/log1" &
first=$!
"$cli" send --wait 60 --folder "$dir" --to b@example.org --subject "$tag-small" 2> "$dir/log2" &
second=$!
wait "$first" || fail "first send: $(cat "$dir/log1")"
wait "$second" || fail "second send: $(cat "$dir/log2")"
[ "$(arrived "$tag-big")" = 1 ] || fail "big message arrived $(arrived "$tag-big") times"
[ "$(arrived "$tag-small")" = 1 ] || fail "small message arrived $(arrived "$tag-small") times"
[ "$(items "$dir/\$OutBox.TMA")" = 0 ] || fail "outbox not empty"
[ "$(items "$dir/\$Sent.TMA")" = 2 ] || fail "sent archive: $(items "$dir/\$Sent.TMA")"

# Another program holds the folder: refused at once, the holder named, nothing queued.
python3 - "$dir/norva.lock" <<'PY' &
import fcntl, os, sys, time
f = open(sys.argv[1], "r+")
fcntl.flock(f, fcntl.LOCK_EX)
f.truncate(0); f.write(f"{os.getpid()} the test holder\n"); f.flush()
open(sys.argv[1] + ".held", "w").close()
time.sleep(60)
PY
holder=$!
for _ in $(seq 100); do [ -e "$dir/norva.lock.held" ] && break; sleep 0.1; done
start=$(date +%s)
if "$cli" send --folder "$dir" --to c@example.org --subject "$tag-refused" 2> "$dir/log3"; then
  fail "send while the folder is held"
fi
grep -q "in use by the test holder (process $holder)" "$dir/log3" || fail "holder: $(cat "$dir/log3")"
if "$cli" --wait 1 config --folder "$dir" set-user-name X 2> "$dir/log4"; then
  fail "config while held"
fi
[ $(( $(date +%s) - start )) -lt 10 ] || fail "did not fail at once"
"$cli" config --folder "$dir" show > /dev/null || fail "config show while held"
[ "$(arrived "$tag-refused")" = 0 ] || fail "refused message sent"
[ "$(items "$dir/\$OutBox.TMA")" = 0 ] || fail "refused message queued"
echo "cli lock: ok"
