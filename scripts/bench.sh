#!/usr/bin/env bash
# Builds the modules with the bench-only floor and peer modules and runs the
# benchmark (bench/run.py); the tables are printed and written to
# bench/RESULTS.md. `--quick` runs fewer repeats and writes nothing.
#
# The peers bind the same rules through nanobind and pybind11, which come from
# the package index into a virtual environment of the bench build directory;
# nothing of it is shipped or used by the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELKORA_BENCH_DIR:-build-bench}
mkdir -p "$build" && build=$(cd "$build" && pwd)
configure() {
  cmake -S . -B "$build" -DVELKORA_BENCH=ON -DCMAKE_BUILD_TYPE=Release \
    ${Python_EXECUTABLE:+-DPython_EXECUTABLE="$Python_EXECUTABLE"} "$@" >/dev/null
}
configure
python=$(sed -n 's/^Python_EXECUTABLE:FILEPATH=//p' "$build/CMakeCache.txt")
venv="$build/venv"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
if ! "$venv/bin/python" -c 'import nanobind, pybind11' 2>/dev/null; then
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check \
    nanobind==3.1.0 pybind11==3.1.0
fi
configure -DVELKORA_PEERS_PYTHON="$venv/bin/python"
cmake --build "$build" -j "$(nproc)" >/dev/null
PYTHONPATH="$build/python" "$python" bench/pool.py "$@"
PYTHONPATH="$build/python" exec "$python" bench/run.py "$@"
