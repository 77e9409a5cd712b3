# Sourced by run.sh and tools/screenshots.sh: demo_start BUILD_DIR serves a fresh copy of the
# demo mailbox with norva-testserver on free loopback ports and prepares a program folder for
# it in "$demo/norva"; demo_stop stops the server and removes everything. Sets demo, pop3_port,
# smtp_port.
demo= server_pid=

demo_stop() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
  [ -n "$demo" ] && rm -rf "$demo"
  demo=
}

demo_start() {
  local build=$1 here base
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  base=${XDG_RUNTIME_DIR:-/tmp}
  [ -d "$base" ] && [ -w "$base" ] || base=/tmp
  demo=$(mktemp -d "$base/norva-demo.XXXXXX")
  python3 "$here/make-demo-mail.py" "$demo/mail" >/dev/null
  "$build/tools/norva-testserver" --maildir "$demo/mail" --user demo --password demo \
    --ready-file "$demo/ready" >/dev/null &
  server_pid=$!
  for _ in $(seq 100); do
    [ -f "$demo/ready" ] && break
    kill -0 "$server_pid" 2>/dev/null || { echo "norva-testserver did not start" >&2; return 1; }
    sleep 0.1
  done
  [ -f "$demo/ready" ] || { echo "norva-testserver did not become ready" >&2; return 1; }
  pop3_port=$(sed -n 's/^POP3_PORT=//p' "$demo/ready")
  smtp_port=$(sed -n 's/^SMTP_PORT=//p' "$demo/ready")
  DEMO_USER=demo DEMO_PASSWORD=demo \
    "$here/setup-demo.sh" "$demo/norva" "$pop3_port" "$smtp_port" "$build/src/cli/norva-cli"
}
