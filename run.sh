#!/usr/bin/env bash
# Installs what is missing, builds and starts Norva.
# Until the desktop application exists this shows the headless tool's help.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build"
if [ -x "$build/src/ui/norva" ]; then
  exec "$build/src/ui/norva" "$@"
fi
exec "$build/src/cli/norva-cli" "${@:-help}"
