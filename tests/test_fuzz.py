"""Property tests: what every answer of the rules must satisfy, over generated
inputs, and generated calls of every function, hostile objects included, that
must each return or raise an ordinary exception (a crash fails the run; under
the sanitizers, so does any memory error on the way). The examples are the
same on every run: after a crash, `pytest -s --hypothesis-verbosity=verbose
-k NAME` shows the inputs of the last call before it."""
import inspect
import math

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import velkora.gpu.accelplan as ap
import velkora.plugins.analyzer.adaptlogic as al

from support import SANITIZED

U64 = st.integers(0, 2**64 - 1)
FLOATS = st.floats()  # NaN and both infinities included
EXACT = 2**53  # below it, byte counts are exact in doubles


@given(available=U64, headroom=FLOATS)
def test_safe_limit_never_exceeds_free_bytes(available, headroom):
    assert 0 <= ap.calculate_safe_limit(available, headroom) <= available


@given(requested=U64, available=U64, headroom=FLOATS, chunkable=st.booleans())
@example(requested=2500, available=1000, headroom=0.2, chunkable=True)
def test_strategy_follows_safe_limit(requested, available, headroom, chunkable):
    limit = ap.calculate_safe_limit(available, headroom)
    code, size, count, message = ap.decide_allocation_strategy(
        requested, available, headroom, chunkable)
    if limit == 0:
        assert (code, size, count, message) == (2, 0, 1, "No GPU memory available")
    elif requested <= limit:
        assert (code, size, count, message) == (0, 0, 1, "Allocation fits in GPU memory")
    elif not chunkable:
        assert (code, size, count, message) == (
            2, 0, 1, "Operation not chunkable, falling back to CPU")
    else:
        assert (code, size, message) == (1, limit, f"Chunking into {count} GPU passes")
        assert count >= 1
        if requested < EXACT:
            assert (count - 1) * limit < requested <= count * limit


@given(first=st.integers(-3, 3000), tail=st.lists(st.integers(0, 5000), max_size=3),
       element_size=st.integers(1, 16), max_chunk_bytes=st.integers(1, 2**40))
@example(first=10, tail=[4], element_size=8, max_chunk_bytes=100)
def test_chunk_shapes_cover_the_first_dimension(first, tail, element_size, max_chunk_bytes):
    shape = (first, *(dim * 1000 + 1000 for dim in tail))  # beyond the small-int cache
    chunks = ap.compute_chunk_shapes(shape, element_size, max_chunk_bytes)
    rows = [chunk[0] for chunk in chunks]
    assert sum(rows) == max(first, 0) and all(n >= 1 for n in rows)
    row_bytes = element_size * math.prod(shape[1:])
    per_chunk = 1 if row_bytes > max_chunk_bytes else max_chunk_bytes // row_bytes
    assert all(n == per_chunk for n in rows[:-1]) and all(n <= per_chunk for n in rows)
    for chunk in chunks:
        assert len(chunk) == len(shape)
        assert all(mine is theirs for mine, theirs in zip(chunk[1:], shape[1:]))


@given(history=st.lists(st.tuples(FLOATS, FLOATS), max_size=12), window_start=FLOATS)
@example(history=[(0.0, 1.0), (1.0, 10.0), (2.0, 100.0)], window_start=0.0)
def test_trend_within_unit_range(history, window_start):
    assert -1.0 <= al.calculate_performance_trend(history, window_start) <= 1.0


@given(ratios=st.tuples(FLOATS, FLOATS, FLOATS), changed=st.booleans())
def test_urgency_within_unit_range(ratios, changed):
    assert 0.0 <= al.calculate_adaptation_urgency(*ratios, changed) <= 1.0


@given(factors=st.tuples(FLOATS, FLOATS, FLOATS, FLOATS))
def test_pool_score_within_unit_range(factors):
    assert 0.0 <= al.score_pool_recommendation(*factors) <= 1.0


# Keywords and near misses in any case, around letters whose case bit is
# not a letter's (@ [ ` {) and text that lowers to ASCII (K, İ).
OOM_PIECES = st.sampled_from([
    "out of memory", "OUT of MEMORY", "outofmemoryerror", "OutOfMemoryError", "cuda", "CUDA",
    "memory", "Memor", "allocat", "ALLOCAT", "failed", "FAILE", "insufficient", "gpu", "GPU",
    " ", "x", "@", "[", "`", "{", "\u00e9", "\u212a", "\u0130", "out of memor"])


@given(message=st.lists(OOM_PIECES, max_size=8).map("".join),
       kind=st.lists(OOM_PIECES, max_size=3).map("".join))
@example(message="xxxxxxxxout of memory", kind="")
def test_oom_recognition_is_the_lowered_search(message, kind):
    m, t = message.lower(), kind.lower()
    expected = ("out of memory" in m or "outofmemoryerror" in t
                or "memory" in m and ("cuda" in m or "insufficient" in m or "gpu" in m)
                or "allocat" in m and "failed" in m)
    assert ap.is_oom_error(message, kind) is expected


# --- generated calls with hostile arguments ----------------------------------

class Hostile:
    """A number or pair whose conversions raise, return the wrong type, or
    clear or grow the list it sits in (`owner`, set once the list exists)."""

    def __init__(self, mode):
        self.mode, self.owner = mode, None

    def __repr__(self):
        return f"Hostile({self.mode!r})"

    def _act(self, value):
        if self.mode == "raise":
            raise ArithmeticError("hostile")
        if self.mode == "wrong":
            return "wrong"
        if self.owner is not None and self.mode == "clear":
            self.owner.clear()
        if self.owner is not None and self.mode == "grow":
            self.owner.extend([(1.0, 2.0)] * 3)
        return value

    def __float__(self):
        return self._act(1.5)

    def __int__(self):
        return self._act(3)

    __index__ = __int__

    def __bool__(self):
        return self._act(True)

    def __radd__(self, other):
        return self._act(other)

    def __iter__(self):
        self._act(None)
        return iter((1.0, 2.0))


def own(items):
    """The list of `items`, with its hostile entries (and theirs) pointing at it."""
    for item in items:
        for part in item if isinstance(item, tuple) else (item,):
            if isinstance(part, Hostile):
                part.owner = items
    return items


HOSTILE = st.builds(Hostile, st.sampled_from(["raise", "wrong", "clear", "grow", "ok"]))
NUMBERS = st.one_of(
    st.sampled_from([0, 1, -1, 2**31 - 1, 2**31, -2**31 - 1, 2**63, 2**64 - 1, 2**64, 10**30,
                     0.0, -0.0, 5e-324, True, False]),
    FLOATS, st.integers(-2**70, 2**70))
NAMES = st.sampled_from(["", "zeros", "matmul", "CUDA out of memory", "mixed", "cpu_bound",
                         "\u0130", "x" * 300])
SCALAR = st.one_of(NUMBERS, NAMES, st.none(), HOSTILE)
ENTRY = st.one_of(
    st.tuples(SCALAR, SCALAR), st.lists(SCALAR, min_size=2, max_size=2),
    st.lists(SCALAR, max_size=3).map(tuple), HOSTILE, SCALAR,
    st.fixed_dictionaries({k: SCALAR for k in
                           ("parallelization_potential", "cpu_intensity", "memory_intensity")}))
ANY = st.one_of(SCALAR, st.lists(ENTRY, max_size=14).map(own),
                st.lists(st.one_of(NUMBERS, HOSTILE), max_size=4).map(tuple),
                st.just({"a": 1}))
# What each parameter usually gets, so that calls reach the function bodies.
PLAUSIBLE = {
    "performance_history": st.lists(st.tuples(SCALAR, SCALAR) | ENTRY, max_size=14).map(own),
    "allocation_history": st.lists(st.tuples(SCALAR, SCALAR) | ENTRY, max_size=14).map(own),
    "pattern_history": st.lists(ENTRY, max_size=10).map(own),
    "patterns": st.lists(st.one_of(NAMES, st.none(), SCALAR), max_size=8),
    "shape": st.lists(st.one_of(st.integers(-2, 10**6), SCALAR), max_size=4).map(tuple),
}
FUNCTIONS = [f for module in (al, ap) for f in vars(module).values()
             if hasattr(f, "__signature__")]


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
@settings(max_examples=25 if SANITIZED else 100)
@given(data=st.data())
def test_no_input_crashes(function, data):
    names = list(inspect.signature(function).parameters)
    count = data.draw(st.integers(0, len(names) + 1), label="count")
    values = [data.draw(st.one_of(PLAUSIBLE.get(name, SCALAR), ANY), label=name)
              for name in (names + ["extra"])[:count]]
    by_keyword = data.draw(st.integers(0, count), label="by_keyword")
    args = values[:count - by_keyword]
    kwargs = {data.draw(st.sampled_from(names + ["bogus"]), label="keyword"): value
              for value in values[count - by_keyword:]}
    try:
        function(*args, **kwargs)
    except SystemError:  # an error set without a result, or a result with one
        raise
    except Exception:
        pass
