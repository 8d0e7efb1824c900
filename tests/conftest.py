"""Settings of the test run: the hypothesis profile, the suites of the
sanitizer pass, and a check that the package under test is the build's."""
import importlib.util
import os
import time
from collections import Counter
from pathlib import Path

import pytest

# Tool caches stay out of the source tree (scripts/test.sh points them into
# the build it tests; this covers a suite run by hand): a test that copies or
# installs the sources must never read a file that another test is writing.
_CACHE = Path(__file__).resolve().parent.parent / "build" / "cache"
os.environ.setdefault("HYPOTHESIS_STORAGE_DIRECTORY", str(_CACHE / "hypothesis"))
os.environ.setdefault("MYPY_CACHE_DIR", str(_CACHE / "mypy"))

from hypothesis import HealthCheck, settings  # noqa: E402  (reads the setting above)

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


class FileProgress:
    """One line per test file as it finishes, so that a long session shows
    what has run: pytest-xdist's own progress says only how far it is."""

    def __init__(self, config: pytest.Config) -> None:
        self.plugins = config.pluginmanager
        self.expected: Counter[str] = Counter()
        self.finished: Counter[str] = Counter()
        self.failed: set[str] = set()
        self.start = time.monotonic()

    @pytest.hookimpl(optionalhook=True)
    def pytest_xdist_node_collection_finished(self, node: object, ids: list[str]) -> None:
        if not self.expected:  # every worker collects the same tests
            self.expected = Counter(nodeid.split("::")[0] for nodeid in ids)

    def pytest_collection_finish(self, session: pytest.Session) -> None:
        if session.items:  # without workers
            self.expected = Counter(item.nodeid.split("::")[0] for item in session.items)

    def pytest_runtest_logreport(self, report: pytest.TestReport) -> None:
        path = report.nodeid.split("::")[0]
        if report.failed:
            self.failed.add(report.nodeid)
        if report.when != "teardown":
            return
        self.finished[path] += 1
        # Looked up here: the reporter registers after this plugin.
        reporter = self.plugins.get_plugin("terminalreporter")
        if reporter is not None and self.finished[path] == self.expected.get(path):
            failed = sum(1 for nodeid in self.failed if nodeid.split("::")[0] == path)
            outcome = f"{failed} failed" if failed else "ok"
            if reporter._tw.width_of_current_line:  # after xdist's dots
                reporter.write("\n")
            reporter.write_line(f"finished {path}: {self.finished[path]} tests, {outcome} "
                                     f"({time.monotonic() - self.start:.0f} s into the session)")


def pytest_configure(config: pytest.Config) -> None:
    if not hasattr(config, "workerinput"):
        config.pluginmanager.register(FileProgress(config), "velkora-file-progress")
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
