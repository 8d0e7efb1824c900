"""The cluster capability report: the native probe run on every worker."""
from __future__ import annotations

import contextlib
import importlib
import time
from typing import Any

from velkora.cluster import _remote
from velkora.cluster._connect import (AddressOrClient, ClusterUnavailable, check_timeout, connect,
                                      import_distributed)
from velkora.cluster._report import ClusterReport, build_report


def probe(address_or_client: AddressOrClient, *, timeout: float = 10.0) -> ClusterReport:
    """Every worker's capability report and the cluster's totals.

    `address_or_client` is a scheduler address, for which a client is opened
    and closed again, or a connected `distributed.Client`, which is left open.
    `timeout` bounds the call in seconds: connecting, and waiting for the
    workers' answers. Raises ClusterUnavailable where the scheduler cannot be
    reached or the workers do not answer in time. A worker that cannot run the
    probe (velkora not installed there) is in the report, not an error.
    """
    timeout = check_timeout(timeout)
    deadline = time.monotonic() + timeout
    distributed = import_distributed()
    if isinstance(address_or_client, distributed.Client):
        if address_or_client.status != "running":
            raise ClusterUnavailable(f"the client is not connected (its status is "
                                     f"{address_or_client.status!r})")
    elif not isinstance(address_or_client, str):
        raise TypeError("expected a scheduler address or a distributed.Client, not "
                        f"{type(address_or_client).__name__}")
    # By value: a worker without velkora could not unpickle a reference to it.
    importlib.import_module("cloudpickle").register_pickle_by_value(_remote)
    owned = isinstance(address_or_client, str)
    client: Any = (connect(address_or_client, timeout=timeout)
                   if isinstance(address_or_client, str) else address_or_client)
    try:
        scheduler = str(client.scheduler.address)
        # `callback_timeout` bounds each wait on the client's side.
        answers = client.run(_remote.worker_report, on_error="return",
                             callback_timeout=max(deadline - time.monotonic(), 0.001))
        threads = client.nthreads(callback_timeout=max(deadline - time.monotonic(), 0.001))
    except (OSError, TimeoutError) as exc:
        raise ClusterUnavailable(f"the cluster did not answer within {timeout:g} s "
                                 f"({type(exc).__name__}: {exc})") from exc
    finally:
        if owned:
            with contextlib.suppress(Exception):  # a scheduler gone by now holds nothing of ours
                client.close(timeout=max(deadline - time.monotonic(), 1.0))
    return build_report(scheduler, answers, threads)
