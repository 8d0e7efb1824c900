"""Driver queries of the GPU backend registry, through ctypes: the CUDA driver,
the HIP runtime and the Level Zero loader. Imported only where the registry's
presence checks found a vendor's device or driver files."""
import sys
from typing import Any, Callable, Sequence

from velkora.gpu._backend_types import (
    CUDA as _CUDA, GIB as _GIB, ONEAPI as _ONEAPI, ROCM as _ROCM, BackendInfo, DeviceInfo,
    GPUBackendKind, windows_libraries)

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
