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

from velkora.gpu._backend_types import (
    CPU as _CPU, CUDA as _CUDA, ONEAPI as _ONEAPI, ROCM as _ROCM, BackendInfo, DeviceInfo,
    GPUBackendKind, windows_libraries as _windows_libraries)

__all__ = ["BackendInfo", "DeviceInfo", "GPUBackend", "GPUBackendKind", "GPUBackendRegistry"]

_PRIORITY = (_CUDA, _ROCM, _ONEAPI)


class GPUBackend:
    """The backend chosen to run on; `info` describes it."""

    __slots__ = ("info",)

    def __init__(self, info: BackendInfo) -> None:
        self.info = info

    def __repr__(self) -> str:
        return f"GPUBackend({self.info!r})"


# --- presence: file-system look-ups only -------------------------------------

# The tests' stand-in for `/`: device nodes and sysfs are looked up under it,
# so a test can show a host with any GPUs. Not for users: unset, it is `/`.
_ROOT_VARIABLE = "VELKORA_TEST_HOST_ROOT"


def _host_path(path: str) -> str:
    """`path`, an absolute path of this host, under the test root where one is set."""
    root = os.environ.get(_ROOT_VARIABLE)
    return root.rstrip("/") + path if root else path


# /dev/dxg is the GPU device of Windows' Linux subsystem; every vendor's
# library works through it, so it admits all three to the library check.
_DXG = "/dev/dxg"
_LINUX_NODES = {_CUDA: "/dev/nvidiactl", _ROCM: "/dev/kfd"}
# Intel GPUs show as DRM render nodes of PCI vendor 0x8086.
_DRI_DIR = "/dev/dri"
_DRM_CLASS_DIR = "/sys/class/drm"

def _has_intel_render_node() -> bool:
    try:
        names = os.listdir(_host_path(_DRI_DIR))
    except OSError:
        return False
    for name in names:
        if name.startswith("renderD"):
            try:
                with open(_host_path(f"{_DRM_CLASS_DIR}/{name}/device/vendor")) as f:
                    if f.read().strip().lower() == "0x8086":
                        return True
            except OSError:
                pass
    return False


def _present_kinds() -> list[GPUBackendKind]:
    """The backends whose driver shows on this host, in priority order."""
    if sys.platform == "win32":
        return [k for k in _PRIORITY if any(map(os.path.exists, _windows_libraries(k)))]
    if not sys.platform.startswith("linux"):
        return []  # macOS and the rest offer none of the three
    if os.path.exists(_host_path(_DXG)):
        return list(_PRIORITY)
    kinds = [k for k, node in _LINUX_NODES.items() if os.path.exists(_host_path(node))]
    if _has_intel_render_node():
        kinds.append(_ONEAPI)
    return kinds


# --- driver queries, only where a driver shows -------------------------------

def _query(kind: GPUBackendKind) -> BackendInfo | None:
    """The backend's information, or None where it offers no usable device."""
    try:
        # The ctypes side lives apart: a host without any GPU never loads it.
        from velkora.gpu import _drivers
    except Exception:
        return None
    return _drivers.query(kind)


_detected: dict[GPUBackendKind, BackendInfo] | None = None


class GPUBackendRegistry:
    """The GPU backends of this host, detected once per process."""

    @staticmethod
    def detect_available_backends() -> dict[GPUBackendKind, BackendInfo]:
        """{GPUBackendKind: BackendInfo} of the backends with at least one device."""
        global _detected
        if _detected is None:
            found: dict[GPUBackendKind, BackendInfo] = {}
            for kind in _present_kinds():
                info = _query(kind)
                if info is not None:
                    found[kind] = info
            _detected = found
        return dict(_detected)

    @staticmethod
    def get_best_available() -> GPUBackend:
        """The preferred backend found (CUDA, then ROCm, then oneAPI), else the CPU."""
        backends = GPUBackendRegistry.detect_available_backends()
        for kind in _PRIORITY:
            if kind in backends:
                return GPUBackend(backends[kind])
        return GPUBackend(BackendInfo(_CPU, ""))

    @staticmethod
    def clear_cache() -> None:
        """Forgets what was detected; the next call detects afresh."""
        global _detected
        _detected = None
