"""`velkora plan`: the allocation plan for an array, as a table or as JSON.

A thin layer over `velkora.planning.plan`: the text a person types goes to
the API as it stands, and the API's input errors come back naming options.
"""
from __future__ import annotations

import argparse
import json
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from velkora.planning import Plan

EXAMPLES = (
    "100000,1000 --dtype float32 --free 2GB",
    "50000,50000 --dtype f8 --op matmul --free 8GiB",
    "4096,4096 --dtype complex128 --used 6e9 --total 8e9 --free 2e9 --json",
)


def option_name(param: str) -> str:
    return param if param == "shape" else "--" + param


def register(subparsers: argparse._SubParsersAction[Any]) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "plan", help="plan a GPU allocation for an array",
        description="Plan how an array of SHAPE and DTYPE is placed in GPU memory: bytes "
                    "needed, headroom, safe limit, strategy, chunk shapes and GPU suitability. "
                    "Sizes take plain numbers, 2e9, 2_000_000_000 or units (512MiB, 80GB).",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.epilog = "examples:\n" + "".join(f"  {parser.prog} {e}\n" for e in EXAMPLES)
    parser.add_argument("shape", metavar="SHAPE", help="array shape, e.g. 1000,1000")
    parser.add_argument("--dtype", required=True, metavar="DTYPE",
                        help="element type: a name (float32), a code (f4, <f8) or a byte count")
    parser.add_argument("--op", metavar="NAME",
                        help="operation that uses the array (default: empty, a plain allocation)")
    parser.add_argument("--free", metavar="BYTES",
                        help="free GPU memory (default: what the detected GPU reports)")
    parser.add_argument("--used", metavar="BYTES", help="GPU memory in use, for the pressure")
    parser.add_argument("--total", metavar="BYTES", help="total GPU memory, for the pressure")
    parser.add_argument("--headroom", metavar="H",
                        help="fraction of free memory to keep back, 0 to 0.99 (default: "
                             "recommended from the memory pressure)")
    # SUPPRESS: `--json plan ...` must keep the top-level option's value.
    parser.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                        help="print the plan as JSON")
    parser.set_defaults(handler=run)
    return parser


def run(args: argparse.Namespace) -> int:
    from velkora._planinput import parse_shape
    from velkora.planning import plan

    result = plan(parse_shape(args.shape), args.dtype, op=args.op, free=args.free,
                  used=args.used, total=args.total, headroom=args.headroom)
    print(format_json(result.to_dict()) if args.json else render(result))
    return 0


def format_json(data: dict[str, Any]) -> str:
    """One key per line: a plan's values are short, and a shape reads best
    on one line."""
    lines = (f"  {json.dumps(key)}: {json.dumps(value)}" for key, value in data.items())
    return "{\n" + ",\n".join(lines) + "\n}"


def human(n: int) -> str:
    value, unit = float(n), "B"
    for unit in ("B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"):
        if value < 1024 or unit == "EiB":
            break
        value /= 1024
    return f"{n:,} B" if unit == "B" else f"{n:,} B ({value:.2f} {unit})"


def shape_text(shape: tuple[int, ...]) -> str:
    return "(" + ", ".join(map(str, shape)) + ("," if len(shape) == 1 else "") + ")"


_HEADROOM_SOURCES = {"given": "given", "pressure": "recommended for the pressure",
                     "default": "recommended; pressure unknown"}
_STRATEGIES = {"gpu": "GPU", "chunked": "chunked", "cpu": "CPU"}


def render(plan: Plan) -> str:
    needed = ("at least 8 EiB (the estimate saturates)" if plan.saturated
              else human(plan.bytes_needed))
    rows = [
        ("array", f"{shape_text(plan.shape)} of {plan.dtype} ({plan.element_size} "
                  f"byte{'' if plan.element_size == 1 else 's'} each)"),
        ("operation", f"{plan.operation} ({'chunkable' if plan.chunkable else 'not chunkable'})"),
        ("bytes needed", needed),
        ("free GPU memory", f"{human(plan.free_bytes)}, {plan.free_source}"),
    ]
    if plan.memory_pressure is not None:
        rows.append(("memory pressure", f"{plan.memory_pressure:.3f}"))
    rows += [
        ("headroom", f"{plan.headroom:g} ({_HEADROOM_SOURCES[plan.headroom_source]})"),
        ("safe limit", human(plan.safe_limit)),
        ("strategy", f"{_STRATEGIES[plan.strategy]}: {plan.reason}"),
    ]
    if plan.strategy == "chunked":
        rows.append(("chunk size", f"{human(plan.chunk_size)}, at most the safe limit"))
        rows.append(("chunks", ", ".join(f"{r.count} x {shape_text(r.shape)}"
                                         for r in plan.chunks)))
    passes = f"{plan.passes}"
    if plan.strategy == "chunked" and plan.passes != plan.decision.chunk_count:
        passes += (f" (the allocation decision counts {plan.decision.chunk_count} by bytes; "
                   "chunks hold whole rows)")
    rows.append(("GPU passes", passes))
    rows.append(("GPU suitability", f"{plan.gpu_suitability:.3f} (0 unsuitable, 0.9 best)"))
    rows += [("warning", w) for w in plan.warnings]
    width = max(len(k) for k, _ in rows)
    return "\n".join(f"{k:<{width}}  {v}" for k, v in rows)
