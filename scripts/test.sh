#!/usr/bin/env bash
# Builds from scratch and runs every test: once in the normal build, once
# under AddressSanitizer and UndefinedBehaviorSanitizer (skip the second with
# VELKORA_SKIP_SANITIZE=1). Extra arguments go to CMake's configure step, for
# example -DPython_EXECUTABLE=/path/to/python3.12.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

build_and_test() {
  local dir=$1; shift
  rm -rf "$dir"
  cmake -S . -B "$dir" -DVELKORA_WERROR=ON "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

build_and_test build "$@"
if [ "${VELKORA_SKIP_SANITIZE:-0}" != 1 ]; then
  echo "== the same suites under AddressSanitizer and UndefinedBehaviorSanitizer =="
  build_and_test build-sanitize -DVELKORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug "$@"
fi
