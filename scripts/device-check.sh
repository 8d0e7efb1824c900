#!/usr/bin/env bash
# On a machine with a GPU: compares what the package reads with the vendor's
# own tool (nvidia-smi, rocm-smi), which no stand-in driver can show: the
# probe's report, velkora.gpu.memory() per device, and plans made against
# the memory free now. One line per check; exit status 1 on any mismatch.
# Where no device is present it says so and exits 0. Builds first where
# needed (scripts/run.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VELKORA_BUILD_DIR:-build}
# The vendor tools list every card in bus order; so must the package here.
unset CUDA_VISIBLE_DEVICES HIP_VISIBLE_DEVICES ROCR_VISIBLE_DEVICES
export CUDA_DEVICE_ORDER=PCI_BUS_ID
./scripts/run.sh --json >/dev/null
python=$(sed -n "s/^Python_EXECUTABLE:[A-Z]*=//p" "$build/CMakeCache.txt")
PYTHONPATH="$PWD/$build/python" exec "$python" - <<'EOF'
import json
import shutil
import subprocess
import sys

import velkora
import velkora.gpu
from velkora.native import hostprobe

MIB = 2 ** 20
failed = False


def check(ok, what, detail):
    global failed
    failed |= not ok
    print(f"{'ok' if ok else 'MISMATCH':<9}{what}: {detail}")


def tool(*command):
    if shutil.which(command[0]) is None:
        return None
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.SubprocessError):
        return None
    return result.stdout if result.returncode == 0 else None


def near(a, b, slack):
    return a is not None and b is not None and abs(a - b) <= slack


def nvidia(rows):
    """[(name, total, used, free)] in bytes, from nvidia-smi's CSV (MiB)."""
    devices = []
    for line in rows.strip().splitlines()[1:]:
        name, *figures = [cell.strip() for cell in line.split(",")]
        devices.append((name, *(int(f.split()[0]) * MIB for f in figures)))
    return devices


def amd(text):
    """[(None, total, used, free)] in bytes, from rocm-smi's JSON."""
    cards = json.loads(text)
    devices = []
    for card in sorted((c for c in cards if c.startswith("card")), key=lambda c: int(c[4:])):
        total = int(cards[card]["VRAM Total Memory (B)"])
        used = int(cards[card]["VRAM Total Used Memory (B)"])
        devices.append((None, total, used, total - used))
    return devices


caps = hostprobe.detect_capabilities()
records = velkora.gpu.memory()
smi = tool("nvidia-smi", "--query-gpu=name,memory.total,memory.used,memory.free", "--format=csv")
rsmi = tool("rocm-smi", "--showmeminfo", "vram", "--json")
backend, devices, tool_name = None, [], None
for backend, text, read, tool_name in (("cuda", smi, nvidia, "nvidia-smi"),
                                       ("rocm", rsmi, amd, "rocm-smi")):
    if text is not None:
        try:
            devices = read(text)
        except (ValueError, KeyError, IndexError, TypeError) as exc:
            check(False, f"{tool_name} output", f"not understood ({exc!r}): {text[:200]!r}")
            sys.exit(1)
        break
else:
    backend = tool_name = None

if backend is None:
    print(f"no GPU device present (no nvidia-smi or rocm-smi answers); the probe reports "
          f"has_gpu={caps['has_gpu']}, velkora.gpu.memory() lists {len(records)} device(s)")
    check(not caps["has_gpu"] and not records, "no device",
          "the probe and velkora.gpu.memory() agree" if not caps["has_gpu"] and not records
          else "the package sees a GPU that no vendor tool reports")
    sys.exit(1 if failed else 0)

print(f"{tool_name}: {len(devices)} device(s)")
# Totals differ between the driver's view and the tool's by what the driver
# reserves (well under 2 %); live figures move by what other processes do.
check(caps["active_backend"] == backend, "probe backend", f"{caps['active_backend']!r}, expected {backend!r}")
check(caps["gpu_count"] == len(devices), "probe device count", f"{caps['gpu_count']}, {tool_name} {len(devices)}")
smallest = min(total for _, total, _, _ in devices) if devices else 0
check(near(caps["gpu_memory_mb"] * MIB, smallest, smallest // 50), "probe memory",
      f"{caps['gpu_memory_mb']} MiB, {tool_name} {smallest // MIB} MiB (smallest device)")
mine = [r for r in records if r.backend == backend]
check(len(mine) == len(devices), "memory() device count", f"{len(mine)}, {tool_name} {len(devices)}")
for record, (name, total, used, free) in zip(mine, devices):
    where = f"{backend} device {record.index}"
    check(record.free is not None, f"{where} source", f"{record.source!r}, free={record.free}")
    if name is not None:
        check(record.name == name, f"{where} name", f"{record.name!r}, {tool_name} {name!r}")
    check(near(record.total, total, MIB), f"{where} total",
          f"{(record.total or 0) // MIB} MiB, {tool_name} {total // MIB} MiB")
    for label, value, theirs in (("used", record.used, used), ("free", record.free, free)):
        check(near(value, theirs, max(total // 100, 64 * MIB)), f"{where} {label}",
              f"{(value or 0) // MIB} MiB, {tool_name} {theirs // MIB} MiB")

if devices:
    free = devices[0][3]
    plan = velkora.plan((1,), "float32")
    check(near(plan.free_bytes, free, max(devices[0][1] // 100, 64 * MIB)), "plan's free memory",
          f"{plan.free_bytes // MIB} MiB ({plan.free_source}), {tool_name} {free // MIB} MiB free on device 0")
    # float32 rows of 1 MiB: the planner takes dimensions up to 2**31 - 1.
    half = velkora.plan((free // 2 // MIB, MIB // 4), "float32", op="add", free=free)
    check(half.strategy == "gpu", "plan of half the free memory", f"strategy {half.strategy!r}, expected 'gpu'")
    double = velkora.plan((free * 2 // MIB, MIB // 4), "float32", op="add", free=free)
    check(double.strategy != "gpu", "plan of twice the free memory",
          f"strategy {double.strategy!r}, expected 'chunked' or 'cpu'")
sys.exit(1 if failed else 0)
EOF
