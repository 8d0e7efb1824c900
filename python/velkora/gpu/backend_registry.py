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

_LINUX_LIBRARIES = {
    _CUDA: ("libcuda.so.1", "/usr/lib/wsl/lib/libcuda.so.1"),
    _ROCM: ("libamdhip64.so", "libamdhip64.so.6", "libamdhip64.so.5", "/opt/rocm/lib/libamdhip64.so"),
    _ONEAPI: ("libze_loader.so.1", "libze_loader.so"),
}
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


# --- driver queries through ctypes, only where a driver shows --------------

def _load_library(kind):
    """The backend's driver library, or None where no candidate loads."""
    import ctypes

    windows = sys.platform == "win32"
    loader = ctypes.WinDLL if windows else ctypes.CDLL
    for candidate in _windows_libraries(kind) if windows else _LINUX_LIBRARIES[kind]:
        try:
            return loader(candidate)
        except OSError:
            pass
    return None


def _check(status):
    if status != 0:
        raise OSError(f"driver call failed with status {status}")


# The CUDA driver and the HIP runtime answer the same questions in the same
# shape: device count, version, device handle, total memory, device name.
_RUNTIME_CALLS = {
    _CUDA: ("cuDeviceGetCount", "cuDriverGetVersion", "cuDeviceGet", "cuDeviceTotalMem_v2",
            "cuDeviceGetName"),
    _ROCM: ("hipGetDeviceCount", "hipRuntimeGetVersion", "hipDeviceGet", "hipDeviceTotalMem",
            "hipDeviceGetName"),
}


def _query_runtime(lib, kind):
    import ctypes

    get_count, get_version, get_device, total_memory, get_name = (
        getattr(lib, name) for name in _RUNTIME_CALLS[kind])
    if kind is _CUDA:
        _check(lib.cuInit(0))
    count, number = ctypes.c_int(), ctypes.c_int()
    _check(get_count(ctypes.byref(count)))
    _check(get_version(ctypes.byref(number)))
    devices = []
    for index in range(count.value):
        device, total = ctypes.c_int(), ctypes.c_size_t()
        name = ctypes.create_string_buffer(256)
        _check(get_device(ctypes.byref(device), index))
        _check(total_memory(ctypes.byref(total), device.value))
        _check(get_name(name, 256, device.value))
        devices.append(DeviceInfo(index, name.value.decode("utf-8", "replace"), total.value / _GIB))
    v = number.value
    # CUDA encodes 12.4 as 12040, HIP 6.1 as 60100000 plus the patch level.
    version = f"{v // 1000}.{v % 1000 // 10}" if kind is _CUDA else f"{v // 10**7}.{v // 10**5 % 100}"
    return BackendInfo(kind, version, devices)


# Level Zero's v1 property structures.
_ZE_DEVICE_PROPERTIES = (
    "stype:u32 pNext:ptr type:u32 vendorId:u32 deviceId:u32 flags:u32 subdeviceId:u32 "
    "coreClockRate:u32 maxMemAllocSize:u64 maxHardwareContexts:u32 maxCommandQueuePriority:u32 "
    "numThreadsPerEU:u32 physicalEUSimdWidth:u32 numEUsPerSubslice:u32 numSubslicesPerSlice:u32 "
    "numSlices:u32 timerResolution:u64 timestampValidBits:u32 kernelTimestampValidBits:u32 "
    "uuid:u8*16 name:char*256")
_ZE_MEMORY_PROPERTIES = (
    "stype:u32 pNext:ptr flags:u32 maxClockRate:u32 maxBusWidth:u32 totalSize:u64 name:char*256")
_ZE_CTYPES = {"u8": "c_uint8", "u32": "c_uint32", "u64": "c_uint64", "ptr": "c_void_p",
              "char": "c_char"}


def _structure(ctypes, layout):
    fields = []
    for field in layout.split():
        name, _, spec = field.partition(":")
        base, _, length = spec.partition("*")
        ctype = getattr(ctypes, _ZE_CTYPES[base])
        fields.append((name, ctype * int(length) if length else ctype))
    # Room for a driver that writes a longer, newer layout.
    fields.append(("reserve", ctypes.c_uint8 * 256))
    return type("ZeStructure", (ctypes.Structure,), {"_fields_": fields})


def _query_level_zero(lib, kind):
    import ctypes

    handle = ctypes.c_void_p
    count_p = ctypes.POINTER(ctypes.c_uint32)
    Device = _structure(ctypes, _ZE_DEVICE_PROPERTIES)
    Memory = _structure(ctypes, _ZE_MEMORY_PROPERTIES)
    # Handles are pointers: without argtypes ctypes would pass them as C ints.
    lib.zeDriverGet.argtypes = (count_p, ctypes.POINTER(handle))
    lib.zeDriverGetApiVersion.argtypes = (handle, count_p)
    lib.zeDeviceGet.argtypes = (handle, count_p, ctypes.POINTER(handle))
    lib.zeDeviceGetProperties.argtypes = (handle, ctypes.POINTER(Device))
    lib.zeDeviceGetMemoryProperties.argtypes = (handle, count_p, ctypes.POINTER(Memory))

    def listing(call, *args):
        count = ctypes.c_uint32()
        _check(call(*args, ctypes.byref(count), None))
        items = (handle * count.value)()
        _check(call(*args, ctypes.byref(count), items))
        return items[:count.value]

    _check(lib.zeInit(1))  # GPU drivers only
    version, devices = "", []
    for driver in listing(lib.zeDriverGet):
        for device in listing(lib.zeDeviceGet, driver):
            properties = Device(stype=0x3)  # the structure-type tags drivers check
            _check(lib.zeDeviceGetProperties(device, ctypes.byref(properties)))
            if properties.type != 1:  # not a GPU
                continue
            banks = ctypes.c_uint32()
            _check(lib.zeDeviceGetMemoryProperties(device, ctypes.byref(banks), None))
            memory = (Memory * banks.value)()
            for bank in memory:
                bank.stype = 0x7
            _check(lib.zeDeviceGetMemoryProperties(device, ctypes.byref(banks), memory))
            total = sum(bank.totalSize for bank in memory[:banks.value])
            name = properties.name.decode("utf-8", "replace")
            devices.append(DeviceInfo(len(devices), name, total / _GIB))
        if not version:
            api = ctypes.c_uint32()
            _check(lib.zeDriverGetApiVersion(driver, ctypes.byref(api)))
            version = f"{api.value >> 16}.{api.value & 0xFFFF}"
    return BackendInfo(kind, version, devices)


_QUERIES = {_CUDA: _query_runtime, _ROCM: _query_runtime, _ONEAPI: _query_level_zero}


def _query(kind):
    """The backend's information, or None where it offers no usable device."""
    try:
        lib = _load_library(kind)
        info = None if lib is None else _QUERIES[kind](lib, kind)
    except Exception:
        # A missing symbol, an error status, a library that misbehaves: the
        # backend is not usable here, which is an answer, not a failure.
        return None
    return info if info is not None and info.device_count > 0 else None


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
