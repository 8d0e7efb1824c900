"""Benchmarks of the three modules against a native floor measured in the same run.

Run through scripts/bench.sh, which builds the bench-only floor module first.
Prints one table and writes it, with the machine and date, to bench/RESULTS.md.
Every figure is a median over repeated runs; every comparison is a ratio of
two measurements interleaved in the same run.
"""
import datetime
import gc
import os
import platform
import statistics
import subprocess
import sys
import time
import timeit
import tracemalloc
from pathlib import Path

import benchfloor
import velkora.gpu.accelplan as ap
import velkora.native.hostprobe as hp
import velkora.plugins.analyzer.adaptlogic as al

HERE = Path(__file__).resolve().parent
QUICK = "--quick" in sys.argv
REPEATS = 5 if QUICK else 15
PROCESSES = 8 if QUICK else 30
TARGET_SECONDS = 0.01 if QUICK else 0.03

rows = []  # (section, what, figure, ratio, target, verdict, ratio to the built-in floor,
#          ratio to the floor returning the same kind of result)


def record(section, what, figure, ratio="", target="", ok=None, builtin_ratio="",
           result_ratio=""):
    verdict = "" if ok is None else ("met" if ok else "MISSED")
    rows.append((section, what, figure, ratio, target, verdict, builtin_ratio, result_ratio))
    print(f"{section:<8} {what:<56} {figure:>14} {ratio:>7} {target:>9} {verdict:<6} "
          f"{builtin_ratio:>7} {result_ratio:>14}", flush=True)


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


def compare(stmt, func, floors, args):
    """Median ns per call of the function and the median of its interleaved
    ratios to each floor, all net of the bare loop timeit runs around the call."""
    t_func = timer(stmt, func, args)
    t_floors = [timer(stmt, floor, args) for floor in floors]
    t_loop = timeit.Timer("pass")
    number = calibrate(t_func)
    funcs, ratios = [], [[] for _ in floors]
    for _ in range(REPEATS):
        loop = t_loop.timeit(number)
        a = t_func.timeit(number) - loop
        funcs.append(a / number * 1e9)
        for t, r in zip(t_floors, ratios):
            b = t.timeit(number) - loop
            r.append(a / b if b > 0 else float("inf"))
    return statistics.median(funcs), [statistics.median(r) for r in ratios]


def call_stmt(names, keywords):
    args = [f"a{i}" for i in range(len(names))]
    if keywords:
        return f"f({', '.join(f'{n}={a}' for n, a in zip(names, args))})"
    return f"f({', '.join(args)})"


SCALARS = [
    (al, "is_adaptation_beneficial", "bool", ("fifo", "lifo", 0.9, 0.8, 0.7, 1, 1.1, 0.6)),
    (al, "should_skip_adaptation", "bool", (100.0, 104.9, 5.0)),
    (al, "detect_memory_pressure", "bool", (81.0, 100.0, 0.8)),
    (al, "detect_fragmentation_threshold", "bool", (0.31, 0.3)),
    (al, "calculate_adaptation_urgency", "float", (0.3, 0.6, 0.2, True)),
    (al, "score_pool_recommendation", "float", (0.8, 0.6, 0.7, 0.9)),
    (ap, "estimate_allocation_bytes", "int", ((1000, 1000), 8, 1.5)),
    (ap, "calculate_safe_limit", "int", (8_000_000_000, 0.2)),
    (ap, "decide_allocation_strategy", "tuple", (2500, 1000, 0.2, True)),
    (ap, "compute_chunk_shapes", "list", ((10, 4), 8, 100)),
    (ap, "calculate_optimal_chunks", "int", (2500, 1000, 0.2, 1, 1000)),
    (ap, "is_oom_error", "bool", ("CUDA out of memory. Tried to allocate 2.00 GiB", "RuntimeError")),
    (ap, "is_chunkable_operation", "bool", ("random.randn",)),
    (ap, "score_gpu_suitability", "float", (640, "zeros", 1000, 0.2)),
    (ap, "calculate_memory_pressure", "float", (500, 1000)),
    (ap, "recommend_headroom", "float", (0.7, 0.5)),
]




# The floor that returns what the function returns: a bool and a fixed tuple
# cost nothing to return, a float or an int must be made.
RESULT_FLOORS = {"bool": "vnoop", "tuple": "vnoop", "float": "vfloat", "int": "vint",
                 "list": "vnoop"}


def bench_scalars():
    import inspect
    for module, name, result, args in SCALARS:
        func = getattr(module, name)
        params = list(inspect.signature(func).parameters)
        floors = [benchfloor.vnoop, benchfloor.noop, getattr(benchfloor, RESULT_FLOORS[result])]
        for keywords in (False, True):
            stmt = call_stmt(params[:len(args)], keywords)
            ns, (ratio, builtin_ratio, result_ratio) = compare(stmt, func, floors, args)
            limit = 1.5 if keywords else 1.25
            record("scalar", f"{name} ({'keywords' if keywords else 'positional'})",
                   f"{ns:.1f} ns", f"{ratio:.2f}x", f"<= {limit}x", ratio <= limit,
                   f"{builtin_ratio:.2f}x", f"{result_ratio:.2f}x ({result})")


def history(n):
    return [(float(i), 100.0 + (i % 7)) for i in range(n)]


HISTORY_CALLS = [
    ("detect_performance_degradation", lambda h: (h, 100.0, 0.15, 0.0)),
    ("calculate_performance_trend", lambda h: (h, 0.0)),
    ("predict_resource_requirements", lambda h: (h, 10.0)),
]


def bench_histories():
    for n in (10**3, 10**5, 10**6):
        data = history(n)
        for name, make_args in HISTORY_CALLS:
            func = getattr(al, name)
            args = make_args(data)
            stmt = call_stmt(args, False)
            t_func, t_floor = timer(stmt, func, args), timer("f(a0)", benchfloor.read_pairs, (data,))
            number = calibrate(t_func)
            per, ratios = [], []
            for _ in range(REPEATS):
                a = t_func.timeit(number)
                b = t_floor.timeit(number)
                per.append(a / number / n * 1e9)
                ratios.append(a / b)
            ratio = statistics.median(ratios)
            target = n == 10**6
            record("history", f"{name}, 10^{len(str(n)) - 1} entries",
                   f"{statistics.median(per):.2f} ns/entry", f"{ratio:.2f}x",
                   "<= 1.5x" if target else "", (ratio <= 1.5) if target else None)
    data = history(10**6)
    for name, make_args in HISTORY_CALLS:
        func = getattr(al, name)
        gc.collect()
        tracemalloc.start()
        func(*make_args(data))
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        record("memory", f"{name}, 10^6 entries, peak extra", f"{peak / 1024:.1f} KiB", "",
               "< 64 KiB", peak < 64 * 1024)


def bench_windowed():
    names = ["thread", "process", "async"]
    for name, make in [
        ("detect_dominant_pattern", lambda n: ([names[i % 3] for i in range(n)], 5)),
        ("detect_workload_characteristics_change", lambda n: (
            [{"parallelization_potential": 0.5, "cpu_intensity": 0.3, "memory_intensity": 0.1}
             for _ in range(n)], 0.3)),
    ]:
        func = getattr(al, name)
        costs = {}
        for n in (10**3, 10**6):
            args = make(n)
            t = timer(call_stmt(args, False), func, args)
            number = calibrate(t)
            costs[n] = statistics.median(t.timeit(number) / number * 1e9 for _ in range(REPEATS))
        growth = costs[10**6] / costs[10**3]
        record("window", f"{name}, 10^6 vs 10^3 entries", f"{costs[10**6]:.1f} ns",
               f"{growth:.2f}x", "flat", growth < 1.5)


def run_fresh(code, env=None):
    full_env = dict(os.environ, **(env or {}))
    out = subprocess.run([sys.executable, "-X", "importtime", "-c", code], capture_output=True,
                         text=True, env=full_env, check=True)
    return out


def import_micros(stderr, module):
    for line in stderr.splitlines():
        if line.rstrip().endswith("| " + module) or line.split("|")[-1].strip() == module:
            return int(line.split("|")[1])
    raise RuntimeError(f"no import time for {module}")


def bench_imports():
    cases = [
        ("velkora.plugins.analyzer.adaptlogic", "import logging, velkora.plugins.analyzer\n", 0.3),
        ("velkora.gpu.accelplan", "import logging, velkora.gpu\n", 0.3),
        ("velkora.native.hostprobe", "import velkora.native\n", 0.5),
    ]
    for module, prelude, limit in cases:
        samples = []
        for _ in range(PROCESSES):
            out = run_fresh(prelude + f"import {module}")
            samples.append(import_micros(out.stderr, module) / 1000)
        ms = statistics.median(samples)
        extra = " beyond import logging" if "logging" in prelude else ""
        record("import", f"{module}{extra}", f"{ms:.3f} ms", "", f"< {limit} ms", ms < limit)


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
    env_path = os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")])
    os.environ["PYTHONPATH"] = env_path
    for label, module, target in [("native", "velkora.native.hostprobe", 1.0),
                                  ("plain Python", "pyprobe", None)]:
        detection, walls, bare = [], [], []
        code = COLD.format(module=module)
        for _ in range(PROCESSES):
            out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                                 check=True).stdout.split()
            detection.append(float(out[0]))
            bare.append(wall("pass"))
            walls.append(wall(f"import {module} as p; p.detect_capabilities()"))
        ms = statistics.median(detection)
        net = statistics.median(walls) - statistics.median(bare)
        record("cold", f"first detect_capabilities(), {label}: detection_time_ms",
               f"{ms:.3f} ms", "", f"< {target} ms" if target else "",
               (ms < target) if target else None)
        record("cold", f"first detect_capabilities(), {label}: wall net of bare start",
               f"{net:.2f} ms")
    t = timeit.Timer("f()", setup="f = F", globals={"F": hp.detect_capabilities})
    number = calibrate(t)
    warm = statistics.median(t.timeit(number) / number * 1e6 for _ in range(REPEATS))
    record("warm", "detect_capabilities()", f"{warm:.1f} us")


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


MISSES = """
## What bounds the misses

- Scalar functions that return a new float or int pay for making and freeing that
  object (about 80 instructions per call with this shared-library interpreter, most of
  them thread-state look-ups), which the no-op floor, returning None, does not. Against
  the floor that returns the same kind of result they cost 1.1x to 1.5x. Functions
  returning True/False or a fixed tuple meet their targets or come close.
- `decide_allocation_strategy` (chunked case) and `compute_chunk_shapes` build a tuple
  with a message, or a list of tuples: their cost is those objects.
- Module imports: loading any extension module's shared library costs about 0.17 ms on
  this machine (measured with a bare dlopen, the same for the interpreter's own
  extension modules), plus about 0.06 ms for the finder; the module bodies take about
  0.1 ms.
- The probe's first call imports two modules it must import: the sub-interpreter
  module (about 0.3 ms, loading its shared library) and the GPU backend registry (about
  0.4 ms, of which reading its bytecode from this machine's file system is about 0.16 ms).
"""


def write_results():
    header = ("| section | what | figure | ratio | target | verdict | ratio to built-in "
              "| ratio to same-result floor |\n"
              "| --- | --- | --- | --- | --- | --- | --- | --- |\n")
    body = "".join(f"| {' | '.join(str(c) for c in r)} |\n" for r in rows)
    text = (f"# Benchmark results\n\nMachine: {machine()}\n\n"
            f"Date: {datetime.datetime.now().isoformat(timespec='seconds')}\n\n"
            "Scalar ratios are to a no-op called through the vectorcall slot with the same "
            "arguments (the call path of the modules' own function objects), net of the "
            "timing loop. The 'ratio to built-in' column compares with a no-op built-in "
            "fast-call function, which the interpreter calls through a specialised "
            "instruction that only built-in functions get (an object with a settable "
            "__defaults__ cannot be one); the 'same-result floor' column compares with the "
            "vectorcall no-op that returns a new result of the function's kind (a float, an "
            "int), the least a function with that result can cost. History ratios are to a bare native walk reading "
            "both floats of every 2-tuple. All ratios are interleaved in the same run. "
            "Figures are medians of "
            f"{REPEATS} runs; process figures of {PROCESSES} fresh interpreters.\n\n"
            + header + body + MISSES)
    (HERE / "RESULTS.md").write_text(text, encoding="utf-8")


def main():
    print(f"{'section':<8} {'what':<56} {'figure':>14} {'ratio':>7} {'target':>9} {'':<6} "
          f"{'builtin':>7} {'same result':>14}")
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
