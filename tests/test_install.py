"""pip installs the package, regular and editable, into fresh virtual
environments, where it works from outside the source tree; a bare
`cmake --install` is refused rather than leaving an unregistered package."""
import os
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


# A hang guard, not a speed bound: two builds at once on a loaded machine.
@pytest.mark.timeout(1200)
def test_pip_install():
    # Both at once: each spends most of its time in a build of its own.
    runs = {mode: subprocess.Popen(
                [ROOT / "scripts" / "check_install.sh", sys.executable, ROOT, mode],
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                start_new_session=True)
            for mode in ("regular", "editable")}
    failures = []
    try:
        for mode, run in runs.items():
            output = run.communicate(timeout=1100)[0]
            if run.returncode:
                failures.append(f"{mode} install failed:\n{output}")
    finally:
        for run in runs.values():
            if run.poll() is None:  # its pip and build too
                os.killpg(run.pid, signal.SIGKILL)
                run.wait()
    if failures:
        pytest.fail("\n".join(failures), pytrace=False)


def test_cmake_install_is_refused():
    if "VELKORA_TEST_PYROOT" not in os.environ:
        pytest.skip("needs the build tree that scripts/test.sh configures")
    build = Path(os.environ["VELKORA_TEST_PYROOT"]).parent
    with tempfile.TemporaryDirectory() as prefix:
        for target in (prefix, ""):  # an empty prefix used to mean /usr/local
            result = subprocess.run(["cmake", "--install", build, "--prefix", target],
                                    capture_output=True, text=True, timeout=60)
            assert result.returncode != 0
            assert "velkora installs with pip, not cmake --install" in result.stderr
            assert not os.listdir(prefix)
