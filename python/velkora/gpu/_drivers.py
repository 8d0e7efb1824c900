"""Driver queries of the GPU backend registry, through ctypes: the CUDA driver,
the HIP runtime and the Level Zero loader. Imported only where the registry's
presence checks found a vendor's device or driver files."""
import ctypes
import os
import re
import sys
import threading
from typing import TYPE_CHECKING, Any, Callable, Sequence

from velkora.gpu._backend_types import (
    CUDA as _CUDA, GIB as _GIB, ONEAPI as _ONEAPI, ROCM as _ROCM, BackendInfo, DeviceInfo,
    GPUBackendKind, windows_libraries)

if TYPE_CHECKING:
    from velkora.gpu._memory import DeviceMemory

# A loaded driver library; its functions are looked up by name (ctypes
# libraries in use, stand-ins in the tests).
_Library = Any


_LINUX_LIBRARIES: dict[GPUBackendKind, tuple[str, ...]] = {
    _CUDA: ("libcuda.so.1", "/usr/lib/wsl/lib/libcuda.so.1"),
    _ROCM: ("libamdhip64.so", "libamdhip64.so.6", "libamdhip64.so.5", "/opt/rocm/lib/libamdhip64.so"),
    _ONEAPI: ("libze_loader.so.1", "libze_loader.so"),
}


def _load_library(kind: GPUBackendKind) -> _Library | None:
    """The backend's driver library, or None where no candidate loads."""
    import ctypes

    if sys.platform == "win32":
        loader: Callable[[str], _Library] = ctypes.WinDLL
        candidates: Sequence[str] = windows_libraries(kind)
    else:
        loader, candidates = ctypes.CDLL, _LINUX_LIBRARIES[kind]
    for candidate in candidates:
        try:
            return loader(candidate)
        except OSError:
            pass
    return None


def _check(status: int) -> None:
    if status != 0:
        raise OSError(f"driver call failed with status {status}")


# The CUDA driver and the HIP runtime answer the same questions in the same
# shape: device count, version, device handle, total memory, device name.
_RUNTIME_CALLS: dict[GPUBackendKind, tuple[str, str, str, str, str]] = {
    _CUDA: ("cuDeviceGetCount", "cuDriverGetVersion", "cuDeviceGet", "cuDeviceTotalMem_v2",
            "cuDeviceGetName"),
    _ROCM: ("hipGetDeviceCount", "hipRuntimeGetVersion", "hipDeviceGet", "hipDeviceTotalMem",
            "hipDeviceGetName"),
}


def _query_runtime(lib: _Library, kind: GPUBackendKind) -> BackendInfo:
    import ctypes

    get_count, get_version, get_device, total_memory, get_name = (
        getattr(lib, name) for name in _RUNTIME_CALLS[kind])
    if kind is _CUDA:
        _check(lib.cuInit(0))
    count, number = ctypes.c_int(), ctypes.c_int()
    _check(get_count(ctypes.byref(count)))
    _check(get_version(ctypes.byref(number)))
    devices: list[DeviceInfo] = []
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


def _structure(ctypes: Any, layout: str) -> Any:
    fields = []
    for field in layout.split():
        name, _, spec = field.partition(":")
        base, _, length = spec.partition("*")
        ctype = getattr(ctypes, _ZE_CTYPES[base])
        fields.append((name, ctype * int(length) if length else ctype))
    # Room for a driver that writes a longer, newer layout.
    fields.append(("reserve", ctypes.c_uint8 * 256))
    return type("ZeStructure", (ctypes.Structure,), {"_fields_": fields})


def _query_level_zero(lib: _Library, kind: GPUBackendKind) -> BackendInfo:
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

    def listing(call: Callable[..., int], *args: Any) -> list[Any]:
        count = ctypes.c_uint32()
        _check(call(*args, ctypes.byref(count), None))
        items = (handle * count.value)()
        _check(call(*args, ctypes.byref(count), items))
        return items[:count.value]

    _check(lib.zeInit(1))  # GPU drivers only
    version, devices = "", list[DeviceInfo]()
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


_QUERIES: dict[GPUBackendKind, Callable[[_Library, GPUBackendKind], BackendInfo]] = {_CUDA: _query_runtime, _ROCM: _query_runtime, _ONEAPI: _query_level_zero}


def query(kind: GPUBackendKind) -> BackendInfo | None:
    """The backend's information, or None where it offers no usable device."""
    try:
        lib = _load_library(kind)
        info = None if lib is None else _QUERIES[kind](lib, kind)
    except Exception:
        # A missing symbol, an error status, a library that misbehaves: the
        # backend is not usable here, which is an answer, not a failure.
        return None
    return info if info is not None and info.device_count > 0 else None


# --- memory as it is now: the vendors' management libraries ---------------------

_LIBRARIES: dict[str, tuple[Sequence[str], Sequence[str]]] = {
    # name: (Linux candidates, Windows system-directory candidates)
    "nvml": (("libnvidia-ml.so.1", "/usr/lib/wsl/lib/libnvidia-ml.so.1"), ("nvml.dll",)),
    "rocm_smi": (("librocm_smi64.so", "librocm_smi64.so.7", "librocm_smi64.so.6",
                  "librocm_smi64.so.5", "/opt/rocm/lib/librocm_smi64.so"), ("rocm_smi64.dll",)),
    "level_zero": (("libze_loader.so.1", "libze_loader.so"), ("ze_loader.dll",)),
}
_loaded: dict[str, Any] = {}
_lock = threading.Lock()


def _library(name: str) -> Any:
    """The loaded library, or None where no candidate loads; loaded once."""
    with _lock:
        if name not in _loaded:
            linux, windows = _LIBRARIES[name]
            if sys.platform == "win32":
                system = os.path.join(os.environ.get("SystemRoot", r"C:\Windows"), "System32")
                candidates = [os.path.join(system, dll) for dll in windows]
            else:
                candidates = list(linux)
            _loaded[name] = None
            for candidate in candidates:
                try:
                    _loaded[name] = ctypes.CDLL(candidate)
                    break
                except OSError:
                    pass
        return _loaded[name]


def _text(buffer: Any) -> str:
    # A driver that fills the whole buffer leaves no terminator: the buffer's
    # end bounds the name.
    return bytes(buffer).split(b"\0", 1)[0].decode("utf-8", "replace").strip()


def _bind(lib: Any, name: str, *argtypes: Any) -> Callable[..., int]:
    function: Any = getattr(lib, name)
    function.argtypes, function.restype = argtypes, ctypes.c_int
    return function  # type: ignore[no-any-return]


# --- CUDA: NVML ------------------------------------------------------------------

class _NvmlMemory(ctypes.Structure):
    _fields_ = [("total", ctypes.c_ulonglong), ("free", ctypes.c_ulonglong),
                ("used", ctypes.c_ulonglong)]


_NVML_NAME_SIZE = 96  # the library's own buffer size for device names


def read_nvml() -> "list[DeviceMemory] | None":
    """CUDA devices' memory from NVML; None where the library is absent."""
    from velkora.gpu._memory import DeviceMemory

    lib = _library("nvml")
    if lib is None:
        return None
    handle, uint = ctypes.c_void_p, ctypes.c_uint
    init = _bind(lib, "nvmlInit_v2")
    shutdown = _bind(lib, "nvmlShutdown")
    get_count = _bind(lib, "nvmlDeviceGetCount_v2", ctypes.POINTER(uint))
    by_index = _bind(lib, "nvmlDeviceGetHandleByIndex_v2", uint, ctypes.POINTER(handle))
    get_memory = _bind(lib, "nvmlDeviceGetMemoryInfo", handle, ctypes.POINTER(_NvmlMemory))
    get_name = _bind(lib, "nvmlDeviceGetName", handle, ctypes.c_char_p, uint)
    def name_of(device: Any) -> str:
        name = ctypes.create_string_buffer(_NVML_NAME_SIZE)
        _check(get_name(device, name, _NVML_NAME_SIZE))
        return _text(name)

    _check(init())
    try:
        count = uint()
        _check(get_count(ctypes.byref(count)))
        every = [_nvml_handle(by_index, index) for index in range(count.value)]
        if (os.environ.get("CUDA_DEVICE_ORDER") != "PCI_BUS_ID"
                and len({name_of(device) for device in every}) > 1):
            # NVML counts in bus order, CUDA fastest first: on a host with
            # different cards only the driver knows which card is device 0.
            handles = _nvml_handles_by_ordinal(lib)
        else:
            handles = _visible_nvml_devices(lib, count.value, by_index)
        records = []
        for index, device in enumerate(handles):
            name = name_of(device)
            figures = _NvmlMemory()
            if get_memory(device, ctypes.byref(figures)) != 0 or figures.free > figures.total:
                # A card that keeps no count of its own (one sharing the host's
                # memory), or one that fails to answer: no figures, not guessed.
                records.append(DeviceMemory("cuda", index, name, None, None, None,
                                            "unavailable"))
                continue
            records.append(DeviceMemory("cuda", index, name, figures.total, figures.free,
                                        figures.used, "nvml"))
        return records
    finally:
        shutdown()


def _nvml_handle(by_index: Callable[..., int], index: int) -> Any:
    device = ctypes.c_void_p()
    _check(by_index(index, ctypes.byref(device)))
    return device


_PCI_BUS_ID_SIZE = 32


def _nvml_handles_by_ordinal(nvml: Any) -> list[Any]:
    """NVML handles of the CUDA driver's devices 0, 1, ..., matched by PCI
    bus id: the driver applies the device order and CUDA_VISIBLE_DEVICES."""
    cuda = _load_library(_CUDA)
    if cuda is None:
        raise OSError("the CUDA driver is not available to order the devices")
    by_bus_id = _bind(nvml, "nvmlDeviceGetHandleByPciBusId_v2", ctypes.c_char_p,
                      ctypes.POINTER(ctypes.c_void_p))
    _check(_bind(cuda, "cuInit", ctypes.c_uint)(0))
    count = ctypes.c_int()
    _check(_bind(cuda, "cuDeviceGetCount", ctypes.POINTER(ctypes.c_int))(ctypes.byref(count)))
    get_device = _bind(cuda, "cuDeviceGet", ctypes.POINTER(ctypes.c_int), ctypes.c_int)
    get_bus_id = _bind(cuda, "cuDeviceGetPCIBusId", ctypes.c_char_p, ctypes.c_int, ctypes.c_int)
    handles = []
    for ordinal in range(count.value):
        device, bus_id, found = ctypes.c_int(), ctypes.create_string_buffer(_PCI_BUS_ID_SIZE), \
            ctypes.c_void_p()
        _check(get_device(ctypes.byref(device), ordinal))
        _check(get_bus_id(bus_id, _PCI_BUS_ID_SIZE - 1, device.value))
        _check(by_bus_id(bus_id.value, ctypes.byref(found)))
        handles.append(found)
    return handles


def _visible_nvml_devices(lib: Any, count: int, by_index: Callable[..., int]) -> list[Any]:
    """NVML handles in the order and selection of the CUDA runtime's device
    indices: NVML itself ignores CUDA_VISIBLE_DEVICES, so device 0 of a process
    limited to the second card would otherwise be read from the first card."""
    entries = os.environ.get("CUDA_VISIBLE_DEVICES")
    handles: list[Any] = []
    if entries is None:
        return [_nvml_handle(by_index, index) for index in range(count)]
    by_uuid = None
    for entry in entries.split(","):
        # The runtime reads the list up to the first entry it cannot use.
        entry = entry.strip()
        device = ctypes.c_void_p()
        if re.fullmatch(r"\d+", entry):
            if int(entry) >= count:
                break
            _check(by_index(int(entry), ctypes.byref(device)))
        elif entry.startswith("GPU-"):
            by_uuid = by_uuid or _bind(lib, "nvmlDeviceGetHandleByUUID", ctypes.c_char_p,
                                       ctypes.POINTER(ctypes.c_void_p))
            if by_uuid(entry.encode(), ctypes.byref(device)) != 0:
                break
        else:
            break
        if any(device.value == seen.value for seen in handles):
            break  # the runtime refuses a device named twice
        handles.append(device)
    return handles


_RSMI_MEM_TYPE_VRAM = 0
_RSMI_NAME_SIZE = 256


def read_rocm_smi() -> "list[DeviceMemory] | None":
    """ROCm devices' memory from the ROCm SMI library; None where it is absent."""
    from velkora.gpu._memory import DeviceMemory

    lib = _library("rocm_smi")
    if lib is None:
        return None
    uint32, uint64 = ctypes.c_uint32, ctypes.c_uint64
    init = _bind(lib, "rsmi_init", uint64)
    shutdown = _bind(lib, "rsmi_shut_down")
    get_count = _bind(lib, "rsmi_num_monitor_devices", ctypes.POINTER(uint32))
    get_total = _bind(lib, "rsmi_dev_memory_total_get", uint32, ctypes.c_int,
                      ctypes.POINTER(uint64))
    get_used = _bind(lib, "rsmi_dev_memory_usage_get", uint32, ctypes.c_int,
                     ctypes.POINTER(uint64))
    get_name = _bind(lib, "rsmi_dev_name_get", uint32, ctypes.c_char_p, ctypes.c_size_t)
    _check(init(0))
    try:
        count = uint32()
        _check(get_count(ctypes.byref(count)))
        records = []
        for index in range(count.value):
            total, used = uint64(), uint64()
            name = ctypes.create_string_buffer(_RSMI_NAME_SIZE)
            _check(get_name(index, name, _RSMI_NAME_SIZE))
            _check(get_total(index, _RSMI_MEM_TYPE_VRAM, ctypes.byref(total)))
            _check(get_used(index, _RSMI_MEM_TYPE_VRAM, ctypes.byref(used)))
            if used.value > total.value:
                raise OSError("used memory above the total")
            records.append(DeviceMemory("rocm", index, _text(name), total.value,
                                        total.value - used.value, used.value, "rocm-smi"))
        return records
    finally:
        shutdown()


# --- oneAPI: Level Zero Sysman ----------------------------------------------------

def _sysman_structure(*fields: tuple[str, Any]) -> Any:
    # Room for a driver that writes a longer, newer layout.
    return type("ZesStructure", (ctypes.Structure,),
                {"_fields_": [*fields, ("reserve", ctypes.c_uint8 * 256)]})


_u32, _u64, _ptr, _char = ctypes.c_uint32, ctypes.c_uint64, ctypes.c_void_p, ctypes.c_char
_ZeDeviceProperties = [
    ("stype", _u32), ("pNext", _ptr), ("type", _u32), ("vendorId", _u32), ("deviceId", _u32),
    ("flags", _u32), ("subdeviceId", _u32), ("coreClockRate", _u32), ("maxMemAllocSize", _u64),
    ("maxHardwareContexts", _u32), ("maxCommandQueuePriority", _u32),
    ("numThreadsPerEU", _u32), ("physicalEUSimdWidth", _u32), ("numEUsPerSubslice", _u32),
    ("numSubslicesPerSlice", _u32), ("numSlices", _u32), ("timerResolution", _u64),
    ("timestampValidBits", _u32), ("kernelTimestampValidBits", _u32),
    ("uuid", ctypes.c_uint8 * 16), ("name", _char * 256)]
_ZeCore = type("ZeDeviceProperties", (ctypes.Structure,), {"_fields_": _ZeDeviceProperties})
_ZesDeviceProperties = _sysman_structure(
    ("stype", _u32), ("pNext", _ptr), ("core", _ZeCore), ("numSubdevices", _u32),
    ("serialNumber", _char * 64), ("boardNumber", _char * 64), ("brandName", _char * 64),
    ("modelName", _char * 64), ("vendorName", _char * 64), ("driverVersion", _char * 64))
_ZesMemProperties = _sysman_structure(
    ("stype", _u32), ("pNext", _ptr), ("type", _u32), ("onSubdevice", ctypes.c_uint8),
    ("subdeviceId", _u32), ("location", _u32), ("physicalSize", _u64),
    ("busWidth", ctypes.c_int32), ("numChannels", ctypes.c_int32))
_ZesMemState = _sysman_structure(
    ("stype", _u32), ("pNext", _ptr), ("health", _u32), ("free", _u64), ("size", _u64))

# Structure-type tags the drivers check, and the enumerations read.
_ZE_STYPE_DEVICE_PROPERTIES = 0x3
_ZES_STYPE_DEVICE_PROPERTIES = 0x1
_ZES_STYPE_MEM_PROPERTIES = 0xB
_ZES_STYPE_MEM_STATE = 0x1E
_ZE_DEVICE_TYPE_GPU = 1
_ZES_MEM_LOC_DEVICE = 1


def read_sysman() -> "list[DeviceMemory] | None":
    """oneAPI GPUs' memory from Level Zero Sysman; None where the loader is absent."""
    from velkora.gpu._memory import DeviceMemory

    lib = _library("level_zero")
    if lib is None:
        return None
    handle, count_p = ctypes.c_void_p, ctypes.POINTER(ctypes.c_uint32)
    init = _bind(lib, "zesInit", ctypes.c_uint32)
    driver_get = _bind(lib, "zesDriverGet", count_p, ctypes.POINTER(handle))
    device_get = _bind(lib, "zesDeviceGet", handle, count_p, ctypes.POINTER(handle))
    properties = _bind(lib, "zesDeviceGetProperties", handle,
                       ctypes.POINTER(_ZesDeviceProperties))
    modules = _bind(lib, "zesDeviceEnumMemoryModules", handle, count_p, ctypes.POINTER(handle))
    module_properties = _bind(lib, "zesMemoryGetProperties", handle,
                              ctypes.POINTER(_ZesMemProperties))
    module_state = _bind(lib, "zesMemoryGetState", handle, ctypes.POINTER(_ZesMemState))

    def listing(call: Callable[..., int], *args: Any) -> list[Any]:
        count = ctypes.c_uint32()
        _check(call(*args, ctypes.byref(count), None))
        items = (handle * count.value)()
        _check(call(*args, ctypes.byref(count), items))
        return items[:min(count.value, len(items))]

    _check(init(0))
    records: list[DeviceMemory] = []
    for driver in listing(driver_get):
        for device in listing(device_get, driver):
            props = _ZesDeviceProperties(stype=_ZES_STYPE_DEVICE_PROPERTIES)
            props.core.stype = _ZE_STYPE_DEVICE_PROPERTIES
            _check(properties(device, ctypes.byref(props)))
            if props.core.type != _ZE_DEVICE_TYPE_GPU:
                continue
            total = free = 0
            local = 0
            for module in listing(modules, device):
                where = _ZesMemProperties(stype=_ZES_STYPE_MEM_PROPERTIES)
                _check(module_properties(module, ctypes.byref(where)))
                if where.location != _ZES_MEM_LOC_DEVICE:
                    continue
                state = _ZesMemState(stype=_ZES_STYPE_MEM_STATE)
                _check(module_state(module, ctypes.byref(state)))
                if state.free > state.size:
                    raise OSError("free memory above the total")
                total, free, local = total + state.size, free + state.free, local + 1
            name = _text(props.core.name)
            if local:
                records.append(DeviceMemory("oneapi", len(records), name, total, free,
                                            total - free, "level-zero-sysman"))
            else:
                # Shares the host's memory: no figure of its own.
                records.append(DeviceMemory("oneapi", len(records), name, None, None, None,
                                            "unavailable"))
    return records


