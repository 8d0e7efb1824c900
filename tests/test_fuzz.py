"""Seeded random calls of every function: each returns or raises an ordinary
exception. The calls run in a child process so that a crash is reported with
the seed and the call that caused it."""
import os
import tempfile
import unittest

from support import SANITIZED, run_python

CALLS_PER_SEED = 3000 if SANITIZED else 20000
SEEDS = [int(s) for s in os.environ.get("VELKORA_FUZZ_SEEDS", "1,2,3").split(",")]

FUZZER = r'''
import random, sys
import velkora.gpu.accelplan as ap
import velkora.plugins.analyzer.adaptlogic as al

seed, count, log_path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
rng = random.Random(seed)
FUNCS = [f for m in (al, ap) for n, f in vars(m).items() if hasattr(f, "__signature__")]
NUMBERS = [0, 1, -1, 2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64,
           -2**64, 10**30, 0.0, -0.0, 0.5, 1e308, -1e308, 5e-324, float("nan"), float("inf"),
           float("-inf"), True, False]
STRINGS = ["", "zeros", "matmul", "CUDA out of memory", "a", "mixed", "\u0130", "x" * 300]


class Hostile:
    """Conversions that raise, return the wrong type, or mutate a list."""
    def __init__(self, mode, target=None):
        self.mode, self.target = mode, target
    def _act(self, value):
        if self.mode == "raise":
            raise ArithmeticError("hostile")
        if self.mode == "wrong":
            return "wrong"
        if self.mode == "clear" and self.target is not None:
            self.target.clear()
        if self.mode == "grow" and self.target is not None:
            self.target.extend([(1.0, 2.0)] * 3)
        return value
    def __float__(self):
        return self._act(1.5)
    def __int__(self):
        return self._act(3)
    def __index__(self):
        return self._act(3)
    def __bool__(self):
        return self._act(True)
    def __iter__(self):
        if self.mode == "raise":
            raise ArithmeticError("hostile iter")
        self._act(None)
        return iter((1.0, 2.0))


def scalar(depth=0):
    r = rng.random()
    if r < 0.5:
        return rng.choice(NUMBERS)
    if r < 0.6:
        return rng.choice(STRINGS)
    if r < 0.65:
        return None
    if r < 0.75:
        return Hostile(rng.choice(["raise", "wrong", "ok"]))
    if r < 0.85:
        return rng.uniform(-1e6, 1e6)
    if depth < 2:
        return entry(depth + 1, None)
    return rng.randint(-10, 10)


def entry(depth, owner):
    r = rng.random()
    if r < 0.4:
        return (scalar(depth), scalar(depth))
    if r < 0.5:
        return [scalar(depth), scalar(depth)]
    if r < 0.6:
        return tuple(scalar(depth) for _ in range(rng.randint(0, 3)))
    if r < 0.7:
        return Hostile(rng.choice(["raise", "clear", "grow", "ok"]), owner)
    if r < 0.8:
        return {"parallelization_potential": scalar(depth), "cpu_intensity": scalar(depth),
                "memory_intensity": scalar(depth)}
    if r < 0.9:
        return rng.choice(STRINGS + [None])
    return (Hostile(rng.choice(["clear", "grow", "raise"]), owner), scalar(depth))


def argument():
    r = rng.random()
    if r < 0.55:
        return scalar()
    if r < 0.8:
        owner = []
        owner.extend(entry(0, owner) for _ in range(rng.choice([0, 1, 5, 6, 10, 12, 40])))
        return owner
    if r < 0.95:
        return tuple(rng.choice(NUMBERS + [Hostile("raise"), Hostile("wrong"), 2.9, 0])
                     for _ in range(rng.randint(0, 4)))
    return {"a": 1}


with open(log_path, "w") as log:
    for i in range(count):
        func = rng.choice(FUNCS)
        names = list(func.__signature__.parameters)
        nargs = rng.randint(0, len(names) + 1)
        args = [argument() for _ in range(nargs)]
        kwargs = {}
        if args and rng.random() < 0.3:
            split = rng.randint(0, len(args))
            extra = names + ["bogus"]
            for value in args[split:]:
                kwargs[rng.choice(extra)] = value
            args = args[:split]
        log.seek(0)
        log.write(f"call {i}: {func.__name__} args={args!r:.2000} kwargs={kwargs!r:.2000}\n")
        log.truncate()
        log.flush()
        try:
            func(*args, **kwargs)
        except SystemError:
            raise
        except Exception:
            pass
print("done")
'''


class FuzzTest(unittest.TestCase):
    def test_random_calls(self):
        for seed in SEEDS:
            with self.subTest(seed=seed), tempfile.NamedTemporaryFile("r") as log:
                result = run_python(FUZZER, str(seed), str(CALLS_PER_SEED), log.name, timeout=600)
                last = open(log.name).read().strip()
                self.assertEqual(result.returncode, 0,
                                 f"seed {seed} failed at {last}\n{result.stderr[-3000:]}")
                self.assertEqual(result.stdout.strip(), "done")


if __name__ == "__main__":
    unittest.main()
