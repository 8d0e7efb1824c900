"""Benchmarks of the three modules against native floors and against peers,
all measured in the same run.

Run through scripts/bench.sh, which builds the bench-only floor and the peer
modules first. The peers are the same C++ rules bound through nanobind
(peer_nanobind) and through pybind11 (peer_pybind11), and the same rules in
plain Python (pyrules). Before timing anything the run checks, on a few
hundred inputs per function, that every peer returns what the module returns.

Prints the tables and writes them, with the machine and date, to
bench/RESULTS.md, keeping any section other tools appended there. Every
figure is a median over repeated runs; every comparison is a ratio of two
measurements interleaved in the same run.
"""
import datetime
import gc
import inspect
import os
import platform
import random
import statistics
import subprocess
import sys
import time
import timeit
import tracemalloc
from pathlib import Path

import benchfloor
import peer_nanobind
import peer_pybind11
import pyrules
import velkora.gpu.accelplan as ap
import velkora.native.hostprobe as hp
import velkora.plugins.analyzer.adaptlogic as al

HERE = Path(__file__).resolve().parent
QUICK = "--quick" in sys.argv
REPEATS = 5 if QUICK else 15
PROCESSES = 8 if QUICK else 30
TARGET_SECONDS = 0.01 if QUICK else 0.03
CHECK_INPUTS = 50 if QUICK else 300

PEERS = [("nanobind", peer_nanobind), ("pybind11", peer_pybind11), ("Python", pyrules)]
# Project time over peer time, at most.
PEER_TARGETS = {"nanobind": 1.0, "pybind11": 0.25, "Python": 0.5}
# Rules whose whole body is one or two comparisons (or one set lookup), which
# plain Python runs through its own specialised instructions.
COMPARISON_RULES = {"should_skip_adaptation", "detect_fragmentation_threshold",
                    "is_chunkable_operation"}
PYTHON_COMPARISON_TARGET = 0.8
FLOOR_TARGET = 1.25
SIZES = (10**3, 10**5, 10**6)
LINE_TARGET = 1.5  # history functions over the bare walk, at 10^6 entries

tables = {}  # title -> (header, rows)
misses = {}  # target -> what missed it


def table(title, header):
    tables[title] = (header, [])
    print(f"\n{title}\n" + " | ".join(header), flush=True)


def row(title, cells):
    tables[title][1].append(cells)
    print(" | ".join(str(c) for c in cells), flush=True)


def verdict(ok, what, target):
    """'met' or 'MISSED'; a miss is kept under its target for the summary."""
    if not ok:
        misses.setdefault(target, []).append(what)
    return "met" if ok else "MISSED"


def miss_summary():
    if not misses:
        return "Missed in this run: nothing.\n"
    lines = ["Missed in this run:\n"]
    for target, whats in misses.items():
        calls = {}
        for what in whats:
            name, _, call = what.partition(" (")
            calls.setdefault(name, []).append(call.rstrip(")"))
        named = [f"{name} ({', '.join(c for c in cs if c)})" if any(cs) else name
                 for name, cs in calls.items()]
        lines.append(f"- {target}: {', '.join(named)}\n")
    return "".join(lines)


# ---- timing --------------------------------------------------------------------

def timer(stmt, func, args):
    names = [f"a{i}" for i in range(len(args))]
    setup = f"f = F\n{', '.join(names) or '_'}{',' if len(names) == 1 else ''} = A or (None,)"
    return timeit.Timer(stmt, setup=setup, globals={"F": func, "A": tuple(args)})


def calibrate(t):
    number = 1
    while True:
        elapsed = t.timeit(number)
        if elapsed >= TARGET_SECONDS / 5:
            return max(1, int(number * TARGET_SECONDS / elapsed))
        number *= 4


def interleaved(cases, net=True):
    """Median seconds per call of each (statement, function, arguments) case,
    net of the bare timing loop when `net`, and the medians of the first
    case's time over each one's, the ratios taken repeat by repeat so that
    all are measured under the same load."""
    timers = [timer(stmt, f, args) for stmt, f, args in cases]
    loop_timer = timeit.Timer("pass")
    number = calibrate(timers[0])
    times = [[] for _ in cases]
    ratios = [[] for _ in cases]
    for _ in range(REPEATS):
        loop = loop_timer.timeit(number) if net else 0.0
        run = [max(t.timeit(number) - loop, 1e-12) / number for t in timers]
        for i, seconds in enumerate(run):
            times[i].append(seconds)
            ratios[i].append(run[0] / seconds)
    return [statistics.median(t) for t in times], [statistics.median(r) for r in ratios]


def call_stmt(names, keywords):
    args = [f"a{i}" for i in range(len(names))]
    if keywords:
        return f"f({', '.join(f'{n}={a}' for n, a in zip(names, args))})"
    return f"f({', '.join(args)})"


def params(func):
    return list(inspect.signature(func).parameters)


# ---- the peers return what the modules return ----------------------------------------

def _u(rng, high):
    return rng.randrange(high + 1)


def _f(rng, low, high):
    return rng.uniform(low, high)


def _pairs(rng, n, increasing=False):
    t = 0.0
    out = []
    for _ in range(n):
        t = t + rng.uniform(0.0, 2.0) if increasing else rng.uniform(0.0, 100.0)
        out.append((t, rng.uniform(50.0, 150.0) if not increasing else float(rng.randrange(10000))))
    return out


def _sample(rng):
    sample = {key: rng.uniform(0.0, 1.0) for key in pyrules.SAMPLE_KEYS}
    if rng.random() < 0.05:
        del sample[rng.choice(pyrules.SAMPLE_KEYS)]
    return sample


_WORDS = ["CUDA", "out of memory", "Out Of Memory", "memory", "GPU", "allocation", "failed",
          "Insufficient", "error", "tensor", "Tried to allocate 2.00 GiB", "Ünïcödé", "—"]
_TYPES = ["RuntimeError", "OutOfMemoryError", "torch.cuda.OutOfMemoryError", "ValueError",
          "MemoryError"]
_OPERATIONS = sorted(pyrules.CHUNKABLE_OPERATIONS | pyrules.NON_CHUNKABLE_OPERATIONS) + [
    "Zeros", "random", "", "transpose"]
_POOLS = ["thread", "process", "async"]

INPUTS = {
    "estimate_allocation_bytes": lambda r: (
        tuple(_u(r, 5000) for _ in range(r.randrange(5))), _u(r, 16), _f(r, 0.5, 2.0)),
    "calculate_safe_limit": lambda r: (_u(r, 2**40), _f(r, -0.2, 1.2)),
    "decide_allocation_strategy": lambda r: (
        _u(r, 2**36), _u(r, 2**36), _f(r, -0.1, 1.1), r.random() < 0.5),
    "compute_chunk_shapes": lambda r: (
        (_u(r, 100),) + tuple(_u(r, 50) for _ in range(r.randrange(3))), 1 + _u(r, 15),
        1 + _u(r, 10000)),
    "calculate_optimal_chunks": lambda r: (
        _u(r, 2**36), _u(r, 2**36), _f(r, 0.0, 1.0), 1 + _u(r, 4), 5 + _u(r, 2000)),
    "is_oom_error": lambda r: (" ".join(r.choices(_WORDS, k=r.randrange(1, 5))),
                               r.choice(_TYPES)),
    "is_chunkable_operation": lambda r: (r.choice(_OPERATIONS),),
    "score_gpu_suitability": lambda r: (
        _u(r, 2**36), r.choice(_OPERATIONS), _u(r, 2**36), _f(r, -0.1, 1.1)),
    "calculate_memory_pressure": lambda r: (_u(r, 2**36), _u(r, 2**36) * (r.random() < 0.95)),
    "recommend_headroom": lambda r: (_f(r, -0.2, 1.2), _f(r, 0.0, 1.0)),
    "detect_performance_degradation": lambda r: (
        _pairs(r, r.randrange(40)), _f(r, -10.0, 150.0), _f(r, 0.0, 0.5), _f(r, 0.0, 100.0)),
    "calculate_performance_trend": lambda r: (_pairs(r, r.randrange(40)), _f(r, 0.0, 100.0)),
    "detect_workload_characteristics_change": lambda r: (
        [_sample(r) for _ in range(r.randrange(10))], _f(r, 0.0, 0.5)),
    "detect_dominant_pattern": lambda r: (
        r.choices(_POOLS, k=r.randrange(20)), r.randrange(-2, 25)),
    "is_adaptation_beneficial": lambda r: (
        r.choice(_POOLS), r.choice(_POOLS), _f(r, -0.5, 1.5), _f(r, -0.5, 1.5),
        _f(r, -0.5, 1.5), r.randrange(-1, 3), _f(r, 0.5, 2.0), _f(r, 0.0, 1.0)),
    "should_skip_adaptation": lambda r: (_f(r, 0.0, 100.0), _f(r, 0.0, 100.0), _f(r, -5.0, 20.0)),
    "detect_memory_pressure": lambda r: (_f(r, -10.0, 200.0), _f(r, -10.0, 200.0),
                                         _f(r, -0.5, 1.5)),
    "detect_fragmentation_threshold": lambda r: (_f(r, -0.5, 1.5), _f(r, -0.5, 1.0)),
    "calculate_adaptation_urgency": lambda r: (
        _f(r, -0.5, 1.5), _f(r, -0.5, 1.5), _f(r, -0.5, 1.5), r.random() < 0.5),
    "score_pool_recommendation": lambda r: tuple(_f(r, -0.5, 1.5) for _ in range(4)),
    "predict_resource_requirements": lambda r: (
        _pairs(r, r.randrange(150), increasing=r.random() < 0.9), _f(r, -10.0, 100.0)),
}


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def check_peers():
    """Every peer returns exactly what the module returns, value and type."""
    rng = random.Random(20261207)
    for name, make in INPUTS.items():
        module_func = getattr(al if hasattr(al, name) else ap, name)
        for _ in range(CHECK_INPUTS):
            args = make(rng)
            expected = module_func(*args)
            for peer, module in PEERS:
                got = getattr(module, name)(*args)
                if not same(got, expected):
                    raise SystemExit(f"peer check: {peer} {name}{args!r} gave {got!r}, "
                                     f"the module {expected!r}")
    print(f"peer check: {len(INPUTS)} functions, {CHECK_INPUTS} inputs each: "
          "every peer returns what the module returns", flush=True)


# ---- per-call comparisons --------------------------------------------------------------

SCALARS = [
    (al, "is_adaptation_beneficial", ("fifo", "lifo", 0.9, 0.8, 0.7, 1, 1.1, 0.6)),
    (al, "should_skip_adaptation", (100.0, 104.9, 5.0)),
    (al, "detect_memory_pressure", (81.0, 100.0, 0.8)),
    (al, "detect_fragmentation_threshold", (0.31, 0.3)),
    (al, "calculate_adaptation_urgency", (0.3, 0.6, 0.2, True)),
    (al, "score_pool_recommendation", (0.8, 0.6, 0.7, 0.9)),
    (ap, "estimate_allocation_bytes", ((1000, 1000), 8, 1.5)),
    (ap, "calculate_safe_limit", (8_000_000_000, 0.2)),
    (ap, "decide_allocation_strategy", (2500, 1000, 0.2, True)),
    (ap, "compute_chunk_shapes", ((10, 4), 8, 100)),
    (ap, "calculate_optimal_chunks", (2500, 1000, 0.2, 1, 1000)),
    (ap, "is_oom_error", ("CUDA out of memory. Tried to allocate 2.00 GiB", "RuntimeError")),
    (ap, "is_chunkable_operation", ("random.randn",)),
    (ap, "score_gpu_suitability", (640, "zeros", 1000, 0.2)),
    (ap, "calculate_memory_pressure", (500, 1000)),
    (ap, "recommend_headroom", (0.7, 0.5)),
]

# The same-result floor makes a new object equal to what the function returns
# for the benchmark's arguments: True/False and small ints cost nothing, a
# float or a larger int must be made, a tuple or a list with its items.
def result_floor(func, args):
    example = func(*args)
    return benchfloor.result_floor(example), type(example).__name__


PEER_HEADER = ["project", "nanobind", "pybind11", "Python", "÷ nanobind", "÷ pybind11",
               "÷ Python"]


def peer_cells(name, call, times, ratios, unit, scale, digits):
    """Times of the project and its peers, then the project's time as a share
    of each peer's, each against its target."""
    cells = [f"{t * scale:.{digits}f} {unit}" for t in times[:4]]
    for (peer, _), ratio in zip(PEERS, ratios[1:4]):
        limit = PEER_TARGETS[peer]
        if peer == "Python" and name in COMPARISON_RULES:
            limit = PYTHON_COMPARISON_TARGET
        cells.append(f"{ratio:.2f}x "
                     + verdict(ratio <= limit, f"`{name}` ({call})", f"≤ {limit} × {peer}"))
    return cells


def bench_scalars():
    title = "Scalar functions: ns per call, net of the timing loop"
    table(title, ["function", "call"] + PEER_HEADER + ["÷ same-result floor"])
    for module, name, args in SCALARS:
        funcs = [getattr(module, name)] + [getattr(m, name) for _, m in PEERS]
        floor, result = result_floor(funcs[0], args)
        funcs.append(floor)
        for keywords in (False, True):
            stmt = call_stmt(params(funcs[0])[:len(args)], keywords)
            times, ratios = interleaved([(stmt, f, args) for f in funcs])
            call = "keywords" if keywords else "positional"
            cells = peer_cells(name, call, times, ratios, "ns", 1e9, 1)
            ok = verdict(ratios[4] <= FLOOR_TARGET, f"`{name}` ({call})",
                         f"≤ {FLOOR_TARGET} × the same-result floor")
            row(title, [f"`{name}`", call] + cells + [f"{ratios[4]:.2f}x ({result}) {ok}"])


def history(n):
    return [(float(i), 100.0 + (i % 7)) for i in range(n)]


HISTORY_CALLS = [
    ("detect_performance_degradation", lambda h: (h, 100.0, 0.15, 0.0)),
    ("calculate_performance_trend", lambda h: (h, 0.0)),
    ("predict_resource_requirements", lambda h: (h, 10.0)),
]


def bench_histories():
    title = "History functions: ns per entry"
    table(title, ["function", "entries", "call"] + PEER_HEADER + ["÷ bare walk"])
    for n in SIZES:
        data = history(n)
        for name, make_args in HISTORY_CALLS:
            args = make_args(data)
            funcs = [getattr(al, name)] + [getattr(m, name) for _, m in PEERS]
            for keywords in (False, True) if n == SIZES[0] else (False,):
                stmt = call_stmt(params(funcs[0]), keywords)
                cases = [(stmt, f, args) for f in funcs]
                cases.append(("f(a0)", benchfloor.read_pairs, (data,)))
                times, ratios = interleaved(cases, net=False)
                call = "keywords" if keywords else "positional"
                size = f"10^{len(str(n)) - 1}"
                cells = peer_cells(name, f"{call}, {size} entries", times, ratios, "ns", 1e9 / n, 2)
                walk = f"{ratios[4]:.2f}x"
                if n == SIZES[-1]:
                    walk += " " + verdict(ratios[4] <= LINE_TARGET, f"`{name}`",
                                          f"≤ {LINE_TARGET} × the bare walk at 10^6 entries")
                row(title, [f"`{name}`", size, call] + cells + [walk])
    title = "History functions: peak extra memory at 10^6 entries"
    table(title, ["function", "peak extra", "target", "verdict"])
    data = history(10**6)
    for name, make_args in HISTORY_CALLS:
        func = getattr(al, name)
        gc.collect()
        tracemalloc.start()
        func(*make_args(data))
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        row(title, [f"`{name}`", f"{peak / 1024:.1f} KiB", "< 64 KiB",
                    verdict(peak < 64 * 1024, f"`{name}`", "< 64 KiB extra memory")])


WINDOWED = [
    ("detect_dominant_pattern",
     lambda n: ([("thread", "process", "async")[i % 3] for i in range(n)], 5)),
    ("detect_workload_characteristics_change", lambda n: (
        [{"parallelization_potential": 0.5, "cpu_intensity": 0.3, "memory_intensity": 0.1}
         for _ in range(n)], 0.3)),
]


def bench_windowed():
    """The two rules that read only the end of their list: per call at 10^3
    entries, and the growth of the project's cost from 10^3 to 10^6."""
    title = "Windowed functions: ns per call at 10^3 entries, net of the timing loop"
    table(title, ["function", "call"] + PEER_HEADER + ["10^6 ÷ 10^3 entries"])
    for name, make in WINDOWED:
        funcs = [getattr(al, name)] + [getattr(m, name) for _, m in PEERS]
        for keywords in (False, True):
            args = make(10**3)
            stmt = call_stmt(params(funcs[0]), keywords)
            times, ratios = interleaved([(stmt, f, args) for f in funcs])
            call = "keywords" if keywords else "positional"
            cells = peer_cells(name, call, times, ratios, "ns", 1e9, 1)
            growth = ""
            if not keywords:
                big = make(10**6)
                (_, t_big), _ = interleaved([(stmt, funcs[0], args), (stmt, funcs[0], big)])
                flat = t_big / times[0]
                growth = f"{flat:.2f}x " + verdict(flat < 1.5, f"`{name}`",
                                                   "the same cost at 10^6 entries as at 10^3")
            row(title, [f"`{name}`", call] + cells + [growth])


# ---- imports and the probe's cold start -----------------------------------------------

def fresh(code, env=None):
    full_env = dict(os.environ, **(env or {}))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=full_env, check=True).stdout


TIMED_IMPORT = ("import time\n{prelude}t0 = time.perf_counter()\nimport {module}\n"
                "print((time.perf_counter() - t0) * 1000)\n")

IMPORTS = [
    # The two rule modules log a line at import through `logging`, which an
    # application has loaded anyway; it is imported before the clock starts.
    ("velkora.plugins.analyzer.adaptlogic", "import logging\n"),
    ("velkora.gpu.accelplan", "import logging\n"),
    ("velkora.native.hostprobe", ""),
]
IMPORT_TARGET = 0.5


def bench_imports():
    title = "Imports in a fresh interpreter, parent packages included"
    table(title, ["module", "import", "of which parent packages", "target", "verdict"])
    for module, prelude in IMPORTS:
        parent = module.rsplit(".", 1)[0]
        whole, parents = [], []
        for _ in range(PROCESSES):
            whole.append(float(fresh(TIMED_IMPORT.format(prelude=prelude, module=module))))
            parents.append(float(fresh(TIMED_IMPORT.format(prelude=prelude, module=parent))))
        ms = statistics.median(whole)
        row(title, [f"`{module}`" + (" (after `import logging`)" if prelude else ""),
                    f"{ms:.3f} ms", f"{statistics.median(parents):.3f} ms",
                    f"≤ {IMPORT_TARGET} ms",
                    verdict(ms <= IMPORT_TARGET, f"`{module}`", f"import ≤ {IMPORT_TARGET} ms")])


COLD = ("import time, sys\n"
        "t0 = time.perf_counter()\n"
        "import {module} as probe\n"
        "caps = probe.detect_capabilities()\n"
        "print(caps['detection_time_ms'], (time.perf_counter() - t0) * 1000)\n")


def wall(code):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", code], check=True, capture_output=True)
    return (time.perf_counter() - start) * 1000


def bench_cold_start():
    title = "The probe: first call in a fresh interpreter, and warm calls"
    table(title, ["what", "figure", "target", "verdict"])
    env_path = os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")])
    os.environ["PYTHONPATH"] = env_path
    for label, module, target in [("native", "velkora.native.hostprobe", 1.0),
                                  ("plain Python", "pyprobe", None)]:
        detection, walls, bare = [], [], []
        code = COLD.format(module=module)
        for _ in range(PROCESSES):
            detection.append(float(fresh(code).split()[0]))
            bare.append(wall("pass"))
            walls.append(wall(f"import {module} as p; p.detect_capabilities()"))
        ms = statistics.median(detection)
        net = statistics.median(walls) - statistics.median(bare)
        row(title, [f"first `detect_capabilities()`, {label}: detection_time_ms", f"{ms:.3f} ms",
                    f"< {target} ms" if target else "",
                    verdict(ms < target, f"{label} probe", f"first call < {target} ms")
                    if target else ""])
        row(title, [f"first `detect_capabilities()`, {label}: wall net of bare start",
                    f"{net:.2f} ms", "", ""])
    t = timeit.Timer("f()", setup="f = F", globals={"F": hp.detect_capabilities})
    number = calibrate(t)
    warm = statistics.median(t.timeit(number) / number * 1e6 for _ in range(REPEATS))
    row(title, ["warm `detect_capabilities()`", f"{warm:.1f} us", "", ""])


# ---- results ------------------------------------------------------------------------------

def machine():
    cpu = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return (f"{platform.system()} {platform.release()}, {cpu}, {os.cpu_count()} CPUs, "
            f"Python {platform.python_version()}")


def versions():
    return ", ".join(f"{name} {'.'.join(map(str, module.binding_version))}"
                     for name, module in PEERS[:2])


INTRO = """\
Every figure is a median over {repeats} repeats (process figures: {processes} fresh
interpreters); every ratio is formed repeat by repeat between measurements interleaved in
the same run, then its median taken.

The peers are the same C++ rules, from the same headers the modules include, bound through
nanobind (`peer_nanobind`) and through pybind11 (`peer_pybind11`) with the modules'
parameter names and defaults, and the same rules in plain Python (`bench/pyrules.py`).
Before timing, the run checks on {inputs} generated inputs per function that every peer
returns exactly what the module returns. The "÷ peer" columns are the project's time over
the peer's: below 1 the project is faster. Per-call figures are net of the timing loop.
The same-result floor is a no-op called through the vectorcall slot, the modules' own call
path, that returns a new object equal to what the function returns for the same
arguments: True/False or a small int cost it nothing (the interpreter's own objects), a
float or a larger int one new object, the decision tuple or the chunk shapes every new
object in them. History figures are whole calls per list entry; their last column is the
time over a bare native walk of the same list that reads both floats of every pair.
"""

BOUNDS = HERE / "bounds.md"
# Ends this script's part of RESULTS.md: the sections after it belong to the
# other benchmarks (the pool's, the cluster's) and are kept as they are.
END_MARK = "<!-- end of the bench/run.py results -->"


def kept_sections(text):
    if END_MARK in text:
        return text.split(END_MARK, 1)[1].strip("\n")
    # Without the mark, every section that is not one of this script's.
    own = set(tables) | {"What bounds the misses"}
    parts = text.split("\n## ")[1:]
    return "".join("\n## " + p for p in parts
                   if p.split("\n", 1)[0].strip() not in own).strip("\n")


def write_results():
    path = HERE / "RESULTS.md"
    kept = kept_sections(path.read_text(encoding="utf-8")) if path.exists() else ""
    text = [f"# Benchmark results\n\nMachine: {machine()}; {versions()}\n\n"
            f"Date: {datetime.datetime.now().isoformat(timespec='seconds')}\n\n",
            INTRO.format(repeats=REPEATS, processes=PROCESSES, inputs=CHECK_INPUTS)]
    for title, (header, rows) in tables.items():
        text.append(f"\n## {title}\n\n| {' | '.join(header)} |\n"
                    f"|{' --- |' * len(header)}\n")
        text.extend(f"| {' | '.join(str(c) for c in r)} |\n" for r in rows)
    text.append("\n## What bounds the misses\n\n")
    text.append(miss_summary() + "\n")
    if BOUNDS.exists():
        text.append(BOUNDS.read_text(encoding="utf-8").strip() + "\n")
    text.append(f"\n{END_MARK}\n")
    if kept:
        text.append(f"\n{kept}\n")
    path.write_text("".join(text), encoding="utf-8")


def main():
    check_peers()
    bench_scalars()
    bench_histories()
    bench_windowed()
    bench_imports()
    bench_cold_start()
    if not QUICK:
        write_results()
        print(f"\nwritten to {HERE / 'RESULTS.md'}")


if __name__ == "__main__":
    main()
