"""The capability probe written in plain Python: the comparison for the native one."""
import os
import sys
import time


def detect_physical_cores():
    try:
        if hasattr(os, "sched_getaffinity"):
            cores = len(os.sched_getaffinity(0))
        else:
            cores = os.cpu_count() or 1
        if cores <= 0:
            cores = 1
    except Exception:
        cores = os.cpu_count() or 1
    return cores


def detect_numa_nodes():
    try:
        if sys.platform == "linux":
            path = "/sys/devices/system/node"
            if not os.path.exists(path):
                return 1
            nodes = [n for n in os.listdir(path) if n.startswith("node") and n[4:].isdigit()]
            return len(nodes) if nodes else 1
        if sys.platform == "win32":
            try:
                import ctypes
                from ctypes import wintypes
                kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
                fn = kernel32.GetNumaHighestNodeNumber
                fn.restype = wintypes.BOOL
                fn.argtypes = [ctypes.POINTER(ctypes.c_ulong)]
                highest = ctypes.c_ulong()
                return highest.value + 1 if fn(ctypes.byref(highest)) else 1
            except Exception:
                return 1
        return 1
    except Exception:
        return 1


def detect_gpu_backends():
    info = {"has_gpu": False, "gpu_count": 0, "gpu_memory_mb": 0, "cuda_available": False,
            "rocm_available": False, "oneapi_available": False, "active_backend": "cpu",
            "backend_version": ""}
    try:
        from velkora.gpu.backend_registry import GPUBackendRegistry, GPUBackendKind
        backends = GPUBackendRegistry.detect_available_backends()
        info["cuda_available"] = GPUBackendKind.CUDA in backends
        info["rocm_available"] = GPUBackendKind.ROCm in backends
        info["oneapi_available"] = GPUBackendKind.oneAPI in backends
        best = GPUBackendRegistry.get_best_available()
        info["active_backend"] = best.info.kind.value
        info["backend_version"] = best.info.version
        info["has_gpu"] = info["active_backend"] != "cpu"
        if info["has_gpu"] and best.info.kind in backends:
            entry = backends[best.info.kind]
            info["gpu_count"] = entry.device_count
            info["gpu_memory_mb"] = int(entry.memory_gb * 1024)
        return info
    except Exception:
        pass
    try:
        import subprocess
        result = subprocess.run(["nvidia-smi", "--query-gpu=name", "--format=csv,noheader"],
                                capture_output=True, timeout=0.5, check=False)
        if result.returncode == 0 and result.stdout:
            info["has_gpu"] = True
            lines = result.stdout.decode("utf-8", errors="ignore").strip().split("\n")
            info["gpu_count"] = len([line for line in lines if line.strip()])
    except Exception:
        pass
    return info


def detect_python_version():
    v = sys.version_info
    version = f"{v.major}.{v.minor}.{v.micro}"
    has_sub = False
    if sys.version_info >= (3, 12):
        try:
            import _xxsubinterpreters  # noqa: F401
            has_sub = True
        except ImportError:
            has_sub = False
    return version, has_sub


def detect_capabilities():
    caps = {}
    start = time.perf_counter()
    try:
        caps["physical_cores"] = detect_physical_cores()
        caps["numa_nodes"] = detect_numa_nodes()
        info = detect_gpu_backends()
        for key in ("has_gpu", "gpu_count", "gpu_memory_mb", "cuda_available", "rocm_available",
                    "oneapi_available", "active_backend", "backend_version"):
            caps[key] = info[key]
        caps["python_version"], caps["subinterpreter_support"] = detect_python_version()
        caps["platform"] = sys.platform
        caps["detected_at"] = time.time()
        caps["detector"] = "python"
        caps["detection_time_ms"] = (time.perf_counter() - start) * 1000
        return caps
    except Exception as e:
        return {"error": str(e), "detection_time_ms": (time.perf_counter() - start) * 1000}
