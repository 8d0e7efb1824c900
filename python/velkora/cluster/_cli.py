"""`probe --cluster ADDRESS`: the cluster capability report on the command line."""
from __future__ import annotations

import argparse
import math
import sys


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {text!r}")
    return value


def add_options(parser: argparse.ArgumentParser) -> None:
    """The cluster options of the probe command."""
    parser.add_argument("--cluster", metavar="ADDRESS", default=None,
                        help="report every worker of the Dask cluster whose scheduler listens "
                             "at ADDRESS (e.g. tcp://scheduler:8786) instead of this host")
    parser.add_argument("--timeout", metavar="S", type=_seconds, default=None,
                        help="with --cluster: give up after S seconds (default 10)")
    parser.set_defaults(cluster_prog=parser.prog)


def run(args: argparse.Namespace) -> int:
    """Prints the cluster report; 2 where the cluster cannot be reached, 1 where
    the distributed package is missing."""
    prog = getattr(args, "cluster_prog", "velkora probe")
    if getattr(args, "cluster", None) is None:
        print(f"{prog}: error: --timeout applies only with --cluster", file=sys.stderr)
        return 2
    try:
        import distributed  # noqa: F401  (checked here for its own exit status)
    except ImportError as exc:
        print(f"{prog}: error: --cluster needs the distributed package: "
              f"pip install 'velkora[cluster]' ({exc})", file=sys.stderr)
        return 1
    from velkora.cluster import ClusterUnavailable, probe
    from velkora.cluster._report import format_report

    try:
        report = probe(args.cluster, timeout=args.timeout or 10.0)
    except ClusterUnavailable as exc:
        print(f"{prog}: error: {' '.join(str(exc).split())}", file=sys.stderr)
        return 2
    if getattr(args, "json", False):
        import json

        print(json.dumps(report.to_dict(), indent=2, default=repr))
    else:
        print(format_report(report))
    return 0
