"""GPU memory planning: sizing, strategy, chunking, OOM recognition, scoring."""
import sys
import unittest

import velkora.gpu.accelplan as accelplan

INF, NAN = float("inf"), float("nan")
U64 = 2**64 - 1
CAP = 2**63 - 1
BIG = 2**31 - 1


class Raises:
    def __init__(self, exc, text=None):
        self.exc, self.text = exc, text


class IntHook:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, type):
            raise self.result("hook")
        return self.result


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("bool hook")


class Text(str):
    pass


def chunked(count, size):
    return (1, size, count, f"Chunking into {count} GPU passes")


class AccelplanTest(unittest.TestCase):
    def check(self, func, rows):
        for args, expected in rows:
            with self.subTest(func=func.__name__, args=args):
                if isinstance(expected, Raises):
                    with self.assertRaises(expected.exc) as caught:
                        func(*args)
                    if expected.text is not None:
                        self.assertEqual(str(caught.exception), expected.text)
                else:
                    result = func(*args)
                    self.assertEqual(result, expected)
                    self.assertIs(type(result), type(expected))

    def test_estimate_allocation_bytes(self):
        self.check(accelplan.estimate_allocation_bytes, [
            (((), 8), 8),
            (((1000, 1000), 8, 1.5), 12000000),
            (((1000,), 4, 0.5), 4000),
            (((10, 0, 5), 4), 0),
            (((10, -3, "not reached"), 4), 0),
            (((10.9, 2.5), 4), 80),
            (((BIG, BIG, BIG), 1), CAP),
            (((BIG, BIG, BIG), 1, 2.0), CAP),
            (((BIG, BIG, 2), 2), CAP),
            (((BIG, BIG), 1, 3.0), int(float(BIG * BIG) * 3.0)),
            (((2,), 0, INF), 0),
            (((2,), 2, NAN), 4),
            # A scaled total at or past 2^64 saturates instead of wrapping.
            (((BIG, BIG), 1, 5.0), U64),
            (((2,), 2, INF), U64),
            (((), 0, INF), 0),
            # Negative element sizes are refused where they would multiply.
            (((4,), -1), Raises(ValueError, "element_size must not be negative")),
            (((4, 0), -1), 0),
            (((BIG, BIG, BIG), -8), CAP),
            ((None, 4), Raises(TypeError, "object of type 'NoneType' has no len()")),
            (((2**31,), 1), Raises(OverflowError, "value too large to convert to int")),
            (((2**63,), 1), Raises(OverflowError)),
            (((1, None), 1), Raises(TypeError, "an integer is required")),
            (((1, IntHook("x")), 1), Raises(TypeError, "__int__ returned non-int (type str)")),
            (((1, IntHook(KeyError)), 1), Raises(KeyError)),
            (((0, IntHook(KeyError)), 1), 0),
            (([4], 4), Raises(TypeError, "Argument 'shape' has incorrect type "
                                         "(expected tuple, got list)")),
            (([4], 4, "x"), Raises(TypeError, "must be real number, not str")),
            ((None, 2**31), Raises(OverflowError, "value too large to convert to int")),
        ])

    def test_calculate_safe_limit(self):
        self.check(accelplan.calculate_safe_limit, [
            ((1000, 0.2), 800), ((1000, 1.0), 10), ((3, 0.5), 1), ((1000, -0.5), 1000),
            ((0, 0.1), 0), ((1000, -0.0), 1000), ((1000, INF), 10), ((1000, -INF), 1000),
            ((1000, NAN), 10),
            # (1 - 0) x (2^64 - 1) rounds to 2^64 in doubles; the limit stays
            # within the free bytes, also where their double rounds up.
            ((U64, 0.0), U64), ((U64 - 1000, -1.0), U64 - 1000), ((2**53 + 3, 0.0), 2**53 + 3),
            ((-1, 0.1), Raises(OverflowError, "can't convert negative value to uint64_t")),
            ((2**64, 0.1), Raises(OverflowError)),
        ])

    def test_decide_allocation_strategy(self):
        no_memory = (2, 0, 1, "No GPU memory available")
        fits = (0, 0, 1, "Allocation fits in GPU memory")
        cpu = (2, 0, 1, "Operation not chunkable, falling back to CPU")
        self.check(accelplan.decide_allocation_strategy, [
            ((2500, 1000, 0.2, True), chunked(4, 800)),
            ((1600, 1000, 0.2, True), chunked(2, 800)),
            ((0, 0, 0.1, True), no_memory), ((50, 50, 0.99, True), no_memory),
            ((0, 1000, 0.1, False), fits), ((800, 1000, 0.2, False), fits),
            ((801, 1000, 0.2, False), cpu), ((801, 1000, 0.2, None), cpu),
            ((801, 1000, 0.2, [0]), chunked(2, 800)),
            ((11, 1000, NAN, True), chunked(2, 10)),
            ((2**54 + 1, 2**54, 0.0, True), chunked(1, 2**54)),
            # The ceiling of (2^64 - 1) / 1 is 2^64 in doubles: saturated.
            ((U64, 1, 0.0, True), chunked(U64, 1)),
            ((801, 1000, 0.2, BadBool()), Raises(ZeroDivisionError)),
            ((-1, 1000, 0.2, True), Raises(OverflowError,
                                           "can't convert negative value to uint64_t")),
        ])

    def test_fixed_decisions_are_shared(self):
        decide = accelplan.decide_allocation_strategy
        for args in [(0, 0, 0.1, True), (1, 1000, 0.1, True), (5000, 1000, 0.1, False)]:
            with self.subTest(args=args):
                self.assertIs(decide(*args), decide(*args))
        self.assertIsNot(decide(5000, 1000, 0.1, True), decide(5000, 1000, 0.1, True))

    def test_compute_chunk_shapes(self):
        big = 2**32
        self.check(accelplan.compute_chunk_shapes, [
            (((10, 4), 8, 100), [(3, 4)] * 3 + [(1, 4)]),
            (((10,), 4, 16), [(4,), (4,), (2,)]),
            (((10, 4), 8, 16), [(1, 4)] * 10),
            (((0, 4), 4, 100), []), (((-5,), 4, 100), []),
            (((1000,), 4, 2**40), [(1000,)]),
            (((10.7, 4.9), 8, 100), [(3, 4.9)] * 3 + [(1, 4.9)]),
            (((BIG,), 1, U64), [(BIG,)]),
            # A zero-byte row fits any budget: every row in one chunk.
            (((5, 0), 4, 1), [(5, 0)]), (((3, 2, 0), 4, 1), [(3, 2, 0)]),
            (((0, 0), 4, 1), []),
            # A row past 2^64 - 1 bytes saturates to one row per chunk.
            (((3, big, big), 2, 2**40), [(1, big, big)] * 3),
            ((None, 0, 100), Raises(ValueError, "element_size must be positive")),
            (((10,), -4, 100), Raises(ValueError, "element_size must be positive")),
            ((None, 4, 0), Raises(ValueError, "max_chunk_bytes must be positive")),
            ((None, 4, 100), Raises(TypeError, "object of type 'NoneType' has no len()")),
            (((10, -1), 4, 100), Raises(OverflowError,
                                        "can't convert negative value to uint64_t")),
            (((2**31, -1), 4, 100), Raises(OverflowError,
                                           "can't convert negative value to uint64_t")),
            (((2**31, 4), 4, 100), Raises(OverflowError, "value too large to convert to int")),
            (((IntHook(KeyError), 2), 4, 100), Raises(KeyError)),
            (((2, IntHook(4.0)), 4, 100), Raises(TypeError,
                                                  "__int__ returned non-int (type float)")),
            (([10], 4, 100), Raises(TypeError, "Argument 'shape' has incorrect type "
                                               "(expected tuple, got list)")),
            (([10], "x", 100), Raises(TypeError, "an integer is required")),
            (([10], 4, -1), Raises(OverflowError, "can't convert negative value to uint64_t")),
        ])

    def test_chunk_shapes_reuse_the_shape_objects(self):
        empty = ()
        self.assertIs(accelplan.compute_chunk_shapes(empty, 4, 100)[0], empty)
        shape = (7, IntHook(3), 2**40 + 1)
        chunks = accelplan.compute_chunk_shapes(shape, 1, 9 * (2**40 + 1))
        self.assertEqual(len(chunks), 3)
        for chunk in chunks:
            self.assertIs(chunk[1], shape[1])
            self.assertIs(chunk[2], shape[2])

    def test_calculate_optimal_chunks(self):
        self.check(accelplan.calculate_optimal_chunks, [
            ((2500, 1000, 0.2), 4), ((0, 1000, 0.2), 1),
            ((10**12, 0, 0.1), 1000), ((10**12, 0, 0.1, 5, 3), 3),
            ((10**15, 1000, 0.0), 1000), ((U64, 1, 0.0, 1, BIG), BIG),
            ((7000, 1000, 0.0, 10, 5), 10), ((12000, 1000, 0.0, 10, 5), 5),
            ((2500, 1000, NAN), 250),
            ((1, 1, 0.0, 1, 2**31), Raises(OverflowError, "value too large to convert to int")),
        ])

    def test_is_chunkable_operation(self):
        chunkable = ["zeros", "ones", "empty", "full", "random.randn", "random.rand",
                     "random.random", "random.standard_normal", "random.uniform", "arange",
                     "linspace"]
        others = ["matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals",
                  "solve", "inv", "sort", "argsort", "", "Zeros", "np.zeros", "zeros ",
                  "random", "z\u00e9ros", None]
        self.check(accelplan.is_chunkable_operation,
                   [((name,), True) for name in chunkable] +
                   [((name,), False) for name in others] +
                   [((Text("zeros"),), Raises(TypeError, "Argument 'operation' has incorrect "
                                                         "type (expected str, got Text)"))])
        self.assertFalse(hasattr(accelplan, "CHUNKABLE_OPERATIONS"))
        self.assertFalse(hasattr(accelplan, "NON_CHUNKABLE_OPERATIONS"))

    def test_score_gpu_suitability(self):
        self.check(accelplan.score_gpu_suitability, [
            ((640, "zeros", 1000, 0.2), 0.9), ((800, "zeros", 1000, 0.2), 0.9),
            ((320, "zeros", 1000, 0.2), 0.45), ((320, "matmul", 1000, 0.2), 0.35),
            ((320, "other", 1000, 0.2), 0.25), ((1600, "zeros", 1000, 0.2), 0.45),
            ((0, "zeros", 1000, 0.2), 0.0), ((0, "fft", 0, 0.2), 0.0),
            ((10**12, "zeros", 0, 0.2), 0.0), ((1000, "fft", 1000, 0.0), 0.7),
            ((800, None, 1000, 0.2), 0.5), ((10, "zeros", 1000, NAN), 0.9),
            ((1, 2, 3, "x"), Raises(TypeError, "must be real number, not str")),
            ((1, 2, 3, 0.5), Raises(TypeError, "Argument 'operation_type' has incorrect type "
                                               "(expected str, got int)")),
        ])

    def test_memory_pressure_and_headroom(self):
        self.check(accelplan.calculate_memory_pressure, [
            ((0, 0), 1.0), ((500, 1000), 0.5), ((1500, 1000), 1.0), ((0, 1000), 0.0),
            ((U64, U64), 1.0), ((5, 0), 1.0),
        ])
        self.check(accelplan.recommend_headroom, [
            ((0.9,), 0.8), ((0.8,), 0.65), ((0.7,), 0.6), ((0.65,), 0.575), ((0.6,), 0.5),
            ((0.5,), 0.5), ((0.3,), 0.4), ((0.0,), 0.4), ((NAN,), 0.4), ((INF,), 0.8),
            ((-INF,), 0.4), ((0.2, 0.35), 0.3), ((0.7, 0.75), 0.8), ((0.5, 0.1), 0.3),
            ((0.5, 0.95), 0.8), ((0.1, NAN), 0.3), ((0.2, -INF), 0.3),
            (("0.5",), Raises(TypeError, "must be real number, not str")),
        ])

    def test_is_oom_error(self):
        self.check(accelplan.is_oom_error, [
            (("CUDA out of memory. Tried to allocate 2.00 GiB", "RuntimeError"), True),
            (("", "OutOfMemoryError"), True), (("", "torch.cuda.OUTOFMEMORYERROR"), True),
            (("Failed to allocate buffer", ""), True), (("Insufficient memory", ""), True),
            (("GPU memory exhausted", ""), True), (("OUT OF MEMORY", ""), True),
            (("memory on CUDA", ""), True), (("MEMORY:GPU", "x"), True),
            (("Memory error", "MemoryError"), False), (("memory allocation", ""), False),
            (("", ""), False), (("out  of memory", ""), False), (("gpu", "memory"), False),
            (("", "out of memory"), False),
            # Text beyond ASCII is lowered by str.lower itself.
            (("\u00c9chec: GPU MEMORY", ""), True), (("Allocation \u00e9chou\u00e9e, FAILED", ""), True),
            (("\u00c0llocation failed", ""), False), (("\U0001f525 CUDA memory", ""), True),
            (("", "\u00c9 OutOfMemoryError"), True),
            ((None, "x"), Raises(TypeError, "error_message must be a str, not None")),
            (("x", None), Raises(TypeError, "error_type must be a str, not None")),
            ((None, None), Raises(TypeError, "error_message must be a str, not None")),
            ((1, 2), Raises(TypeError, "Argument 'error_message' has incorrect type "
                                       "(expected str, got int)")),
            (("x", Text("")), Raises(TypeError, "Argument 'error_type' has incorrect type "
                                                "(expected str, got Text)")),
        ])

    def test_docstrings_and_defaults(self):
        rows = [
            ("estimate_allocation_bytes", "Estimate memory required for array allocation.", (1.0,)),
            ("calculate_safe_limit", "Calculate safe allocation limit with headroom.", None),
            ("decide_allocation_strategy",
             "Decide allocation strategy based on memory requirements.", None),
            ("compute_chunk_shapes", "Compute optimal chunk shapes for a large array.", None),
            ("calculate_optimal_chunks",
             "Calculate optimal number of chunks for a large operation.", (1, 1000)),
            ("is_oom_error", "Detect if an error is an Out of Memory error.", None),
            ("is_chunkable_operation",
             "Determine if an operation can be chunked for large allocations.", None),
            ("score_gpu_suitability", "Score how suitable a workload is for GPU execution.", None),
            ("calculate_memory_pressure", "Calculate current memory pressure as a ratio.", None),
            ("recommend_headroom",
             "Recommend headroom ratio based on current memory pressure.", (0.5,)),
        ]
        public = [name for name in vars(accelplan) if not name.startswith("_")]
        self.assertEqual(public, [row[0] for row in rows] + ["logging", "logger"])
        for name, summary, defaults in rows:
            with self.subTest(name=name):
                func = getattr(accelplan, name)
                self.assertTrue(func.__doc__.startswith(f"\n    {summary}\n\n    IP-PROTECTED: "))
                self.assertRegex(func.__doc__, r"\S\n    \Z")
                self.assertEqual(func.__defaults__, defaults)

    def test_no_reference_leaks(self):
        entry = 2**40 + 1
        shape = (3, entry)
        hook = IntHook(KeyError)
        calls = [
            lambda: accelplan.compute_chunk_shapes(shape, 1, 2**40),
            lambda: accelplan.compute_chunk_shapes((3, entry, 2), 1, U64),
            lambda: accelplan.compute_chunk_shapes((hook, entry), 1, U64),
            lambda: accelplan.compute_chunk_shapes((3, entry, hook), 1, U64),
            lambda: accelplan.compute_chunk_shapes((2**31, entry), 1, U64),
            lambda: accelplan.estimate_allocation_bytes((3, hook), 1),
            lambda: accelplan.estimate_allocation_bytes((entry,), 1),
            lambda: accelplan.is_oom_error("\u00e9 gpu memory", "\u00e9"),
            lambda: accelplan.decide_allocation_strategy(entry, 7, 0.1, True),
        ]

        def run_all(times):
            for call in calls:
                for _ in range(times):
                    try:
                        call()
                    except (KeyError, OverflowError):
                        pass

        run_all(3)
        before = sys.getrefcount(entry), sys.getrefcount(hook), sys.getrefcount(shape)
        run_all(200)
        self.assertEqual((sys.getrefcount(entry), sys.getrefcount(hook),
                          sys.getrefcount(shape)), before)

if __name__ == "__main__":
    unittest.main()
