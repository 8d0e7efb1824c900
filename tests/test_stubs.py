"""The package type-checks under mypy --strict, and the stubs of the native
modules match what the modules define at run time (mypy's stubtest)."""
import subprocess
import sys
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
def test_types(command):
    result = subprocess.run([sys.executable, "-m", *command], cwd=ROOT, capture_output=True,
                            text=True, timeout=280)
    if result.returncode:
        pytest.fail(result.stdout + result.stderr, pytrace=False)
