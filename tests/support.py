"""Shared helpers for the test suites."""
import os
import subprocess
import sys

PYTHON = sys.executable
SANITIZED = os.environ.get("VELKORA_SANITIZED") == "1"


def run_python(code, *args, env=None, timeout=60):
    """Runs `code` in a fresh interpreter with this test's environment."""
    full_env = dict(os.environ)
    if SANITIZED:
        # Fresh interpreters here exercise sub-interpreters and failed imports,
        # whose exit-time leaks are the interpreter's own; memory errors are
        # still fatal.
        full_env["ASAN_OPTIONS"] = full_env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    if env:
        full_env.update(env)
    return subprocess.run([PYTHON, "-c", code, *args], capture_output=True, text=True,
                          env=full_env, timeout=timeout)


def message(exc_info):
    return str(exc_info.exception)


class FloatLike:
    """A number known only through __float__, which runs `hook` first."""

    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __float__(self):
        if self.hook:
            self.hook()
        return self.value
