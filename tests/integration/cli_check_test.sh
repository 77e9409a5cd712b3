#!/usr/bin/env bash
# norva-cli config and check against Dovecot: a folder set up with config, a check classifying
# the mailbox by the rules, a second check finding the same and nothing new, --delete-spam
# removing the spam from the server, a rule on the learned spam probability, and checks that
# fail saying so.
# Usage: cli_check_test.sh NORVA_CLI ENVFILE (written by pop3_fixture.sh; exit 77 = skipped)
set -euo pipefail
cli=$1 envfile=$2
[[ -f $envfile ]] || { echo "FAIL: no fixture settings in $envfile" >&2; exit 1; }
skip=$(sed -n 's/^POP3_SKIP=//p' "$envfile")
[[ -z $skip ]] || { echo "SKIP: $skip"; exit 77; }
# shellcheck disable=SC1090
source "$envfile"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
folder=$dir/norva
mkdir "$folder"
cfg() { "$cli" config --folder "$folder" "$@" >/dev/null; }

# The first spam sender of the generated mailbox goes on the check list.
spam_from=$(python3 -c 'import json, sys
print(next(m["from"] for m in map(json.loads, open(sys.argv[1])) if m["spam"]))' "$POP3_MANIFEST")
cfg add-account --address test@test.example --user "$POP3_USER" --password "$POP3_PASS" \
  --pop3 "127.0.0.1:$POP3_PORT" --timeout 20
cfg add-checklist "Black List"
cfg add-checklist-line "Black List" "$spam_from"
cfg add-rule 14 "Black List" 1 ""  # From in the check list -> spam
cfg add-rule 2 agenda 3 ""         # Subject contains "agenda" -> urgent
show=$("$cli" config --folder "$folder" show)
grep -q "password \*\*\*" <<<"$show" || fail "show: $show"
! grep -qF "$POP3_PASS" <<<"$show" || fail "show prints the password"
grep -qF "    $spam_from" <<<"$show" || fail "show: no check-list line"

check() {  # check NAME [ARGS]: the JSON list in $dir/NAME.json, status messages in $dir/NAME.err
  local name=$1
  shift
  "$cli" check --folder "$folder" --json "$@" >"$dir/$name.json" 2>"$dir/$name.err" ||
    fail "check $name exited $?: $(cat "$dir/$name.err")"
}
check first
check second
grep -q "^Closed connection...$" "$dir/first.err" || fail "status messages: $(cat "$dir/first.err")"
grep -q "New Messages in MailBox" "$dir/first.err" || fail "no new-mail alarm"
! grep -q "New Messages in MailBox" "$dir/second.err" || fail "seen mail raised the alarm"
check third --delete-spam
check fourth

python3 - "$dir" "$POP3_MANIFEST" "$spam_from" <<'EOF'
import json, re, sys
d, manifest, spam_from = sys.argv[1:]
mails = [json.loads(line) for line in open(manifest)]
runs = {n: json.load(open("%s/%s.json" % (d, n))) for n in ("first", "second", "third", "fourth")}
def check(ok, what):
    if not ok:
        sys.exit("FAIL: " + what)
first = runs["first"]
check(len(first) == len(mails), "first check lists %d of %d" % (len(first), len(mails)))
for row, mail in zip(first, mails):  # a fresh list is in server order
    spam = mail["from"] == spam_from
    urgent = "agenda" in mail["subject"].lower()
    what = "message %d: %r" % (mail["index"], row)
    check(row["mailbox"] == 0 and row["new"] and not row["deleted"], what)
    check(row["status"] == (0 if spam else 1), what)
    check(row["urgent"] == urgent and row["size"] == mail["pop3_size"], what)
    # A message without a Message-ID is known by a digest of its header block.
    if mail["message_id"]:
        check(row["message_id"] == mail["message_id"], what)
    else:
        check(re.fullmatch(r"<sha1-[0-9a-f]{40}@norva\.invalid>", row["message_id"]), what)
    check(("----> Mark message as spam " in row["applied_rules"]) == spam, what)
    check(not spam or spam_from in row["sender"], what)
    check(len(row["date"]) == 14 and row["date"][2] == ".", what)
spams = sum(r["status"] == 0 for r in first)
check(0 < spams < len(first), "rules found %d spam messages" % spams)
check(0 < sum(r["urgent"] for r in first) < len(first), "urgent rule fires for all or none")
# Seen lists: the second check lists the same, none of it new.
strip = lambda rows: [{k: v for k, v in r.items() if k != "new"} for r in rows]
check(strip(runs["second"]) == strip(first), "second check differs")
check(not any(r["new"] for r in runs["second"]), "second check finds new mail")
check([r["deleted"] for r in runs["third"]] == [r["status"] == 0 for r in first],
      "--delete-spam deleted other rows")
fourth = runs["fourth"]
check(len(fourth) == len(first) - spams, "server still holds %d messages" % len(fourth))
check(not any(r["status"] == 0 or r["new"] for r in fourth), "spam or new mail after deleting")
EOF

# The spam learner of another folder, taught from files Python's email package writes: a rule
# comparing its probability marks a look-alike of the spam delivered to the mailbox, and leaves
# one of the safe mail alone; every row's log tells what the learner said.
learned=$dir/learned
mkdir "$learned" "$dir/eml"
python3 - "$dir/eml" "$POP3_MAILDIR" <<'EOF'
import email.message, email.utils, os, sys
eml, maildir = sys.argv[1:]
def message(spam, n):
    m = email.message.EmailMessage()
    host, ip = ("mx.cheap-pills.example", "203.0.113.7") if spam else ("mail.work.example.org", "198.51.100.2")
    m["Received"] = "from %s (%s [%s]) by pop.test.example" % (host, host, ip)
    m["From"] = (email.utils.formataddr(("Best Deals", "offers%d@cheap-pills.example" % n)) if spam
                 else email.utils.formataddr(("Ann Example", "ann@work.example.org")))
    m["To"] = "test@test.example"
    m["Subject"] = "Cheap pills, offer %d" % n if spam else "Meeting notes, week %d" % n
    m["Date"] = email.utils.formatdate(1700000000 + n * 3600)
    m["Message-ID"] = "<%s%d@%s>" % ("spam" if spam else "ham", n, host)
    m["X-Mailer"] = "BulkBlaster 5" if spam else "Thunderbird 115"
    m.set_content("message %d\n" % n)
    return m.as_bytes()
st = os.stat(maildir)
for spam in (True, False):
    for n in range(4):
        with open("%s/%s%d.eml" % (eml, "spam" if spam else "ham", n), "wb") as f:
            f.write(message(spam, n))
    name = "1800000000.lookalike-%s.test" % ("spam" if spam else "ham")
    tmp = os.path.join(maildir, "tmp", name)
    with open(tmp, "wb") as f:
        f.write(message(spam, 9))
    if os.geteuid() == 0:
        os.chown(tmp, st.st_uid, st.st_gid)  # Dovecot reads the mail as the mailbox's owner
    os.rename(tmp, os.path.join(maildir, "new", name))
EOF
"$cli" learn --folder "$learned" --spam "$dir"/eml/spam*.eml >/dev/null
"$cli" learn --folder "$learned" --ham "$dir"/eml/ham*.eml >/dev/null
"$cli" config --folder "$learned" add-account --address test@test.example --user "$POP3_USER" \
  --password "$POP3_PASS" --pop3 "127.0.0.1:$POP3_PORT" --timeout 20 >/dev/null
if "$cli" config --folder "$learned" add-rule 23 101 1 "" 2>"$dir/err"; then
  fail "a percentage above 100 was taken"
fi
grep -q "percentage from 0 to 100" "$dir/err" || fail "add-rule 23 101: $(cat "$dir/err")"
"$cli" config --folder "$learned" add-rule 23 90% 1 "" >/dev/null
"$cli" check --folder "$learned" --json >"$dir/learned.json" 2>"$dir/learned.err" ||
  fail "check with the learner exited $?: $(cat "$dir/learned.err")"
python3 - "$dir/learned.json" <<'EOF'
import json, sys
rows = {r["message_id"]: r for r in json.load(open(sys.argv[1]))}
for mid, status in (("<spam9@mx.cheap-pills.example>", 0), ("<ham9@mail.work.example.org>", 1)):
    row = rows.get(mid)
    if row is None or row["status"] != status:
        sys.exit("FAIL: learned rule on %s: %r" % (mid, row))
for row in rows.values():
    if not row["applied_rules"] or not row["applied_rules"][0].startswith("----> learned: "):
        sys.exit("FAIL: no learned line: %r" % row)
EOF

# Failures say so: an account the server refuses, a mailbox that does not exist.
cfg add-account --address wrong --user "$POP3_USER" --password not-it --pop3 "127.0.0.1:$POP3_PORT"
if "$cli" check --folder "$folder" --mailbox 1 >"$dir/out" 2>"$dir/err"; then
  fail "a refused login succeeded"
fi
grep -q "Last connection attempt unsuccessful" "$dir/err" || fail "refused login: $(cat "$dir/err")"
if "$cli" check --folder "$folder" --mailbox 2 2>"$dir/err"; then fail "mailbox 2 succeeded"; fi
grep -q "there is no mailbox 2" "$dir/err" || fail "missing mailbox: $(cat "$dir/err")"
echo "cli check: ok"
