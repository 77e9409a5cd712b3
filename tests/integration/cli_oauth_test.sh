#!/usr/bin/env bash
# OAuth 2.0 logins of norva-cli against Dovecot, whose oauth2 passdb asks a small local
# introspection server (RFC 7662) about each token: POP3 and SMTP submission (relaying to the SMTP
# sink), OAUTHBEARER where Dovecot offers it, XOAUTH2 where it offers only that, and a refused
# token and a failing token command, each saying why.
# Usage: cli_oauth_test.sh NORVA_CLI   (exit 77 = skipped: no Dovecot, or it cannot run here)
set -euo pipefail
cli=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/../interop" && pwd -P)
[[ -x ${DOVECOT:-/usr/sbin/dovecot} ]] || { echo "SKIP: Dovecot is not installed"; exit 77; }
dir=$(mktemp -d /tmp/norva-oauth.XXXXXX)
chmod 0755 "$dir"
introspect_pid=
cleanup() {
  "$here/stop-pop3.sh" "$dir/dovecot" >/dev/null 2>&1 || true
  "$here/stop-smtp.sh" "$dir/sink" >/dev/null 2>&1 || true
  [[ -z $introspect_pid ]] || kill "$introspect_pid" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  tail -n 20 "$dir/dovecot/dovecot.log" >&2 2>/dev/null || true
  exit 1
}

# The introspection endpoint: "good-token" belongs to the mailbox's user, anything else is
# inactive. Each token asked about is logged.
python3 - "$dir" <<'PY' &
import http.server, json, sys, urllib.parse
folder = sys.argv[1]
class Introspect(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0))).decode()
        token = urllib.parse.parse_qs(body).get("token", [""])[0]
        with open(folder + "/tokens.log", "a") as log:
            log.write(token + "\n")
        answer = {"active": True, "username": "test"} if token == "good-token" else {"active": False}
        data = json.dumps(answer).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Introspect)
with open(folder + "/introspect.port.tmp", "w") as f:
    f.write(str(server.server_port))
import os
os.rename(folder + "/introspect.port.tmp", folder + "/introspect.port")
server.serve_forever()
PY
introspect_pid=$!
for _ in $(seq 1 50); do [[ -f $dir/introspect.port ]] && break; sleep 0.1; done
[[ -f $dir/introspect.port ]] || fail "the introspection server did not start"
url="http://127.0.0.1:$(cat "$dir/introspect.port")/introspect"

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
relay=$(free_port)
mkdir -p "$dir/sink"
"$here/start-smtp.sh" "$dir/sink" "$relay" >"$dir/sink.out" 2>&1 ||
  { echo "SKIP: the SMTP sink did not start: $(cat "$dir/sink.out")"; exit 77; }

start_dovecot() {  # start_dovecot MECHANISMS
  "$here/stop-pop3.sh" "$dir/dovecot" >/dev/null 2>&1 || true
  local port
  port=$(free_port)
  submission=$(free_port)
  [[ -x /usr/lib/dovecot/submission ]] || { echo "SKIP: dovecot-submissiond is not installed"; exit 77; }
  if ! POP3_OAUTH2_URL=$url POP3_OAUTH2_MECHS=$1 POP3_AUTH_FAILURE_DELAY="0 secs" \
    POP3_SUBMISSION_PORT=$submission POP3_RELAY_PORT=$relay \
    "$here/start-pop3.sh" "$dir/dovecot" "$port" >"$dir/start.out" 2>&1; then
    if [[ $EUID -ne 0 ]]; then echo "SKIP: Dovecot did not start without root"; exit 77; fi
    fail "Dovecot did not start: $(cat "$dir/start.out")"
  fi
  # shellcheck disable=SC1091
  source "$dir/dovecot/pop3.env"
  python3 "$here/fill-mailbox.py" "$POP3_MAILDIR" -n 3 --seed 7 --clear >/dev/null 2>&1
}

folder_with() {  # folder_with NAME TOKEN_COMMAND: a program folder with one OAuth mailbox
  mkdir -p "$dir/$1"
  "$cli" config --folder "$dir/$1" add-account --address test@oauth.example --user test \
    --pop3 "127.0.0.1:$POP3_PORT" --smtp "127.0.0.1:$submission" --smtp-auth --default \
    --timeout 10 --token-command "$2" >/dev/null
}

for mechanisms in "xoauth2 oauthbearer" "xoauth2"; do
  start_dovecot "$mechanisms"
  expected=OAUTHBEARER
  [[ $mechanisms == xoauth2 ]] && expected=XOAUTH2
  name=${expected,,}
  folder_with "$name" "echo good-token"
  "$cli" check --folder "$dir/$name" --json >"$dir/$name.json" 2>"$dir/$name.err" ||
    fail "$expected check exited $?: $(cat "$dir/$name.err")"
  count=$(python3 -c 'import json, sys; print(len(json.load(open(sys.argv[1]))))' "$dir/$name.json")
  [[ $count == 3 ]] || fail "$expected: $count messages listed, not 3"
  grep -q "pop3-login: Info: Login: user=<test>, method=$expected" "$dir/dovecot/dovecot.log" ||
    fail "Dovecot saw no POP3 $expected login"
  # The same token through submission, which relays the message to the sink.
  "$cli" send --folder "$dir/$name" --to rob@example.org --subject "over $expected" \
    2>"$dir/$name.send" || fail "$expected send: $(cat "$dir/$name.send")"
  grep -q "submission-login: Info: Login: user=<test>, method=$expected" "$dir/dovecot/dovecot.log" ||
    fail "Dovecot saw no submission $expected login"
  grep -lq "^Subject: over $expected" "$dir/sink/smtp/"*.eml 2>/dev/null ||
    fail "the message sent over $expected did not arrive"
done
grep -qx "good-token" "$dir/tokens.log" || fail "the introspection server saw no token"

# A token the provider no longer takes, and a token command that fails: nothing is listed and
# the user reads why.
folder_with refused "echo expired-token"
if "$cli" check --folder "$dir/refused" >/dev/null 2>"$dir/refused.err"; then fail "a refused token logged in"; fi
grep -q "Last connection attempt unsuccessful. The server refused the access token: -ERR" \
  "$dir/refused.err" || fail "refused token: $(cat "$dir/refused.err")"
grep -qx "expired-token" "$dir/tokens.log" || fail "the refused token never reached the provider"
folder_with broken "echo 'invalid_grant: token has been revoked' >&2; exit 2"
if "$cli" check --folder "$dir/broken" >/dev/null 2>"$dir/broken.err"; then fail "a failing token command logged in"; fi
grep -q "The token command failed (exit status 2): invalid_grant: token has been revoked" \
  "$dir/broken.err" || fail "failing token command: $(cat "$dir/broken.err")"
echo ok
