#!/usr/bin/env bash
# norva-cli and the user's secrets: a check and a send that the servers refuse print no
# password anywhere, and an unreadable Config.QDB makes check, send and config stop without
# touching it.
set -euo pipefail
cli=$1
server=$2
dir=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
folder=$dir/norva
mkdir "$folder" "$dir/mail"
printf 'From: a@example.org\r\nSubject: hi\r\nMessage-ID: <1@x>\r\n\r\nbody\r\n' >"$dir/mail/1.eml"

"$server" --maildir "$dir/mail" --user demo --password right --ready-file "$dir/ready" >/dev/null &
pid=$!
for _ in $(seq 100); do [ -s "$dir/ready" ] && grep -q SMTP_PORT "$dir/ready" && break; sleep 0.1; done
pop3=$(sed -n 's/^POP3_PORT=//p' "$dir/ready")
[ -n "$pop3" ] || fail "the test server did not start"

password='Pw-q7Zx!42'
smtp_password='Sm-9kLp?77'
# The SMTP side is the POP3 port: a server that refuses every SMTP command.
"$cli" config --folder "$folder" add-account --address me@example.org --user demo \
  --password "$password" --pop3 "127.0.0.1:$pop3" --smtp "127.0.0.1:$pop3" --timeout 5 \
  --smtp-auth --smtp-password "$smtp_password" >"$dir/out" 2>&1 || fail "add-account: $(cat "$dir/out")"

status=0
"$cli" check --folder "$folder" >>"$dir/out" 2>&1 || status=$?
[ "$status" = 1 ] || fail "check with a refused login exited $status"
status=0
"$cli" check --folder "$folder" --json >>"$dir/out" 2>&1 || status=$?
[ "$status" = 1 ] || fail "check --json with a refused login exited $status"
status=0
"$cli" send --folder "$folder" --to b@example.org --subject s >>"$dir/out" 2>&1 || status=$?
[ "$status" = 1 ] || fail "send to a refusing server exited $status"
"$cli" config --folder "$folder" show >>"$dir/out" 2>&1
grep -q "invalid\|refused\|rror\|ERR" "$dir/out" || fail "no refusal reported: $(cat "$dir/out")"
for secret in "$password" "$smtp_password"; do
  if grep -aF -- "$secret" "$dir/out"; then fail "a password was printed"; fi
done

# A configuration that cannot be read stops every command that would use or change it.
head -c 40 "$folder/Config.QDB" >"$dir/cut"
cp "$dir/cut" "$folder/Config.QDB"
for command in "check" "send --to b@example.org" "config show" "config set-user-name X"; do
  status=0
  read -r verb rest <<<"$command"
  # shellcheck disable=SC2086
  "$cli" "$verb" --folder "$folder" $rest >"$dir/out" 2>&1 || status=$?
  [ "$status" = 1 ] || fail "$command on a damaged Config.QDB exited $status: $(cat "$dir/out")"
  grep -q "Config.QDB" "$dir/out" || fail "$command does not name the file: $(cat "$dir/out")"
  cmp -s "$dir/cut" "$folder/Config.QDB" || fail "$command changed the damaged Config.QDB"
done
echo "ok"
