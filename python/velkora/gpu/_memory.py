"""Each GPU's memory as it is now: total, free and used bytes, read from what
the vendor offers without a compute context or a device allocation.

- CUDA: the management library (NVML), which counts every process's use of
  the card, not only this one's.
- ROCm: the kernel's amdgpu counters in sysfs; the ROCm SMI library where
  sysfs has none.
- oneAPI: Level Zero Sysman's memory state of each device-local module.

Where none of these answers, the backend's devices come from the registry's
driver query with their total only (`free=None`): a free figure is never
guessed. The registry's presence checks run first, so a host without a GPU
loads no library at all.
"""
import dataclasses
import os
import re
from collections.abc import Callable

from velkora.gpu import backend_registry as _registry
from velkora.gpu._backend_types import CUDA, GIB, ONEAPI, ROCM, GPUBackendKind

__all__ = ["DeviceMemory", "memory"]


@dataclasses.dataclass(frozen=True)
class DeviceMemory:
    """One device's memory in bytes; a figure that could not be read is None.

    `source` says where the figures came from: "nvml", "sysfs", "rocm-smi",
    "level-zero-sysman", the driver that gave the total alone ("cuda-driver",
    "hip", "level-zero"), or "unavailable" where nothing could be read.
    """

    backend: str
    index: int
    name: str
    total: int | None
    free: int | None
    used: int | None
    source: str

    def to_dict(self) -> dict[str, object]:
        return dataclasses.asdict(self)


def memory() -> list[DeviceMemory]:
    """Every GPU's memory as it is now: best backend first, then by index.

    Empty where no device is present. Never raises for a missing or failing
    driver: a device whose free memory cannot be read has `free=None`.
    """
    records: list[DeviceMemory] = []
    for kind in _registry._present_kinds():
        try:
            found = _READERS[kind]()
        except Exception:
            # A missing symbol, an error status, a library that misbehaves:
            # what the registry knows (the totals) is still an answer.
            found = None
        records += found or _totals_only(kind)
    return records


def _totals_only(kind: GPUBackendKind) -> list[DeviceMemory]:
    info = _registry.GPUBackendRegistry.detect_available_backends().get(kind)
    if info is None:
        return []
    source = _TOTAL_SOURCES[kind]
    return [DeviceMemory(kind.value, d.index, d.name, round(d.memory_gb * GIB), None, None, source)
            for d in info.devices]


_TOTAL_SOURCES = {CUDA: "cuda-driver", ROCM: "hip", ONEAPI: "level-zero"}


# --- ROCm: the amdgpu driver's counters in sysfs --------------------------------

_AMD_VENDOR = "0x1002"
_CARD = re.compile(r"card(\d+)")


def _read_file(path: str) -> str | None:
    try:
        with open(path) as f:
            return f.read().strip()
    except (OSError, UnicodeDecodeError):
        return None


def _read_int(path: str) -> int | None:
    text = _read_file(path)
    try:
        return int(text, 0) if text else None
    except ValueError:
        return None


def _read_sysfs() -> list[DeviceMemory] | None:
    drm = _registry._host_path(_registry._DRM_CLASS_DIR)
    try:
        names = os.listdir(drm)
    except OSError:
        return None
    # card0, card1, ... in number order; connectors (card0-DP-1) are not cards.
    cards = sorted((int(m.group(1)), name) for name in names if (m := _CARD.fullmatch(name)))
    records: list[DeviceMemory] = []
    for _, card in cards:
        device = os.path.join(drm, card, "device")
        if (_read_file(os.path.join(device, "vendor")) or "").lower() != _AMD_VENDOR:
            continue
        total = _read_int(os.path.join(device, "mem_info_vram_total"))
        used = _read_int(os.path.join(device, "mem_info_vram_used"))
        if total is None and used is None:
            continue  # not a card whose memory the amdgpu driver counts
        if total is None or used is None or used > total or total < 0 or used < 0:
            # Half an answer, or one that contradicts itself: no free figure.
            free = used = None
        else:
            free = total - used
        name = (_read_file(os.path.join(device, "product_name"))
                or f"AMD GPU {_read_file(os.path.join(device, 'device')) or card}")
        records.append(DeviceMemory("rocm", len(records), name, total, free, used, "sysfs"))
    return records or None


def _read_rocm() -> list[DeviceMemory] | None:
    found = _read_sysfs()
    if found is not None:
        return found
    from velkora.gpu import _drivers
    return _drivers.read_rocm_smi()


def _read_nvml() -> list[DeviceMemory] | None:
    from velkora.gpu import _drivers
    return _drivers.read_nvml()


def _read_sysman() -> list[DeviceMemory] | None:
    from velkora.gpu import _drivers
    return _drivers.read_sysman()


_READERS: dict[GPUBackendKind, Callable[[], list[DeviceMemory] | None]] = {
    CUDA: _read_nvml, ROCM: _read_rocm, ONEAPI: _read_sysman}
