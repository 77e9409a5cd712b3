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

# shellcheck source=tools/demo/demo-server.sh
. tools/demo/demo-server.sh
trap demo_stop EXIT
trap 'exit 130' INT TERM
demo_start "$build"
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
