# Sourced by the scripts: finds Python 3.12 and keeps the project's virtual
# environment .venv current. Nothing here relies on a `python3.12` command
# that works: pyenv's shims may exist without 3.12 being selected.

# A working Python 3.12: $Python_EXECUTABLE where set, else `python3.12` on
# PATH, else the newest pyenv-installed 3.12. Each candidate is run before it
# is trusted.
velkora_find_python() {
  local -a candidates=()
  local root candidate
  if [ -n "${Python_EXECUTABLE:-}" ]; then
    candidates=("$Python_EXECUTABLE")
  else
    candidates+=("$(command -v python3.12 || true)")
    for root in "$(pyenv root 2>/dev/null || true)" "${PYENV_ROOT:-}" "$HOME/.pyenv"; do
      [ -n "$root" ] || continue
      while IFS= read -r candidate; do
        candidates+=("$candidate")
      done < <(ls -d "$root"/versions/3.12*/bin/python3.12 2>/dev/null | sort -rV)
    done
  fi
  for candidate in "${candidates[@]}"; do
    if [ -n "$candidate" ] && _velkora_is_312 "$candidate"; then
      echo "$candidate"
      return 0
    fi
  done
  if [ -n "${Python_EXECUTABLE:-}" ]; then
    echo "velkora: Python_EXECUTABLE=$Python_EXECUTABLE is not a working Python 3.12" >&2
  else
    echo "velkora: no Python 3.12 found (neither a working python3.12 on PATH nor a" \
         "pyenv-installed 3.12); install one, or set Python_EXECUTABLE=/path/to/python3.12" >&2
  fi
  return 1
}

_velkora_is_312() {
  "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null
}

# Makes .venv from Python 3.12 where it is missing or broken, then installs the
# requirements of the extras named (pyproject.toml's optional dependencies)
# whenever they differ from what was installed last. The venv's python is
# what the build and the tests use.
velkora_venv() {
  local venv=.venv python wanted stamp
  if ! _velkora_is_312 "$venv/bin/python"; then
    python=$(velkora_find_python) || return 1
    echo "velkora: creating the project's virtual environment $venv from $python" >&2
    rm -rf "$venv"
    # pip is added when something is to be installed: the main job needs none.
    "$python" -m venv --without-pip "$venv"
  fi
  [ $# -gt 0 ] || return 0
  if ! "$venv/bin/python" -m pip --version >/dev/null 2>&1; then
    "$venv/bin/python" -m ensurepip --default-pip >/dev/null
  fi
  wanted=$("$venv/bin/python" - "$@" <<'PY'
import sys, tomllib
with open("pyproject.toml", "rb") as f:
    extras = tomllib.load(f)["project"]["optional-dependencies"]
for name in sys.argv[1:]:
    print("\n".join(extras[name]))
PY
  ) || return 1
  stamp="$venv/.velkora-requirements"
  if [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
    echo "velkora: installing the test tools into $venv (extras: $*)" >&2
    # (Some machines' pip configuration names index folders that are absent;
    # pip's notice of each is noise here.)
    # pip's own lines (collecting, downloading, installing) are the progress.
    "$venv/bin/python" -m pip install --progress-bar off --disable-pip-version-check \
      -r /dev/stdin <<<"$wanted" 2>&1 |
      { grep --line-buffered -v -e "^WARNING: Location '.*' is ignored: it is neither" \
          -e "^Requirement already satisfied" -e "^  Using cached" || true; } >&2
    [ "${PIPESTATUS[0]}" = 0 ] || return 1
    echo "$wanted" >"$stamp"
  fi
}
