"""The package type-checks under mypy --strict, and the stubs of the native
modules match what the modules define at run time (mypy's stubtest)."""
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
NATIVE = ["velkora.native.hostprobe", "velkora.gpu.accelplan",
          "velkora.plugins.analyzer.adaptlogic"]


@pytest.mark.parametrize("command", [
    # Strict, over python/velkora, as pyproject.toml configures it.
    ["mypy"],
    # The stubs against the modules, both as the build tree holds them.
    ["mypy.stubtest", *NATIVE],
], ids=["mypy-strict", "stubtest"])
@pytest.mark.timeout(900)  # a hang guard: mypy on a cold cache, on a loaded machine
def test_types(command):
    # stubtest keeps its cache in the working directory whatever MYPY_CACHE_DIR
    # says, and the sources are no place for it: the install test copies them.
    # (mypy itself runs in the tree, where its configuration names the files,
    # and keeps its cache where MYPY_CACHE_DIR says.)
    with tempfile.TemporaryDirectory() as scratch:
        result = subprocess.run([sys.executable, "-m", *command],
                                cwd=scratch if command[0] == "mypy.stubtest" else ROOT,
                                capture_output=True, text=True, timeout=800)
    if result.returncode:
        pytest.fail(result.stdout + result.stderr, pytrace=False)
