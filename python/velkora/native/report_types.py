"""The shapes of the capability report of `velkora.native.hostprobe`, for
type checkers and for code that annotates what it reads from the probe.

`detect_capabilities()` returns a `CapabilityReport`, or, where a detection
failed, a `FallbackCapabilityReport`; `detector` tells them apart:

    caps = hostprobe.detect_capabilities()
    if caps["detector"] == "native_fallback":
        print(caps["error"])
"""
from typing import Literal, TypedDict

# The registry's backend kinds by value; "cpu" where no GPU is usable.
BackendName = Literal["cuda", "rocm", "oneapi", "cpu"]


class GPUBackendReport(TypedDict):
    """What `detect_gpu_backends()` returns."""

    has_gpu: bool
    gpu_count: int
    gpu_memory_mb: int
    cuda_available: bool
    rocm_available: bool
    oneapi_available: bool
    active_backend: BackendName
    backend_version: str


class _HostReport(GPUBackendReport):
    physical_cores: int
    numa_nodes: int
    python_version: str
    subinterpreter_support: bool
    platform: str
    detected_at: float
    detection_time_ms: float


class CapabilityReport(_HostReport):
    """The report when every detection worked; `python_version` is major.minor.micro."""

    detector: Literal["native"]


class FallbackCapabilityReport(_HostReport):
    """The report of fixed defaults when a detection raised; `error` is its text
    and `python_version` is major.minor only."""

    detector: Literal["native_fallback"]
    error: str
