"""Start-up cost of `velkora plan` beside a bare interpreter start.

Runs, in turn within each repeat, a bare interpreter (`python -c pass`), the
command (`python -m velkora plan ...`, the same interpreter and flags the
console script uses) for a plain array and for a matmul, the same plan
through the Python API with its dataclasses, and the floor any planning
command pays (argparse and the native planner's import); each ratio is formed repeat by
repeat against the bare start of that repeat, then its median taken. Prints a
table and rewrites the "## Plan command start" section of bench/RESULTS.md
(`--quick`: fewer repeats, writes nothing).

    PYTHONPATH=build/python python3.12 bench/plan_start.py [--quick]
"""
import datetime
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "RESULTS.md"
HEADING = "## Plan command start"
QUICK = "--quick" in sys.argv
REPEATS = 5 if QUICK else 40
TARGET = 2.0

CASES = [
    ("bare interpreter: `python -c pass`", ["-c", "pass"]),
    # What any command that plans must load: its parser, and the native
    # planner, whose import loads logging for its load line.
    ("floor: `python -c 'import argparse, velkora.gpu.accelplan'`",
     ["-c", "import argparse, velkora.gpu.accelplan"]),
    ("`velkora plan 100000,1000 --dtype float32 --free 2GB`",
     ["-m", "velkora", "plan", "100000,1000", "--dtype", "float32", "--free", "2GB"]),
    ("`velkora plan 50000,50000 --dtype f4 --op matmul --free 24GB --json`",
     ["-m", "velkora", "plan", "50000,50000", "--dtype", "f4", "--op", "matmul", "--free",
      "24GB", "--json"]),
    ("API: `velkora.plan((100000, 1000), 'float32', free='2GB')`",
     ["-c", "import velkora; velkora.plan((100000, 1000), 'float32', free='2GB')"]),
]


def once(args):
    start = time.perf_counter()
    subprocess.run([sys.executable, *args], check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    for _, args in CASES:  # warm the file cache
        once(args)
    times = {label: [] for label, _ in CASES}
    for _ in range(REPEATS):
        for label, args in CASES:
            times[label].append(once(args))
    bare = times[CASES[0][0]]
    rows = []
    for label, _ in CASES:
        ratio = statistics.median(t / b for t, b in zip(times[label], bare))
        verdict = "" if not label.startswith(("`", "API")) else (
            " met" if ratio <= TARGET else " MISSED")
        rows.append(f"| {label} | {statistics.median(times[label]) * 1e3:.1f} ms | "
                    f"{ratio:.2f}x{verdict} |")
    table = "\n".join(["| run | median wall time | ÷ bare start |", "| --- | --- | --- |", *rows])
    print(table)
    if QUICK:
        return
    section = (
        f"{HEADING}\n\n"
        f"Machine: {platform.system()} {platform.release()}, {os.cpu_count()} CPUs, Python "
        f"{platform.python_version()}; {datetime.datetime.now().isoformat(timespec='seconds')}."
        f"\nMedians of {REPEATS} fresh processes per row, run in turn within each repeat; "
        f"the ratio is taken repeat by repeat against that repeat's bare start (target: at "
        f"most {TARGET:g}x for the command). `bench/plan_start.py` writes this section.\n\n"
        f"{table}\n")
    text = RESULTS.read_text()
    if HEADING in text:
        head, _, rest = text.partition(HEADING)
        following = rest.find("\n## ")
        text = head + section + ("\n" + rest[following + 1:] if following >= 0 else "")
    else:
        text = text.rstrip("\n") + "\n\n" + section
    RESULTS.write_text(text)


if __name__ == "__main__":
    main()
