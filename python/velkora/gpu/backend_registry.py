"""GPU compute backends of this host: CUDA, ROCm and oneAPI.

Cheap presence checks of each vendor's device nodes or driver files come
first, so a host without a GPU answers in microseconds; only where they find
something is the vendor's driver library queried through ctypes. A driver that
is missing, broken or answers with an error leaves its backend out. Results
are kept for the process: devices don't come and go while it runs.

The probe imports this module inside its few-millisecond budget, so it stays
small and loads nothing beyond `os` and `sys` until a driver shows up.
"""
import os
import sys


class _KindType(type):
    # The enumeration protocol without `enum`, whose import alone takes
    # several milliseconds, more than the whole probe may.
    def __iter__(cls):
        return iter(cls._members)

    def __call__(cls, value):
        for member in cls._members:
            if member.value == value:
                return member
        raise ValueError(f"{value!r} is not a valid {cls.__name__}")


class GPUBackendKind(metaclass=_KindType):
    """A compute backend: CUDA, ROCm, oneAPI, or the CPU where no GPU is usable."""

    __slots__ = ("name", "value")

    def __repr__(self):
        return f"<GPUBackendKind.{self.name}: {self.value!r}>"

    def __reduce__(self):
        return GPUBackendKind, (self.value,)


def _member(name, value):
    member = object.__new__(GPUBackendKind)
    member.name, member.value = name, value
    setattr(GPUBackendKind, name, member)
    return member


_CUDA, _ROCM, _ONEAPI, _CPU = GPUBackendKind._members = tuple(
    _member(name, value)
    for name, value in (("CUDA", "cuda"), ("ROCm", "rocm"), ("oneAPI", "oneapi"), ("CPU", "cpu")))
_PRIORITY = (_CUDA, _ROCM, _ONEAPI)
_GIB = float(2 ** 30)


class DeviceInfo:
    """One GPU: its index within its backend, its name and total memory in GiB."""

    __slots__ = ("index", "name", "memory_gb")

    def __init__(self, index, name, memory_gb):
        self.index, self.name, self.memory_gb = index, name, memory_gb

    def __repr__(self):
        return f"DeviceInfo({self.index}, {self.name!r}, memory_gb={self.memory_gb:.2f})"


class BackendInfo:
    """A backend's devices, the memory of one device in GiB (the smallest where
    they differ) and its driver or runtime version."""

    __slots__ = ("kind", "version", "devices", "device_count", "memory_gb", "name")

    def __init__(self, kind, version, devices=()):
        self.kind, self.version, self.devices = kind, version, tuple(devices)
        self.device_count = len(self.devices)
        self.memory_gb = min((d.memory_gb for d in self.devices), default=0.0)
        self.name = self.devices[0].name if self.devices else kind.name

    def __repr__(self):
        return (f"BackendInfo({self.kind!r}, devices={self.device_count}, "
                f"memory_gb={self.memory_gb:.2f}, version={self.version!r})")


class GPUBackend:
    """The backend chosen to run on; `info` describes it."""

    __slots__ = ("info",)

    def __init__(self, info):
        self.info = info

    def __repr__(self):
        return f"GPUBackend({self.info!r})"


# --- presence: file-system look-ups only -------------------------------------

# /dev/dxg is the GPU device of Windows' Linux subsystem; every vendor's
# library works through it, so it admits all three to the library check.
_DXG = "/dev/dxg"
_LINUX_NODES = {_CUDA: "/dev/nvidiactl", _ROCM: "/dev/kfd"}
# Intel GPUs show as DRM render nodes of PCI vendor 0x8086.
_DRI_DIR = "/dev/dri"
_DRM_CLASS_DIR = "/sys/class/drm"

# Looked for, and loaded by full path, in the Windows system directory.
_WINDOWS_LIBRARIES = {
    _CUDA: ("nvcuda.dll",),
    _ROCM: ("amdhip64_6.dll", "amdhip64.dll"),
    _ONEAPI: ("ze_loader.dll",),
}


def _windows_libraries(kind):
    system_dir = os.path.join(os.environ.get("SystemRoot", r"C:\Windows"), "System32")
    return [os.path.join(system_dir, dll) for dll in _WINDOWS_LIBRARIES[kind]]


def _has_intel_render_node():
    try:
        names = os.listdir(_DRI_DIR)
    except OSError:
        return False
    for name in names:
        if name.startswith("renderD"):
            try:
                with open(os.path.join(_DRM_CLASS_DIR, name, "device", "vendor")) as f:
                    if f.read().strip().lower() == "0x8086":
                        return True
            except OSError:
                pass
    return False


def _present_kinds():
    """The backends whose driver shows on this host, in priority order."""
    if sys.platform == "win32":
        return [k for k in _PRIORITY if any(map(os.path.exists, _windows_libraries(k)))]
    if not sys.platform.startswith("linux"):
        return []  # macOS and the rest offer none of the three
    if os.path.exists(_DXG):
        return list(_PRIORITY)
    kinds = [k for k, node in _LINUX_NODES.items() if os.path.exists(node)]
    if _has_intel_render_node():
        kinds.append(_ONEAPI)
    return kinds


# --- driver queries, only where a driver shows -------------------------------

def _query(kind):
    """The backend's information, or None where it offers no usable device."""
    try:
        # The ctypes side lives apart: a host without any GPU never loads it.
        from velkora.gpu import _drivers
    except Exception:
        return None
    return _drivers.query(kind)


_detected = None


class GPUBackendRegistry:
    """The GPU backends of this host, detected once per process."""

    @staticmethod
    def detect_available_backends():
        """{GPUBackendKind: BackendInfo} of the backends with at least one device."""
        global _detected
        if _detected is None:
            found = {}
            for kind in _present_kinds():
                info = _query(kind)
                if info is not None:
                    found[kind] = info
            _detected = found
        return dict(_detected)

    @staticmethod
    def get_best_available():
        """The preferred backend found (CUDA, then ROCm, then oneAPI), else the CPU."""
        backends = GPUBackendRegistry.detect_available_backends()
        for kind in _PRIORITY:
            if kind in backends:
                return GPUBackend(backends[kind])
        return GPUBackend(BackendInfo(_CPU, ""))

    @staticmethod
    def clear_cache():
        """Forgets what was detected; the next call detects afresh."""
        global _detected
        _detected = None
