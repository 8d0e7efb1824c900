"""The cluster view: what every worker of a Dask cluster offers.

`probe(address_or_client)` runs the native capability probe on every worker
and returns a `ClusterReport`; `connect(address, timeout=...)` opens a client
within a deadline or raises `ClusterUnavailable`; `scheduler_address()` finds
the scheduler as Dask's own tools do (a scheduler file, Dask's configuration). `distributed` (the
`velkora[cluster]` extra) is imported only when one of them is called.
"""
from __future__ import annotations

import importlib

TYPE_CHECKING = False  # typing itself would cost the command line more than this package
if TYPE_CHECKING:
    from typing import Any

    from velkora.cluster._connect import AddressOrClient as AddressOrClient
    from velkora.cluster._connect import ClusterUnavailable as ClusterUnavailable
    from velkora.cluster._connect import connect as connect
    from velkora.cluster._connect import scheduler_address as scheduler_address
    from velkora.cluster._probe import probe as probe
    from velkora.cluster._cluster_report import ClusterReport as ClusterReport
    from velkora.cluster._cluster_report import ClusterTotals as ClusterTotals
    from velkora.cluster._cluster_report import usable_cores as usable_cores

# Loaded on first use: the command line imports this package to add its
# options, and must not pay for the report's modules on every run.
_EXPORTS = {
    "AddressOrClient": "_connect", "ClusterUnavailable": "_connect", "connect": "_connect",
    "scheduler_address": "_connect", "probe": "_probe", "ClusterReport": "_cluster_report",
    "ClusterTotals": "_cluster_report", "usable_cores": "_cluster_report",
}

__all__ = ["AddressOrClient", "ClusterReport", "ClusterTotals", "ClusterUnavailable", "connect",
           "probe", "scheduler_address", "usable_cores"]


def __getattr__(name: str) -> Any:
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{module}"), name)
    globals()[name] = value
    return value
