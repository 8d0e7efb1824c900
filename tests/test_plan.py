"""velkora.plan: what each operation needs, split where it may be, under the limit."""
import json
import unittest
from unittest import mock

from hypothesis import given, strategies as st
from support import SANITIZED, run_python

import velkora
from velkora import _opmodel, _opnames, gpu, planning
from velkora._planinput import builtin_dtype, resolve_dtype
from velkora.gpu import accelplan

numpy = None
if not SANITIZED:  # numpy's own allocations are not this project's to check for leaks
    try:
        import numpy
    except ImportError:
        pass

GB, GiB = 10**9, 2**30


def rebuilt(plan):
    return _opmodel.build(plan.operation, plan.shapes, plan.element_size, plan.dtype,
                          plan.axis, plan.axis is not None)


def check_invariants(case, plan, model=None):
    """Every chunk under the safe limit, the chunks cover the shape exactly,
    passes = chunks."""
    model = model or rebuilt(plan)
    case.assertEqual(plan.passes, sum(r.count for r in plan.chunks))
    case.assertEqual(plan.bytes_needed, model.bytes(plan.shape))
    if plan.strategy == "cpu":
        case.assertEqual(plan.chunks, ())
        return
    volume = 1
    for dim in plan.shape:
        volume *= dim
    covered = 0
    for run in plan.chunks:
        case.assertLessEqual(model.bytes(run.shape), plan.safe_limit, run)
        case.assertTrue(all(0 <= c <= d for c, d in zip(run.shape, plan.shape)), run)
        size = run.count
        for dim in run.shape:
            size *= dim
        covered += size
    case.assertEqual(covered, volume)
    for axis, dim in enumerate(plan.shape):
        # Along each axis the distinct piece lengths tile the dimension.
        pieces = sorted({r.shape[axis] for r in plan.chunks}, reverse=True)
        if len(pieces) == 2:
            self_full, rest = pieces
            case.assertEqual(dim % self_full, rest)
        else:
            case.assertTrue(pieces[0] == dim or dim % pieces[0] == 0, (axis, pieces))
        if pieces[0] != dim:
            case.assertIn(axis, plan.chunk_axes)
            case.assertIn(axis, plan.splittable_axes)


class FamilyTest(unittest.TestCase):
    def test_operations_an_engineer_plans(self):
        rows = [
            # op, shapes, dtype, options, strategy, chunk axes, working set, passes
            ("matmul", [(50000, 50000)], "float32", dict(free=24e9), "chunked", (0,),
             30 * GB, 2),
            ("matmul", [(50000, 50000)], "float32", dict(free=40e9), "gpu", (), 30 * GB, 1),
            # The right-hand operand no longer fits whole beside row slabs: tiles.
            ("matmul", [(100000, 50000), (50000, 100000)], "f4", dict(free=24e9), "chunked",
             (0, 1), 80 * GB, 8),
            ("matmul", [(8, 1000, 500), (500, 300)], "f8", dict(free=1e9), "gpu", (),
             8 * (8 * 1000 * 500 + 500 * 300 + 8 * 1000 * 300), 1),
            ("dot", [(1000,), (1000,)], "f8", dict(free=1e6), "gpu", (), 16008, 1),
            ("fft", [(16, 4096, 4096)], "complex128", dict(free=8e9), "chunked", (0,),
             3 * 16 * 4096 * 4096 * 16, 2),
            ("rfft", [(1000, 1024)], "float32", dict(free=1e9), "gpu", (),
             1000 * (1024 * 4 + 513 * 8 + 1024 * 8), 1),
            ("fftn", [(2048, 2048, 64)], "complex64", dict(free=1e9), "cpu", (),
             3 * 2048 * 2048 * 64 * 8, 0),
            ("sum", [(100000, 100000)], "f4", dict(free=8e9, axis=1), "chunked", (0,),
             40 * GB + 400000, 6),
            ("sum", [(100000, 100000)], "f4", dict(free=8e9), "chunked", (0,), 40 * GB + 4, 6),
            ("median", [(10, 10**9)], "f4", dict(free=8e9, axis=1), "chunked", (0,),
             40 * GB + 40, 10),
            ("add", [(1000, 1), (1, 100000)], "f8", dict(free=1e8), "chunked", (0,),
             8 * (1000 + 100000 + 10**8), 10),
            ("less", [(10**9,)], "f4", dict(free=4e9), "chunked", (0,), 9 * GB, 3),
            ("exp", [(1, 100000, 100000)], "f4", dict(free=24e9), "chunked", (1,), 80 * GB, 4),
            ("sort", [(4096, 100000)], "f8", dict(free=2e9), "chunked", (0,),
             3 * 4096 * 100000 * 8, 6),
            ("argsort", [(10**9,)], "f4", dict(free=8e9), "cpu", (), 16 * GB, 0),
            ("convolve", [(10**9,), (1001,)], "f4", dict(free=2e9), "chunked", (0,),
             4 * (10**9 + 1001 + 10**9 + 1000), 5),
            ("inv", [(50000, 50000)], "f8", dict(free=80e9), "gpu", (), 60 * GB, 1),
            ("svd", [(100000, 1000)], "f8", dict(free=80e9), "cpu", (),
             8 * (2 * 10**8 + 10**10 + 1000 + 10**6), 0),
            ("zeros", [(2, 300000000)], "f8", dict(free=1e9), "chunked", (0, 1), 4.8e9, 6),
            # Seven billion parameters, beyond any 32-bit dimension.
            (None, [(7_000_000_000,)], "bfloat16", dict(free=80e9), "gpu", (), 14 * GB, 1),
            (None, [(2**31 - 1,) * 3 + (0,)], "f8", dict(free=24e9), "gpu", (), 0, 1),
            (None, [(0,) + (2**31 - 1,) * 3], "f8", dict(free=24e9), "gpu", (), 0, 1),
            (None, [(2**40, 2**40)], "f8", dict(free=80e9), "chunked", (0, 1), 2**83,
             2**40 * 123),
            # Tiles where the whole right-hand operand leaves slabs little room.
            ("matmul", [(10**6, 50000), (50000, 10**6)], "f4", dict(free=24e9), "chunked",
             (0, 1), 4 * (2 * 5 * 10**10 + 10**12), 667),
        ]
        for op, shapes, dtype, options, strategy, axes, needed, passes in rows:
            with self.subTest(op=op, shapes=shapes):
                plan = velkora.plan(op=op, shapes=shapes, dtype=dtype, **options)
                self.assertEqual((plan.strategy, plan.chunk_axes, plan.bytes_needed),
                                 (strategy, axes, needed))
                self.assertEqual(plan.passes, passes)
                self.assertEqual(plan.bytes_needed, sum(plan.working_set.values()))
                check_invariants(self, plan)

    def test_names_come_from_the_native_planner(self):
        for name in _opnames.CHUNKABLE_OPERATIONS:
            self.assertTrue(accelplan.is_chunkable_operation(name), name)
            self.assertEqual(_opmodel.FAMILIES[name], "creation")
        for name in _opnames.NON_CHUNKABLE_OPERATIONS:
            self.assertFalse(accelplan.is_chunkable_operation(name), name)
            self.assertAlmostEqual(accelplan.score_gpu_suitability(1, name, 1, 0.0), 0.7)
            self.assertNotEqual(_opmodel.FAMILIES.get(name, "unknown"), "unknown", name)

    def test_slabs_match_the_native_chunk_rule(self):
        # For a plain array split along its first axis, the slab is the
        # native rule's rows per chunk.
        for shape, dtype, free in [((10**6, 1000), "f8", 2e9), ((12345, 7), "f4", 1000),
                                   ((7, 3), 1, 5), ((1000,), "f4", 400)]:
            with self.subTest(shape=shape):
                plan = velkora.plan(shape, dtype, free=free, headroom=0)
                native = accelplan.compute_chunk_shapes(shape, plan.element_size,
                                                        plan.safe_limit)
                self.assertEqual([r.shape for r in plan.chunks for _ in range(r.count)], native)

    def test_unknown_and_misspelt_operations(self):
        for op, warning in [("MATMUL", "did you mean 'matmul'?"), ("fft_2", "'fft2'"),
                            ("frobnicate", "known: zeros, ones")]:
            with self.subTest(op=op):
                plan = velkora.plan((10**6,), "f4", free=1e6, op=op)
                self.assertEqual((plan.family, plan.chunkable, plan.strategy),
                                 ("unknown", False, "cpu"))
                self.assertIn(warning, plan.warnings[0])

    def test_operand_errors(self):
        rows = [
            (dict(op="matmul", shapes=[(3, 4), (5, 6)]), "inner dimensions 4 and 5 differ"),
            (dict(op="matmul", shape=(3, 4)), "needs the second operand's shape"),
            (dict(op="add", shapes=[(3, 4), (5, 4)]), "do not broadcast"),
            (dict(op="sum", shape=(3, 4), axis=2), "axis 2 is out of range"),
            (dict(op="sort", shape=(3, 4), axis=(0, 1)), "sorts along one axis"),
            (dict(op="add", shape=(3,), axis=0), "axis applies to reductions"),
            (dict(op="inv", shape=(3, 4)), "needs square matrices"),
            (dict(op="convolve", shape=(30,)), "takes a signal and a kernel"),
            (dict(shape=(3,), shapes=[(3,)]), "give shape or shapes, not both"),
            (dict(op="exp"), "shape is required"),
        ]
        for options, text in rows:
            with self.subTest(options=options):
                with self.assertRaises(planning.PlanError) as caught:
                    velkora.plan(dtype="f4", free=1e9, **options)
                self.assertIn(text, str(caught.exception))


OPERATIONS = st.sampled_from(["empty", "zeros", "exp", "add", "less", "sum", "argmax", "median",
                              "matmul", "fft", "rfft", "fft2", "sort", "argsort", "convolve",
                              "inv", "nosuchop"])


@st.composite
def workloads(draw):
    op = draw(OPERATIONS)
    dims = st.integers(0, 3000) if draw(st.booleans()) else st.integers(1, 2**33)
    shape = tuple(draw(st.lists(dims, min_size=1, max_size=4)))
    shapes = [shape]
    if op == "matmul":
        shapes = [shape[-2:] if len(shape) > 1 else shape,
                  (shape[-1], draw(st.integers(1, 3000)))]
    elif op == "add":
        shapes.append(tuple(1 if draw(st.booleans()) else d for d in shape))
    elif op == "convolve":
        shapes.append(tuple(draw(st.integers(1, 50)) for _ in shape[-1:]))
    elif op in ("fft2",) and len(shape) < 2:
        shapes = [(3,) + shape]
    elif op == "inv":
        shapes = [shape[:-1] + (shape[-1], shape[-1])]
    return op, shapes, draw(st.sampled_from(["f4", "f8", "c16", 1, "float16"]))


class PropertyTest(unittest.TestCase):
    @given(workloads(), st.integers(0, 2**45), st.floats(0, 0.99))
    def test_invariants(self, workload, free, headroom):
        op, shapes, dtype = workload
        plan = velkora.plan(op=op, shapes=shapes, dtype=dtype, free=free, headroom=headroom)
        check_invariants(self, plan)
        if plan.strategy == "chunked":
            self.assertGreaterEqual(plan.passes, plan.decision.chunk_count)
        self.assertEqual(plan.strategy == "gpu", plan.bytes_needed <= plan.safe_limit
                         and plan.safe_limit > 0)


class InputTest(unittest.TestCase):
    def test_sizes_and_numbers(self):
        rows = [
            # option, value, field, expected
            ("free", "8GiB", "free_bytes", 8 * GiB), ("free", "80GB", "free_bytes", 80 * GB),
            ("free", "0.5KiB", "free_bytes", 512), ("free", "1_000", "free_bytes", 1000),
            ("free", "1.5e3", "free_bytes", 1500), ("total", " 16 GiB ", "total_bytes", 16 * GiB),
            ("headroom", "0.25", "headroom", 0.25),
        ]
        if numpy is not None:
            rows += [("free", numpy.int64(2**40), "free_bytes", 2**40),
                     ("free", numpy.float32(1024), "free_bytes", 1024),
                     ("headroom", numpy.float32(0.5), "headroom", 0.5),
                     ("headroom", numpy.float64(0.3), "headroom", 0.3)]
        for option, value, field, expected in rows:
            with self.subTest(option=option, value=value):
                options = dict(free=1, used=0, total=2**64 - 1)
                options[option] = value
                self.assertEqual(getattr(velkora.plan((1,), "f4", **options), field), expected)

    def test_bad_input(self):
        rows = [
            # options, exception, message
            (dict(free=-1), planning.PlanError, "free must not be negative"),
            (dict(free=1, used=9e9, total=8e9), planning.PlanError,
             "used (9,000,000,000 B) must not exceed total (8,000,000,000 B)"),
            (dict(free=7e9, used=6e9, total=8e9), planning.PlanError,
             "free + used (13,000,000,000 B) must not exceed total"),
            (dict(free=1, used=1), planning.PlanError, "used and total go together"),
            (dict(free="1.5"), planning.PlanError, "free: '1.5' is not a whole number"),
            (dict(free="²"), planning.PlanError, "free: '²' is not a number"),
            (dict(free="①"), planning.PlanError, "free: '①' is not a number"),
            (dict(free=1, headroom="²"), planning.PlanError, "headroom: '²' is not a number"),
            (dict(free=True), planning.PlanTypeError, "free must be a byte count"),
            (dict(free=1, headroom=0.995), planning.PlanError, "between 0 and 0.99"),
            (dict(free=1, headroom=float("nan")), planning.PlanError, "headroom"),
            (dict(free=1, headroom=1j), planning.PlanTypeError, "headroom must be a number"),
            (dict(free=1, op=3), planning.PlanTypeError, "op must be an operation"),
            (dict(free=1, device=0), planning.PlanError, "give free or device, not both"),
        ]
        for options, error, text in rows:
            with self.subTest(options=options):
                with self.assertRaises(error) as caught:
                    velkora.plan((10,), "f4", **options)
                self.assertIn(text, str(caught.exception))
                self.assertEqual(len(str(caught.exception).splitlines()), 1)
                self.assertIsInstance(caught.exception, ValueError)

    def test_bad_shapes_and_dtypes(self):
        rows = [
            ("10", "f4", planning.PlanTypeError, "shape must be a sequence"),
            ((10.0,), "f4", planning.PlanTypeError, "shape entries must be integers"),
            ((10, -1), "f4", planning.PlanError, "negative dimension (-1)"),
            ((2**63,), "f4", planning.PlanError, "dimension 9223372036854775808 exceeds"),
            ((10,), "0", planning.PlanError, "at least 1 byte"),
            ((10,), "²", planning.PlanError, "unknown dtype '²'"),
            ((10,), "floaty", planning.PlanError, "unknown dtype 'floaty'"),
            ((10,), "flaot32", planning.PlanError, "did you mean 'float32'?"),
            ((10,), "float128", planning.PlanError, "extended precision"),
            ((10,), None, planning.PlanTypeError, "dtype is required"),
        ]
        if numpy is not None:
            rows += [((10,), "object", planning.PlanError, "Python objects live in host memory"),
                     ((10,), "U10", planning.PlanError, "holds no text"),
                     ((10,), "m8[s]", planning.PlanError, "holds no durations"),
                     ((10,), "clongdouble", planning.PlanError, "extended precision")]
        for shape, dtype, error, text in rows:
            with self.subTest(shape=shape, dtype=dtype):
                with self.assertRaises(error) as caught:
                    velkora.plan(shape, dtype, free=1)
                self.assertIn(text, str(caught.exception))

    def test_misspelt_dtype_suggests_only_its_size(self):
        with self.assertRaises(planning.PlanError) as caught:
            velkora.plan((10,), "float8_e4m3fn", free=1)
        self.assertNotIn("float64", str(caught.exception))


class HeadroomTest(unittest.TestCase):
    def test_what_the_headroom_decides(self):
        rows = [
            # options, headroom, source, strategy, headroom decides
            (dict(free=80e9), planning.DEFAULT_HEADROOM, "default", "gpu", False),
            (dict(free=80e9, headroom=0.4), 0.4, "given", "chunked", True),
            (dict(free=80e9, used=0, total=80e9), 0.4, "pressure", "chunked", True),
            (dict(free=50e9), planning.DEFAULT_HEADROOM, "default", "chunked", False),
        ]
        # Held back: 80% of 8 GB free, to the byte, so 40 GB takes 25 passes, not 26.
        plan = velkora.plan((10**10,), "f4", free=8e9, used=72e9, total=80e9)
        self.assertEqual((plan.headroom, plan.safe_limit, plan.passes), (0.8, 16 * 10**8, 25))
        for options, headroom, source, strategy, decides in rows:
            with self.subTest(options=options):
                plan = velkora.plan((15 * 10**9,), "f4", **options)  # 60 GB
                self.assertEqual((plan.headroom, plan.headroom_source, plan.strategy,
                                  plan.headroom_decides), (headroom, source, strategy, decides))
                self.assertEqual(any("headroom alone" in w for w in plan.warnings), decides)


class DeviceTest(unittest.TestCase):
    def records(self, *free):
        from types import SimpleNamespace

        return [SimpleNamespace(backend="cuda", index=i, name=f"card {i}", total=80 * GB,
                                used=None if f is None else 80 * GB - f, free=f, source="nvml")
                for i, f in enumerate(free)] + [
            SimpleNamespace(backend="rocm", index=0, name="other", total=GB, used=0, free=GB,
                            source="sysfs")]

    def test_detected_free_memory(self):
        with mock.patch.object(gpu, "memory", lambda: self.records(70 * GB, 20 * GB),
                               create=True):
            for device, free in [(None, 70 * GB), (1, 20 * GB)]:
                with self.subTest(device=device):
                    plan = velkora.plan((10,), "f4", device=device)
                    self.assertEqual((plan.free_bytes, plan.free_source, plan.used_bytes),
                                     (free, "detected", 80 * GB - free))
                    self.assertEqual(plan.device, {"backend": "cuda", "index": device or 0,
                                                   "name": f"card {device or 0}",
                                                   "source": "nvml"})
            with self.assertRaises(planning.PlanError) as caught:
                velkora.plan((10,), "f4", device=2)
            self.assertIn("device 2: the cuda backend has 2 device(s)", str(caught.exception))

    def test_unreadable_free_memory_falls_back(self):
        from velkora.native import hostprobe

        probe = {"has_gpu": True, "gpu_memory_mb": 1024, "active_backend": "cuda"}
        for reader in [lambda: self.records(None), lambda: [], lambda: 1 / 0]:
            with mock.patch.object(gpu, "memory", reader, create=True), \
                    mock.patch.object(hostprobe, "detect_gpu_backends", lambda: probe):
                plan = velkora.plan((10,), "f4")
                self.assertEqual((plan.free_bytes, plan.device), (2**30, None))
                self.assertIn("not what is free now", plan.warnings[0])


class FormTest(unittest.TestCase):
    def test_json_form(self):
        plan = velkora.plan(op="matmul", shapes=[(100000, 50000), (50000, 100000)], dtype="f4",
                            free=24e9)
        data = json.loads(json.dumps(plan.to_dict()))
        self.assertEqual(list(data), [
            "schema", "version", "operation", "family", "shapes", "shape", "axis", "dtype",
            "element_size", "chunkable", "splittable_axes", "bytes_needed", "working_set",
            "free_bytes", "free_source", "device", "used_bytes", "total_bytes",
            "memory_pressure", "headroom", "headroom_source", "headroom_decides", "safe_limit",
            "strategy", "reason", "chunk_size", "chunk_axes", "chunks", "passes", "decision",
            "gpu_suitability", "notes", "warnings"])
        self.assertEqual((data["schema"], data["version"]), (2, velkora.__version__))
        self.assertEqual(data["chunks"][0], {"count": 6, "shape": [29000, 50000]})
        self.assertEqual(list(data["decision"]),
                         ["strategy_code", "chunk_size", "chunk_count", "message"])


class DtypeTest(unittest.TestCase):
    def test_names_codes_and_objects(self):
        rows = [("float32", (4, "float32")), ("f4", (4, "float32")), ("<f8", (8, "float64")),
                (">i2", (2, "int16")), ("c16", (16, "complex128")), ("B", (1, "uint8")),
                ("b", (1, "int8")), ("FLOAT32", (4, "float32")), (" double ", (8, "float64")),
                ("bfloat16", (2, "bfloat16")), (float, (8, "float64")), (3, (3, "3-byte elements")),
                ("12", (12, "12-byte elements"))]
        if numpy is not None:
            rows += [(numpy.float16, (2, "float16")), (numpy.dtype(">c8"), (8, "complex64")),
                     (numpy.int64(4), (4, "4-byte elements"))]
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
                self.assertEqual(result.stdout.splitlines()[:len(expected)], expected,
                                 result.stderr)


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
