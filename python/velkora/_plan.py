"""`velkora plan`: the plan for an operation on arrays, as a table or as JSON.

A thin layer over the planner: the text a person types goes to it as it
stands, and its input errors come back naming options. The command prints
the planner's plain fields, so its start loads neither the dataclasses of
`velkora.planning` nor the JSON encoder unless --json asks for it.
"""
from __future__ import annotations

import argparse

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

EXAMPLES = (
    "100000,1000 --dtype float32 --free 2GB",
    "50000,50000 --dtype f4 --op matmul --free 24GB",
    "100000,50000 50000,100000 --dtype f4 --op matmul --free 24GB",
    "100000,100000 --dtype f4 --op sum --axis 1 --free 8GB",
    "16,4096,4096 --dtype complex128 --op fft --used 6e9 --total 8e9 --free 2e9 --json",
)


def option_name(param: str) -> str:
    return param if param in ("shape", "shapes") else "--" + param


def register(subparsers: argparse._SubParsersAction[Any]) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "plan", help="plan an operation's GPU memory: direct, chunked or CPU",
        description="Plan how an operation on arrays of SHAPE and DTYPE is placed in GPU "
                    "memory: the working set it needs, headroom, safe limit, strategy, chunk "
                    "shapes and GPU suitability. Give one SHAPE per operand (or one for "
                    "operands of that shape). Sizes take plain numbers, 2e9, 2_000_000_000 or "
                    "units (512MiB, 80GB).",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.epilog = "examples:\n" + "".join(f"  {parser.prog} {e}\n" for e in EXAMPLES)
    parser.add_argument("shape", metavar="SHAPE", nargs="+",
                        help="array shape, e.g. 1000,1000; one per operand")
    parser.add_argument("--dtype", required=True, metavar="DTYPE",
                        help="element type: a name (float32), a code (f4, <f8) or a byte count")
    parser.add_argument("--op", metavar="NAME",
                        help="operation: add, sum, matmul, fft, sort, convolve, svd, ... "
                             "(default: empty, a plain allocation)")
    parser.add_argument("--axis", metavar="AXES",
                        help="axis or axes (1 or 0,2; 'none' for all) a reduction reduces, a "
                             "sort sorts along or a transform transforms")
    parser.add_argument("--free", metavar="BYTES",
                        help="free GPU memory (default: read from the detected GPU)")
    parser.add_argument("--device", metavar="N",
                        help="which detected GPU of the best backend to read (default 0)")
    parser.add_argument("--used", metavar="BYTES", help="GPU memory in use, for the pressure")
    parser.add_argument("--total", metavar="BYTES", help="total GPU memory, for the pressure")
    parser.add_argument("--headroom", metavar="H",
                        help="fraction of free memory to keep back, 0 to 0.99 (default: "
                             "recommended from the memory pressure, 0.1 with it unknown)")
    # SUPPRESS: `--json plan ...` must keep the top-level option's value.
    parser.add_argument("--json", action="store_true", default=argparse.SUPPRESS,
                        help="print the plan as JSON")
    parser.set_defaults(handler=run)
    return parser


def _index(text: str, param: str) -> int:
    from velkora._planinput import PlanError, parse_size

    try:
        return parse_size(text)
    except ValueError as exc:
        raise PlanError("{0}: {text!r:.40} {problem}", param, text=text, problem=exc) from None


def parse_axis(text: str | None) -> Any:
    if text is None:
        return ...
    if text.strip().lower() == "none":
        return None
    parts = [p for p in text.strip().strip("()").split(",")]
    if parts and parts[-1].strip() == "" and len(parts) > 1:
        parts.pop()
    axes = tuple(_index(p, "axis") for p in parts)
    return axes[0] if len(axes) == 1 and "," not in text else axes


def run(args: argparse.Namespace) -> int:
    from velkora import _planner
    from velkora._planinput import parse_shape

    shapes = [parse_shape(text) for text in args.shape]
    device = None if args.device is None else _index(args.device, "device")
    fields = _planner.compute(
        shapes[0] if len(shapes) == 1 else None, args.dtype, op=args.op,
        shapes=shapes if len(shapes) > 1 else None, axis=parse_axis(args.axis),
        free=args.free, used=args.used, total=args.total, headroom=args.headroom,
        device=device)
    print(format_json(_planner.to_dict(fields)) if getattr(args, "json", False)
          else render(fields))
    return 0


def format_json(data: dict[str, Any]) -> str:
    """One key per line: a plan's values are short, and a shape reads best
    on one line."""
    import json

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
                     "default": "the default; pressure unknown"}
_STRATEGIES = {"gpu": "GPU", "chunked": "chunked", "cpu": "CPU"}


def render(plan: dict[str, Any]) -> str:
    """The plan's fields as a table a person reads."""
    es = plan["element_size"]
    shapes = " and ".join(shape_text(s) for s in plan["shapes"])
    parts = ", ".join(f"{k} {human(v)}" for k, v in plan["working_set"].items() if v)
    rows = [
        ("operation", f"{plan['operation']} ({plan['family']}; "
                      f"{'chunkable' if plan['chunkable'] else 'not chunkable'})"),
        ("operands", f"{shapes} of {plan['dtype']} ({es} byte{'' if es == 1 else 's'} each)"),
        ("chunked shape", f"{shape_text(plan['shape'])}, may split axes "
                          f"{', '.join(map(str, plan['splittable_axes'])) or '(none)'}"),
        ("working set", human(plan["bytes_needed"]) + (f": {parts}" if parts else "")),
    ]
    free = f"{human(plan['free_bytes'])}, {plan['free_source']}"
    if plan["device"]:
        d = plan["device"]
        free += f" ({d['backend']} device {d['index']}, {d['name']}, via {d['source']})"
    rows.append(("free GPU memory", free))
    if plan["memory_pressure"] is not None:
        rows.append(("memory pressure", f"{plan['memory_pressure']:.3f}"))
    rows += [
        ("headroom", f"{plan['headroom']:g} of the free memory "
                     f"({_HEADROOM_SOURCES[plan['headroom_source']]})"),
        ("safe limit", human(plan["safe_limit"])),
        ("strategy", f"{_STRATEGIES[plan['strategy']]}: {plan['reason']}"),
    ]
    if plan["strategy"] == "chunked":
        rows.append(("chunk size", f"{human(plan['chunk_size'])}, at most the safe limit"))
        rows.append(("chunks", ", ".join(f"{count} x {shape_text(shape)}"
                                         for count, shape in plan["chunks"])))
    passes = f"{plan['passes']}"
    counted = plan["decision"][2]
    if plan["strategy"] == "chunked" and plan["passes"] != counted:
        passes += f" (the allocation decision counts {counted} by bytes alone)"
    rows.append(("GPU passes", passes))
    rows.append(("GPU suitability", f"{plan['gpu_suitability']:.3f} (0 unsuitable, 0.9 best)"))
    rows += [("note", n) for n in plan["notes"]]
    rows += [("warning", w) for w in plan["warnings"]]
    width = max(len(k) for k, _ in rows)
    return "\n".join(f"{k:<{width}}  {v}" for k, v in rows)
