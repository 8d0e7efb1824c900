"""The GPU backend registry's vocabulary, shared by the registry and its driver
queries: backend kinds, device and backend descriptions, and where each
vendor's library lives on Windows.

Like the registry, it loads nothing beyond `os`; `typing` is named only for
the type checker (`TYPE_CHECKING` is false at run time).
"""
import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable, Iterator

# Pickles and reprs name the registry, the module users import these from.
_PUBLIC_MODULE = "velkora.gpu.backend_registry"


class _KindType(type):
    # The enumeration protocol without `enum`, whose import alone takes
    # several milliseconds, more than the whole probe may.
    _members: "tuple[GPUBackendKind, ...]"

    def __iter__(cls) -> "Iterator[GPUBackendKind]":
        return iter(cls._members)

    def __call__(cls, value: str) -> "GPUBackendKind":
        for member in cls._members:
            if member.value == value:
                return member
        raise ValueError(f"{value!r} is not a valid {cls.__name__}")


class GPUBackendKind(metaclass=_KindType):
    """A compute backend: CUDA, ROCm, oneAPI, or the CPU where no GPU is usable."""

    __module__ = _PUBLIC_MODULE
    __slots__ = ("name", "value")
    name: str
    value: str
    CUDA: "GPUBackendKind"
    ROCm: "GPUBackendKind"
    oneAPI: "GPUBackendKind"
    CPU: "GPUBackendKind"

    def __repr__(self) -> str:
        return f"<GPUBackendKind.{self.name}: {self.value!r}>"

    def __reduce__(self) -> "tuple[type[GPUBackendKind], tuple[str]]":
        return GPUBackendKind, (self.value,)


def _member(name: str, value: str) -> GPUBackendKind:
    member: GPUBackendKind = object.__new__(GPUBackendKind)
    member.name, member.value = name, value
    setattr(GPUBackendKind, name, member)
    return member


CUDA, ROCM, ONEAPI, CPU = GPUBackendKind._members = tuple(
    _member(name, value)
    for name, value in (("CUDA", "cuda"), ("ROCm", "rocm"), ("oneAPI", "oneapi"), ("CPU", "cpu")))
GIB = float(2 ** 30)


class DeviceInfo:
    """One GPU: its index within its backend, its name and total memory in GiB."""

    __module__ = _PUBLIC_MODULE
    __slots__ = ("index", "name", "memory_gb")

    def __init__(self, index: int, name: str, memory_gb: float) -> None:
        self.index, self.name, self.memory_gb = index, name, memory_gb

    def __repr__(self) -> str:
        return f"DeviceInfo({self.index}, {self.name!r}, memory_gb={self.memory_gb:.2f})"


class BackendInfo:
    """A backend's devices, the memory of one device in GiB (the smallest where
    they differ) and its driver or runtime version."""

    __module__ = _PUBLIC_MODULE
    __slots__ = ("kind", "version", "devices", "device_count", "memory_gb", "name")

    def __init__(self, kind: GPUBackendKind, version: str,
                 devices: "Iterable[DeviceInfo]" = ()) -> None:
        self.kind, self.version, self.devices = kind, version, tuple(devices)
        self.device_count = len(self.devices)
        self.memory_gb = min((d.memory_gb for d in self.devices), default=0.0)
        self.name = self.devices[0].name if self.devices else kind.name

    def __repr__(self) -> str:
        return (f"BackendInfo({self.kind!r}, devices={self.device_count}, "
                f"memory_gb={self.memory_gb:.2f}, version={self.version!r})")


# Looked for, and loaded by full path, in the Windows system directory.
_WINDOWS_LIBRARIES = {
    CUDA: ("nvcuda.dll",),
    ROCM: ("amdhip64_6.dll", "amdhip64.dll"),
    ONEAPI: ("ze_loader.dll",),
}


def windows_libraries(kind: GPUBackendKind) -> list[str]:
    """Full paths of the vendor's driver library candidates on Windows."""
    system_dir = os.path.join(os.environ.get("SystemRoot", r"C:\Windows"), "System32")
    return [os.path.join(system_dir, dll) for dll in _WINDOWS_LIBRARIES[kind]]
