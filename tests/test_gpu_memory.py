"""velkora.gpu.memory() and the registry's driver queries against stand-in
driver libraries written in C (tests/fakegpu/), built once per session and
loaded by their vendors' file names from the library path of a fresh
interpreter, so the real ctypes path meets real C calling conventions."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

from support import SANITIZED, run_python

import velkora.gpu as gpu
from velkora import _report

GIB = 2 ** 30
SOURCES = Path(__file__).with_name("fakegpu")
# Each stand-in under the file names the package looks for.
LIBRARIES = {"nvml": ["libnvidia-ml.so.1"], "cuda": ["libcuda.so.1"], "hip": ["libamdhip64.so"],
             "rsmi": ["librocm_smi64.so"], "ze": ["libze_loader.so.1"]}

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="the stand-in drivers are Linux shared libraries")


@pytest.fixture(scope="session")
def fake_libs(tmp_path_factory):
    """A directory of every stand-in library, compiled once per session."""
    compiler = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    assert compiler, "a C compiler is needed to build the stand-in drivers"
    built = tmp_path_factory.mktemp("fakegpu")
    flags = ["-shared", "-fPIC", "-O1", "-g", "-Wall", "-Wextra", "-Werror"]
    if SANITIZED:
        # The sanitizer runtime is preloaded: writes past a caller's buffer
        # or structure are caught inside the stand-ins.
        flags += ["-fsanitize=address,undefined", "-fno-omit-frame-pointer"]
    # The compiler runs without the sanitizer preload of this test run.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    for source, names in LIBRARIES.items():
        target = built / names[0]
        result = subprocess.run([compiler, *flags, "-o", str(target), str(SOURCES / f"{source}.c")],
                                capture_output=True, text=True, timeout=120, env=env)
        assert result.returncode == 0, result.stderr
        for alias in names[1:]:
            os.symlink(target, built / alias)
    return built


def host(root, nodes=(), cards=None):
    """A host tree: device nodes, and sysfs DRM entries {name: {file: text}}."""
    for node in nodes:
        path = Path(root, node.lstrip("/"))
        path.parent.mkdir(parents=True, exist_ok=True)
        path.touch()
    for card, files in (cards or {}).items():
        device = Path(root, "sys/class/drm", card, "device")
        device.mkdir(parents=True, exist_ok=True)
        for name, text in files.items():
            (device / name).write_text(text)


def run(fake_libs, *, libs=LIBRARIES, nodes=(), cards=None, devices="", fail="", version=0,
        extra=None, code="print(json.dumps([r.to_dict() for r in velkora.gpu.memory()]))"):
    """Runs `code` in a fresh interpreter on a host with the given devices and
    only the libraries `libs` on its path; returns (its JSON output, calls)."""
    with tempfile.TemporaryDirectory() as tmp:
        root, libdir, log = Path(tmp, "root"), Path(tmp, "lib"), Path(tmp, "calls")
        root.mkdir()
        libdir.mkdir()
        host(root, nodes, cards)
        for name in libs:
            for file in LIBRARIES[name]:
                os.symlink(fake_libs / file, libdir / file)
        env = {"LD_LIBRARY_PATH": str(libdir), "VELKORA_TEST_HOST_ROOT": str(root),
               "FAKEGPU_DEVICES": devices, "FAKEGPU_FAIL": fail, "FAKEGPU_VERSION": str(version),
               "FAKEGPU_LOG": str(log), **(extra or {})}
        # The device selection of this test run, if any, is not the stand-in host's.
        select = ("" if "CUDA_VISIBLE_DEVICES" in env
                  else "os.environ.pop('CUDA_VISIBLE_DEVICES', None)\n")
        result = run_python("import json, os, sys, velkora.gpu\n" + select + code, env=env,
                            timeout=120)
        assert result.returncode == 0, result.stderr
        calls = log.read_text().split() if log.exists() else []
        return json.loads(result.stdout), calls


def figures(records):
    return [(r["backend"], r["index"], r["name"], r["total"], r["free"], r["used"], r["source"])
            for r in records]


NVIDIA = ["/dev/nvidiactl"]
TWO = f"A100|{80 * GIB}|{GIB};L4|{24 * GIB}|{20 * GIB}"
REVERSED = f"L4|{24 * GIB}|{20 * GIB};A100|{80 * GIB}|{GIB}"
SAME = f"A100|{80 * GIB}|{GIB};A100|{40 * GIB}|{GIB}"


@pytest.mark.parametrize("case", [
    dict(devices=TWO, expected=[("cuda", 0, "A100", 80 * GIB, 79 * GIB, GIB, "nvml"),
                                ("cuda", 1, "L4", 24 * GIB, 4 * GIB, 20 * GIB, "nvml")]),
    # A card without its own count: no figures, the others unaffected.
    dict(devices=f"T4|0|0|s;T4|{GIB}|0",
         expected=[("cuda", 0, "T4", None, None, None, "unavailable"),
                   ("cuda", 1, "T4", GIB, GIB, 0, "nvml")]),
    dict(devices=f"A100|{GIB}|0", fail="nvmlDeviceGetMemoryInfo=999",
         expected=[("cuda", 0, "A100", None, None, None, "unavailable")]),
    # A name filling the whole buffer without a terminator stops at its end.
    dict(devices=f"ABC|{GIB}|0|u", expected=[("cuda", 0, ("ABC" * 32)[:96], GIB, GIB, 0, "nvml")]),
    # NVML failing leaves the CUDA driver's totals, never a guessed free figure.
    dict(devices=TWO, fail="nvmlInit_v2=9", version=12040,
         expected=[("cuda", 0, "A100", 80 * GIB, None, None, "cuda-driver"),
                   ("cuda", 1, "L4", 24 * GIB, None, None, "cuda-driver")]),
    dict(devices=TWO, fail="nvmlDeviceGetName=999", version=12040,
         expected=[("cuda", 0, "A100", 80 * GIB, None, None, "cuda-driver"),
                   ("cuda", 1, "L4", 24 * GIB, None, None, "cuda-driver")]),
    dict(devices=TWO, libs=["cuda"], version=12040,
         expected=[("cuda", 0, "A100", 80 * GIB, None, None, "cuda-driver"),
                   ("cuda", 1, "L4", 24 * GIB, None, None, "cuda-driver")]),
    dict(devices=f"ABC|{GIB}|0|u", libs=["cuda"], version=12040,
         expected=[("cuda", 0, ("ABC" * 86)[:256], GIB, None, None, "cuda-driver")]),
    dict(devices=TWO, fail="nvmlInit_v2=9,cuInit=100", expected=[]),
    dict(devices="", expected=[]),
    dict(devices=TWO, libs=[], expected=[]),
    # NVML ignores the runtime's device selection: device 0 is the L4 here.
    dict(devices=TWO, extra={"CUDA_VISIBLE_DEVICES": "1"},
         expected=[("cuda", 0, "L4", 24 * GIB, 4 * GIB, 20 * GIB, "nvml")]),
    dict(devices=SAME, extra={"CUDA_VISIBLE_DEVICES": "GPU-fake-1,0,7,1"},
         expected=[("cuda", 0, "A100", 40 * GIB, 39 * GIB, GIB, "nvml"),
                   ("cuda", 1, "A100", 80 * GIB, 79 * GIB, GIB, "nvml")]),
    # Different cards: NVML's bus order is not CUDA's; the driver's bus ids match them.
    dict(devices=REVERSED, version=12040,
         expected=[("cuda", 0, "A100", 80 * GIB, 79 * GIB, GIB, "nvml"),
                   ("cuda", 1, "L4", 24 * GIB, 4 * GIB, 20 * GIB, "nvml")]),
    dict(devices=REVERSED, version=12040, extra={"CUDA_VISIBLE_DEVICES": "1"},
         expected=[("cuda", 0, "L4", 24 * GIB, 4 * GIB, 20 * GIB, "nvml")]),
    dict(devices=REVERSED, version=12040, extra={"CUDA_DEVICE_ORDER": "PCI_BUS_ID"},
         expected=[("cuda", 0, "L4", 24 * GIB, 4 * GIB, 20 * GIB, "nvml"),
                   ("cuda", 1, "A100", 80 * GIB, 79 * GIB, GIB, "nvml")]),
    dict(devices=REVERSED, libs=["nvml"], expected=[]),  # no driver to tell the order
], ids=lambda case: ",".join(f"{k}={v}" for k, v in case.items() if k in ("fail", "libs", "extra"))
    or case["devices"][:20] or "none")
def test_cuda(fake_libs, case):
    expected = case.pop("expected")
    records, calls = run(fake_libs, nodes=NVIDIA, **case)
    assert figures(records) == expected
    # Never a context or an allocation, and NVML closed whenever it opened.
    assert not {"cuCtxCreate_v2", "cuDevicePrimaryCtxRetain", "cuMemGetInfo_v2",
                "cuMemAlloc_v2"} & set(calls)
    assert calls.count("nvmlInit_v2") - ("nvmlInit_v2=" in case.get("fail", "")) \
        == calls.count("nvmlShutdown")


AMD = {"vendor": "0x1002\n", "device": "0x740f\n"}


@pytest.mark.parametrize("case", [
    dict(cards={"card0": {**AMD, "product_name": "Instinct MI210\n",
                          "mem_info_vram_total": f"{64 * GIB}\n", "mem_info_vram_used": f"{GIB}\n"},
                "card0-DP-1": {"vendor": "0x1002\n"},  # a connector, not a card
                "card1": {"vendor": "0x8086\n", "mem_info_vram_total": "1\n"},
                "card2": {**AMD, "mem_info_vram_total": f"{GIB}\n"},
                "card10": {**AMD, "mem_info_vram_total": "100\n", "mem_info_vram_used": "200\n"}},
         expected=[("rocm", 0, "Instinct MI210", 64 * GIB, 63 * GIB, GIB, "sysfs"),
                   ("rocm", 1, "AMD GPU 0x740f", GIB, None, None, "sysfs"),
                   ("rocm", 2, "AMD GPU 0x740f", 100, None, None, "sysfs")]),
    # No counters in sysfs: the ROCm SMI library.
    dict(cards={"card0": AMD}, devices=f"MI300X|{192 * GIB}|{2 * GIB}|u",
         expected=[("rocm", 0, ("MI300X" * 43)[:256], 192 * GIB, 190 * GIB, 2 * GIB, "rocm-smi")]),
    dict(devices=f"MI300X|{192 * GIB}|{2 * GIB}", fail="rsmi_dev_memory_usage_get=2",
         version=60140091,
         expected=[("rocm", 0, "MI300X", 192 * GIB, None, None, "hip")]),
    dict(devices=f"MI300X|{GIB}|{2 * GIB}", version=60140091,  # used above total
         expected=[("rocm", 0, "MI300X", GIB, None, None, "hip")]),
    dict(devices="", expected=[]),
], ids=["sysfs", "rocm-smi", "smi-fails", "smi-contradicts", "none"])
def test_rocm(fake_libs, case):
    expected = case.pop("expected")
    records, calls = run(fake_libs, nodes=["/dev/kfd"], **case)
    assert figures(records) == expected
    if expected and expected[0][-1] == "sysfs":
        assert calls == []  # the counters alone: no library loaded
    assert calls.count("rsmi_init") == calls.count("rsmi_shut_down")


INTEL = {"renderD128": {"vendor": "0x8086\n"}}


@pytest.mark.parametrize("case", [
    dict(devices=f"Max 1550|{128 * GIB}|{8 * GIB}|t;Xeon|{GIB}|0|c;iGPU|0|0|s;A770|{16 * GIB}|0|u",
         expected=[("oneapi", 0, "Max 1550", 128 * GIB, 120 * GIB, 8 * GIB, "level-zero-sysman"),
                   ("oneapi", 1, "iGPU", None, None, None, "unavailable"),
                   ("oneapi", 2, ("A770" * 64)[:256], 16 * GIB, 16 * GIB, 0, "level-zero-sysman")]),
    # Sysman failing leaves the core API's totals.
    dict(devices=f"A770|{16 * GIB}|{GIB}", fail="zesMemoryGetState=0x78000001", version=0x10003,
         expected=[("oneapi", 0, "A770", 16 * GIB, None, None, "level-zero")]),
    dict(devices=f"A770|{16 * GIB}|{GIB}", fail="zesInit=0x78000001,zeInit=0x78000001",
         expected=[]),
], ids=["sysman", "sysman-fails", "all-fail"])
def test_oneapi(fake_libs, case):
    expected = case.pop("expected")
    records, _ = run(fake_libs, nodes=["/dev/dri/renderD128"], cards=INTEL, **case)
    assert figures(records) == expected


def test_backends_in_registry_order_and_probe(fake_libs):
    """CUDA before ROCm; the probe's report is still the registry's, unchanged."""
    cards = {"card1": {**AMD, "mem_info_vram_total": "300\n", "mem_info_vram_used": "100\n"}}
    code = ("import velkora.native.hostprobe as hp\n"
            "records = [r.to_dict() for r in velkora.gpu.memory()]\n"
            "print(json.dumps([records, hp.detect_gpu_backends()]))")
    (records, probe), _ = run(fake_libs, nodes=NVIDIA + ["/dev/kfd"], cards=cards,
                              devices=f"A|{int(7.999 * GIB)}|{GIB}", version=12040, code=code)
    assert [(r["backend"], r["source"]) for r in records] == [("cuda", "nvml"), ("rocm", "sysfs")]
    assert probe == {"has_gpu": True, "gpu_count": 1, "gpu_memory_mb": 8190, "cuda_available": True,
                     "rocm_available": True, "oneapi_available": False, "active_backend": "cuda",
                     "backend_version": "12.4"}


def test_no_device_loads_nothing(fake_libs):
    code = ("before = set(sys.modules)\n"
            "print(json.dumps([velkora.gpu.memory(), sorted(m for m in set(sys.modules) - before\n"
            "                  if m in ('ctypes', 'velkora.gpu._drivers'))]))")
    (records, loaded), calls = run(fake_libs, devices=TWO, code=code)
    assert (records, loaded, calls) == ([], [], [])


def rows(text):
    """The table's (label, value) rows."""
    return [tuple(part.strip() for part in line.strip().split("  ", 1))
            for line in text.splitlines()[1:]]


@pytest.mark.parametrize("records, expected", [
    ([gpu.DeviceMemory("cuda", 0, "A100", 80 * GIB, 60 * GIB, 20 * GIB, "nvml"),
      gpu.DeviceMemory("cuda", 1, "GH", None, None, None, "unavailable"),
      gpu.DeviceMemory("rocm", 0, "MI", 2 * GIB + 2 ** 19, None, None, "hip")],
     [("GPU 0 (cuda)", "A100: 81920 MiB total, 61440 MiB free (nvml)"),
      ("GPU 1 (cuda)", "GH: total unknown, free unknown"),
      ("GPU 0 (rocm)", "MI: 2048 MiB total, free unknown (hip)")]),
    ([], []),
])
def test_table_shows_free_beside_total(monkeypatch, records, expected):
    monkeypatch.setattr(gpu, "memory", lambda: records)
    caps = {"has_gpu": True, "gpu_count": 2, "gpu_memory_mb": 81920, "active_backend": "cuda"}
    table = rows(_report.format_report(caps, cpu_quota=None))
    after = [label for label, _ in table].index("GPU memory") + 1
    assert table[after:after + len(expected)] == expected
    assert table[after + len(expected)][0] == "Active backend"
    # Given records are shown as given; a host without a GPU asks no driver.
    given = rows(_report.format_report(caps, cpu_quota=None, gpu_memory=records[:1]))
    assert given[after:after + len(expected[:1])] == expected[:1]
    monkeypatch.setattr(gpu, "memory", lambda: pytest.fail("asked for memory without a GPU"))
    assert "GPU memory" in _report.format_report({**caps, "has_gpu": False}, cpu_quota=None)


def test_table_survives_failing_memory(monkeypatch):
    def broken():
        raise RuntimeError("driver gone")
    monkeypatch.setattr(gpu, "memory", broken)
    text = _report.format_report({"has_gpu": True, "gpu_memory_mb": 8}, cpu_quota=None)
    assert "GPU memory" in text and "GPU cuda" not in text


def test_record_is_frozen_and_plain():
    record = gpu.DeviceMemory("oneapi", 2, "A770", 16, 8, 8, "level-zero-sysman")
    assert record.to_dict() == {"backend": "oneapi", "index": 2, "name": "A770", "total": 16,
                                "free": 8, "used": 8, "source": "level-zero-sysman"}
    with pytest.raises(AttributeError):
        record.free = 0  # type: ignore[misc]
