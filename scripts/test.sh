#!/usr/bin/env bash
# Builds from scratch and runs every test with pytest: on the normal build
# the suites that drive the native modules, then the package layer's in a
# session of their own; then the native suites once more on a build under
# AddressSanitizer and UndefinedBehaviorSanitizer (skip that pass with
# VELKORA_SKIP_SANITIZE=1). Every pass runs even when an earlier one fails;
# the last lines name the passes that failed, each beside pytest's summary,
# and the exit status is non-zero if any did. The test tools come from the
# project's virtual environment .venv, made and kept current here from
# pyproject.toml's `test` and `cluster` extras. Arguments go to CMake's
# configure step, those after `--` to pytest (e.g. `./scripts/test.sh -- -k plan`).
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
    ${cmake_args[@]+"${cmake_args[@]}"} &&
    cmake --build "$dir" -j "$jobs"
}

# One pytest session on a build, with the environment the build wrote (the
# built package's path, the sanitizer settings, the tool caches); each test
# file runs whole in one worker process. Its output is kept in the build
# tree too, for the summary.
run_tests() {
  local dir=$1 suites=$2
  (
    while IFS= read -r setting; do export "$setting"; done <"$dir/pytest.env"
    "$python" -m pytest -p no:cacheprovider -n "$jobs" --dist loadfile --suites "$suites" \
      ${pytest_args[@]+"${pytest_args[@]}"} 2>&1 | tee "$dir/pytest-$suites.log"
  )
}

# pass NAME LOG COMMAND...: runs one pass to its end whatever happens, and
# remembers how it went and pytest's last summary line.
names=() outcomes=() summaries=()
pass() {
  local name=$1 log=$2 status=0; shift 2
  echo "== $name =="
  "$@" || status=$?
  names+=("$name")
  outcomes+=("$status")
  summaries+=("$(grep -E '^=+ .* in [0-9.]+s( \([0-9:]+\))? =+$' "$log" 2>/dev/null | tail -n 1 || true)")
}

native() { build build && run_tests build native; }
package() { [ -f build/pytest.env ] && run_tests build package; }
sanitized() {
  build build-sanitize -DVELKORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug &&
    run_tests build-sanitize native
}

pass "the native-module suites" build/pytest-native.log native
pass "the package layer's suites" build/pytest-package.log package
if [ "${VELKORA_SKIP_SANITIZE:-0}" != 1 ]; then
  pass "the native-module suites under AddressSanitizer and UndefinedBehaviorSanitizer" \
    build-sanitize/pytest-native.log sanitized
fi

failed=()
for i in "${!names[@]}"; do
  [ "${outcomes[$i]}" = 0 ] || failed+=("${names[$i]}")
done
echo "== summary =="
if [ ${#failed[@]} -gt 0 ]; then
  echo "velkora: ${#failed[@]} of ${#names[@]} passes FAILED: $(printf '%s; ' "${failed[@]}")"
else
  echo "velkora: all ${#names[@]} passes passed"
fi
for i in "${!names[@]}"; do
  if [ "${outcomes[$i]}" = 0 ]; then state=passed; else state="FAILED (exit ${outcomes[$i]})"; fi
  echo "${names[$i]}: $state"
  echo "  ${summaries[$i]:-(no pytest summary: the build or the session stopped first)}"
done
[ ${#failed[@]} -eq 0 ]
