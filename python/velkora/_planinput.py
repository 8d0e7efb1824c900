"""Turning what a person or a program gives the planner into exact integers.

Sizes, shapes and element types arrive as text from the command line and as
Python or numpy objects from the API; both routes end here so that the same
input means the same thing everywhere.
"""
from __future__ import annotations

import operator
import re

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing alone would cost the command's start more than its work
    from collections.abc import Callable, Iterable
    from typing import NoReturn, SupportsIndex, TypeAlias

    #: Size input: a number, or text such as "2e9", "2_000_000_000" or "8GiB".
    SizeLike: TypeAlias = int | float | str | SupportsIndex

INT32_MAX = 2**31 - 1
#: The largest dimension planned: what a signed 64-bit index addresses.
DIM_MAX = 2**63 - 1
UINT64_MAX = 2**64 - 1


class PlanError(ValueError):
    """Input the planner cannot use.

    The message names parameters through placeholders so that the API shows
    ``free`` where the command line shows ``--free``; ``param`` is the first
    parameter named, for programs that want to point at it.
    """

    def __init__(self, template: str, *params: str, **values: object) -> None:
        self.template, self.params, self.values = template, params, values
        self.param = params[0] if params else None
        super().__init__(self.render())

    def render(self, name: Callable[[str], str] = str) -> str:
        return self.template.format(*(name(p) for p in self.params), **self.values)


class PlanTypeError(PlanError, TypeError):
    """An input of a type the planner does not take."""


# A size: optional sign, digits with single underscores between them, an
# optional fraction and exponent, then an optional unit. ASCII digits only:
# other scripts' digits are not sizes a person means.
_SIZE = re.compile(r"""
    (?P<sign>[+-]?)
    (?: (?P<whole>[0-9]+(?:_[0-9]+)*) (?:\.(?P<frac>[0-9]+(?:_[0-9]+)*)?)?
      | \.(?P<frac2>[0-9]+(?:_[0-9]+)*) )
    (?:[eE](?P<exponent>[+-]?[0-9]+))?
    \s*(?P<unit>[A-Za-z]*)
""", re.VERBOSE | re.ASCII)
_UNITS = {"": 1, "b": 1}
for _i, _prefix in enumerate("kmgtpe", start=1):
    _UNITS[_prefix + "b"] = 1000**_i
    _UNITS[_prefix + "ib"] = 1024**_i
_MAX_EXPONENT = 40  # far beyond any byte count; bounds the work on hostile text


def parse_size(text: str) -> int:
    """An exact integer from text such as "1e9", "1_000", "8GiB" or "-5".

    Raises ValueError with a short phrase ("is not a number", "is not a whole
    number") that callers put after the text they quote.
    """
    match = _SIZE.fullmatch(text.strip()) if len(text) <= 100 else None
    unit: int | None = _UNITS.get(match["unit"].lower()) if match else None
    if match is None or unit is None:
        raise ValueError("is not a number")
    exponent = int(match["exponent"] or 0)
    if abs(exponent) > _MAX_EXPONENT:
        raise ValueError("is out of range")
    frac = (match["frac"] or match["frac2"] or "").replace("_", "")
    # Exact integer arithmetic: numerator / 10**scale.
    numerator: int = int((match["whole"] or "0").replace("_", "") + frac) * unit
    scale = len(frac) - exponent
    if scale > 0:
        value, rest = divmod(numerator, 10**scale)  # type: int, int
        if rest:
            raise ValueError("is not a whole number")
    else:
        value = numerator * 10**-scale
    return -value if match["sign"] == "-" else value


def number(value: object) -> float | int | None:
    """A plain number from an int, a float or a numeric scalar (numpy's too),
    or None for anything else; truth values and complex numbers are not
    numbers here."""
    if isinstance(value, (bool, str, bytes, complex)):
        return None
    if isinstance(value, (int, float)):
        return value
    kind = type(value)
    if "bool" in kind.__name__ or "complex" in kind.__name__:
        return None
    try:
        return operator.index(value)  # type: ignore[arg-type]  # failures are caught
    except TypeError:
        pass
    if not hasattr(kind, "__float__"):
        return None
    try:
        return float(value)  # type: ignore[arg-type]  # checked above
    except (TypeError, ValueError, OverflowError):
        return None


def byte_count(value: SizeLike, param: str) -> int:
    """A byte count in the planner's unsigned 64-bit range."""
    if isinstance(value, str):
        try:
            count = parse_size(value)
        except ValueError as exc:
            hint = " (write e.g. 2e9, 2_000_000_000 or 8GiB)" if "a number" in str(exc) else ""
            raise PlanError("{0}: {text!r:.60} {problem}{hint}", param, text=value, problem=exc,
                            hint=hint) from None
    else:
        plain = number(value)
        if plain is None:
            raise PlanTypeError("{0} must be a byte count, not {kind}", param,
                                kind=type(value).__name__)
        if isinstance(plain, float):
            if plain != plain or plain in (float("inf"), float("-inf")) or plain != int(plain):
                raise PlanError("{0}: {value!r:.60} is not a whole number of bytes", param,
                                value=value)
            plain = int(plain)
        count = plain
    if count < 0:
        raise PlanError("{0} must not be negative", param)
    if count > UINT64_MAX:
        raise PlanError("{0} must not exceed {limit} bytes", param, limit=UINT64_MAX)
    return count


def parse_shape(text: str) -> tuple[int, ...]:
    """A shape from text such as "1000,1000", "(10, 4)", "1e5,1_000" or "10,"."""
    def fail(problem: str) -> NoReturn:
        raise PlanError("invalid {0} {text!r:.60}: {problem}", "shape", text=text, problem=problem)

    parts = [p.strip() for p in text.strip().strip("()").split(",")]
    if parts and parts[-1] == "":
        parts.pop()  # "1000," is a one-dimensional shape
    if not parts:
        fail("give dimensions such as 1000,1000")
    shape = []
    for part in parts:
        try:
            dim = parse_size(part)
        except ValueError as exc:
            fail(f"{part!r:.40} {exc}")
        if dim < 0:
            fail(f"dimension {dim} is negative")
        if dim > DIM_MAX:
            fail(f"dimension {dim} exceeds {DIM_MAX}")
        shape.append(dim)
    return tuple(shape)


def normalize_shape(shape: Iterable[SupportsIndex] | SupportsIndex,
                    param: str = "shape") -> tuple[int, ...]:
    """A tuple of plain ints from any sequence of integers (a numpy shape too)."""
    not_a_shape = PlanTypeError("{0} must be a sequence of integers, not {kind}", param,
                                kind=type(shape).__name__)
    if isinstance(shape, (str, bytes, bool)):
        raise not_a_shape
    try:
        entries: tuple[object, ...] = (operator.index(shape),)  # type: ignore[arg-type]
    except TypeError:
        try:
            entries = tuple(shape)  # type: ignore[arg-type]  # non-iterables are caught
        except TypeError:
            raise not_a_shape from None
    dims = []
    for entry in entries:
        if type(entry) is int:
            dim = entry
        else:
            try:
                if isinstance(entry, bool):
                    raise TypeError
                dim = operator.index(entry)  # type: ignore[arg-type]  # failures are caught
            except TypeError:
                raise PlanTypeError("{0} entries must be integers, not {kind}", param,
                                    kind=type(entry).__name__) from None
        if dim < 0:
            raise PlanError("{0} has a negative dimension ({dim})", param, dim=dim)
        if dim > DIM_MAX:
            raise PlanError("{0}: dimension {dim} exceeds {limit}", param, dim=dim,
                            limit=DIM_MAX)
        dims.append(dim)
    return tuple(dims)


# Element types known without numpy: (numpy's name, size, other names and
# codes). Only types whose size is the same on every platform belong here;
# numpy resolves the rest ("long", "longdouble", ...).
_BUILTIN_DTYPES = (
    ("bool", 1, "?", "b1"),
    ("int8", 1, "b", "i1", "byte"),
    ("uint8", 1, "B", "u1", "ubyte"),
    ("int16", 2, "h", "i2", "short"),
    ("uint16", 2, "H", "u2", "ushort"),
    ("int32", 4, "i", "i4", "intc"),
    ("uint32", 4, "I", "u4", "uintc"),
    ("int64", 8, "q", "i8", "longlong", "int"),
    ("uint64", 8, "Q", "u8", "ulonglong"),
    ("float16", 2, "e", "f2", "half"),
    ("float32", 4, "f", "f4", "single"),
    ("float64", 8, "d", "f8", "double", "float"),
    ("complex64", 8, "F", "c8", "csingle"),
    ("complex128", 16, "D", "c16", "cdouble", "complex"),
    ("float128", 16),
    ("complex256", 32),
    ("bfloat16", 2),
)
# Codes are case-sensitive ("b" is int8, "B" uint8) and may carry a byte
# order; names are matched in any letter case.
_CODES: dict[str, tuple[int, str]] = {}
_NAMES: dict[str, tuple[int, str]] = {}
for _name, _size, *_aliases in _BUILTIN_DTYPES:
    _NAMES[_name] = (_size, _name)
    for _alias in _aliases:
        is_code = len(_alias) == 1 or _alias[-1].isdigit()
        (_CODES if is_code else _NAMES)[_alias] = (_size, _name)
_BYTE_ORDERS = "<>=|"


def builtin_dtype(text: str) -> tuple[int, str] | None:
    """(element size, name) from the built-in table, or None."""
    code = text[1:] if text[:1] in _BYTE_ORDERS and len(text) > 1 else text
    return _CODES.get(code) or _NAMES.get(text.lower())


def _numpy_dtype(spec: object) -> tuple[int, str, str]:
    """(element size, name, kind) as numpy resolves it, or ml_dtypes for names
    such as float8_e4m3fn. ImportError: no numpy; TypeError: numpy does not
    know it."""
    import numpy

    try:
        dtype = numpy.dtype(spec)  # type: ignore[call-overload]  # any object is tried
    except (TypeError, ValueError, SyntaxError):
        try:
            import ml_dtypes  # type: ignore[import-not-found]

            dtype = numpy.dtype(getattr(ml_dtypes, str(spec)))
        except (ImportError, AttributeError, TypeError):
            raise TypeError(spec) from None
        # ml_dtypes' numbers report numpy's raw-record kind.
        return int(dtype.itemsize), str(dtype.name), "ml_dtypes"
    return int(dtype.itemsize), str(dtype.name), str(dtype.kind)


# Why a GPU array cannot hold elements of a numpy kind.
_NO_GPU_KIND = {
    "O": "Python objects live in host memory; a GPU array holds fixed-size numbers",
    "U": "a GPU array holds no text", "S": "a GPU array holds no text",
    "V": "a GPU array holds no raw or structured records",
    "M": "a GPU array holds no dates", "m": "a GPU array holds no durations",
}
_EXTENDED = "extended precision has no GPU arithmetic"


def _refuse_for_gpu(value: object, name: str, kind: str, size: int) -> None:
    reason = _NO_GPU_KIND.get(kind)
    if reason is None and ((kind == "f" and size > 8) or (kind == "c" and size > 16)):
        reason = _EXTENDED
    if reason is not None:
        raise PlanError("{0} {value!r:.60} ({name}) cannot be planned for a GPU: {reason}",
                        "dtype", value=value, name=name, reason=reason)


def _checked_size(size: int, value: object) -> int:
    if size <= 0:
        raise PlanError("{0} {value!r:.60}: an element takes at least 1 byte", "dtype", value=value)
    if size > INT32_MAX:
        raise PlanError("{0} {value!r:.60}: an element size must not exceed {limit} bytes", "dtype",
                        value=value, limit=INT32_MAX)
    return size


def resolve_dtype(dtype: object) -> tuple[int, str]:
    """(element size in bytes, display name) for a name, code, dtype object
    or positive byte count. numpy is imported only for what the built-in
    table does not know."""
    if dtype is None or isinstance(dtype, bool):
        raise PlanTypeError("{0} must be a type name, a dtype or a byte count, not {value}",
                            "dtype", value=dtype)
    if not isinstance(dtype, (str, type)):
        try:
            size = operator.index(dtype)  # type: ignore[arg-type]  # numpy ints too
        except TypeError:
            pass
        else:
            return _checked_size(size, dtype), f"{size}-byte elements"
    if isinstance(dtype, str):
        text = dtype.strip()
        if text.isascii() and text.lstrip("+-").isdigit():
            size = _checked_size(int(text), dtype)
            return size, f"{size}-byte elements"
        if (known := builtin_dtype(text)) is not None:
            if known[1] in ("float128", "complex256"):
                _refuse_for_gpu(dtype, known[1], known[1][0], known[0])
            return known
    elif dtype in (bool, int, float, complex):
        return _NAMES[dtype.__name__]
    try:
        size, name, kind = _numpy_dtype(dtype)
    except ImportError:
        if not isinstance(dtype, str):
            raise PlanTypeError("{0} {value!r:.60} needs numpy, which is not installed", "dtype",
                                value=dtype) from None
        raise PlanError("unknown dtype {value!r:.60}: {hint} (numpy is not installed)", "dtype",
                        value=dtype, hint=_dtype_hint(dtype)) from None
    except TypeError:
        if not isinstance(dtype, str):
            raise PlanTypeError("{0} {value!r:.60} is not a data type", "dtype",
                                value=dtype) from None
        raise PlanError("unknown dtype {value!r:.60}: {hint}", "dtype", value=dtype,
                        hint=_dtype_hint(dtype)) from None
    _refuse_for_gpu(dtype, name, kind, size)
    return _checked_size(size, dtype), name


def _dtype_hint(text: str) -> str:
    text = text.strip()
    # A misspelling is suggested only where the sizes agree: the bits a name
    # states ("flaot32", "float8_e4m3fn") must be those of the suggestion.
    bits = re.search(r"[0-9]+", text, re.ASCII)
    size = int(bits[0]) // 8 if bits and len(bits[0]) < 4 else None
    names = [n for n, (s, _) in _NAMES.items() if size is None or s == size]
    if size is not None and size < 2 and text.lower().startswith("float"):
        return "8-bit and smaller float types come from ml_dtypes, which is not installed"
    return (suggestion(text, names) or
            "give a name such as float32, a code such as f4, or a size in bytes")


def suggestion(text: str, known: Iterable[str]) -> str | None:
    """ "did you mean 'x'?" for a letter-case variant or a close misspelling."""
    names = list(known)
    folded = [n for n in names if n.casefold() == text.casefold()]
    if not folded:
        import difflib

        folded = difflib.get_close_matches(text, names, n=1)
    return f"did you mean {folded[0]!r}?" if folded else None
