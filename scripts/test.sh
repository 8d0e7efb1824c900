#!/usr/bin/env bash
# Builds from scratch and runs every test. Extra arguments go to CMake's
# configure step (for example -DPython_EXECUTABLE=/path/to/python3.12).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELKORA_BUILD_DIR:-build}
rm -rf "$build"
cmake -S . -B "$build" -DVELKORA_WERROR=ON "$@"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
