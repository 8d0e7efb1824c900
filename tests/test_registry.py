"""velkora.gpu.backend_registry: presence checks, driver queries against fake
libraries, caching and choice of the best backend, and the probe on top."""
import copy
import ctypes
import os
import pickle
import tempfile
import unittest
from types import SimpleNamespace as NS

from support import run_python

import velkora.gpu._drivers as drivers
import velkora.gpu.backend_registry as br
import velkora.native.hostprobe as hp
from velkora.gpu.backend_registry import BackendInfo, DeviceInfo, GPUBackendKind, GPUBackendRegistry

CUDA, ROCM, ONEAPI, CPU = GPUBackendKind.CUDA, GPUBackendKind.ROCm, GPUBackendKind.oneAPI, GPUBackendKind.CPU
GIB = 2 ** 30


class RegistryCase(unittest.TestCase):
    def setUp(self):
        GPUBackendRegistry.clear_cache()
        self.addCleanup(GPUBackendRegistry.clear_cache)

    def patch(self, obj, name, value):
        old = getattr(obj, name)
        setattr(obj, name, value)
        self.addCleanup(setattr, obj, name, old)


def out(ref):
    """The object a ctypes.byref() argument points at."""
    return ref._obj


def fake_runtime(kind, memories, version, status=None, missing=()):
    """A CUDA driver or HIP runtime answering with `memories` (bytes per device);
    `status` maps a function name to the error it returns."""
    names = drivers._RUNTIME_CALLS[kind]
    status = status or {}

    def call(name, action):
        def f(*args):
            if name in status:
                return status[name]
            action(*args)
            return 0
        return f

    def set_name(buf, length, device):
        buf.value = f"GPU {device}".encode()

    functions = {"cuInit": call("cuInit", lambda flags: None),
                 names[0]: call(names[0], lambda ref: setattr(out(ref), "value", len(memories))),
                 names[1]: call(names[1], lambda ref: setattr(out(ref), "value", version)),
                 names[2]: call(names[2], lambda ref, i: setattr(out(ref), "value", i)),
                 names[3]: call(names[3], lambda ref, d: setattr(out(ref), "value", memories[d])),
                 names[4]: call(names[4], set_name)}
    return NS(**{n: f for n, f in functions.items() if n not in missing})


def fake_level_zero(devices, api_version=0x00010003):
    """A Level Zero loader with one driver; devices are (type, [bank sizes])."""
    def listing(items):
        def f(*args):
            count, array = out(args[-2]), args[-1]
            count.value = len(items)
            if array is not None:
                for i, item in enumerate(items):
                    array[i] = item
            return 0
        return f

    def properties(device, ref):
        assert out(ref).stype == 0x3
        out(ref).type = devices[device - 100][0]
        out(ref).name = b"Arc %d" % device
        return 0

    def memory(device, ref, array):
        banks = devices[device - 100][1]
        out(ref).value = len(banks)
        if array is not None:
            assert all(bank.stype == 0x7 for bank in array)
            for bank, size in zip(array, banks):
                bank.totalSize = size
        return 0

    def api(driver, ref):
        out(ref).value = api_version
        return 0

    return NS(zeInit=lambda flags: 0, zeDriverGet=listing([7]), zeDriverGetApiVersion=api,
              zeDeviceGet=listing([100 + i for i in range(len(devices))]),
              zeDeviceGetProperties=properties, zeDeviceGetMemoryProperties=memory)


class KindTest(unittest.TestCase):
    def test_members(self):
        rows = [(CUDA, "CUDA", "cuda"), (ROCM, "ROCm", "rocm"), (ONEAPI, "oneAPI", "oneapi"), (CPU, "CPU", "cpu")]
        self.assertEqual(list(GPUBackendKind), [row[0] for row in rows])
        for member, name, value in rows:
            with self.subTest(name):
                self.assertEqual((member.name, member.value), (name, value))
                self.assertIs(GPUBackendKind(value), member)
                self.assertIsInstance(member, GPUBackendKind)
                for clone in (pickle.loads(pickle.dumps(member)), copy.copy(member), copy.deepcopy(member)):
                    self.assertIs(clone, member)
        self.assertEqual(repr(CUDA), "<GPUBackendKind.CUDA: 'cuda'>")
        self.assertRaisesRegex(ValueError, "'metal' is not a valid GPUBackendKind", GPUBackendKind, "metal")


class PresenceTest(RegistryCase):
    def setUp(self):
        super().setUp()
        self.root = tempfile.TemporaryDirectory()
        self.addCleanup(self.root.cleanup)
        root = self.root.name
        self.patch(br, "_DXG", os.path.join(root, "dxg"))
        self.patch(br, "_LINUX_NODES", {CUDA: os.path.join(root, "nvidiactl"), ROCM: os.path.join(root, "kfd")})
        self.patch(br, "_DRI_DIR", os.path.join(root, "dri"))
        self.patch(br, "_DRM_CLASS_DIR", os.path.join(root, "drm"))

    def make(self, *paths, content=""):
        for path in paths:
            full = os.path.join(self.root.name, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "w") as f:
                f.write(content)

    def test_linux_markers(self):
        rows = [((), "", []), (("nvidiactl",), "", [CUDA]), (("kfd",), "", [ROCM]),
                (("nvidiactl", "kfd"), "", [CUDA, ROCM]), (("dxg",), "", [CUDA, ROCM, ONEAPI]),
                (("dri/renderD128", "drm/renderD128/device/vendor"), "0x8086\n", [ONEAPI]),
                (("dri/renderD128", "drm/renderD128/device/vendor"), "0x10de\n", []),
                (("dri/card0", "drm/card0/device/vendor"), "0x8086\n", []),
                (("dri/renderD129",), "", [])]  # no vendor file
        for paths, content, expected in rows:
            with self.subTest(paths=paths, content=content):
                self.root.cleanup()
                os.mkdir(self.root.name)
                self.make(*paths, content=content)
                self.patch(br, "sys", NS(platform="linux"))
                self.assertEqual(br._present_kinds(), expected)

    def test_other_platforms(self):
        self.make("nvidiactl", "kfd", "dxg", "Windows/System32/nvcuda.dll", "Windows/System32/ze_loader.dll")
        old = os.environ.get("SystemRoot")
        os.environ["SystemRoot"] = os.path.join(self.root.name, "Windows")
        self.addCleanup(lambda: os.environ.pop("SystemRoot") if old is None else os.environ.update(SystemRoot=old))
        for platform, expected in [("darwin", []), ("freebsd14", []), ("win32", [CUDA, ONEAPI])]:
            with self.subTest(platform):
                self.patch(br, "sys", NS(platform=platform))
                self.assertEqual(br._present_kinds(), expected)


class QueryTest(RegistryCase):
    def query(self, kind, lib):
        self.patch(drivers, "_load_library", lambda k: lib)
        return br._query(kind)

    def test_runtimes(self):
        rows = [(CUDA, [24 * GIB, 16 * GIB], 12040, "12.4"), (CUDA, [int(7.5 * GIB)], 11080, "11.8"),
                (ROCM, [64 * GIB, 64 * GIB, 64 * GIB], 60140091, "6.1")]
        for kind, memories, version, text in rows:
            with self.subTest(kind=kind, version=version):
                info = self.query(kind, fake_runtime(kind, memories, version))
                self.assertEqual((info.kind, info.device_count, info.memory_gb, info.version),
                                 (kind, len(memories), min(memories) / GIB, text))
                self.assertEqual([(d.index, d.name) for d in info.devices],
                                 [(i, f"GPU {i}") for i in range(len(memories))])

    def test_unusable_runtimes_are_absent(self):
        rows = [(CUDA, dict(status={"cuInit": 100})), (CUDA, dict(status={"cuDeviceTotalMem_v2": 1})),
                (CUDA, dict(missing=("cuDeviceGetName",))), (ROCM, dict(status={"hipGetDeviceCount": 100})),
                (ROCM, dict(memories=[]))]
        for kind, options in rows:
            with self.subTest(kind=kind, **options):
                options.setdefault("memories", [GIB])
                self.assertIsNone(self.query(kind, fake_runtime(kind, version=1, **options)))
        self.assertIsNone(self.query(CUDA, None))  # library not loadable

    def test_level_zero(self):
        info = self.query(ONEAPI, fake_level_zero([(1, [8 * GIB, 8 * GIB]), (2, [GIB]), (1, [12 * GIB])]))
        self.assertEqual((info.device_count, info.memory_gb, info.version), (2, 12.0, "1.3"))
        self.assertEqual([d.name for d in info.devices], ["Arc 100", "Arc 102"])
        self.assertIsNone(self.query(ONEAPI, fake_level_zero([(2, [GIB])])))  # no GPU among them

    def test_real_library_failure_is_absent(self):
        lib = ctypes.CDLL(None)  # the process itself: no driver symbols at all
        self.assertIsNone(self.query(CUDA, lib))
        self.assertIsNone(self.query(ONEAPI, lib))


class RegistryTest(RegistryCase):
    def detected(self, infos):
        calls = []
        self.patch(br, "_present_kinds", lambda: calls.append(1) or list(infos))
        self.patch(br, "_query", lambda kind: infos[kind])
        return calls

    def test_best_and_cache(self):
        one = lambda kind: BackendInfo(kind, "1.0", [DeviceInfo(0, "x", 8.0)])
        rows = [({}, CPU), ({ROCM: one(ROCM), ONEAPI: one(ONEAPI)}, ROCM),
                ({ONEAPI: one(ONEAPI), CUDA: one(CUDA)}, CUDA), ({ROCM: None}, CPU)]
        for infos, best in rows:
            with self.subTest(infos=infos):
                GPUBackendRegistry.clear_cache()
                calls = self.detected(infos)
                found = GPUBackendRegistry.detect_available_backends()
                self.assertEqual(found, {k: v for k, v in infos.items() if v is not None})
                found.clear()  # a caller's copy: the cache stays whole
                chosen = GPUBackendRegistry.get_best_available().info
                self.assertIs(chosen.kind, best)
                self.assertEqual(len(calls), 1)
                if best is CPU:
                    self.assertEqual((chosen.version, chosen.device_count, chosen.memory_gb), ("", 0, 0.0))

    def test_probe_reports_registry(self):
        self.detected({ROCM: BackendInfo(ROCM, "6.1", [DeviceInfo(0, "a", 7.999), DeviceInfo(1, "b", 64.0)]),
                       ONEAPI: BackendInfo(ONEAPI, "1.3", [DeviceInfo(0, "c", 16.0)])})
        self.assertEqual(hp.detect_gpu_backends(), {
            "has_gpu": True, "gpu_count": 2, "gpu_memory_mb": 8190, "cuda_available": False,
            "rocm_available": True, "oneapi_available": True, "active_backend": "rocm",
            "backend_version": "6.1"})


class ThisHostTest(unittest.TestCase):
    """The real registry here: no GPU driver on the build machines."""

    def setUp(self):
        if br._present_kinds():
            self.skipTest("this host shows a GPU driver")

    def test_fresh_interpreter(self):
        result = run_python(
            "import sys\n"
            "import velkora.native.hostprobe as hp\n"
            "from velkora.gpu.backend_registry import GPUBackendRegistry as R, GPUBackendKind as K\n"
            "caps = hp.detect_capabilities()\n"
            "best = R.get_best_available().info\n"
            "print(repr([caps['detector'], caps['active_backend'], R.detect_available_backends() == {},\n"
            "            best.kind is K.CPU, best.version,\n"
            "            [m for m in ('ctypes', 'subprocess', 'enum', 'velkora.gpu._drivers') if m in sys.modules]]))")
        self.assertEqual(result.stdout.strip(), "['native', 'cpu', True, True, '', []]", result.stderr)


if __name__ == "__main__":
    unittest.main()
