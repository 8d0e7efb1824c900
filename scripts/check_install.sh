#!/usr/bin/env bash
# Installs the package the two supported ways into fresh virtual environments
# and uses it from outside the source tree:
#   1. pip install --no-index .   (the in-tree build backend drives CMake)
#   2. cmake --install BUILD_DIR --prefix <site-packages>
# Usage: check_install.sh PYTHON SOURCE_DIR BUILD_DIR
set -euo pipefail
python=$1 src=$2 build=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset PYTHONPATH

use_package() {
  local venv_python=$1
  (cd "$work" && "$venv_python" - <<'PY'
import json, subprocess, sys
import velkora, velkora.native.hostprobe, velkora.gpu.accelplan, velkora.plugins.analyzer.adaptlogic
from importlib import resources
assert not velkora.__file__.startswith(sys.argv[0] or "/nonexistent"), velkora.__file__
for stub in ("py.typed", "gpu/accelplan.pyi", "native/hostprobe.pyi",
             "plugins/analyzer/adaptlogic.pyi"):
    assert resources.files("velkora").joinpath(stub).is_file(), stub
report = json.loads(subprocess.run([sys.executable, "-m", "velkora", "--json"],
                                   check=True, capture_output=True, text=True).stdout)
assert report["detector"] == "native", report
plan = subprocess.run([sys.executable, "-m", "velkora", "plan", "100000,1000", "--dtype",
                       "float32", "--free", "2000000000"], check=True, capture_output=True,
                      text=True).stdout
assert "Allocation fits in GPU memory" in plan, plan
print("ok:", velkora.__version__, velkora.__file__)
PY
  )
}

"$python" -m venv "$work/pip-venv"
"$work/pip-venv/bin/python" -m pip install --quiet --no-index --disable-pip-version-check "$src"
use_package "$work/pip-venv/bin/python"

"$python" -m venv "$work/cmake-venv"
site=$("$work/cmake-venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
cmake --install "$build" --prefix "$site" >/dev/null
use_package "$work/cmake-venv/bin/python"
