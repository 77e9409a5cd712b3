#!/usr/bin/env bash
# norva-cli archive: list and export an archive (mboxrd and .eml files) without changing it.
set -euo pipefail
cli=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# One message with LF line ends and a "From " body line, one with CRLF and quoted ">From" lines.
printf 'From: Ann <ann@example.org>\nSubject: First\nDate: Tue, 02 Jan 2024 10:30:00 +0200\n\nHello\nFrom here on\nbye\n' \
  > "$dir/m1"
printf 'From: bob@example.org\r\nSubject: Second\r\nDate: someday\r\n\r\n>From the past\r\n>>From deeper\r\nend' \
  > "$dir/m2"
"$cli" qdb put "$dir/a.TMA" 000000000000001 < "$dir/m1"
"$cli" qdb put "$dir/a.TMA" 000000000000002 < "$dir/m2"
before=$(md5sum < "$dir/a.TMA")

list=$("$cli" archive list "$dir/a.TMA")
[ "$(wc -l <<<"$list")" = 2 ] || fail "list: $list"
grep -qP "^000000000000001\tAnn <ann@example.org>\tFirst\t02.01.24 10:30\t$(wc -c < "$dir/m1")\$" <<<"$list" || fail "list 1: $list"
grep -qP "^000000000000002\tbob@example.org\tSecond\t30.12.99 00:00\t$(wc -c < "$dir/m2")\$" <<<"$list" || fail "list 2: $list"

"$cli" archive export "$dir/a.TMA" --mbox "$dir/out.mbox"
"$cli" archive export "$dir/a.TMA" --dir "$dir/eml"
cmp -s "$dir/eml/000000000000001.eml" "$dir/m1" || fail "eml 1 bytes"
cmp -s "$dir/eml/000000000000002.eml" "$dir/m2" || fail "eml 2 bytes"
grep -qx '>From here on' "$dir/out.mbox" || fail "body From line not quoted"

python3 - "$dir" <<'PY'
import mailbox, re, sys
d = sys.argv[1]
box = mailbox.mbox(f"{d}/out.mbox", create=False)
msgs = [box.get_bytes(k) for k in box.keys()]
assert len(msgs) == 2, len(msgs)
assert [box[k]["Subject"] for k in box.keys()] == ["First", "Second"]
assert box[box.keys()[0]].get_from() == "MAILER-DAEMON Tue Jan  2 08:30:00 2024", box[0].get_from()
assert box[box.keys()[1]].get_from() == "MAILER-DAEMON Thu Jan  1 00:00:00 1970", box[1].get_from()
# The reader leaves the quoting in place: the line is a body line of the first message.
assert ">From here on" in box[box.keys()[0]].get_payload().splitlines()
# Undoing the quoting gives back each stored message byte for byte (the unterminated last line
# of the second one gets its line end).
unquote = lambda b: re.sub(rb"(?m)^>(>*From )", rb"\1", b)
assert unquote(msgs[0]) == open(f"{d}/m1", "rb").read(), msgs[0]
assert unquote(msgs[1]) == open(f"{d}/m2", "rb").read() + b"\r\n", msgs[1]
print("python mbox check: 2 messages, subjects and bodies ok")
PY

# Nothing is overwritten, and the archive itself is never changed.
if "$cli" archive export "$dir/a.TMA" --dir "$dir/eml" 2> "$dir/err"; then fail "dir overwrite"; fi
grep -q "exists already" "$dir/err" || fail "dir overwrite message"
if "$cli" archive export "$dir/a.TMA" --mbox "$dir/out.mbox" 2> /dev/null; then fail "mbox overwrite"; fi
python3 -c "import mailbox,sys; assert len(mailbox.mbox(sys.argv[1]))==2" "$dir/out.mbox"
[ "$(md5sum < "$dir/a.TMA")" = "$before" ] || fail "the archive changed"

if "$cli" archive list "$dir/missing.TMA" 2> "$dir/err"; then fail "missing archive succeeded"; fi
grep -q "Could not find the file $dir/missing.TMA" "$dir/err" || fail "missing file message"
[ ! -e "$dir/missing.TMA" ] || fail "list created the archive"
if "$cli" archive export "$dir/a.TMA" --zip x 2> /dev/null; then fail "bad option accepted"; fi
echo "cli archive: ok"
