"""velkora.plan: plans that hold together, from any input a program gives."""
import json
import unittest

from support import SANITIZED, run_python

import velkora
from velkora import planning
from velkora._planinput import builtin_dtype, resolve_dtype
from velkora.gpu import accelplan

numpy = None
if not SANITIZED:  # numpy's own allocations are not this project's to check for leaks
    try:
        import numpy
    except ImportError:
        pass

GiB = 2**30


class PlanTest(unittest.TestCase):
    def test_plans_never_contradict_themselves(self):
        rows = [
            # shape, dtype, options, strategy, runs, decision's count, reason fragment
            ((100000, 1000), "float32", dict(free=2e9), "gpu", [(1, (100000, 1000))], 1,
             "fits in GPU memory"),
            ((1000000, 1000), "f8", dict(free="2GB", used=6e9, total=8e9), "chunked",
             [(10, (93750, 1000)), (1, (62500, 1000))], 11, "Chunking into 11 GPU passes"),
            # Whole rows need more passes than bytes alone: both counts are told.
            ((7, 3), 1, dict(free=5, headroom=0), "chunked", [(7, (1, 3))], 5,
             "make 7 chunks where the byte count alone needs 5"),
            # Millions of chunks come back as runs, not a list.
            ((2000000000, 1), "int8", dict(free=1000, headroom=0), "chunked",
             [(2000000, (1000, 1))], 2000000, "Chunking into 2000000 GPU passes"),
            # One row is over the chunk limit: no split of the first axis fits.
            ((100000, 100000, 100000), "float64", dict(free=1e9), "cpu", [], 13333334,
             "One row along the first axis needs 80,000,000,000 B, more than the chunk "
             "limit of 600,000,000 B"),
            ((), "f8", dict(free=4, headroom=0), "cpu", [], 2, "needs 8 B"),
            ((50000, 50000), "f8", dict(op="matmul", free=8e9), "cpu", [], 1, "not chunkable"),
            ((10,), 2, dict(free=0), "cpu", [], 1, "No GPU memory available"),
        ]
        for shape, dtype, options, strategy, runs, decision_count, reason in rows:
            with self.subTest(shape=shape, options=options):
                plan = velkora.plan(shape, dtype, **options)
                self.assertEqual((plan.strategy, [(r.count, r.shape) for r in plan.chunks]),
                                 (strategy, runs))
                self.assertEqual(plan.decision.chunk_count, decision_count)
                self.assertIn(reason, plan.reason)
                self.assertEqual(plan.passes, sum(r.count for r in plan.chunks))
                self.assertFalse(plan.saturated)
                for run in plan.chunks:
                    self.assertLessEqual(
                        accelplan.estimate_allocation_bytes(run.shape, plan.element_size),
                        plan.safe_limit)

    def test_saturated_estimate_cannot_be_placed(self):
        for shape in [(4,) * 33, (2**31 - 1,) * 3, (2**31 - 1,) * 3 + (0,)]:
            with self.subTest(shape=shape):
                plan = velkora.plan(shape, "f4", free=8 * GiB)
                self.assertEqual((plan.saturated, plan.placeable, plan.strategy, plan.passes),
                                 (True, False, "cpu", 0))
                self.assertIn("cannot be placed", plan.reason)
                self.assertEqual(bool(plan.warnings), 0 in shape)

    def test_runs_are_the_planners_chunk_list(self):
        for shape, element_size, limit in [((10, 4), 8, 100), ((10,), 4, 16), ((1000,), 4, 2**40),
                                           ((7, 3), 1, 5), ((12345, 7), 4, 1000), ((1,), 8, 8)]:
            with self.subTest(shape=shape, limit=limit):
                runs = planning._chunk_runs(shape, element_size, limit)
                expanded = [r.shape for r in runs for _ in range(r.count)]
                self.assertEqual(expanded,
                                 accelplan.compute_chunk_shapes(shape, element_size, limit))

    def test_inputs_a_person_types(self):
        rows = [
            # option, value, bytes
            ("free", "8GiB", 8 * GiB), ("free", "80GB", 80 * 10**9), ("free", "512MiB", 2**29),
            ("free", "1e9", 10**9), ("free", "1_000", 1000), ("free", "0.5KiB", 512),
            ("free", 2e9, 2 * 10**9), ("total", " 16 GiB ", 16 * GiB),
        ]
        for option, value, expected in rows:
            with self.subTest(option=option, value=value):
                options = dict(free=1, used=0, total=2**64 - 1)
                options[option] = value
                self.assertEqual(getattr(velkora.plan((1,), "f4", **options), option + "_bytes"),
                                 expected)

    def test_bad_input(self):
        rows = [
            # arguments, options, exception, message
            (((10,), "f4"), dict(free=-1), planning.PlanError, "free must not be negative"),
            (((10,), "f4"), dict(free="-1GB"), planning.PlanError, "free must not be negative"),
            (((10,), "f4"), dict(free=1, used=9e9, total=8e9), planning.PlanError,
             "used (9,000,000,000 B) must not exceed total (8,000,000,000 B)"),
            (((10,), "f4"), dict(free=1, used=1), planning.PlanError, "used and total go together"),
            (((10,), "f4"), dict(free=9, used=1, total=8), planning.PlanError,
             "free must not exceed total"),
            (((10,), "f4"), dict(free="1.5"), planning.PlanError,
             "free: '1.5' is not a whole number"),
            (((10,), "f4"), dict(free="1x"), planning.PlanError, "free: '1x' is not a number"),
            (((10,), "f4"), dict(free=2**64), planning.PlanError, "free must not exceed"),
            (((10,), "f4"), dict(free=True), planning.PlanTypeError, "free must be a byte count"),
            (((10,), "f4"), dict(free=1, headroom=0.995), planning.PlanError,
             "headroom must lie between 0 and 0.99"),
            (((10,), "f4"), dict(free=1, headroom=float("nan")), planning.PlanError, "headroom"),
            (((10,), "f4"), dict(free=1, op=3), planning.PlanTypeError, "op must be an operation"),
            (("10", "f4"), dict(free=1), planning.PlanTypeError, "shape must be a sequence"),
            (((10.0,), "f4"), dict(free=1), planning.PlanTypeError,
             "shape entries must be integers"),
            (((10, -1), "f4"), dict(free=1), planning.PlanError, "negative dimension (-1)"),
            (((2**31,), "f4"), dict(free=1), planning.PlanError, "dimension 2147483648 exceeds"),
            (((10,), "0"), dict(free=1), planning.PlanError, "at least 1 byte"),
            (((10,), 2**31), dict(free=1), planning.PlanError, "must not exceed 2147483647 bytes"),
            (((10,), "floaty"), dict(free=1), planning.PlanError, "unknown dtype 'floaty'"),
            (((10,), "U"), dict(free=1), planning.PlanError, "no fixed element size"),
            (((10,), object()), dict(free=1), planning.PlanTypeError, "dtype <object"),
            (((10,), None), dict(free=1), planning.PlanTypeError, "not None"),
            (([[10]], "f4"), dict(free=1), planning.PlanTypeError, "entries must be integers"),
        ]
        for args, options, error, text in rows:
            with self.subTest(args=args, options=options):
                if args[1] == "U" and numpy is None:
                    continue
                with self.assertRaises(error) as caught:
                    velkora.plan(*args, **options)
                self.assertIn(text, str(caught.exception))
                self.assertLess(len(str(caught.exception)), 120)
                self.assertIsInstance(caught.exception, ValueError)

    def test_operation_warnings(self):
        for op, warning in [("matmul", None), (None, None), ("MATMUL", "did you mean 'matmul'?"),
                            ("frobnicate", "known: zeros, ones, empty"), ("fft_2", "'fft2'")]:
            with self.subTest(op=op):
                plan = velkora.plan((10,), "f4", free=1000, op=op)
                if warning is None:
                    self.assertEqual(plan.warnings, ())
                else:
                    self.assertEqual(len(plan.warnings), 1)
                    self.assertIn(warning, plan.warnings[0])
        # The suggestion list must name only what the planner knows.
        for name in planning.KNOWN_OPERATIONS:
            self.assertNotEqual(accelplan.score_gpu_suitability(1, name, 1, 0.0), 0.5, name)

    def test_json_form(self):
        plan = velkora.plan((4,) * 33, "f4", free=GiB, used=1, total=2 * GiB, op="zeros")
        data = json.loads(json.dumps(plan.to_dict()))
        self.assertEqual(list(data), [
            "schema", "version", "shape", "dtype", "element_size", "operation", "chunkable",
            "bytes_needed", "saturated", "free_bytes", "free_source", "used_bytes", "total_bytes",
            "memory_pressure", "headroom", "headroom_source", "safe_limit", "strategy", "reason",
            "placeable", "chunk_size", "chunks", "passes", "decision", "gpu_suitability",
            "warnings"])
        self.assertEqual((data["schema"], data["version"], data["saturated"], data["placeable"]),
                         (1, velkora.__version__, True, False))
        self.assertEqual(list(data["decision"]),
                         ["strategy_code", "chunk_size", "chunk_count", "message"])
        runs = velkora.plan((7, 3), 1, free=5, headroom=0).to_dict()["chunks"]
        self.assertEqual(runs, [{"count": 7, "shape": [1, 3]}])


class DtypeTest(unittest.TestCase):
    def test_names_codes_and_objects(self):
        rows = [("float32", (4, "float32")), ("f4", (4, "float32")), ("<f8", (8, "float64")),
                (">i2", (2, "int16")), ("c16", (16, "complex128")), ("B", (1, "uint8")),
                ("b", (1, "int8")), ("FLOAT32", (4, "float32")), (" double ", (8, "float64")),
                ("bfloat16", (2, "bfloat16")), (float, (8, "float64")), (3, (3, "3-byte elements")),
                ("12", (12, "12-byte elements"))]
        if numpy is not None:
            rows += [(numpy.float16, (2, "float16")), (numpy.dtype(">c8"), (8, "complex64")),
                     (numpy.int64(4), (4, "4-byte elements")), ("m8[s]", (8, "timedelta64[s]")),
                     ("U10", (40, "str320"))]
        for dtype, expected in rows:
            with self.subTest(dtype=dtype):
                self.assertEqual(resolve_dtype(dtype), expected)

    @unittest.skipIf(numpy is None, "numpy is not installed")
    def test_builtin_table_agrees_with_numpy(self):
        from velkora._planinput import _CODES, _NAMES

        for text in [*_CODES, *(f"{order}{code}" for code in _CODES for order in "<>=|"), *_NAMES]:
            if text == "bfloat16":
                continue  # ml_dtypes' type, not numpy's
            with self.subTest(dtype=text):
                dtype = numpy.dtype(text)
                self.assertEqual(builtin_dtype(text), (dtype.itemsize, dtype.name))

    def test_without_numpy(self):
        # numpy is imported only for types the built-in table lacks.
        code = (
            "import sys\n"
            "if sys.argv[1] == 'blocked': sys.modules['numpy'] = None\n"
            "import velkora\n"
            "plan = velkora.plan((10,), '<f8', free=100)\n"
            "print(plan.dtype, sys.modules.get('numpy') is not None)\n"
            "try:\n"
            "    velkora.plan((10,), 'm8', free=100)\n"
            "except velkora.PlanError as exc:\n"
            "    print(exc)\n")
        for mode, expected in [
                ("blocked", ["float64 False",
                             "unknown dtype 'm8': give a name such as float32, a code such as f4,"
                             " or a size in bytes (numpy is not installed)"]),
                ("free", ["float64 False"])]:
            if mode == "free" and numpy is None:
                continue
            with self.subTest(mode=mode):
                result = run_python(code, mode)
                self.assertEqual(result.stdout.splitlines(), expected, result.stderr)


class PackageTest(unittest.TestCase):
    def test_lazy_names(self):
        result = run_python("import sys, velkora\n"
                            "print(sorted(m for m in sys.modules if m.startswith('velkora')))\n"
                            "print(velkora.plan is velkora.planning.plan, velkora.Plan.__name__)")
        self.assertEqual(result.stdout.splitlines(), ["['velkora']", "True Plan"], result.stderr)
        with self.assertRaises(AttributeError):
            velkora.no_such_name


if __name__ == "__main__":
    unittest.main()
