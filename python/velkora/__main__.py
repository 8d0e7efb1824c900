"""Command line: `velkora [probe] [--json]` prints this host's capability
report; `probe` runs when no subcommand is named.
`velkora plan SHAPE --dtype DTYPE ...` plans a GPU allocation.

A subcommand is a `register(subparsers)` function that adds its parser and
sets the `handler(args)` default returning the exit status; listing it in
SUBCOMMANDS is all the wiring it needs.
"""
from __future__ import annotations

import argparse
import os
import re
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:  # typing costs the command's start more than all of the planning
    from collections.abc import Callable, Mapping, Sequence
    from typing import Any

from velkora import __version__, _plan
from velkora._planinput import PlanError

_NOT_BUILT = ("velkora: the native module {} is not available ({}); "
              "build the project first (scripts/run.sh builds and runs this command)")


def _add_json_option(parser: argparse.ArgumentParser, default: Any) -> None:
    parser.add_argument("--json", action="store_true", default=default,
                        help="print the report as JSON, exactly as detected")


def _run_probe(args: argparse.Namespace) -> int:
    if getattr(args, "cluster", None) is not None or getattr(args, "timeout", None) is not None:
        from velkora.cluster import _cli as cluster_cli

        return cluster_cli.run(args)
    try:
        from velkora.native import hostprobe
    except ImportError as exc:
        print(_NOT_BUILT.format("velkora.native.hostprobe", exc), file=sys.stderr)
        return 1
    caps = hostprobe.detect_capabilities()
    if args.json:
        import json

        print(json.dumps(caps, indent=2, default=repr))
    else:
        from velkora import _report

        # Typed here: the report module's own functions carry no annotations.
        format_report: Callable[[Mapping[str, object]], str] = _report.format_report
        print(format_report(caps))
    return 0


def _register_probe(subparsers: argparse._SubParsersAction[Any]) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "probe", help="detect this host's CPU, NUMA, GPU and interpreter capabilities (default)")
    # SUPPRESS: `--json probe` must keep the top-level option's value.
    _add_json_option(parser, argparse.SUPPRESS)
    from velkora.cluster import _cli as cluster_cli

    cluster_cli.add_options(parser)
    parser.set_defaults(handler=_run_probe)
    return parser


SUBCOMMANDS: list[Callable[[argparse._SubParsersAction[Any]], argparse.ArgumentParser]] = [
    _register_probe, _plan.register]


class _Parser(argparse.ArgumentParser):
    """Bad input is one line on stderr and exit status 2, never a traceback."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        # Values such as -1e9 or -5,10 are values (refused later with their
        # own message), not unknown options.
        self._negative_number_matcher = re.compile(r"^-\.?\d")

    def error(self, message: str) -> Any:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def build_parser(prog: str = "velkora") -> argparse.ArgumentParser:
    parser = _Parser(prog=prog, description="Velkora runtime acceleration.",
                     epilog=f"examples:\n  {prog}\n  {prog} --json\n"
                            f"  {prog} plan 100000,1000 --dtype float32 --free 2GB",
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"velkora {__version__}")
    _add_json_option(parser, False)  # so that `velkora --json` probes
    subparsers = parser.add_subparsers(dest="command", metavar="command")
    for register in SUBCOMMANDS:
        register(subparsers)
    parser.set_defaults(handler=_run_probe)
    return parser


def main(argv: Sequence[str] | None = None, prog: str = "velkora") -> int:
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    try:
        return int(args.handler(args))
    except ImportError as exc:
        if not (exc.name or "").startswith("velkora."):
            raise
        print(_NOT_BUILT.format(exc.name, exc), file=sys.stderr)
        return 1
    except PlanError as exc:
        print(f"{parser.prog} {args.command}: error: {exc.render(_plan.option_name)}",
              file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader left early (`| head`): not a failure worth a traceback.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main(prog="python -m velkora"))
