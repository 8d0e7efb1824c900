#!/usr/bin/env bash
# The main job: builds the native modules where needed, then prints this
# host's capability report (arguments go to the velkora command, e.g. --json).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/python-env.sh
build=${VELKORA_BUILD_DIR:-build}

if [ ! -f "$build/CMakeCache.txt" ]; then
  velkora_venv
  echo "velkora: first run: building the native modules into $build/" >&2
  cmake -S . -B "$build" -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
fi
# Real work shows as progress lines (nothing when all is up to date); a
# failed build shows its whole log.
log="$build/build.log"
if ! cmake --build "$build" -j "$(nproc)" 2>&1 | tee "$log" | sed -uEn \
    -e 's#^\[ *([0-9]+%|[0-9]+/[0-9]+)\] Building CXX object .*\.dir/(.*)\.o$#  [\1] compiling \2#p' \
    -e 's#^\[ *([0-9]+%|[0-9]+/[0-9]+)\] Linking CXX .* ([^/ ]*/)*([^/.]+)[^/]*$#  [\1] linking \3#p' >&2
then
  cat "$log" >&2
  echo "velkora: the build failed (log: $log)" >&2
  exit 1
fi
python=$(sed -n "s/^Python_EXECUTABLE:[A-Z]*=//p" "$build/CMakeCache.txt")
PYTHONPATH="$PWD/$build/python" exec "$python" -m velkora "$@"
