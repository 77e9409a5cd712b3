#!/usr/bin/env bash
# norva-cli send against the SMTP sink: a message to three people, a copy and a blind copy, with
# an attachment, arrives once for each of them (the blind copy in no header) and is kept in
# $Sent.TMA; its long paragraph goes as format=flowed and Python reads it back as typed; a bad
# address queues nothing; a server that cannot be reached leaves it queued.
set -euo pipefail
cli=$1
settings=$2
# shellcheck disable=SC1090
source "$settings"
if [[ -n ${SMTP_SKIP:-} ]]; then echo "skipped: $SMTP_SKIP"; exit 77; fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
items() { "$cli" qdb dump "$1" | sed -n 's/^items: //p'; }

"$cli" config --folder "$dir" add-account --address me@example.org --user me --password pw \
  --pop3 127.0.0.1:1 --smtp "127.0.0.1:$SMTP_PORT" --default >/dev/null
paragraph=$(printf 'word%d ' $(seq 1 40); printf 'end.')
printf 'Hello,\r\n.dot line\r\n%s\r\nFrom here\r\n' "$paragraph" > "$dir/body.txt"
head -c 5000 /dev/urandom > "$dir/data.bin"
before=$(ls "$SMTP_DIR" | wc -l)
"$cli" send --folder "$dir" --to 'Bob <bob@example.org>, "Nair, Priya" <priya@example.org>; mark@example.org' --subject "cli send" \
  --cc 'Carol <carol@example.org>' --bcc 'sam@example.org' --body-file "$dir/body.txt" --attach "$dir/data.bin" 2> "$dir/log" || fail "send: $(cat "$dir/log")"
grep -qx "Message sent." "$dir/log" || fail "no status: $(cat "$dir/log")"
eml=$(ls "$SMTP_DIR"/*.eml | sort | tail -1)
[ "$(ls "$SMTP_DIR" | wc -l)" -gt "$before" ] || fail "nothing arrived"
python3 - "$eml" "$dir/data.bin" "${eml%.eml}.json" "$paragraph" <<'PY'
import email, email.utils, json, sys
raw = open(sys.argv[1], "rb").read()
m = email.message_from_bytes(raw)
assert email.utils.getaddresses(m.get_all("Cc")) == [("Carol", "carol@example.org")], m["Cc"]
assert b"sam@" not in raw and m["Bcc"] is None and b"X-Norva" not in raw
assert m["Subject"] == "cli send", m["Subject"]
to = email.utils.getaddresses(m.get_all("To"))
assert to == [("Bob", "bob@example.org"), ("Nair, Priya", "priya@example.org"),
              ("", "mark@example.org")], to
parts = [p for p in m.walk() if p.get_filename() == "data.bin"]
assert parts and parts[0].get_payload(decode=True) == open(sys.argv[2], "rb").read()
body = [p for p in m.walk() if p.get_content_type() == "text/plain" and not p.get_filename()]
assert body[0].get_param("format") == "flowed", body[0]["Content-Type"]
lines = body[0].get_payload(decode=True).decode().split("\r\n")
assert all(len(line) <= 72 for line in lines), lines
# RFC 3676: a line ending in a blank goes on in the next; one stuffed blank goes.
text, joined = [], ""
for line in lines:
    line = line[1:] if line.startswith(" ") else line
    joined += line
    if not line.endswith(" "):
        text.append(joined)
        joined = ""
assert text[:4] == ["Hello,", ".dot line", sys.argv[4], "From here"], text
envelope = json.load(open(sys.argv[3]))
assert envelope["mail_from"] == "me@example.org" and envelope["rcpt_tos"] == [
    "bob@example.org", "priya@example.org", "mark@example.org", "carol@example.org",
    "sam@example.org"], envelope
PY
[ "$(items "$dir/\$Sent.TMA")" = 1 ] || fail "sent archive"
[ "$(items "$dir/\$OutBox.TMA")" = 0 ] || fail "outbox not empty"

# An address without "@" is refused, and named, before anything is queued.
if "$cli" send --folder "$dir" --to "ann@example.org, bob" 2> "$dir/log"; then fail "bad address accepted"; fi
grep -q "Invalid address, please check!" "$dir/log" || fail "no refusal: $(cat "$dir/log")"
grep -qx "  bob" "$dir/log" || fail "address not named: $(cat "$dir/log")"
[ "$(items "$dir/\$OutBox.TMA")" = 0 ] || fail "bad address queued"

# No server: the message waits in the outbox.
"$cli" config --folder "$dir" remove-account 0 >/dev/null
"$cli" config --folder "$dir" add-account --address me@example.org --user me --password pw \
  --pop3 127.0.0.1:1 --smtp 127.0.0.1:1 >/dev/null
if "$cli" send --folder "$dir" --to bob@example.org 2> "$dir/log"; then fail "send without server"; fi
grep -q "queued in the outbox" "$dir/log" || fail "not said: $(cat "$dir/log")"
[ "$(items "$dir/\$OutBox.TMA")" = 1 ] || fail "not kept in the outbox"

# Arguments.
set +e
"$cli" send --folder "$dir" --subject x 2>/dev/null; [ $? = 2 ] || fail "missing --to"
set -e
echo "cli send: ok"
