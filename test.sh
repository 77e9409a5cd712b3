#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the whole test suite.
# BUILD_DIR (default build) and extra CMake options (CMAKE_ARGS) may be set in the environment.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja ${CMAKE_ARGS:-}
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
