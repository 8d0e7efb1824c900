"""`python -m velkora`: the capability report as a table or as JSON, and a
clear message where the native modules are not built."""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

from support import PYTHON

import velkora
from velkora._report import format_report

KEYS = ["physical_cores", "numa_nodes", "has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available",
        "rocm_available", "oneapi_available", "active_backend", "backend_version", "python_version",
        "subinterpreter_support", "platform", "detected_at", "detector", "detection_time_ms"]


def run_cli(*args, env=None):
    return subprocess.run([PYTHON, "-m", "velkora", *args], capture_output=True, text=True,
                          env=dict(os.environ, **(env or {})), timeout=180)


class CommandLineTest(unittest.TestCase):
    def test_probe(self):
        for args in [("--json",), ("probe", "--json"), ("--json", "probe"), (), ("probe",)]:
            with self.subTest(args=args):
                result = run_cli(*args)
                self.assertEqual(result.returncode, 0, result.stderr)
                if "--json" in args:
                    caps = json.loads(result.stdout)
                    self.assertEqual((list(caps), caps["detector"]), (KEYS, "native"))
                else:
                    lines = result.stdout.splitlines()
                    self.assertEqual((lines[0], len(lines)), ("Host capabilities", 18))
                    self.assertTrue(lines[2].startswith("  CPU quota         "), lines)
                    self.assertIn("  Detector          native", lines)

    def test_unbuilt_package(self):
        # The package's Python files without the compiled modules.
        with tempfile.TemporaryDirectory() as root:
            shutil.copytree(os.path.dirname(velkora.__file__), os.path.join(root, "velkora"),
                            ignore=shutil.ignore_patterns("*.so", "*.pyd"))
            result = run_cli("--json", env={"PYTHONPATH": root})
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
        self.assertTrue(result.stderr.startswith(
            "velkora: the native module velkora.native.hostprobe is not available ("), result.stderr)


class ReportTest(unittest.TestCase):
    def test_fallback_and_odd_values(self):
        caps = {"physical_cores": 4, "has_gpu": True, "gpu_memory_mb": 24576, "detected_at": "soon",
                "detector": "native_fallback", "error": "'gpu_memory_mb'", "detection_time_ms": 0.25,
                "extra": [1]}
        self.assertEqual(format_report(caps, cpu_quota=1.5, gpu_memory=[]).splitlines(), [
            "Host capabilities",
            "  Usable CPU cores  4",
            "  CPU quota         1.5 CPUs",
            "  GPU present       yes",
            "  GPU memory        24576 MiB",
            "  Detected at       'soon'",
            "  Detector          native_fallback",
            "  Error             'gpu_memory_mb'",
            "  Detection time    0.250 ms",
            "  extra             [1]"])


if __name__ == "__main__":
    unittest.main()
