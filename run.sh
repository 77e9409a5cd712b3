#!/usr/bin/env bash
# Installs what is missing, builds, and starts Norva on a demo: norva-testserver serves a fresh
# copy of the demo mailbox on free loopback ports, a demo program folder is set up for it, and
# the desktop application opens that folder (arguments after ./run.sh go to it). Without a
# display, or without the desktop application, the same check runs through norva-cli and its
# list is printed. The server stops with Norva or on Ctrl-C.
# BUILD_DIR (default build) and extra CMake options (CMAKE_ARGS) may be set in the environment.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build"

base=${XDG_RUNTIME_DIR:-/tmp}
[ -d "$base" ] && [ -w "$base" ] || base=/tmp
demo=$(mktemp -d "$base/norva-demo.XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$demo"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

python3 tools/demo/make-demo-mail.py "$demo/mail" >/dev/null
"$build/tools/norva-testserver" --maildir "$demo/mail" --user demo --password demo \
  --ready-file "$demo/ready" >/dev/null &
server_pid=$!
for _ in $(seq 100); do
  [ -f "$demo/ready" ] && break
  kill -0 "$server_pid" 2>/dev/null || { echo "run.sh: norva-testserver did not start" >&2; exit 1; }
  sleep 0.1
done
[ -f "$demo/ready" ] || { echo "run.sh: norva-testserver did not become ready" >&2; exit 1; }
pop3_port=$(sed -n 's/^POP3_PORT=//p' "$demo/ready")
smtp_port=$(sed -n 's/^SMTP_PORT=//p' "$demo/ready")
DEMO_USER=demo DEMO_PASSWORD=demo \
  tools/demo/setup-demo.sh "$demo/norva" "$pop3_port" "$smtp_port" "$build/src/cli/norva-cli"
echo "run.sh: demo mail server on 127.0.0.1, POP3 port $pop3_port, SMTP port $smtp_port" \
  "(user demo, password demo); mail to demo@norva.test arrives at the next check"

gui="$build/src/ui/norva"
if [ ! -x "$gui" ]; then
  echo "run.sh: no desktop application in $gui (built without Qt 6); checking with norva-cli"
elif [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are empty); checking with norva-cli"
else
  NORVA_FOLDER="$demo/norva" "$gui" "$@"
  exit
fi
"$build/src/cli/norva-cli" check --folder "$demo/norva"
