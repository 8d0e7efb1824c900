"""Settings of the test run: the hypothesis profile, the suites of the
sanitizer pass, and a check that the package under test is the build's."""
import importlib.util
import os
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

from support import SANITIZED

# Repeatable and bounded: the same examples on every run, nothing kept between
# runs, and no per-example deadline on a shared, loaded machine.
settings.register_profile(
    "velkora", database=None, derandomize=True, deadline=None, print_blob=False,
    max_examples=50 if SANITIZED else 200, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("velkora")

# The suites that drive the native modules, and the only ones the sanitizer
# pass runs. scripts/test.sh runs them in a session of their own: the
# package layer's suites (pip, mypy, pools, clusters, the command line) may
# leave threads of other libraries behind, which would disturb the
# process-wide counts of the leak checks.
NATIVE_SUITES = {"test_accelplan", "test_adaptlogic", "test_frame", "test_fuzz", "test_hostile",
                 "test_hostprobe", "test_refleaks", "test_registry", "test_threads",
                 "test_gpu_memory"}


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption("--suites", choices=("all", "native", "package"),
                     default="native" if SANITIZED else "all",
                     help="which test files to run: all, the native-module suites, or the rest")


def pytest_ignore_collect(collection_path: Path, config: pytest.Config) -> bool | None:
    suites = config.getoption("--suites")
    if suites == "all" or collection_path.suffix != ".py" or \
            not collection_path.name.startswith("test_"):
        return None
    return (collection_path.stem in NATIVE_SUITES) != (suites == "native")


def pytest_configure(config: pytest.Config) -> None:
    # An editable install in the test environment takes precedence over
    # PYTHONPATH, and the tests would silently run against it.
    build = os.environ.get("VELKORA_TEST_PYROOT")
    if not build:
        return
    for name in ("velkora.native.hostprobe", "velkora.gpu.accelplan",
                 "velkora.plugins.analyzer.adaptlogic"):
        spec = importlib.util.find_spec(name)
        origin = spec.origin if spec else None
        if origin is None or not Path(origin).is_relative_to(build):
            pytest.exit(f"{name} would load from {origin}, not from the build tree {build}; "
                        "uninstall velkora from this environment (pip uninstall velkora)",
                        returncode=3)
