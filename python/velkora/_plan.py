"""`python -m velkora plan`: the allocation plan for an array, from the planner's rules."""
import argparse
import json
import math

DTYPE_SIZES = {
    "bool": 1, "int8": 1, "uint8": 1, "byte": 1, "ubyte": 1,
    "int16": 2, "uint16": 2, "float16": 2, "half": 2, "bfloat16": 2, "short": 2,
    "int32": 4, "uint32": 4, "float32": 4, "single": 4, "intc": 4,
    "int64": 8, "uint64": 8, "float64": 8, "double": 8, "float": 8, "int": 8,
    "complex64": 8, "csingle": 8,
    "complex128": 16, "complex": 16, "cdouble": 16, "float128": 16, "longdouble": 16,
    "complex256": 32, "clongdouble": 32,
}
STRATEGIES = {0: "gpu_direct", 1: "gpu_chunked", 2: "cpu_fallback"}
INT32_MAX = 2**31 - 1
UINT64_MAX = 2**64 - 1

EPILOG = """examples:
  python -m velkora plan 100000,1000 --dtype float32 --free 2000000000
  python -m velkora plan 50000,50000 --dtype float64 --op matmul --free 8000000000
  python -m velkora plan 4096,4096 --dtype complex128 --used 6e9 --total 8e9 --free 2e9 --json
"""


class UsageError(Exception):
    """Bad command-line input: reported as one line with exit status 2."""


def parse_shape(text):
    parts = [p.strip() for p in text.strip().strip("()").split(",")]
    if parts and parts[-1] == "":
        parts.pop()  # "1000," is a one-dimensional shape
    if not parts:
        raise UsageError(f"invalid shape {text!r}: give dimensions such as 1000,1000")
    shape = []
    for part in parts:
        if not part.isdigit():
            raise UsageError(f"invalid shape {text!r}: {part!r} is not a non-negative integer")
        dim = int(part)
        if dim > INT32_MAX:
            raise UsageError(f"invalid shape {text!r}: dimension {dim} exceeds {INT32_MAX}")
        shape.append(dim)
    return tuple(shape)


def parse_dtype(text):
    name = text.strip().lower()
    if name.isdigit() and 0 < int(name) <= INT32_MAX:
        return int(name), f"{int(name)}-byte elements"
    if name in DTYPE_SIZES:
        return DTYPE_SIZES[name], name
    known = ", ".join(sorted(DTYPE_SIZES))
    raise UsageError(f"unknown dtype {text!r}: use a byte count or one of {known}")


def parse_bytes(text, option):
    try:
        value = float(text) if any(c in text for c in ".eE") else int(text)
    except ValueError:
        raise UsageError(f"{option}: {text!r} is not a byte count") from None
    if isinstance(value, float) and (not math.isfinite(value) or value != int(value)):
        raise UsageError(f"{option}: {text!r} is not a whole number of bytes")
    value = int(value)
    if value < 0:
        raise UsageError(f"{option}: {text!r} must not be negative")
    if value > UINT64_MAX:
        raise UsageError(f"{option}: {text!r} exceeds {UINT64_MAX}")
    return value


def parse_headroom(text):
    try:
        value = float(text)
    except ValueError:
        raise UsageError(f"--headroom: {text!r} is not a number") from None
    if not 0.0 <= value < 1.0:
        raise UsageError(f"--headroom: {text!r} must lie in [0, 1)")
    return value


def register(subparsers):
    parser = subparsers.add_parser(
        "plan", help="plan a GPU allocation for an array",
        description="Plan how an array of SHAPE and DTYPE is placed in GPU memory: bytes "
                    "needed, headroom, safe limit, strategy, chunk shapes and GPU suitability.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("shape", metavar="SHAPE", help="array shape, e.g. 1000,1000")
    parser.add_argument("--dtype", required=True, metavar="DTYPE",
                        help="element type (float32, float64, int8, complex128, ...) or a byte count")
    parser.add_argument("--op", default="empty", metavar="NAME",
                        help="operation that uses the array (default: empty, a plain allocation)")
    parser.add_argument("--free", metavar="BYTES",
                        help="free GPU memory in bytes (default: what the detected GPU reports)")
    parser.add_argument("--used", metavar="BYTES", help="GPU memory in use, for the pressure")
    parser.add_argument("--total", metavar="BYTES", help="total GPU memory, for the pressure")
    parser.add_argument("--headroom", metavar="H",
                        help="fraction of free memory to keep back (default: recommended from "
                             "the memory pressure)")
    parser.add_argument("--json", action="store_true", help="print the plan as JSON")
    parser.set_defaults(handler=run)
    return parser


def detected_free_bytes():
    from velkora.native import hostprobe
    info = hostprobe.detect_gpu_backends()
    if info.get("has_gpu") and info.get("gpu_memory_mb"):
        return int(info["gpu_memory_mb"]) * 2**20, f"reported by the {info['active_backend']} device"
    return None, None


def build_plan(args):
    from velkora.gpu import accelplan

    shape = parse_shape(args.shape)
    element_size, dtype_name = parse_dtype(args.dtype)
    if (args.used is None) != (args.total is None):
        raise UsageError("--used and --total go together")
    used = parse_bytes(args.used, "--used") if args.used is not None else None
    total = parse_bytes(args.total, "--total") if args.total is not None else None
    if args.free is not None:
        free, free_source = parse_bytes(args.free, "--free"), "given"
    else:
        free, free_source = detected_free_bytes()
        if free is None:
            raise UsageError("no GPU detected: pass --free BYTES, the free GPU memory to plan for")

    pressure = accelplan.calculate_memory_pressure(used, total) if used is not None else None
    if args.headroom is not None:
        headroom, headroom_source = parse_headroom(args.headroom), "given"
    elif pressure is not None:
        headroom, headroom_source = accelplan.recommend_headroom(pressure), "recommended for the pressure"
    else:
        headroom, headroom_source = accelplan.recommend_headroom(0.0), "recommended; pressure unknown"

    needed = accelplan.estimate_allocation_bytes(shape, element_size)
    safe = accelplan.calculate_safe_limit(free, headroom)
    chunkable = accelplan.is_chunkable_operation(args.op)
    code, chunk_size, chunk_count, message = accelplan.decide_allocation_strategy(
        needed, free, headroom, chunkable)
    plan = {
        "shape": list(shape), "dtype": dtype_name, "element_size": element_size,
        "operation": args.op, "chunkable": chunkable,
        "bytes_needed": needed, "free_bytes": free, "free_source": free_source,
        "memory_pressure": pressure, "headroom": headroom, "headroom_source": headroom_source,
        "safe_limit": safe, "strategy": STRATEGIES[code], "strategy_code": code,
        "message": message, "chunk_size": chunk_size, "chunk_count": chunk_count,
        "chunks": None,
        "gpu_suitability": accelplan.score_gpu_suitability(needed, args.op, free, headroom),
    }
    if code == 1:
        plan["chunks"] = chunk_groups(accelplan, shape, element_size, safe)
    return plan


MAX_LISTED_CHUNKS = 10_000


def chunk_groups(accelplan, shape, element_size, budget):
    """Chunk shapes as [count, shape] runs. A huge first axis can mean millions of
    chunks, so past a bound the runs are derived from the size of one row."""
    rows = shape[0] if shape else 0
    row_bytes = accelplan.estimate_allocation_bytes(shape[1:], element_size)
    rows_per_chunk = max(1, budget // row_bytes) if row_bytes else max(rows, 1)
    if -(-rows // rows_per_chunk) <= MAX_LISTED_CHUNKS:
        return group_chunks(accelplan.compute_chunk_shapes(shape, element_size, budget))
    full, rest = divmod(rows, rows_per_chunk)
    tail = list(shape[1:])
    groups = [[full, [rows_per_chunk, *tail]]]
    if rest:
        groups.append([1, [rest, *tail]])
    return groups


def group_chunks(shapes):
    """Runs of equal chunk shapes as [count, shape] pairs: the list can be long."""
    groups = []
    for shape in shapes:
        if groups and groups[-1][1] == list(shape):
            groups[-1][0] += 1
        else:
            groups.append([1, list(shape)])
    return groups


def render(plan):
    def human(n):
        value, unit = float(n), "B"
        for unit in ("B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"):
            if value < 1024 or unit == "EiB":
                break
            value /= 1024
        return f"{n:,} B" if unit == "B" else f"{n:,} B ({value:.2f} {unit})"

    shape = "(" + ", ".join(map(str, plan["shape"])) + ("," if len(plan["shape"]) == 1 else "") + ")"
    rows = [
        ("array", f"{shape} of {plan['dtype']} ({plan['element_size']} bytes each)"),
        ("operation", f"{plan['operation']} ({'chunkable' if plan['chunkable'] else 'not chunkable'})"),
        ("bytes needed", human(plan["bytes_needed"])),
        ("free GPU memory", f"{human(plan['free_bytes'])}, {plan['free_source']}"),
    ]
    if plan["memory_pressure"] is not None:
        rows.append(("memory pressure", f"{plan['memory_pressure']:.3f}"))
    rows += [
        ("headroom", f"{plan['headroom']:g} ({plan['headroom_source']})"),
        ("safe limit", human(plan["safe_limit"])),
        ("strategy", f"{plan['strategy']}: {plan['message']}"),
    ]
    if plan["chunks"]:
        rows.append(("chunk size", human(plan["chunk_size"])))
        rows.append(("chunks", ", ".join(
            f"{count} x ({', '.join(map(str, s))}{',' if len(s) == 1 else ''})"
            for count, s in plan["chunks"])))
    rows.append(("GPU suitability", f"{plan['gpu_suitability']:.3f} (0 unsuitable, 0.9 best)"))
    width = max(len(k) for k, _ in rows)
    return "\n".join(f"{k:<{width}}  {v}" for k, v in rows)


def run(args):
    plan = build_plan(args)
    print(json.dumps(plan, indent=2) if args.json else render(plan))
    return 0
