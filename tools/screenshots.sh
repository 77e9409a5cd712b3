#!/usr/bin/env bash
# Pictures of Norva's windows for the documentation: builds, starts the demo mail server and
# runs norva-screenshots under a virtual display (Xvfb), then tools/desktop-shots.sh with a tray
# and a notification daemon, writing PNGs into docs/screenshots/ (or the folder given).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshots}
build=${BUILD_DIR:-build}
./scripts/install-deps.sh --screenshots
cmake -S . -B "$build" -G Ninja ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build"
# shellcheck source=demo/demo-server.sh
. tools/demo/demo-server.sh
trap demo_stop EXIT
demo_start "$build"
mkdir -p "$out"
xvfb-run -a -s "-screen 0 1280x1024x24" \
  env QT_QPA_PLATFORM=xcb "$build/tools/screenshots/norva-screenshots" "$demo/norva" "$out"
# The notification and the tray, where a tray host and a notification daemon can be had.
if command -v trayer >/dev/null && command -v dunst >/dev/null && command -v xdotool >/dev/null &&
  command -v import >/dev/null && command -v dbus-run-session >/dev/null; then
  xvfb-run -a -s "-screen 0 1280x900x24" dbus-run-session -- \
    env QT_QPA_PLATFORM=xcb tools/desktop-shots.sh "$build" "$out"
else
  echo "no trayer, dunst, xdotool or import: the notification and tray pictures are not taken" >&2
fi
