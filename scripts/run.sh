#!/usr/bin/env bash
# Builds if needed, then prints this host's capability report
# (arguments go to `python -m velkora`, e.g. --json).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELKORA_BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" ${Python_EXECUTABLE:+-DPython_EXECUTABLE="$Python_EXECUTABLE"} >/dev/null
fi
cmake --build "$build" -j "$(nproc)" >/dev/null
python=$(sed -n 's/^Python_EXECUTABLE:FILEPATH=//p' "$build/CMakeCache.txt")
PYTHONPATH="$PWD/$build/python" exec "$python" -m velkora "$@"
