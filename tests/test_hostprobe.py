"""velkora.native.hostprobe: the capability report, cores, NUMA nodes, GPU
backends and interpreter facts, with every fallback path."""
import os
import shutil
import stat
import sys
import tempfile
import time
import types
import unittest
from types import SimpleNamespace as NS

from support import run_python

import velkora.native.hostprobe as hp

REPORT_KEYS = ["physical_cores", "numa_nodes", "has_gpu", "gpu_count", "gpu_memory_mb",
               "cuda_available", "rocm_available", "oneapi_available", "active_backend",
               "backend_version", "python_version", "subinterpreter_support", "platform",
               "detected_at", "detector", "detection_time_ms"]
FALLBACK_KEYS = REPORT_KEYS[:15] + ["error", "detection_time_ms"]
DEFAULTS = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
            "rocm_available": False, "oneapi_available": False, "active_backend": "cpu",
            "backend_version": ""}
REGISTRY = "velkora.gpu.backend_registry"
SLEEP = shutil.which("sleep")


class Patching(unittest.TestCase):
    """Replacements of attributes and mapping entries, undone after each test."""

    def patch(self, obj, name, value):
        missing = object()
        old = getattr(obj, name, missing)
        setattr(obj, name, value)
        self.addCleanup(lambda: delattr(obj, name) if old is missing else setattr(obj, name, old))

    def patch_item(self, mapping, key, value):
        missing = object()
        old = mapping.get(key, missing)
        mapping[key] = value
        self.addCleanup(lambda: mapping.pop(key, None) if old is missing else mapping.__setitem__(key, old))


def raiser(exc):
    def f(*args, **kwargs):
        raise exc
    return f


class CapabilitiesTest(Patching):
    def test_namespace_in_fresh_interpreter(self):
        # Fresh: other tests delete and restore functions, which reorders.
        result = run_python("import velkora.native.hostprobe as hp\n"
                            "print(*[n for n in vars(hp) if not n.startswith('__')])")
        self.assertEqual(result.stdout.split(), ["sys", "os", "time", "detect_physical_cores",
                                                 "detect_numa_nodes", "detect_gpu_backends",
                                                 "detect_python_version", "detect_capabilities"])
        self.assertIn("Runtime platform detection (no compile-time conditionals)", hp.__doc__)

    def test_report(self):
        caps = hp.detect_capabilities()
        types_ = [int, int, bool, int, int, bool, bool, bool, str, str, str, bool, str, float, str, float]
        self.assertEqual([(k, type(v)) for k, v in caps.items()], list(zip(REPORT_KEYS, types_)))
        self.assertEqual(caps["python_version"], "%d.%d.%d" % sys.version_info[:3])
        backends = dict(DEFAULTS, has_gpu=True, gpu_count=2, gpu_memory_mb=24576,
                        cuda_available=True, active_backend="cuda", backend_version="12.4")
        self.patch(hp, "detect_gpu_backends", lambda: backends)
        self.patch(hp, "detect_python_version", lambda: iter(["3.12.9", True]))  # any iterable
        before = time.time()
        caps = hp.detect_capabilities()
        self.assertEqual({k: caps[k] for k in DEFAULTS}, backends)
        self.assertEqual([caps[k] for k in ("physical_cores", "numa_nodes", "python_version",
                                            "subinterpreter_support", "platform", "detector")],
                         [hp.detect_physical_cores(), hp.detect_numa_nodes(), "3.12.9", True,
                          sys.platform, "native"])
        self.assertTrue(before <= caps["detected_at"] <= time.time())
        self.assertGreaterEqual(caps["detection_time_ms"], 0.0)

    def test_fallback_report(self):
        missing_memory = {k: v for k, v in DEFAULTS.items() if k != "gpu_memory_mb"}
        rows = [
            ("detect_gpu_backends", lambda: missing_memory, "'gpu_memory_mb'"),
            ("detect_python_version", lambda: (), "need more than 0 values to unpack"),
            ("detect_python_version", lambda: ("3.12.1",), "need more than 1 value to unpack"),
            ("detect_python_version", lambda: ("3", True, 1), "too many values to unpack (expected 2)"),
            ("detect_python_version", lambda: iter(["3.12.1"]), "need more than 1 value to unpack"),
            ("detect_python_version", lambda: 5, "'int' object is not iterable"),
            ("detect_numa_nodes", raiser(OSError("sysfs gone")), "sysfs gone"),
            ("detect_physical_cores", None, "name 'detect_physical_cores' is not defined"),
        ]
        for name, replacement, error in rows:
            with self.subTest(name=name, error=error):
                self.patch(hp, name, replacement)
                if replacement is None:
                    delattr(hp, name)
                caps = hp.detect_capabilities()
                self.doCleanups()
                self.assertEqual(list(caps), FALLBACK_KEYS)
                self.assertEqual(caps["error"], error)
                expected = dict(DEFAULTS, physical_cores=os.cpu_count() or 1, numa_nodes=1,
                                python_version="%d.%d" % sys.version_info[:2],
                                subinterpreter_support=False, platform=sys.platform,
                                detector="native_fallback")
                self.assertEqual({k: caps[k] for k in expected}, expected)
                self.assertIsInstance(caps["detection_time_ms"], float)

    def test_fallback_core_count(self):
        self.patch(hp, "detect_numa_nodes", raiser(ValueError("x")))
        for count, expected in [(None, 1), (0, 1), (7, 7)]:
            with self.subTest(count=count):
                self.patch(hp, "os", NS(cpu_count=lambda: count))
                self.assertEqual(hp.detect_capabilities()["physical_cores"], expected)

    def test_failures_that_propagate(self):
        rows = [("detect_numa_nodes", raiser(KeyboardInterrupt()), KeyboardInterrupt),
                ("detect_gpu_backends", raiser(SystemExit(3)), SystemExit),
                ("time", NS(perf_counter=raiser(ValueError("clock"))), ValueError)]
        for name, replacement, exc_type in rows:
            with self.subTest(name=name):
                self.patch(hp, name, replacement)
                self.assertRaises(exc_type, hp.detect_capabilities)
                self.doCleanups()
        # An error while building the fallback report, chained to the first.
        self.patch(hp, "detect_numa_nodes", raiser(ValueError("first")))
        self.patch(hp, "os", NS(sched_getaffinity=lambda pid: {0}, cpu_count=raiser(RuntimeError())))
        with self.assertRaises(RuntimeError) as cm:
            hp.detect_capabilities()
        self.assertEqual(str(cm.exception.__context__), "first")

    def test_clock_read_through_namespace(self):
        ticks = iter([10, 12.5])
        self.patch(hp, "time", NS(perf_counter=lambda: next(ticks), time=lambda: 1.5))
        caps = hp.detect_capabilities()
        self.assertEqual((caps["detection_time_ms"], caps["detected_at"]), (2500.0, 1.5))


class PhysicalCoresTest(Patching):
    def test_counting(self):
        pids = []
        rows = [
            ("affinity", dict(sched_getaffinity=lambda pid: pids.append(pid) or {0, 2, 5},
                              cpu_count=lambda: 8), 3),
            ("affinity empty", dict(sched_getaffinity=lambda pid: set(), cpu_count=lambda: 8), 1),
            ("affinity raises", dict(sched_getaffinity=raiser(OSError()), cpu_count=lambda: 6), 6),
            ("both fail", dict(sched_getaffinity=raiser(OSError()), cpu_count=lambda: None), 1),
            ("no affinity", dict(cpu_count=lambda: 4), 4),
            ("no affinity, None", dict(cpu_count=lambda: None), 1),
            ("no affinity, negative", dict(cpu_count=lambda: -3), 1),
        ]
        for name, attrs, expected in rows:
            with self.subTest(name):
                self.patch(hp, "os", NS(**attrs))
                self.assertEqual(hp.detect_physical_cores(), expected)
        self.assertEqual(pids, [0])

    def test_fallback_failures_propagate(self):
        rows = [(dict(cpu_count=lambda: 2 ** 40), OverflowError, "value too large to convert to int"),
                (dict(sched_getaffinity=raiser(OSError("a")), cpu_count=raiser(RuntimeError("b"))),
                 RuntimeError, "b"),
                (dict(sched_getaffinity=raiser(KeyboardInterrupt())), KeyboardInterrupt, "")]
        for attrs, exc_type, message in rows:
            with self.subTest(message):
                self.patch(hp, "os", NS(**attrs))
                with self.assertRaises(exc_type) as cm:
                    hp.detect_physical_cores()
                self.assertEqual(str(cm.exception), message)

    def test_pinned_process(self):
        result = run_python("import os, velkora.native.hostprobe as hp\n"
                            "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n"
                            "print(hp.detect_physical_cores())")
        self.assertEqual(result.stdout.strip(), "1", result.stderr)


class NumaNodesTest(Patching):
    def linux(self, entries=None, exists=True):
        calls = []

        def listdir(path):
            calls.append(path)
            if isinstance(entries, BaseException):
                raise entries
            return entries

        self.patch(hp, "sys", NS(platform="linux"))
        self.patch(hp, "os", NS(path=NS(exists=lambda p: exists and p == "/sys/devices/system/node"),
                                listdir=listdir))
        return calls

    def test_sysfs(self):
        class Name(str):
            pass

        rows = [
            (["node0", "node1", "possible", "online", "has_cpu", "power", "uevent"], 2),
            (["node"], 1), ([], 1), (["node12"], 1), (["nodeX", "node1a", "xnode0"], 1),
            (["node\u0661", "node\u00b2", "node0"], 3),  # what str.isdigit accepts
            ([Name("node0"), Name("node1")], 2),
            ([b"node0"], 1),  # bytes.startswith(str) raises: absorbed
            (PermissionError(13, "denied"), 1),
        ]
        for entries, expected in rows:
            with self.subTest(entries=entries):
                calls = self.linux(entries)
                self.assertEqual((hp.detect_numa_nodes(), calls), (expected, ["/sys/devices/system/node"]))
        calls = self.linux(["node0", "node1"], exists=False)
        self.assertEqual((hp.detect_numa_nodes(), calls), (1, []))
        self.linux(KeyboardInterrupt())
        self.assertRaises(KeyboardInterrupt, hp.detect_numa_nodes)

    def test_other_platforms_touch_nothing(self):
        for platform in ("darwin", "cygwin", "freebsd14", "Linux", "linux2", "win32 "):
            with self.subTest(platform):
                self.patch(hp, "sys", NS(platform=platform))
                self.patch(hp, "os", None)  # any use would raise
                self.assertEqual(hp.detect_numa_nodes(), 1)

    def test_windows(self):
        def fake_ctypes(ok=1, highest=0, windll=None):
            wintypes = types.ModuleType("ctypes.wintypes")
            wintypes.BOOL = "BOOL"
            kernel32 = NS(GetNumaHighestNodeNumber=lambda ref: setattr(ref.target, "value", highest) or ok)
            ctypes = types.ModuleType("ctypes")
            ctypes.wintypes, ctypes.POINTER, ctypes.c_ulong = wintypes, lambda t: ("ptr", t), lambda: NS(value=0)
            ctypes.byref = lambda obj: NS(target=obj)
            ctypes.WinDLL = windll or (lambda name, **kw: opened.append((name, kw)) or kernel32)
            self.patch_item(sys.modules, "ctypes", ctypes)
            self.patch_item(sys.modules, "ctypes.wintypes", wintypes)
            return kernel32.GetNumaHighestNodeNumber, ctypes

        self.patch(hp, "sys", NS(platform="win32"))
        rows = [(dict(highest=0), 1), (dict(highest=3), 4), (dict(ok=0, highest=3), 1),
                (dict(ok=None, highest=3), 1), (dict(highest=2 ** 31 - 1), 1),
                (dict(windll=raiser(OSError("no kernel32"))), 1)]
        for kwargs, expected in rows:
            with self.subTest(**kwargs):
                opened = []
                function, ctypes = fake_ctypes(**kwargs)
                self.assertEqual(hp.detect_numa_nodes(), expected)
        opened = []
        function, ctypes = fake_ctypes(highest=1)
        self.assertEqual(hp.detect_numa_nodes(), 2)
        self.assertEqual(opened, [("kernel32", {"use_last_error": True})])
        self.assertEqual((function.restype, function.argtypes), ("BOOL", [("ptr", ctypes.c_ulong)]))
        self.patch_item(sys.modules, "ctypes", None)
        self.assertEqual(hp.detect_numa_nodes(), 1)


class PythonVersionTest(Patching):
    class VersionInfo(tuple):
        major, minor, micro = (property(lambda self, i=i: self[i]) for i in range(3))

    def test_versions(self):
        self.assertEqual(hp.detect_python_version(), ("%d.%d.%d" % sys.version_info[:3], True))
        fake_module = types.ModuleType("_xxsubinterpreters")
        rows = [((3, 11, 9), fake_module, False),  # too old: the module is not even looked up
                ((3, 12, 4), fake_module, True), ((3, 13, 0), None, False), ((4, 0, 10), fake_module, True)]
        for version, module, expected in rows:
            with self.subTest(version):
                self.patch(hp, "sys", NS(version_info=self.VersionInfo(version)))
                self.patch_item(sys.modules, "_xxsubinterpreters", module)
                self.assertEqual(hp.detect_python_version(), (".".join(map(str, version)), expected))

    def test_other_import_errors_propagate(self):
        class Finder:
            @staticmethod
            def find_spec(name, path=None, target=None):
                if name == "_xxsubinterpreters":
                    raise RuntimeError("finder broke")

        self.patch_item(sys.modules, "_xxsubinterpreters", None)
        del sys.modules["_xxsubinterpreters"]
        sys.meta_path.insert(0, Finder)
        self.addCleanup(sys.meta_path.remove, Finder)
        self.assertRaisesRegex(RuntimeError, "finder broke", hp.detect_python_version)


def registry_module(found, best, version="12.4", best_error=None, without=None):
    module = types.ModuleType(REGISTRY)

    class Registry:
        detect_available_backends = staticmethod(lambda: found)

        @staticmethod
        def get_best_available():
            if best_error is not None:
                raise best_error
            return NS(info=NS(kind=best, version=version))

    module.GPUBackendRegistry, module.GPUBackendKind = Registry, KINDS
    if without:
        delattr(module, without)
    return module


class Kind:
    def __init__(self, value):
        self.value = value


KINDS = NS(CUDA=Kind("cuda"), ROCm=Kind("rocm"), oneAPI=Kind("oneapi"), CPU=Kind("cpu"))


class GpuBackendsTest(Patching):
    def setUp(self):
        self.bin = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.bin)
        self.patch_item(os.environ, "PATH", self.bin)  # only the fake tools of each test

    def nvidia_smi(self, body):
        path = os.path.join(self.bin, "nvidia-smi")
        if body is None:
            return os.path.exists(path) and os.remove(path)
        with open(path, "w") as f:
            f.write(f"#!/bin/sh\nprintf '%s\\n' \"$@\" > {self.bin}/args\n{body}\n")
        os.chmod(path, stat.S_IRWXU)

    def test_registry_stage(self):
        cuda2 = {KINDS.CUDA: NS(device_count=2, memory_gb=24)}
        two_gpus = "printf 'GPU 0\\nGPU 1\\n'"
        rows = [
            ("CUDA best", cuda2, KINDS.CUDA, {}, dict(has_gpu=True, gpu_count=2, gpu_memory_mb=24576,
                                                      cuda_available=True, active_backend="cuda",
                                                      backend_version="12.4")),
            ("truncated memory", {KINDS.ROCm: NS(device_count=1, memory_gb=7.999)}, KINDS.ROCm, {},
             dict(has_gpu=True, gpu_count=1, gpu_memory_mb=8190, rocm_available=True,
                  active_backend="rocm", backend_version="12.4")),
            ("CPU best beside ROCm", {KINDS.ROCm: NS(device_count=1, memory_gb=8)}, KINDS.CPU,
             dict(version=""), dict(rocm_available=True)),
            ("best not listed", {}, KINDS.oneAPI, {}, dict(has_gpu=True, active_backend="oneapi",
                                                         backend_version="12.4")),
            ("best fails, no tool", cuda2, None, dict(best_error=RuntimeError()),
             dict(cuda_available=True)),
            ("best fails, tool decides", cuda2, None, dict(best_error=KeyError(), tool=two_gpus),
             dict(cuda_available=True, has_gpu=True, gpu_count=2)),
            ("name missing", cuda2, KINDS.CUDA, dict(without="GPUBackendKind"), {}),
        ]
        for name, found, best, extra, expected in rows:
            with self.subTest(name):
                self.nvidia_smi(extra.pop("tool", None))
                self.patch_item(sys.modules, REGISTRY, registry_module(found, best, **extra))
                self.assertEqual(hp.detect_gpu_backends(), dict(DEFAULTS, **expected))
        self.patch_item(sys.modules, REGISTRY, registry_module({}, None, best_error=KeyboardInterrupt()))
        self.assertRaises(KeyboardInterrupt, hp.detect_gpu_backends)

    def test_command_line_stage(self):
        rows = [("two GPUs", "printf 'NVIDIA H100\\nNVIDIA H100\\n'", dict(has_gpu=True, gpu_count=2)),
                ("lone newline", "printf '\\n'", dict(has_gpu=True, gpu_count=0)),
                ("blank lines between", "printf '\\n A \\n\\n\\t\\nB'", dict(has_gpu=True, gpu_count=2)),
                ("invalid UTF-8", "printf '\\377GPU 0\\n\\376\\377\\n'", dict(has_gpu=True, gpu_count=1)),
                ("non-zero exit", "printf 'GPU 0\\n'; exit 9", {}),
                ("silent", "exit 0", {}),
                ("slow", f"exec {SLEEP} 5", {}),
                ("absent", None, {})]
        self.patch_item(sys.modules, REGISTRY, None)
        for name, body, expected in rows:
            with self.subTest(name):
                self.nvidia_smi(body)
                start = time.monotonic()
                self.assertEqual(hp.detect_gpu_backends(), dict(DEFAULTS, **expected))
                elapsed = time.monotonic() - start
                if name == "slow":
                    # It waited for the tool's half second, then gave up well
                    # before the tool would have answered, however loaded the
                    # machine; how fast the others answer is the benchmark's.
                    self.assertTrue(0.45 < elapsed < 4.5, elapsed)
        with open(os.path.join(self.bin, "args")) as f:
            self.assertEqual(f.read(), "--query-gpu=name\n--format=csv,noheader\n")


if __name__ == "__main__":
    unittest.main()
