#!/usr/bin/env bash
# Builds the modules with the bench-only floor module and runs the benchmark
# (bench/run.py); the table is printed and written to bench/RESULTS.md.
# `--quick` runs fewer repeats and writes nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELKORA_BENCH_DIR:-build-bench}
cmake -S . -B "$build" -DVELKORA_BENCH=ON -DCMAKE_BUILD_TYPE=Release \
  ${Python_EXECUTABLE:+-DPython_EXECUTABLE="$Python_EXECUTABLE"} >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
python=$(sed -n 's/^Python_EXECUTABLE:FILEPATH=//p' "$build/CMakeCache.txt")
PYTHONPATH="$PWD/$build/python" exec "$python" bench/run.py "$@"
