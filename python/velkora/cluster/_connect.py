"""Connecting to a Dask scheduler, with a deadline and one precise exception."""
from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Union

if TYPE_CHECKING:
    from distributed import Client

#: A scheduler address ("tcp://host:8786") or a connected client.
AddressOrClient = Union[str, "Client"]

_INSTALL_HINT = "the cluster features need the distributed package: pip install 'velkora[cluster]'"


class ClusterUnavailable(OSError):
    """The cluster cannot be used: the scheduler is unreachable or too slow to
    answer, its address is malformed, or `distributed` is not installed. The
    message is one line for a person."""


def check_timeout(timeout: float) -> float:
    """The timeout as a float, or ValueError where it is not a positive number of seconds."""
    value = float(timeout)
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
    return value


def import_distributed() -> Any:
    """The `distributed` package, imported only where a cluster is used."""
    try:
        import distributed
    except ImportError as exc:
        raise ClusterUnavailable(f"{_INSTALL_HINT} ({exc})") from exc
    return distributed


def connect(address: str, *, timeout: float = 10.0) -> Client:
    """A client connected to the scheduler at `address` within `timeout` seconds.

    The client is not made the process's default Dask client; close it when done.
    Raises ClusterUnavailable where no connection could be made.
    """
    timeout = check_timeout(timeout)
    distributed = import_distributed()
    if not isinstance(address, str):
        raise TypeError(f"the scheduler address must be a str, not {type(address).__name__}")
    if not address.strip():
        raise ClusterUnavailable("invalid scheduler address: empty")
    address = address.strip()
    try:
        # Malformed addresses fail here, before a client exists that would
        # have to be torn down.
        distributed.comm.get_address_host_port(distributed.comm.normalize_address(address))
    except (ValueError, TypeError, OSError) as exc:
        raise ClusterUnavailable(f"invalid scheduler address {address!r}: {exc}") from exc
    try:
        client: Client = distributed.Client(address, timeout=timeout, set_as_default=False)
    except (OSError, ValueError, TypeError) as exc:  # TimeoutError is an OSError
        raise ClusterUnavailable(
            f"cannot reach the scheduler at {address} within {timeout:g} s{_cause(exc)}") from exc
    return client


def _cause(exc: BaseException) -> str:
    """The root cause worth a person's reading, as " (connection refused)".

    The client retries until its timeout and then reports only that it timed
    out; the refusal or the name lookup failure lies deeper in the chain.
    """
    seen: list[BaseException] = []
    cause: BaseException | None = exc
    while cause is not None and cause not in seen:
        seen.append(cause)
        cause = cause.__cause__ or cause.__context__
    root = seen[-1]
    if isinstance(root, OSError) and root.strerror:
        text = root.strerror
    elif root is not exc or not isinstance(exc, OSError):
        text = str(root)
    else:
        return ""  # the time-out itself, already said
    text = " ".join(text.split())
    return f" ({text[:1].lower()}{text[1:]})" if text else ""
