#!/usr/bin/env bash
# norva-cli archive: list and export an archive (mboxrd and .eml files) without changing it; and,
# with norva-testserver, mail as Python writes it checked, archived by a rule and exported back
# byte for byte.
# Usage: cli_archive_test.sh NORVA_CLI [NORVA_TESTSERVER]
set -euo pipefail
cli=$1 server=${2:-}
dir=$(mktemp -d)
server_pid=
cleanup() {
  [[ -z $server_pid ]] || kill "$server_pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# Working copies stay in the archive's folder: TMPDIR is watched, and exports are the owner's
# only whatever the umask allows.
umask 022
mkdir "$dir/tmp"
export TMPDIR=$dir/tmp

# Keys as Norva writes them (zeros, then running numbers padded with blanks) and as another tool
# might: two that give one file name, and one that would leave the folder.
# One message with LF line ends and a "From " body line, one with CRLF and quoted ">From" lines.
printf 'From: Ann <ann@example.org>\nSubject: First\nDate: Tue, 02 Jan 2024 10:30:00 +0200\n\nHello\nFrom here on\nbye\n' \
  > "$dir/m1"
printf 'From: bob@example.org\r\nSubject: Second\r\nDate: someday\r\n\r\n>From the past\r\n>>From deeper\r\nend' \
  > "$dir/m2"
printf 'From: c@example.org\nSubject: Third\nDate: Mon, 01 Jan 2024 23:00:00 EST\n\nc\n' > "$dir/m3"
keys=("000000000000000" "              1" "              2" "01" "../x")
files=(m1 m2 m3 m3 m3)
for i in "${!keys[@]}"; do "$cli" qdb put "$dir/a.TMA" "${keys[$i]}" < "$dir/${files[$i]}"; done
before=$(md5sum < "$dir/a.TMA") written=$(stat -c %y "$dir/a.TMA")

# Dates in the local zone: the list shows the instant as the user's clock reads it.
listed() {  # listed ZONE KEY: subject and date of that key's line
  TZ=$1 "$cli" archive list "$dir/a.TMA" | awk -F'\t' -v k="$2" '$1 "" == k "" { print $3 " " $4 }'
}
for row in "UTC|000000000000000|First 02.01.24 08:30" \
  "Asia/Tokyo|000000000000000|First 02.01.24 17:30" \
  "UTC|              2|Third 02.01.24 04:00" "Asia/Tokyo|              2|Third 02.01.24 13:00" \
  "Asia/Tokyo|              1|Second 30.12.99 00:00"; do
  IFS='|' read -r zone key want <<<"$row"
  got=$(listed "$zone" "$key")
  [ "$got" = "$want" ] || fail "list in $zone, key '$key': $got"
done
grep -qP "^000000000000000\tAnn <ann@example.org>\tFirst\t.*\t$(wc -c < "$dir/m1")\$" \
  <(TZ=UTC "$cli" archive list "$dir/a.TMA") || fail "list: sender or size"

"$cli" archive export "$dir/a.TMA" --mbox "$dir/out.mbox"
"$cli" archive export "$dir/a.TMA" --dir "$dir/eml"
[ "$(cd "$dir/eml" && ls -A | tr '\n' ' ')" = "0.eml 1.eml 1~2.eml 2.eml _.._x.eml " ] ||
  fail "eml names: $(ls -A "$dir/eml")"
[ ! -e "$dir/x.eml" ] || fail "a key left the folder"
for pair in 0:m1 1:m2 2:m3 1~2:m3 _.._x:m3; do
  cmp -s "$dir/eml/${pair%%:*}.eml" "$dir/${pair#*:}" || fail "eml ${pair%%:*} bytes"
done
grep -qx '>From here on' "$dir/out.mbox" || fail "body From line not quoted"

python3 - "$dir" <<'PY'
import mailbox, re, sys
d = sys.argv[1]
box = mailbox.mbox(f"{d}/out.mbox", create=False)
# In the store's order: blanks sort before "." and digits.
got = {box[k]["Subject"]: (box[k].get_from(), box.get_bytes(k)) for k in box.keys()}
assert [box[k]["Subject"] for k in box.keys()] == ["Second", "Third", "Third", "First", "Third"]
assert {s: f for s, (f, _) in got.items()} == {
    "First": "MAILER-DAEMON Tue Jan  2 08:30:00 2024",
    "Second": "MAILER-DAEMON Thu Jan  1 00:00:00 1970",
    "Third": "MAILER-DAEMON Tue Jan  2 04:00:00 2024"}, got
# The reader leaves the quoting in place; undoing it gives back each stored message byte for
# byte (the unterminated last line of the second one gets its line end).
assert ">From here on" in got["First"][1].decode().splitlines()
unquote = lambda b: re.sub(rb"(?m)^>(>*From )", rb"\1", b)
assert unquote(got["First"][1]) == open(f"{d}/m1", "rb").read()
assert unquote(got["Second"][1]) == open(f"{d}/m2", "rb").read() + b"\r\n"
print("python mbox check: 5 messages, subjects, envelopes and bodies ok")
PY

# Nothing is overwritten, and the archive itself is never changed.
if "$cli" archive export "$dir/a.TMA" --dir "$dir/eml" 2> "$dir/err"; then fail "dir overwrite"; fi
grep -q "exists already" "$dir/err" || fail "dir overwrite message"
if "$cli" archive export "$dir/a.TMA" --mbox "$dir/out.mbox" 2> /dev/null; then fail "mbox overwrite"; fi
python3 -c "import mailbox,sys; assert len(mailbox.mbox(sys.argv[1]))==5" "$dir/out.mbox"
[ "$(md5sum < "$dir/a.TMA")" = "$before" ] || fail "the archive changed"
[ "$(stat -c %y "$dir/a.TMA")" = "$written" ] || fail "the archive was written again"
modes=$(stat -c %a "$dir/out.mbox" "$dir/eml" "$dir"/eml/*.eml | sort -u | tr '\n' ' ')
[ "$modes" = "600 700 " ] || fail "export modes: $modes"
[ -z "$(ls -A "$dir/tmp")" ] || fail "working files in TMPDIR: $(ls -A "$dir/tmp")"
[ ! -e "$dir/.norva-work" ] || fail "working folder left behind"

if "$cli" archive list "$dir/missing.TMA" 2> "$dir/err"; then fail "missing archive succeeded"; fi
grep -q "Could not find the file $dir/missing.TMA" "$dir/err" || fail "missing file message"
[ ! -e "$dir/missing.TMA" ] || fail "list created the archive"
if "$cli" archive export "$dir/a.TMA" --zip x 2> /dev/null; then fail "bad option accepted"; fi

# Crafted archives that once took 1.8 GB and 3.9 GB: one message beside a 1 MB item that would
# expand to 740 MB, and 100 records over one 9 KB blob of 6.4 MB. Both end at once in little
# memory, naming the damage; the sound message is still listed; nothing is exported.
python3 - "$dir" <<'PY'
import struct, sys
block = bytes([0x40, 0xFF, 0x00]) + bytes([0, 0x0F, 0xEF, ord("r")]) * 8 + b"l" * 8
block = struct.pack("<H", len(block)) + block
good = b"Subject: fine\r\n\r\nx\r\n"
rec = lambda k, pos, size, flags: k + b"\0" + struct.pack("<iii", pos, size, flags)
def write(name, data, records):
    index = struct.pack("<i", len(records)) + b"".join(records)
    open(f"{sys.argv[1]}/{name}", "wb").write(b"QDB\0" + struct.pack("<i", len(data)) + data +
                                              b"QIX\0" + struct.pack("<i", len(index)) + index)
bomb = block * ((1 << 20) // len(block))
write("bomb.TMA", good + bomb, [rec(b"b", len(good), len(bomb), 2), rec(b"a", 0, len(good), 0)])
blob = block * ((9 << 10) // len(block))
write("shared.TMA", blob, [rec(b"k%d" % i, 0, len(blob), 2) for i in range(199, 99, -1)])
PY
# Runs a command and writes its exit status and peak memory in KB to $dir/usage.
measured() {
  python3 -c 'import resource, subprocess, sys
rc = subprocess.call(sys.argv[2:], stdout=open(sys.argv[1] + "/out", "w"), stderr=open(sys.argv[1] + "/err", "w"))
print(rc, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$dir" "$@" > "$dir/usage"
}
for row in "bomb|the item 'b' is damaged|a" "shared|two index records share the bytes at offset 0|"; do
  IFS='|' read -r name damage listed <<<"$row"
  measured timeout 10 "$cli" archive list "$dir/$name.TMA"
  read -r status peak < "$dir/usage"
  [ "$status" = 1 ] || fail "$name: listed with status $status"
  grep -q "$damage" "$dir/err" || fail "$name: $(cat "$dir/err")"
  [ "$(cut -f1 "$dir/out")" = "$listed" ] || fail "$name listed: $(cat "$dir/out")"
  (( peak < 65536 )) || fail "$name took $peak KB"
  if "$cli" archive export "$dir/$name.TMA" --dir "$dir/x" 2> /dev/null; then fail "$name exported"; fi
  [ ! -e "$dir/x" ] || fail "$name: a partial export was written"
done

[[ -n $server ]] || { echo "cli archive: ok (no test server given)"; exit 0; }

# ---- mail as today's programs write it, through a check whose rule archives every message ----
mkdir "$dir/mail" "$dir/norva"
python3 - "$dir/mail" <<'PY'
import sys
from email.message import EmailMessage
from email.policy import default
d = sys.argv[1]
def new(subject, sender="Jürgen Weiß <juergen@example.de>"):
    m = EmailMessage(policy=default)
    m["From"], m["To"], m["Subject"] = sender, "Test <demo@norva.test>", subject
    m["Date"], m["Message-ID"] = "Mon, 05 Jan 2026 09:15:00 +0100", f"<{len(out)}@example.de>"
    return m
out = []
m = new("Grüße aus München – you won a PRIZE")
m.set_content("Grüße aus München!\nBegin 2026 with a clear plan:\nFrom here on all is well.\n")
out.append(m.as_bytes())
m = new("Newsletter: 10 % off")
m.set_content("Plain text part with ümlauts.\n", cte="base64")
m.add_alternative("<p>HTML part with <b>ümlauts</b>.</p>\n", subtype="html")
out.append(m.as_bytes())
m = new("Report attached")
m.set_content("See the attachment.\n")
m.add_attachment(bytes(range(256)) * 40, maintype="application", subtype="pdf",
                 filename="Übersicht 2026.pdf")
out.append(m.as_bytes())
# Raw 8-bit UTF-8 in the header, as some mailers send it, and CR LF line ends.
out.append("From: Zoë <zoe@example.org>\r\nSubject: Prize draw für Zoë\r\n"
           "Date: Mon, 05 Jan 2026 08:00:00 +0000\r\nMIME-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n"
           "Raw bytes in the header.\r\n".encode())
for i, data in enumerate(out):
    open(f"{d}/{i:04d}.eml", "wb").write(data)
PY
"$server" --maildir "$dir/mail" --ready-file "$dir/ready" > /dev/null 2>&1 &
server_pid=$!
for _ in $(seq 100); do [[ -s $dir/ready ]] && break; sleep 0.1; done
pop3_port=$(sed -n 's/^POP3_PORT=//p' "$dir/ready")
[[ -n $pop3_port ]] || fail "the test server did not start"
cfg() { "$cli" config --folder "$dir/norva" "$@" > /dev/null; }
cfg add-account --address demo@norva.test --user demo --password demo --pop3 "127.0.0.1:$pop3_port"
cfg add-rule 2 prize 3 ""       # Subject contains "prize" -> urgent, encoded or not
cfg add-rule 19 "" 5 All.TMA    # every message archived
"$cli" check --folder "$dir/norva" --json > "$dir/check.json" 2> "$dir/check.err" ||
  fail "check: $(cat "$dir/check.err")"
"$cli" archive export "$dir/norva/All.TMA" --dir "$dir/exported"
"$cli" archive export "$dir/norva/All.TMA" --mbox "$dir/exported.mbox"
python3 - "$dir" <<'PY'
import json, mailbox, os, re, sys
from email import message_from_bytes
from email.policy import default
d = sys.argv[1]
originals = [open(f"{d}/mail/{n}", "rb").read() for n in sorted(os.listdir(f"{d}/mail"))]
# POP3 carries every line with CR LF.
wire = [re.sub(rb"\r?\n", b"\r\n", o) for o in originals]
exported = [open(f"{d}/exported/{i}.eml", "rb").read() for i in range(len(wire))]
for i, (got, want) in enumerate(zip(exported, wire)):
    assert got == want, (i, got[:300], want[:300])
box = mailbox.mbox(f"{d}/exported.mbox", create=False)
unquote = lambda b: re.sub(rb"(?m)^>(>*From )", rb"\1", b)
# The store lists the blank-padded keys before the key of zeros: the first message comes last.
assert [unquote(box.get_bytes(k)) for k in box.keys()] == wire[1:] + wire[:1]
read = [message_from_bytes(b, policy=default) for b in exported]
assert read[2].get_payload()[1].get_filename() == "Übersicht 2026.pdf"
rows = json.load(open(f"{d}/check.json"))
assert [r["urgent"] for r in rows] == [True, False, False, True], rows
print(f"archive round trip: {len(wire)} messages exported as retrieved, urgent rule on encoded "
      "and raw subjects")
PY
[ -z "$(ls -A "$dir/tmp")" ] || fail "the check left files in TMPDIR: $(ls -A "$dir/tmp")"
[ ! -e "$dir/norva/.norva-work" ] || fail "the check left its working folder"
echo "cli archive: ok"
