"""`probe --cluster [ADDRESS]`: the cluster capability report on the command line."""
from __future__ import annotations

import argparse
import math
import os
import sys
import threading
import time
from typing import Any

#: Seconds the command may take beyond its timeout to print and exit.
_GRACE = 0.75


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, not {text!r}")
    return value


class _SchedulerFile(argparse.Action):
    """`--scheduler-file` asks for the cluster report as `--cluster` does."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: str | None = None) -> None:
        setattr(namespace, self.dest, values)
        if getattr(namespace, "cluster", None) is None:
            namespace.cluster = ""


def add_options(parser: argparse.ArgumentParser) -> None:
    """The cluster options of the probe command."""
    parser.add_argument("--cluster", metavar="ADDRESS", nargs="?", const="", default=None,
                        help="report every worker of the Dask cluster whose scheduler listens "
                             "at ADDRESS (e.g. tcp://scheduler:8786) instead of this host; "
                             "without ADDRESS, the one in Dask's configuration "
                             "(DASK_SCHEDULER_ADDRESS)")
    parser.add_argument("--scheduler-file", metavar="FILE", action=_SchedulerFile, default=None,
                        help="report the cluster whose scheduler wrote FILE "
                             "(dask scheduler --scheduler-file FILE)")
    parser.add_argument("--timeout", metavar="S", type=_seconds, default=None,
                        help="with --cluster: give up after S seconds (default 10)")
    parser.set_defaults(cluster_prog=parser.prog)


class _Watchdog:
    """Ends the command with its one line and status 2 should anything (a
    library's own teardown included) outlast the deadline."""

    def __init__(self, prog: str, address: str, timeout: float) -> None:
        self.said = False
        where = f" at {address}" if address else ""
        self._message = f"{prog}: error: cannot reach the scheduler{where} within {timeout:g} s"
        self._timer = threading.Timer(timeout + _GRACE, self._expire)
        self._timer.daemon = True
        self._timer.start()

    def say(self, message: str) -> None:
        self.said = True
        print(message, file=sys.stderr, flush=True)

    def _expire(self) -> None:
        if not self.said:
            print(self._message, file=sys.stderr, flush=True)
        os._exit(2)

    def cancel(self) -> None:
        self._timer.cancel()


def run(args: argparse.Namespace) -> int:
    """Prints the cluster report; 2 where the cluster cannot be reached, 1 where
    the distributed package is missing."""
    prog = getattr(args, "cluster_prog", "velkora probe")
    if getattr(args, "cluster", None) is None:
        print(f"{prog}: error: --timeout applies only with --cluster", file=sys.stderr)
        return 2
    if args.cluster and getattr(args, "scheduler_file", None) is not None:
        print(f"{prog}: error: give --cluster ADDRESS or --scheduler-file, not both",
              file=sys.stderr)
        return 2
    timeout = args.timeout or 10.0
    try:
        import distributed  # noqa: F401  (checked here for its own exit status)
    except ImportError as exc:
        print(f"{prog}: error: --cluster needs the distributed package: "
              f"pip install 'velkora[cluster]' ({exc})", file=sys.stderr)
        return 1
    from velkora.cluster import ClusterUnavailable
    from velkora.cluster._cluster_report import format_report
    from velkora.cluster._probe import probe_by

    # The deadline counts from here: a loaded machine may take long to import
    # distributed, which says nothing of the scheduler.
    start = time.monotonic()
    watchdog = _Watchdog(prog, args.cluster, timeout)
    try:
        report = probe_by(args.cluster or None, start + timeout, timeout,
                          scheduler_file=getattr(args, "scheduler_file", None))
    except ClusterUnavailable as exc:
        # The watchdog stays armed: it bounds the library's teardown at exit too.
        watchdog.say(f"{prog}: error: {' '.join(str(exc).split())}")
        return 2
    watchdog.cancel()
    if getattr(args, "json", False):
        import json

        print(json.dumps(report.to_dict(), indent=2, default=repr))
    else:
        print(format_report(report))
    return 0
