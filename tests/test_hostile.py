"""Hostile containers and items: every call returns or raises an ordinary exception."""
import unittest

import velkora.gpu.accelplan as ap
import velkora.plugins.analyzer.adaptlogic as al

from support import SANITIZED


class Hook:
    """A number whose conversion runs `action` first."""

    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def _run(self):
        if self.action:
            self.action()

    def __float__(self):
        self._run()
        return float(self.value)

    def __index__(self):
        self._run()
        return int(self.value)

    def __int__(self):
        self._run()
        return int(self.value)

    def __bool__(self):
        self._run()
        return bool(self.value)

    def __radd__(self, other):
        self._run()
        return other + self.value


class BadIter:
    def __init__(self, mode):
        self.mode, self.n = mode, 0

    def __iter__(self):
        if self.mode == "iter":
            raise LookupError("iter")
        if self.mode == "wrong":
            return 42
        return self

    def __next__(self):
        self.n += 1
        if self.mode == "next" and self.n == 2:
            raise LookupError("next")
        if self.n > 2:
            raise StopIteration
        return 1.0


def raiser(exc):
    def act():
        raise exc
    return act


def generator_raising_after_one():
    yield 1.0
    raise LookupError("generator")


HISTORY_FUNCS = [
    (al.detect_performance_degradation, (100.0, 0.15, 0.0)),
    (al.calculate_performance_trend, (0.0,)),
    (al.predict_resource_requirements, (10.0,)),
]


class HostileTest(unittest.TestCase):
    def assert_ordinary(self, func, *args):
        try:
            func(*args)
        except SystemError as e:  # what a C-level misuse surfaces as
            self.fail(f"{func.__name__}: SystemError {e}")
        except Exception:
            pass

    @staticmethod
    def mutating_histories():
        """Histories whose entries clear, shrink or extend the list being read."""
        cases = []
        for mode in ("clear", "shrink", "extend", "raise", "wrong-type"):
            for position in (0, 5, 11):
                history = [(float(t), 100.0 - t) for t in range(12)]

                def act(history=history, mode=mode):
                    if mode == "clear":
                        history.clear()
                    elif mode == "shrink":
                        del history[-6:]
                    elif mode == "extend":
                        history.extend([(50.0, 1.0)] * 100)
                    elif mode == "raise":
                        raise ArithmeticError("hook")
                item = "x" if mode == "wrong-type" else Hook(5.0, act)
                history[position] = (item, 1.0)
                cases.append((mode, position, history))
        return cases

    def test_histories_mutated_or_failing_during_the_walk(self):
        for func, rest in HISTORY_FUNCS:
            for mode, position, history in self.mutating_histories():
                with self.subTest(func=func.__name__, mode=mode, position=position):
                    self.assert_ordinary(func, history, *rest)

    def test_entries_whose_iteration_misbehaves(self):
        entries = [BadIter("iter"), BadIter("wrong"), BadIter("next"), generator_raising_after_one(),
                   iter(()), iter(range(5)), object(), None, "ab", b"ab", {"a": 1, "b": 2}, (), []]
        for func, rest in HISTORY_FUNCS:
            for bad in entries:
                history = [(float(t), 1.0) for t in range(12)]
                history[3] = bad
                with self.subTest(func=func.__name__, entry=repr(bad)):
                    self.assert_ordinary(func, history, *rest)
                history[0] = bad
                history[-1] = bad
                with self.subTest(func=func.__name__, entry=repr(bad), where="ends"):
                    self.assert_ordinary(func, history, *rest)

    def test_entry_freed_while_its_item_converts(self):
        for func, rest in HISTORY_FUNCS:
            history = [[float(t), 1.0] for t in range(12)]
            entry = history[4]

            def act():
                history[4] = None  # drops the list's reference to the entry
                entry.clear()      # and empties the entry itself
            entry[0] = Hook(4.0, act)
            del entry
            with self.subTest(func=func.__name__):
                self.assert_ordinary(func, history, *rest)

    def test_pattern_dicts_mutated_during_the_sums(self):
        for mutation in ("delete-key", "clear-list", "raise"):
            history = [{"parallelization_potential": 0.1, "cpu_intensity": 0.2,
                        "memory_intensity": 0.3} for _ in range(6)]

            def act(history=history, mutation=mutation):
                if mutation == "delete-key":
                    for d in history:
                        d.pop("memory_intensity", None)
                elif mutation == "clear-list":
                    history.clear()
                else:
                    raise ArithmeticError("hook")
            history[4]["cpu_intensity"] = Hook(0.5, act)
            with self.subTest(mutation=mutation):
                self.assert_ordinary(al.detect_workload_characteristics_change, history)

    def test_patterns_list_mutated(self):
        patterns = ["a", "b", "a", "c"]
        count = Hook(3, patterns.clear)
        self.assert_ordinary(al.detect_dominant_pattern, patterns, count)
        self.assertEqual(al.detect_dominant_pattern(["a"] * 3, Hook(2, lambda: None)), "a")

    def test_shapes_with_misbehaving_entries(self):
        entries = [Hook(3, raiser(ArithmeticError("hook"))), Hook("3"), 2.5, -1, 0, 2**31, 2**64,
                   -2**64, float("nan"), float("inf"), "3", None, object(), True]
        for entry in entries:
            for shape in ((entry,), (4, entry), (entry, 4, 4)):
                with self.subTest(shape=repr(shape)):
                    self.assert_ordinary(ap.estimate_allocation_bytes, shape, 8, 1.5)
                    self.assert_ordinary(ap.compute_chunk_shapes, shape, 8, 1000)

    def test_numeric_boundaries_everywhere(self):
        values = [0, -0.0, 1, -1, 2**31 - 1, 2**31, -2**31 - 1, 2**63 - 1, 2**63, 2**64 - 1,
                  2**64, -2**64, float("nan"), float("inf"), float("-inf"), 5e-324, 1e308]
        funcs = [(f, len(f.__signature__.parameters)) for m in (al, ap)
                 for f in vars(m).values() if hasattr(f, "__signature__")]
        for func, arity in funcs:
            for value in values:
                args = [value] * arity
                with self.subTest(func=func.__name__, value=value):
                    self.assert_ordinary(func, *args)

    def test_huge_lists(self):
        n = 10**5 if SANITIZED else 10**6
        history = [(float(t), 1.0) for t in range(n)]
        self.assertFalse(al.detect_performance_degradation(history, 1.0, 0.15, 0.0))
        self.assertEqual(al.calculate_performance_trend(history, 0.0), 0.0)
        self.assertEqual(al.predict_resource_requirements(history, 1.0)[2], 0.8)
        self.assertEqual(al.detect_dominant_pattern(["a"] * n, 5), "a")
        self.assertEqual(len(ap.compute_chunk_shapes((n, 2), 8, 16)), n)


MEASURES = ("parallelization_potential", "cpu_intensity", "memory_intensity")


def workload_change_model(history, threshold=0.3):
    """The workload-change rule written out in Python, lookup for lookup: the
    presence of every measure first, then each value read again as it is
    added, the recent samples before the older ones."""
    n = len(history)
    if n < 6:
        return (False, 0.0, 0.0, 0.0)

    def sample(i):
        entry = history[i]
        if entry is None:
            raise TypeError("'NoneType' object is not iterable")
        if type(entry) is not dict:
            raise TypeError(f"Expected dict, got {type(entry).__name__}")
        return entry

    for i in range(n - 6, n):
        entry = sample(i)
        if any(key not in entry for key in MEASURES):
            return (False, 0.0, 0.0, 0.0)

    def means(first):
        sums = [0.0, 0.0, 0.0]
        for i in range(first, first + 3):
            entry = sample(i)
            for m, key in enumerate(MEASURES):
                total = sums[m]
                total += entry[key]
                sums[m] = float(total)
        return [s / 3.0 for s in sums]

    recent, older = means(n - 3), means(n - 6)
    change = [abs(r - o) for r, o in zip(recent, older)]
    return (any(c > threshold for c in change), *change)


class CollidingKey:
    """A key that hashes like a measure name, never equals it, and acts on its
    `trigger`-th comparison."""

    def __init__(self, name, trigger, action):
        self.name, self.trigger, self.action, self.calls = name, trigger, action, None

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if self.calls is not None:  # armed once its dict is built
            self.calls += 1
            if self.calls == self.trigger:
                self.action()
        return False


def hostile_history(where, measure, trigger, action):
    """Six samples (older 0.0, recent 1.0) plus one before them; sample `where`
    holds a CollidingKey ahead of its measures, acting on `action(history)`."""
    history = [None] + [dict.fromkeys(MEASURES, 0.0 if i < 3 else 1.0) for i in range(6)]
    target = history[where]
    key = CollidingKey(measure, trigger, lambda: action(history))
    history[where] = {key: "ignored", **target}
    key.calls = 0
    return history


# What the key's comparison does to the history (index 0 is before the window).
HOSTILE_ACTIONS = {
    "nothing": lambda h: None,
    "clear the list": lambda h: h.clear(),
    "drop the newest sample": lambda h: h.pop(),
    "delete a measure": lambda h: h[5].pop("memory_intensity"),
    "delete every measure": lambda h: [d.clear() for d in h[1:]],
    "value to str": lambda h: h[2].__setitem__("cpu_intensity", "x"),
    "value to int": lambda h: h[6].__setitem__("parallelization_potential", 7),
    "sample to list": lambda h: h.__setitem__(4, []),
    "sample to None": lambda h: h.__setitem__(3, None),
    "append samples": lambda h: h.extend([dict.fromkeys(MEASURES, 5.0)] * 3),
    "raise": lambda h: (_ for _ in ()).throw(LookupError("second comparison")),
}


def outcome(func, history):
    try:
        return ("returned", func(history))
    except Exception as e:  # the type and text are what is compared
        return (type(e).__name__, str(e))


class WorkloadLookupOrderTest(unittest.TestCase):
    def test_colliding_keys_see_the_lookups_in_order(self):
        # Every sample position, each measure's hash, the key acting on its
        # first (presence test) or second (the value read for the sum)
        # comparison: the native rule and the model agree on the result or
        # the exception, and on how often the key was compared.
        rows = [(where, measure, trigger, action)
                for where in (1, 3, 4, 6)
                for measure in MEASURES
                for trigger in (1, 2)
                for action in HOSTILE_ACTIONS]
        for where, measure, trigger, action in rows:
            native = hostile_history(where, measure, trigger, HOSTILE_ACTIONS[action])
            model = hostile_history(where, measure, trigger, HOSTILE_ACTIONS[action])
            with self.subTest(where=where, measure=measure, trigger=trigger, action=action):
                self.assertEqual(outcome(al.detect_workload_characteristics_change, native),
                                 outcome(workload_change_model, model))
                self.assertEqual(self.comparisons(native), self.comparisons(model))

    @staticmethod
    def comparisons(history):
        return [key.calls for d in history if type(d) is dict
                for key in d if isinstance(key, CollidingKey)]

    def test_quiet_samples_answer_like_the_model(self):
        # The shapes the single-read route takes, and its neighbours that must
        # leave it: extra keys, a missing measure, big dicts, non-plain values.
        class Str(str):
            pass

        def samples(**extra):
            return [{**dict.fromkeys(MEASURES, float(i % 4) / 3), **extra} for i in range(7)]
        rows = [
            ("plain", samples()),
            ("extra keys", samples(timestamp=1.0, note="x")),
            ("int and bool values",
             [dict.fromkeys(MEASURES, v) for v in (0, 1, True, 2**70, 3, 4)]),
            ("big dicts", samples(**{f"k{i}": i for i in range(40)})),
            ("str subclass key", samples(**{Str("other"): 1})),
            ("equal but not identical keys",
             [{"".join(["cpu_", "intensity"]): 1.0, "parallelization_potential": 0.0,
               "memory_intensity": 0.5}] * 6),
            ("missing measure", samples()[:5] + [{"cpu_intensity": 1.0}]),
            ("missing then bad", [{"cpu_intensity": 1.0}] + samples()[:4] + [[]]),
            ("str value", samples()[:5] + [dict.fromkeys(MEASURES, "x")]),
            ("float subclass value", [dict.fromkeys(MEASURES, type("F", (float,), {})(i))
                                      for i in range(6)]),
        ]
        for label, history in rows:
            with self.subTest(label):
                self.assertEqual(outcome(al.detect_workload_characteristics_change, history),
                                 outcome(workload_change_model, history))


if __name__ == "__main__":
    unittest.main()
