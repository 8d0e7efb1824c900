"""Command line: `python -m velkora [probe] [--json]` prints this host's
capability report; `probe` runs when no subcommand is named.
`python -m velkora plan SHAPE --dtype DTYPE ...` plans a GPU allocation.

A subcommand is a `register(subparsers)` function that adds its parser and
sets the `handler(args)` default returning the exit status; listing it in
SUBCOMMANDS is all the wiring it needs.
"""
import argparse
import os
import sys

from velkora import _plan

_NOT_BUILT = ("velkora: the native module {} is not available ({}); "
              "build the project first (scripts/run.sh builds and runs this command)")


def _add_json_option(parser, default):
    parser.add_argument("--json", action="store_true", default=default,
                        help="print the report as JSON, exactly as detected")


def _run_probe(args):
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
        from velkora._report import format_report

        print(format_report(caps))
    return 0


def _register_probe(subparsers):
    parser = subparsers.add_parser(
        "probe", help="detect this host's CPU, NUMA, GPU and interpreter capabilities (default)")
    # SUPPRESS: `--json probe` must keep the top-level option's value.
    _add_json_option(parser, argparse.SUPPRESS)
    parser.set_defaults(handler=_run_probe)
    return parser


SUBCOMMANDS = [_register_probe, _plan.register]


class _Parser(argparse.ArgumentParser):
    """Bad input is one line on stderr and exit status 2, never a traceback."""

    def error(self, message):
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


def build_parser():
    parser = _Parser(prog="python -m velkora", description="Velkora runtime acceleration.",
                     epilog="examples:\n  python -m velkora\n  python -m velkora --json\n"
                            "  python -m velkora plan 100000,1000 --dtype float32 --free 2000000000",
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_json_option(parser, False)  # so that `python -m velkora --json` probes
    subparsers = parser.add_subparsers(dest="command", metavar="command")
    for register in SUBCOMMANDS:
        register(subparsers)
    parser.set_defaults(handler=_run_probe)
    return parser


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.handler(args)
    except _plan.UsageError as exc:
        print(f"{parser.prog} {args.command}: error: {exc}", file=sys.stderr)
        return 2
    except ImportError as exc:
        if not (exc.name or "").startswith("velkora."):
            raise
        print(_NOT_BUILT.format(exc.name, exc), file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader left early (`| head`): not a failure worth a traceback.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
