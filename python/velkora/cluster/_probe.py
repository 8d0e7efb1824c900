"""The cluster capability report: the native probe run on every worker."""
from __future__ import annotations

import contextlib
import importlib
import time
from typing import Any

from velkora.cluster import _worker_probe
from velkora.cluster._cluster_report import ClusterReport, build_report
from velkora.cluster._connect import (AddressOrClient, ClusterUnavailable, check_timeout, connect_by,
                                      import_distributed, scheduler_address)


def probe(address_or_client: AddressOrClient | None = None, *, timeout: float = 10.0,
          scheduler_file: str | None = None, security: Any = None) -> ClusterReport:
    """Every worker's capability report and the cluster's totals.

    `address_or_client` is a scheduler address, for which a client is opened
    and closed again, or a connected `distributed.Client`, which is used as
    given and left open. Without either, the address comes from
    `scheduler_file` (as `dask scheduler --scheduler-file` writes it), else
    from Dask's configuration (`DASK_SCHEDULER_ADDRESS`, `scheduler-address`).
    `security` (a `distributed.Security`) applies to a client opened here.
    `timeout` bounds the whole call in seconds: connecting, and waiting for
    the workers' answers. Raises ClusterUnavailable where the scheduler cannot
    be reached or the workers do not answer in time. A worker that cannot run
    the probe (velkora not installed there) is in the report, not an error.
    """
    timeout = check_timeout(timeout)
    return probe_by(address_or_client, time.monotonic() + timeout, timeout, scheduler_file,
                    security)


def probe_by(address_or_client: AddressOrClient | None, deadline: float, timeout: float,
             scheduler_file: str | None = None, security: Any = None) -> ClusterReport:
    """`probe`, ending by `deadline` (time.monotonic()); `timeout` is what messages say."""
    distributed = import_distributed()
    if isinstance(address_or_client, distributed.Client):
        if scheduler_file is not None:
            raise ValueError("give a client or a scheduler file, not both")
        return report_through(address_or_client, deadline, timeout)
    if address_or_client is not None and not isinstance(address_or_client, str):
        raise TypeError("expected a scheduler address or a distributed.Client, not "
                        f"{type(address_or_client).__name__}")
    address = scheduler_address(address_or_client, scheduler_file)
    client: Any = connect_by(address, deadline, timeout, security)
    try:
        return report_through(client, deadline, timeout)
    finally:
        with contextlib.suppress(Exception):  # a scheduler gone by now holds nothing of ours
            client.close(timeout=max(min(deadline - time.monotonic(), 2.0), 0.5))


def report_through(client: Any, deadline: float, timeout: float) -> ClusterReport:
    """The report through a connected client, by `deadline` (time.monotonic())."""
    if client.status != "running":
        raise ClusterUnavailable(f"the client is not connected (its status is {client.status!r})")
    # By value: a worker without velkora could not unpickle a reference to it.
    importlib.import_module("cloudpickle").register_pickle_by_value(_worker_probe)
    try:
        scheduler = str(client.scheduler.address)
        # `callback_timeout` bounds each wait on the client's side.
        answers = client.run(_worker_probe.worker_report, on_error="return",
                             callback_timeout=max(deadline - time.monotonic(), 0.001))
        identity = client.sync(client.scheduler.identity, n_workers=-1,
                               callback_timeout=max(deadline - time.monotonic(), 0.001))
    except (OSError, TimeoutError) as exc:
        raise ClusterUnavailable(f"the cluster did not answer within {timeout:g} s "
                                 f"({type(exc).__name__}: {exc})") from exc
    workers = identity.get("workers") if isinstance(identity, dict) else None
    return build_report(scheduler, answers, workers if isinstance(workers, dict) else {})
