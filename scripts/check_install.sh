#!/usr/bin/env bash
# Installs the package with pip into a fresh virtual environment, as a user
# would, and uses it from outside the source tree.
# Usage: check_install.sh PYTHON SOURCE_DIR regular|editable
#   regular   pip install SOURCE_DIR
#   editable  pip install -e on a copy of SOURCE_DIR, whose Python files are
#             then edited to show that edits apply without reinstalling
set -euo pipefail
python=$1 src=$2 mode=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset PYTHONPATH VELKORA_TEST_PYROOT

"$python" -m venv "$work/venv"
install=("$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check)
case $mode in
  regular) "${install[@]}" "$src" ;;
  editable)
    mkdir "$work/src"
    # The sources as git knows them (tracked, and new files not ignored), never
    # a walk of the tree: other tests write caches and builds beside them.
    if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
      git -C "$src" ls-files -z --cached --others --exclude-standard |
        (cd "$src" && xargs -0 sh -c 'for f; do [ -f "$f" ] && printf "%s\0" "$f"; done' sh) |
        tar -C "$src" --null -T - -cf - | tar -C "$work/src" -xf -
    else
      # An unpacked source archive: nothing but the sources is in it.
      tar -C "$src" --exclude='./build*' --exclude=./.venv -cf - . | tar -C "$work/src" -xf -
    fi
    "${install[@]}" -e "$work/src"
    ;;
  *) echo "check_install.sh: unknown mode $mode" >&2; exit 2 ;;
esac

cd "$work"
"$work/venv/bin/python" - "$mode" "$work" <<'PY'
import importlib, importlib.metadata, json, subprocess, sys, sysconfig
from importlib import resources
from pathlib import Path

mode, work = sys.argv[1], Path(sys.argv[2])
site = Path(sysconfig.get_paths()["platlib"])
command = Path(sys.executable).parent / "velkora"


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout.strip()


# The compiled modules live in the environment either way; the Python files
# there, or in the tree for an editable install.
import velkora
for name in ("velkora.native.hostprobe", "velkora.gpu.accelplan",
             "velkora.plugins.analyzer.adaptlogic"):
    assert Path(importlib.import_module(name).__file__).is_relative_to(site), name
python_files = work / "src" / "python" if mode == "editable" else site
assert Path(velkora.__file__).is_relative_to(python_files), velkora.__file__
for stub in ("py.typed", "gpu/accelplan.pyi", "native/hostprobe.pyi",
             "plugins/analyzer/adaptlogic.pyi"):
    assert resources.files("velkora").joinpath(stub).is_file(), stub

version = importlib.metadata.version("velkora")
for argv in ([command, "--version"], [sys.executable, "-m", "velkora", "--version"]):
    assert run(*argv) == f"velkora {version}", (argv, run(*argv))
assert json.loads(run(command, "--json"))["detector"] == "native"
run(command, "plan", "100000,1000", "--dtype", "float32", "--free", "2000000000")

if mode == "editable":
    with open(python_files / "velkora" / "gpu" / "__init__.py", "a") as f:
        f.write("\nEDITED = True\n")
    assert run(sys.executable, "-c", "import velkora.gpu; print(velkora.gpu.EDITED)") == "True"
print(f"ok: {mode} install of velkora {version}")
PY
