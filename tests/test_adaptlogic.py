"""The adaptive pool controller's decision rules."""
import unittest

import velkora.plugins.analyzer.adaptlogic as al

from support import FloatLike

NAN, INF = float("nan"), float("inf")


def raising_midway():
    yield 1.0
    raise RuntimeError("midway")


def hist(metrics, start=0):
    return [(float(start + i), float(m)) for i, m in enumerate(metrics)]


def spaced(n, step=1.0, size=1000):
    return [(i * step, size) for i in range(n)]


def sample(p, c, m):
    return {"parallelization_potential": p, "cpu_intensity": c, "memory_intensity": m}


class RulesTest(unittest.TestCase):
    def rows(self, func, rows):
        """Rows of (args, expected); an expected (exception type, message) must be raised."""
        for args, expected in rows:
            with self.subTest(func=func.__name__, args=args):
                if isinstance(expected, tuple) and isinstance(expected[0], type):
                    with self.assertRaises(expected[0]) as caught:
                        func(*args)
                    self.assertEqual(str(caught.exception), expected[1])
                else:
                    result = func(*args)
                    self.assertEqual(result, expected)
                    self.assertIs(type(result), type(expected))

    def test_degradation(self):
        malformed = [(0, 1, 2)] * 5
        self.rows(al.detect_performance_degradation, [
            ((None, 100.0, 0.15, 0.0), False),
            ((hist([1] * 4), 100.0, 0.15, 0.0), False),
            ((malformed, 0.0, 0.15, 0.0), False),  # the baseline is tested before any entry
            ((malformed[:4], 100.0, 0.15, 0.0), False),
            ((hist([80] * 5), 100.0, 0.15, 0.0), True),
            ((hist([85] * 5), 100.0, 0.15, 0.0), False),  # equal is not greater
            ((hist([80] * 5, start=10), 100.0, 0.15, 10.0), True),  # inclusive window start
            ((hist([1] * 10), 100.0, 0.15, 6.0), False),  # only four in the window
            (([[i, 80] for i in range(5)], 100, 0.15, 0), True),
            (([iter((i, 80.0)) for i in range(5)], 100.0, 0.15, 0.0), True),
            (([(NAN, 1.0)] + hist([80] * 5), 100.0, 0.15, 0.0), True),
            ((hist([80] * 4 + [NAN]), 100.0, 0.15, 0.0), False),
        ])

    def test_trend(self):
        self.rows(al.calculate_performance_trend, [
            ((None, 0), 0.0), ((hist([1, 2]), 0), 0.0), ((hist([1, 2, 3, 4, 5]), 3.0), 0.0),
            ((hist([10, 20, 30]), 0), 0.5), ((hist([30, 20, 10]), 0), -0.5),
            ((hist([1, 10, 100]), 0), 1.0), ((hist([-3, -2, -1]), 0), -0.5),
            ((hist([-1, 0, 1]), 0), 0.0), (([(5, 1), (5, 2), (5, 3)], 0), 0.0),
            (([(100, 10), (101, 20), (102, 30), (50, 99)], 100), 0.5),
            (([(0, 10), (1000, 20), (2000, 30)], 0), 0.0005),
            ((hist([10, INF, 30]), 0), 1.0),
            (([(NAN, 5.0)] + hist([10, 20, 30]), 0), 0.5),
            # Epoch timestamps: the sums use offsets from the first entry in the window.
            (([(0.0, 1.0)] + hist([10, 20, 30], start=1_700_000_000), 1e9), 0.5),
        ])

    def test_history_entry_errors(self):
        good = hist([1] * 9)
        for func in (lambda h: al.detect_performance_degradation(h, 100.0, 0.1, 50.0),
                     lambda h: al.calculate_performance_trend(h, 50.0),
                     lambda h: al.predict_resource_requirements(h + [(99.0, 1)], 10.0)):
            for history, exc, text in [
                ([(0, 1, 2)] + good, ValueError, "too many values to unpack (expected 2)"),
                (good + [(0,)], ValueError, "need more than 1 value to unpack"),
                (good + [iter(())], ValueError, "need more than 0 values to unpack"),
                ([(0, None)] + good, TypeError, "must be real number, not NoneType"),
                ([("a", None)] + good, TypeError, "must be real number, not str"),
                ([(0, FloatLike("x"))] + good, TypeError,
                 "FloatLike.__float__ returned non-float (type str)"),
                ([(0, 2 ** 2000)] + good, OverflowError, "int too large to convert to float"),
                (good + [raising_midway()], RuntimeError, "midway"),
                (good + [5], TypeError, "'int' object is not iterable"),
            ]:
                with self.subTest(func=func, history=history):
                    with self.assertRaises(exc) as caught:
                        func(history)
                    self.assertEqual(str(caught.exception), text)

    def test_numbers_are_converted_before_the_list_type_is_checked(self):
        for func, args in [(al.detect_performance_degradation, ((), 1.0, 0.1, "x")),
                           (al.calculate_performance_trend, ((), "x")),
                           (al.detect_workload_characteristics_change, ((), "x")),
                           (al.predict_resource_requirements, ((), "x"))]:
            self.rows(func, [(args, (TypeError, "must be real number, not str"))])
        self.rows(al.detect_dominant_pattern, [(((), "5"), (TypeError, "an integer is required"))])
        self.rows(al.predict_resource_requirements, [(((), 1.0), (TypeError, (
            "Argument 'allocation_history' has incorrect type (expected list, got tuple)")))])

    def test_hooks_that_mutate_the_list_stay_within_it(self):
        target = []
        clear = lambda: target[-1].clear()

        def history(n):
            # The first entry dies with the list's hold on it while it is converted.
            target.append([[0.0, FloatLike(1.0, clear)]] + hist([1] * (n - 1), start=1))
            return target[-1]

        class ClearingAdd:
            def __radd__(self, other):
                clear()
                return other + 1.0

        self.assertFalse(al.detect_performance_degradation(history(8), 100.0, 0.1, 0.0))
        self.assertEqual(al.calculate_performance_trend(history(8), 0.0), 0.0)
        self.assertEqual(len(al.predict_resource_requirements(history(12), 1.0)), 3)
        target.append([sample(1, 1, 1)] * 5 + [sample(ClearingAdd(), 1, 1)])
        with self.assertRaises(IndexError):
            al.detect_workload_characteristics_change(target[-1])
        target.append([(FloatLike(0.0, clear), 1)] + spaced(12)[1:])
        with self.assertRaises(IndexError):  # the last entry is gone before it is read
            al.predict_resource_requirements(target[-1], 1.0)

    def test_workload_change(self):
        older, recent = [sample(0.2, 0.5, 0.5)] * 3, [sample(0.6, 0.5, 0.5)] * 3
        zero = sample(0, 0, 0)
        change = al.detect_workload_characteristics_change
        self.rows(change, [
            (([1, 2, 3, 4, 5],), (False, 0.0, 0.0, 0.0)),
            (([{"cpu_intensity": 1, "parallelization_potential": 1}] + [zero] * 4 + [[]],),
             (False, 0.0, 0.0, 0.0)),
            ((["old", None] + older + recent,), (True, 0.3999999999999999, 0.0, 0.0)),
            ((recent + older,), (True, 0.3999999999999999, 0.0, 0.0)),
            (([zero] * 3 + [sample(0.5, 0.25, 0.0)] * 3, 0.5), (False, 0.5, 0.25, 0.0)),
            (([zero] * 3 + [sample(True, 1, 0.25)] * 3,), (True, 1.0, 1.0, 0.25)),
            (([zero] * 5 + [sample("a", 0, 0)],),
             (TypeError, "unsupported operand type(s) for +=: 'float' and 'str'")),
            (([zero] * 5 + [None],), (TypeError, "'NoneType' object is not iterable")),
            (([zero] * 5 + [type("D", (dict,), {})(zero)],), (TypeError, "Expected dict, got D")),
            ((None,), (TypeError, "object of type 'NoneType' has no len()")),
        ])
        self.assertIs(change([]), change([]))
        self.assertFalse(change(older + recent, change_threshold=0.5)[0])

    def test_dominant_pattern(self):
        self.rows(al.detect_dominant_pattern, [
            (([], -3), "mixed"), ((["a", "b", "a"],), "a"), ((["b", "a", "a", "b"],), "b"),
            ((["a", "a", "a", "b", "b"],), "a"), ((["a", "a", "a", "b", "b"], 2), "b"),
            ((["a"], 0), "mixed"), ((["a"], -1), "mixed"), ((["x", "a"], 2 ** 31 - 1), "x"),
            ((["a"] * 3, -2 ** 31), "mixed"),  # the window start does not wrap round
            (([3, "a", "a"], 2), "a"), (([3, "a", "a"], 3), (TypeError, "Expected str, got int")),
            (([type("S", (str,), {})("a")],), (TypeError, "Expected str, got S")),
            (([None, None, "a"],), None), ((["a", "b", "b"], 2.9), "b"),
            ((["z"] * 300 + ["y"] * 299, 10 ** 6), "z"),
            ((None,), (TypeError, "object of type 'NoneType' has no len()")),
        ])

    def test_adaptation_benefit(self):
        self.rows(lambda *a: al.is_adaptation_beneficial("a", "b", *a), [
            ((0.9, 0.6, 0.0, 0), True), ((0.9, 0.59, 0.0, 0), False),
            ((0.51, 1.0, 5.0, 0), True), ((0.5, 1.0, 5.0, 0), False),
            ((0.88, 1.0, 0.8, 1), False), ((0.89, 1.0, 0.8, 1), True),
            ((0.61, 1.0, 0.0, 1, 100.0), True), ((0.6, 1.0, -1.0, -1), False),
            ((0.61, 1.0, NAN, 7), True), ((1.0, NAN, 0.5, 0), True),
            ((1.0, -0.1, 0.5, 0, 1.1, 0.0), False), ((1.0, 0.0, 0.5, 0, 1.1, 0.0), True),
        ])
        self.rows(al.is_adaptation_beneficial, [
            (("p", "p", 1.0, 1.0, 0.0, 1), False), ((None, None, 1.0, 1.0, 0.0, 1), False),
            ((None, "p", 1.0, 1.0, 0.0, 1), True),
            ((b"p", "q", "x", 1.0, 0.0, 1), (TypeError, "must be real number, not str")),
            ((b"p", "q", 1.0, 1.0, 0.0, 1),
             (TypeError, "Argument 'current_pool' has incorrect type (expected str, got bytes)")),
        ])

    def test_threshold_rules(self):
        self.rows(al.should_skip_adaptation, [((100.0, 105.0, 5.0), False),
                                              ((100.0, 104.9, 5.0), True), ((0, -3, -20), False)])
        self.rows(al.detect_memory_pressure, [((80, 100), False), ((81, 100), True),
                                              ((50, 0), False), ((-1, 100, -0.5), False),
                                              ((0, 100, -0.1), True)])
        self.rows(al.detect_fragmentation_threshold, [((0.3,), False), ((0.31,), True),
                                                      ((-0.1, -0.5), False), ((0.0, -0.1), True)])

    def test_urgency_and_scoring(self):
        self.rows(al.calculate_adaptation_urgency, [
            ((0, 0, 0, True), 0.15), ((1, 1, 1, True), 1.0), ((1, 1, 1, False), 0.85),
            ((0.5, 0.5, 0.5, True), 0.575), ((0.3, 0.6, 0.2, True), 0.48),
            ((0.25, 0.1, 0.9, False), 0.265), ((2.0, -3.0, 0.2, False), 0.43000000000000005),
            ((NAN, 0, 0, None), 0.4), ((0, 0, 0, "x"), 0.15), ((0, 0, 0, []), 0.0),
        ])
        self.rows(al.score_pool_recommendation, [
            ((1, 1, 1, 1), 0.9999999999999999), ((0.5,) * 4, 0.49999999999999994),
            ((0.9,) * 4, 0.9), ((0, 0, 1, 0), 0.2), ((0.8, 0.6, 0.7, 0.9), 0.735),
            ((2.0, -1.0, 0.5, NAN), 0.6),
        ])

    def test_prediction(self):
        predict = al.predict_resource_requirements
        self.rows(predict, [
            (([None] * 9, 10.0), (0, 0, 0.0)),
            (([(5.0, 1)] + [None] * 8 + [(5.0, 1)], 10.0), (0, 0, 0.0)),
            ((spaced(20), 10.0), (10, 10000, 0.16000000000000003)),
            ((spaced(20), 0.0), (0, 0, 0.16000000000000003)),
            ((spaced(20), -5.0), (-5, -5000, 0.16000000000000003)),
            ((spaced(10), 10.0), (11, 11000, 0.08000000000000002)),
            (([(float(i), 1 + i % 2) for i in range(10)], 3.0), (3, 4, 0.08000000000000002)),
            ((spaced(150, 0.5, 4096), 60.0), (120, 491520, 0.8)),
            (([[i, 1000] for i in range(20)], 10.0), (10, 10000, 0.16000000000000003)),
            # Counts beyond 32 bits are exact ints, never wrapped.
            ((spaced(20), 1e12), (1052631578947, 1052631578947000, 0.16000000000000003)),
            ((spaced(20, size=2 ** 40), 10.0), (10, 10 * 2 ** 40, 0.16000000000000003)),
            (([()] + spaced(10), 1.0), (ValueError, "need more than 0 values to unpack")),
            ((spaced(10) + [[]], 1.0), (ValueError, "need more than 0 values to unpack")),
            (([None] + spaced(10), 1.0), (TypeError, "'NoneType' object is not subscriptable")),
            (([{}] + spaced(10), 1.0), (KeyError, "0")),
            ((None, 1.0), (TypeError, "object of type 'NoneType' has no len()")),
        ])
        self.assertEqual([predict(spaced(99), 1.0)[2], predict(spaced(100), 1.0)[2]], [0.792, 0.8])
        # No count for a NaN or infinite prediction: the shared empty result.
        for history, horizon in [(spaced(20), NAN), (spaced(20), INF), (spaced(20, size=NAN), 1.0),
                                 (spaced(20, size=INF), 1.0), (spaced(19) + [(NAN, 1)], 1.0)]:
            with self.subTest(history=history[-1], horizon=horizon):
                self.assertIs(predict(history, horizon), predict([], 0.0))

    def test_module_namespace(self):
        self.assertEqual(al.__test__, {})
        self.assertEqual(
            [(name, value.__defaults__) for name, value in vars(al).items()
             if hasattr(value, "__vectorcalloffset__")],
            [("detect_performance_degradation", None), ("calculate_performance_trend", None),
             ("detect_workload_characteristics_change", (0.3,)), ("detect_dominant_pattern", (5,)),
             ("is_adaptation_beneficial", (1.1, 0.6)), ("should_skip_adaptation", None),
             ("detect_memory_pressure", (0.8,)), ("detect_fragmentation_threshold", (0.3,)),
             ("calculate_adaptation_urgency", None), ("score_pool_recommendation", None),
             ("predict_resource_requirements", None)])


if __name__ == "__main__":
    unittest.main()
