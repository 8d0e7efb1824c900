#!/usr/bin/env bash
# Builds from scratch and runs every test with pytest: on the normal build
# the suites that drive the native modules, then the package layer's in a
# session of their own; then the native suites once more on a build under
# AddressSanitizer and UndefinedBehaviorSanitizer (skip that pass with
# VELKORA_SKIP_SANITIZE=1). The test tools come from the project's virtual
# environment .venv, made and kept current here from pyproject.toml's `test`
# and `cluster` extras. Arguments go to CMake's configure step, those after
# `--` to pytest (e.g. `./scripts/test.sh -- -k plan`).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/python-env.sh
cmake_args=() pytest_args=()
while [ $# -gt 0 ]; do
  if [ "$1" = -- ]; then shift; pytest_args=("$@"); break; fi
  cmake_args+=("$1"); shift
done
jobs=$(nproc)
velkora_venv test cluster
python=$PWD/.venv/bin/python

build() {
  local dir=$1; shift
  rm -rf "$dir"
  cmake -S . -B "$dir" -DVELKORA_WERROR=ON -DPython_EXECUTABLE="$python" "$@" \
    ${cmake_args[@]+"${cmake_args[@]}"}
  cmake --build "$dir" -j "$jobs"
}

# One pytest session on a build, with the environment the build wrote (the
# built package's path, the sanitizer settings); each test file runs whole
# in one worker process.
run_tests() {
  local dir=$1; shift
  (
    while IFS= read -r setting; do export "$setting"; done <"$dir/pytest.env"
    exec "$python" -m pytest -p no:cacheprovider -n "$jobs" --dist loadfile "$@" \
      ${pytest_args[@]+"${pytest_args[@]}"}
  )
}

build build
echo "== the native-module suites =="
run_tests build --suites native
echo "== the package layer's suites =="
run_tests build --suites package
if [ "${VELKORA_SKIP_SANITIZE:-0}" != 1 ]; then
  build build-sanitize -DVELKORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
  echo "== the native-module suites under AddressSanitizer and UndefinedBehaviorSanitizer =="
  run_tests build-sanitize --suites native
fi
