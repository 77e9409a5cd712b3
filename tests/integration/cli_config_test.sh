#!/usr/bin/env bash
# norva-cli config: reply templates (their text kept, duplicate names and templates still named
# by a rule refused), the user name and accepted certificates, all read back through show.
set -euo pipefail
cli=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
folder=$dir/norva
mkdir "$folder"
cfg() { "$cli" config --folder "$folder" "$@"; }
refused() {  # refused MESSAGE ARGS...: the command fails with MESSAGE on standard error
  local message=$1
  shift
  if cfg "$@" >/dev/null 2>"$dir/err"; then fail "$* succeeded"; fi
  grep -qF "$message" "$dir/err" || fail "$*: $(cat "$dir/err")"
}

printf 'Thanks for your message.\nI am away until Monday.\n\n-- Demo\n' >"$dir/away.txt"
cfg add-template "Away" "$dir/away.txt" | grep -q "FN1.txt, 4 line(s)" || fail "add-template"
cmp -s "$folder/FN1.txt" <(printf 'Thanks for your message.\r\nI am away until Monday.\r\n\r\n-- Demo\r\n') ||
  fail "template text: $(od -c "$folder/FN1.txt")"
refused "already a template named 'Away'" add-template away "$dir/away.txt"
refused "cannot read the template text" add-template Other "$dir/missing.txt"
cfg set-user-name "Demo User" >/dev/null

show=$(cfg show)
grep -qx "user name: Demo User" <<<"$show" || fail "show: $show"
grep -qx "templates: 1" <<<"$show" || fail "show: $show"
grep -qx "    I am away until Monday." <<<"$show" || fail "show: $show"

# A rule naming the template keeps it; without the rule it goes, file and all.
cfg add-rule 19 "" 6 Away >/dev/null
refused "Rule 1 uses the template 'Away'" remove-template Away
[ -f "$folder/FN1.txt" ] || fail "a refused removal deleted the file"
cfg remove-rule 0 >/dev/null
cfg remove-template Away >/dev/null
[ ! -e "$folder/FN1.txt" ] || fail "the template's file stayed"
refused "no template named 'Away'" remove-template Away
grep -qx "templates: 0" <<<"$(cfg show)" || fail "template still listed"
# An accepted certificate: spelled as the user pastes it, stored as the transport prints it.
fp=$(printf '%02x' $(seq 1 32))
cfg add-account --address me@example.org --user me --password pw --pop3 localhost \
  --security ssl --smtp localhost --smtp-security starttls --smtp-auth >/dev/null
cfg trust-cert 0 --smtp "$fp" | grep -q "smtp certificate 01:02:03:" || fail "trust-cert"
cfg add-account --address off@example.org --user off --password pw --pop3 localhost \
  --pipelining off >/dev/null
refused "pipelining takes on or off" add-account --address x@example.org --user x \
  --password pw --pop3 localhost --pipelining maybe
show=$(cfg show)
grep -q "off@example.org.* no pipelining" <<<"$show" || fail "show: $show"
grep -q "me@example.org.* no pipelining" <<<"$show" && fail "pipelining is on unless turned off"
cfg remove-account 1 >/dev/null
grep -qx "     smtp certificate $(sed 's/../&:/g; s/:$//' <<<"${fp^^}")" <<<"$show" || fail "show: $show"
grep -q "pop3 certificate" <<<"$show" && fail "the POP3 server took the SMTP certificate"
cfg trust-cert 0 --smtp "" >/dev/null
grep -q "certificate" <<<"$(cfg show)" && fail "trust-cert \"\" kept the certificate"
refused "64 hex digits" trust-cert 0 --pop3 "AB:CD"
refused "trust-cert takes N" trust-cert 0 "$fp"
refused "mailbox must be a whole number from 0 to 0" trust-cert 1 --pop3 "$fp"
echo "cli config: ok"
