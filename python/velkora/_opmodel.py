"""What an operation holds in GPU memory, and along which axes it may be split.

Each operation is planned over an iteration shape (the array whose chunks
are the GPU passes: the output for a matmul, the input for a reduction). Its
working set is a sum of terms, each the bytes of one buffer for a chunk of
that shape: inputs, outputs and temporaries. A buffer that does not grow with
an axis leaves that axis out of its term (the whole right-hand matrix of a
matmul split by rows), so every term, and the sum, grows with each chunk
dimension: that is what lets the planner search chunk sizes by bisection.

Kept free of heavy imports: it is on the `velkora plan` command's path.
"""
from __future__ import annotations

from velkora._opnames import CHUNKABLE_OPERATIONS, NON_CHUNKABLE_OPERATIONS
from velkora._planinput import PlanError

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence

    Shape = tuple[int, ...]
    # (axis of the iteration shape, halo added to the chunk's length, cap)
    Factor = tuple[int, int, int]
    # (bytes per element, factors, part: "inputs", "outputs" or "temporaries")
    Term = tuple[int, tuple[Factor, ...], str]
    Axis = int | tuple[int, ...] | None

UNARY = (
    "negative", "positive", "abs", "absolute", "exp", "exp2", "expm1", "log", "log2", "log10",
    "log1p", "sqrt", "cbrt", "square", "reciprocal", "sin", "cos", "tan", "arcsin", "arccos",
    "arctan", "sinh", "cosh", "tanh", "sign", "floor", "ceil", "trunc", "rint", "round", "clip",
    "conj", "copy", "isnan", "isinf", "isfinite", "logical_not", "invert",
)
BINARY = (
    "add", "subtract", "multiply", "divide", "true_divide", "floor_divide", "power", "mod",
    "remainder", "maximum", "minimum", "fmax", "fmin", "arctan2", "hypot", "logical_and",
    "logical_or", "logical_xor", "bitwise_and", "bitwise_or", "bitwise_xor", "equal",
    "not_equal", "less", "less_equal", "greater", "greater_equal", "where",
)
# Results of one byte per element whatever the operands hold.
BOOLEAN_RESULTS = frozenset((
    "isnan", "isinf", "isfinite", "logical_not", "logical_and", "logical_or", "logical_xor",
    "equal", "not_equal", "less", "less_equal", "greater", "greater_equal", "any", "all",
))
# Reductions whose partial results over pieces of a reduced axis combine
# into the whole one (sums and extremes directly, mean and variance through
# counts); a median needs the whole axis at once.
COMBINABLE = (
    "sum", "prod", "mean", "max", "min", "amax", "amin", "argmax", "argmin", "any", "all",
    "nansum", "nanprod", "nanmean", "nanmax", "nanmin", "count_nonzero", "std", "var",
)
REDUCTIONS = (*COMBINABLE, "median", "nanmedian")
INDEX_RESULTS = frozenset(("argmax", "argmin", "count_nonzero", "argsort"))
MATMUL = ("matmul", "dot")
FFT = ("fft", "ifft", "rfft", "irfft", "fft2", "ifft2", "fftn", "ifftn")
SORT = ("sort", "argsort")
CONVOLUTION = ("convolve", "correlate", "conv")
LINALG = ("svd", "eig", "eigvals", "eigh", "eigvalsh", "solve", "inv", "cholesky", "qr", "det")

FAMILIES: dict[str, str] = {name: "creation" for name in CHUNKABLE_OPERATIONS}
for _family, _names in (("elementwise", UNARY + BINARY), ("reduction", REDUCTIONS),
                        ("matmul", MATMUL), ("fft", FFT), ("sort", SORT),
                        ("convolution", CONVOLUTION), ("linalg", LINALG)):
    FAMILIES.update(dict.fromkeys(_names, _family))

#: Every name the model knows, the native planner's own first.
KNOWN_OPERATIONS = (*CHUNKABLE_OPERATIONS, *NON_CHUNKABLE_OPERATIONS,
                    *(n for n in FAMILIES if n not in CHUNKABLE_OPERATIONS
                      and n not in NON_CHUNKABLE_OPERATIONS))


class Model:
    """An operation's working set over its iteration shape."""

    __slots__ = ("operation", "family", "shapes", "shape", "terms", "splittable", "chunkable",
                 "notes", "noted_axes", "axes")

    def __init__(self, operation: str, family: str, shapes: tuple[Shape, ...], shape: Shape,
                 terms: Sequence[Term], splittable: Sequence[int], chunkable: bool,
                 notes: Sequence[str] = (), noted_axes: Sequence[int] | None = None) -> None:
        self.operation, self.family, self.shapes, self.shape = operation, family, shapes, shape
        self.terms = tuple(terms)
        # Split first along the outermost axes: those chunks are contiguous in
        # C order, one host-to-device copy each.
        self.splittable = tuple(sorted(splittable)) if chunkable else ()
        self.chunkable, self.notes = chunkable, tuple(notes)
        # The notes hold for any plan, or only where one of these axes is split.
        self.noted_axes = None if noted_axes is None else frozenset(noted_axes)
        # The axes the operation works along (reduces, sorts, transforms).
        self.axes: tuple[int, ...] | None = None

    def notes_for(self, split: Sequence[int]) -> tuple[str, ...]:
        if self.noted_axes is None or self.noted_axes.intersection(split):
            return self.notes
        return ()

    def parts(self, chunk: Sequence[int]) -> dict[str, int]:
        """Bytes of inputs, outputs and temporaries for one chunk."""
        parts = {"inputs": 0, "outputs": 0, "temporaries": 0}
        for size, factors, part in self.terms:
            for axis, halo, cap in factors:
                size *= min(chunk[axis] + halo, cap) if chunk[axis] else 0
            parts[part] += size
        return parts

    def bytes(self, chunk: Sequence[int]) -> int:
        total = 0
        for size, factors, _ in self.terms:
            for axis, halo, cap in factors:
                size *= min(chunk[axis] + halo, cap) if chunk[axis] else 0
            total += size
        return total


def _along(shape: Shape, axes: Sequence[int] | None = None) -> tuple[Factor, ...]:
    """Factors of a buffer that spans the iteration shape's `axes` (all by default)."""
    chosen = range(len(shape)) if axes is None else axes
    return tuple((axis, 0, shape[axis]) for axis in chosen)


def _product(dims: Sequence[int]) -> int:
    total = 1
    for dim in dims:
        total *= dim
    return total


def _axes(axis: Axis, ndim: int, name: str) -> tuple[int, ...]:
    """Normalised, distinct axes; None means all."""
    if axis is None:
        return tuple(range(ndim))
    items = (axis,) if isinstance(axis, int) else tuple(axis)
    out = []
    for item in items:
        if isinstance(item, bool) or not isinstance(item, int):
            raise PlanError("{0} must be an integer or a tuple of integers", "axis")
        if not -ndim <= item < ndim:
            raise PlanError("{0} {axis} is out of range for {ndim} dimensions of {op}", "axis",
                            axis=item, ndim=ndim, op=name)
        out.append(item % ndim)
    if len(set(out)) != len(out):
        raise PlanError("{0} repeats an axis", "axis")
    return tuple(sorted(out))


def _broadcast(shapes: Sequence[Shape], name: str) -> Shape:
    ndim = max(len(s) for s in shapes)
    out = []
    for i in range(ndim):
        dims = {s[i - ndim + len(s)] for s in shapes if i - ndim + len(s) >= 0} - {1}
        if len(dims) > 1:
            raise PlanError("{0} {shapes} do not broadcast together for {op}", "shapes",
                            shapes=", ".join(map(str, shapes)), op=name)
        out.append(dims.pop() if dims else 1)
    return tuple(out)


def _spanned(operand: Shape, out: Shape) -> list[int]:
    """Axes of `out` along which a broadcast operand has more than one element."""
    offset = len(out) - len(operand)
    return [offset + i for i, dim in enumerate(operand) if dim != 1]


def _complex_size(dtype: str, element_size: int) -> int:
    if dtype.startswith("complex"):
        return element_size
    return 8 if dtype in ("float32", "float16", "bfloat16") else 16


def build(operation: str, shapes: Sequence[Shape], element_size: int, dtype: str,
          axis: Axis = None, axis_given: bool = False) -> Model:
    """The model of `operation` over operands of `shapes` (one shape stands
    for every operand of the same shape where that is unambiguous)."""
    family = FAMILIES.get(operation, "unknown")
    es = element_size
    shapes = tuple(shapes)
    if family == "creation":
        return _single(operation, family, shapes, es, chunkable=True)
    if family == "unknown":
        return _single(operation, family, shapes, es, chunkable=False)
    if family == "elementwise":
        return _elementwise(operation, shapes, es)
    if family == "reduction":
        return _reduction(operation, shapes, es, axis)
    if family == "matmul":
        return _matmul(operation, shapes, es)
    if family == "fft":
        return _fft(operation, shapes, es, dtype, axis, axis_given)
    if family == "sort":
        return _sort(operation, shapes, es, axis, axis_given)
    if family == "convolution":
        return _convolution(operation, shapes, es)
    return _linalg(operation, shapes, es, dtype)


def _one(operation: str, shapes: tuple[Shape, ...]) -> Shape:
    if len(shapes) != 1:
        raise PlanError("{0}: {op} takes one array, not {n}", "shapes", op=operation,
                        n=len(shapes))
    return shapes[0]


def _single(operation: str, family: str, shapes: tuple[Shape, ...], es: int,
            chunkable: bool) -> Model:
    shape = _one(operation, shapes)
    part = "outputs" if family == "creation" else "inputs"
    return Model(operation, family, shapes, shape, [(es, _along(shape), part)],
                 range(len(shape)), chunkable)


def _elementwise(operation: str, shapes: tuple[Shape, ...], es: int) -> Model:
    arity = 1 if operation in UNARY else 3 if operation == "where" else 2
    if len(shapes) == 1 and arity > 1:
        shapes = shapes * arity  # operands of one shape
    if len(shapes) != arity:
        raise PlanError("{0}: {op} takes {arity} operand(s), not {n}", "shapes", op=operation,
                        arity=arity, n=len(shapes))
    out = _broadcast(shapes, operation)
    terms: list[Term] = []
    for index, operand in enumerate(shapes):
        # where's condition is one byte per element.
        size = 1 if operation == "where" and index == 0 else es
        terms.append((size, _along(out, _spanned(operand, out)), "inputs"))
    out_size = 1 if operation in BOOLEAN_RESULTS else es
    terms.append((out_size, _along(out), "outputs"))
    return Model(operation, "elementwise", shapes, out, terms, range(len(out)), True)


def _reduction(operation: str, shapes: tuple[Shape, ...], es: int, axis: Axis) -> Model:
    shape = _one(operation, shapes)
    reduced = _axes(axis, len(shape), operation)
    kept = [i for i in range(len(shape)) if i not in reduced]
    out_size = 8 if operation in INDEX_RESULTS else 1 if operation in BOOLEAN_RESULTS else es
    terms: list[Term] = [(es, _along(shape), "inputs"), (out_size, _along(shape, kept), "outputs")]
    notes = []
    splittable = list(kept)
    if operation in COMBINABLE:
        splittable += reduced
        notes.append("a split reduced axis gives partial results combined in a last step")
    model = Model(operation, "reduction", shapes, shape, terms, splittable, True, notes, reduced)
    model.axes = reduced
    return model


def _matmul(operation: str, shapes: tuple[Shape, ...], es: int) -> Model:
    if len(shapes) == 1:
        a = shapes[0]
        if len(a) < 2 or a[-1] != a[-2]:
            raise PlanError("{0}: {op} of {a} needs the second operand's shape too, e.g. "
                            "shapes=[(m, k), (k, n)]", "shapes", op=operation, a=a)
        shapes = (a, a)
    if len(shapes) != 2:
        raise PlanError("{0}: {op} takes two operands, not {n}", "shapes", op=operation,
                        n=len(shapes))
    a, b = shapes
    if not a or not b:
        raise PlanError("{0}: {op} needs arrays of at least one dimension", "shapes",
                        op=operation)
    k = a[-1]
    if (b[-2] if len(b) > 1 else b[0]) != k:
        raise PlanError("{0}: {op} of {a} and {b}: inner dimensions {k} and {k2} differ",
                        "shapes", op=operation, a=a, b=b, k=k, k2=b[-2] if len(b) > 1 else b[0])
    if operation == "dot" and len(b) > 2:
        # dot pairs a's last axis with b's second to last: every a row meets all of b.
        out = a[:-1] + b[:-2] + b[-1:]
        rows = list(range(len(a) - 1))
        terms: list[Term] = [(es * k, _along(out, rows), "inputs"),
                             (es * _product(b), (), "inputs"), (es, _along(out), "outputs")]
        return Model(operation, "matmul", shapes, out, terms, rows, True)
    # 1-D operands act as a row or a column; the result drops that axis.
    a2 = a if len(a) > 1 else (1,) + a
    b2 = b if len(b) > 1 else b + (1,)
    batch = _broadcast((a2[:-2], b2[:-2]), operation) if len(a2) > 2 or len(b2) > 2 else ()
    full = batch + (a2[-2], b2[-1])
    nb = len(batch)
    a_axes = _spanned(a2[:-2], batch) + [nb]
    b_axes = _spanned(b2[:-2], batch) + [nb + 1]
    keep = [i for i in range(len(full)) if not (i == nb and len(a) == 1)
            and not (i == nb + 1 and len(b) == 1)]
    out = tuple(full[i] for i in keep)
    # Terms over the result's axes: a spans its rows, b its columns.
    index = {axis: pos for pos, axis in enumerate(keep)}
    terms = [(es * k, tuple((index[i], 0, full[i]) for i in a_axes if i in index), "inputs"),
             (es * k, tuple((index[i], 0, full[i]) for i in b_axes if i in index), "inputs"),
             (es, _along(out), "outputs")]
    notes = ["the shared axis is never split: each result element needs a whole row and column"]
    return Model(operation, "matmul", shapes, out, terms, range(len(out)), True, notes)


def _fft(operation: str, shapes: tuple[Shape, ...], es: int, dtype: str, axis: Axis,
         axis_given: bool) -> Model:
    shape = _one(operation, shapes)
    if not shape:
        raise PlanError("{0}: {op} needs at least one dimension", "shapes", op=operation)
    if not axis_given:
        axis = -1 if operation in ("fft", "ifft", "rfft", "irfft") else \
            (-2, -1) if operation in ("fft2", "ifft2") else None
    axes = _axes(axis, len(shape), operation)
    if operation in ("fft2", "ifft2") and len(shape) < 2:
        raise PlanError("{0}: {op} needs at least two dimensions", "shapes", op=operation)
    cs = _complex_size(dtype, es)
    last = axes[-1]
    out = list(shape)
    in_size, out_size = es, cs
    if operation == "rfft":
        out[last] = shape[last] // 2 + 1
    elif operation == "irfft":
        out[last], in_size, out_size = 2 * (shape[last] - 1) if shape[last] else 0, cs, cs // 2
    else:
        in_size = es
    free_axes = [i for i in range(len(shape)) if i not in axes]
    # Transformed axes stay whole inside every chunk: their lengths are
    # constant factors of each buffer.
    whole_in = in_size * _product([shape[i] for i in axes])
    whole_out = out_size * _product([out[i] for i in axes])
    work = cs * _product([max(shape[i], out[i]) for i in axes])
    terms: list[Term] = [(whole_in, _along(shape, free_axes), "inputs"),
                         (whole_out, _along(shape, free_axes), "outputs"),
                         (work, _along(shape, free_axes), "temporaries")]
    notes = ["the transform keeps a work buffer as large as its complex result"]
    model = Model(operation, "fft", shapes, shape, terms, free_axes, bool(free_axes), notes)
    model.axes = axes
    return model


def _sort(operation: str, shapes: tuple[Shape, ...], es: int, axis: Axis,
          axis_given: bool) -> Model:
    shape = _one(operation, shapes)
    flattened = axis_given and axis is None
    axes = tuple(range(len(shape))) if flattened else _axes(-1 if not axis_given else axis,
                                                            len(shape), operation)
    if len(axes) > 1 and not flattened:
        raise PlanError("{0}: {op} sorts along one axis", "axis", op=operation)
    out_size = 8 if operation in INDEX_RESULTS else es
    free_axes = [i for i in range(len(shape)) if i not in axes]
    terms: list[Term] = [(es, _along(shape), "inputs"), (out_size, _along(shape), "outputs"),
                         # A radix sort double-buffers its keys.
                         (es, _along(shape), "temporaries")]
    model = Model(operation, "sort", shapes, shape, terms, free_axes, bool(free_axes))
    model.axes = axes
    return model


def _convolution(operation: str, shapes: tuple[Shape, ...], es: int) -> Model:
    if len(shapes) != 2:
        raise PlanError("{0}: {op} takes a signal and a kernel, e.g. shapes=[(n,), (k,)]",
                        "shapes", op=operation)
    signal, kernel = shapes
    if len(kernel) > len(signal) or not kernel:
        raise PlanError("{0}: the kernel {k} has more dimensions than the signal {s}", "shapes",
                        k=kernel, s=signal)
    lead = len(signal) - len(kernel)
    # The full result: every offset where signal and kernel overlap.
    out = signal[:lead] + tuple(n + k - 1 if n and k else 0
                                for n, k in zip(signal[lead:], kernel))
    # A piece of the result along a convolved axis reads that many signal
    # elements plus the kernel's length less one (the halo), never more than
    # the signal holds.
    signal_factors = tuple((i, 0, signal[i]) for i in range(lead)) + tuple(
        (lead + j, kernel[j] - 1, signal[lead + j]) for j in range(len(kernel)))
    terms: list[Term] = [(es, signal_factors, "inputs"), (es * _product(kernel), (), "inputs"),
                         (es, _along(out), "outputs")]
    notes = ["pieces along a convolved axis overlap by the kernel's length less one"]
    return Model(operation, "convolution", shapes, out, terms, range(len(out)), True, notes,
                 range(lead, len(out)))


def _linalg(operation: str, shapes: tuple[Shape, ...], es: int, dtype: str) -> Model:
    a = shapes[0]
    if len(a) < 2:
        raise PlanError("{0}: {op} needs a matrix, not {a}", "shapes", op=operation, a=a)
    m, n = a[-2], a[-1]
    batch = _product(a[:-2])
    if operation != "svd" and m != n and operation not in ("qr",):
        raise PlanError("{0}: {op} needs square matrices, not {a}", "shapes", op=operation, a=a)
    if operation == "solve":
        if len(shapes) == 1:
            shapes = (a, a[:-1])
        if len(shapes) != 2:
            raise PlanError("{0}: solve takes a matrix and a right-hand side", "shapes")
    elif len(shapes) != 1:
        raise PlanError("{0}: {op} takes one matrix, not {n}", "shapes", op=operation,
                        n=len(shapes))
    cs = _complex_size(dtype, es)
    matrix = batch * m * n
    sizes: dict[str, int]
    if operation == "svd":
        # Full factors, as the array libraries default to.
        sizes = {"outputs": batch * es * (m * m + min(m, n) + n * n), "temporaries": matrix * es}
    elif operation in ("eig", "eigvals"):
        vectors = matrix * cs if operation == "eig" else 0
        sizes = {"outputs": batch * n * cs + vectors, "temporaries": matrix * es}
    elif operation in ("eigh", "eigvalsh"):
        vectors = matrix * es if operation == "eigh" else 0
        sizes = {"outputs": batch * n * es + vectors, "temporaries": matrix * es}
    elif operation == "solve":
        rhs = _product(shapes[-1]) * es
        sizes = {"inputs": rhs, "outputs": rhs, "temporaries": matrix * es}
    elif operation == "det":
        sizes = {"outputs": batch * es, "temporaries": matrix * es}
    else:  # inv, cholesky, qr: a result the size of the input and a factorisation copy
        sizes = {"outputs": matrix * es, "temporaries": matrix * es}
    terms: list[Term] = [(matrix * es, (), "inputs")]
    terms += [(size, (), part) for part, size in sizes.items()]
    return Model(operation, "linalg", shapes, a, terms, (), False,
                 ["a factorisation needs the whole matrix at once"])
