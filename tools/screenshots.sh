#!/usr/bin/env bash
# Pictures of Norva's windows for the documentation: builds, starts the demo mail server and
# runs norva-screenshots under a virtual display (Xvfb), writing PNGs into docs/screenshots/
# (or the folder given).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshots}
build=${BUILD_DIR:-build}
./scripts/install-deps.sh
cmake -S . -B "$build" -G Ninja ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build"
# shellcheck source=demo/demo-server.sh
. tools/demo/demo-server.sh
trap demo_stop EXIT
demo_start "$build"
mkdir -p "$out"
xvfb-run -a -s "-screen 0 1280x1024x24" \
  env QT_QPA_PLATFORM=xcb "$build/tools/screenshots/norva-screenshots" "$demo/norva" "$out"
