"""Connecting to a Dask scheduler, within one deadline and with one precise exception."""
from __future__ import annotations

import contextlib
import json
import math
import socket
import threading
import time
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


def scheduler_address(address: str | None = None, scheduler_file: str | None = None) -> str:
    """The scheduler's address: the one given, the one in `scheduler_file` (as
    `dask scheduler --scheduler-file` writes it), else the one in Dask's
    configuration (`DASK_SCHEDULER_ADDRESS`, `scheduler-address`)."""
    if address is not None and scheduler_file is not None:
        raise ValueError("give a scheduler address or a scheduler file, not both")
    if scheduler_file is not None:
        try:
            with open(scheduler_file, encoding="utf-8") as f:
                found = json.load(f).get("address")
        except (OSError, ValueError, AttributeError) as exc:
            raise ClusterUnavailable(
                f"cannot read the scheduler file {scheduler_file}: {exc}") from exc
        if not isinstance(found, str) or not found:
            raise ClusterUnavailable(f"the scheduler file {scheduler_file} names no address")
        return found
    if address is not None:
        if not isinstance(address, str):
            raise TypeError(f"the scheduler address must be a str, not {type(address).__name__}")
        return address
    import_distributed()  # Dask's configuration comes with it
    import dask.config

    configured = dask.config.get("scheduler-address", None)
    if not isinstance(configured, str) or not configured.strip():
        raise ClusterUnavailable(
            "no scheduler address: give one, or set DASK_SCHEDULER_ADDRESS or "
            "scheduler-address in the Dask configuration")
    return configured


def _remaining(deadline: float) -> float:
    return deadline - time.monotonic()


def _resolve(host: str, port: int, deadline: float) -> None:
    """Fails at once where the scheduler's name does not resolve: the client
    would retry the lookup until its timeout. The lookup runs on a thread of
    its own so that a resolver that hangs cannot outlast the deadline."""
    outcome: list[BaseException | None] = []

    def lookup() -> None:
        try:
            socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
            outcome.append(None)
        except OSError as exc:
            outcome.append(exc)

    thread = threading.Thread(target=lookup, name="velkora-resolve", daemon=True)
    thread.start()
    thread.join(max(_remaining(deadline), 0.0))
    if outcome and isinstance(outcome[0], socket.gaierror):
        raise outcome[0]


_client_class: Any = None
_deadlines = threading.local()


def _bounded_client_class(distributed: Any) -> Any:
    """A Client whose start, handshake and first look included, ends by the
    caller's deadline: the stock client bounds each step alone, and not the
    handshake read at all, so an endpoint that never answers would hang it."""
    global _client_class
    if _client_class is None:
        class DeadlineClient(distributed.Client):  # type: ignore[misc]
            def start(self, **kwargs: Any) -> None:
                _deadlines.started = self
                deadline = getattr(_deadlines, "deadline", None)
                if deadline is not None and self.status == "newly-created":
                    kwargs.setdefault("callback_timeout", max(_remaining(deadline), 0.001))
                super().start(**kwargs)

        _client_class = DeadlineClient
    return _client_class


def connect(address: str, *, timeout: float = 10.0, security: Any = None) -> Client:
    """A client connected to the scheduler at `address` within `timeout` seconds.

    The deadline covers the whole connection: name lookup, connect, handshake
    and the scheduler's first answer. `security` (a `distributed.Security`)
    defaults to the TLS settings of Dask's configuration. The client is not
    made the process's default Dask client; close it when done. Raises
    ClusterUnavailable where no connection could be made.
    """
    timeout = check_timeout(timeout)
    return connect_by(address, time.monotonic() + timeout, timeout, security)


def connect_by(address: str, deadline: float, timeout: float, security: Any = None) -> Client:
    """`connect`, ending by `deadline` (time.monotonic()); `timeout` is what messages say."""
    distributed = import_distributed()
    if not isinstance(address, str):
        raise TypeError(f"the scheduler address must be a str, not {type(address).__name__}")
    if not address.strip():
        raise ClusterUnavailable("invalid scheduler address: empty")
    address = address.strip()
    try:
        # Malformed addresses fail here, before a client exists that would
        # have to be torn down.
        host, port = distributed.comm.get_address_host_port(
            distributed.comm.normalize_address(address))
    except (ValueError, TypeError, OSError) as exc:
        raise ClusterUnavailable(f"invalid scheduler address {address!r}: {exc}") from exc
    failure = f"cannot reach the scheduler at {address} within {timeout:g} s"
    try:
        _resolve(host, port, deadline)
    except OSError as exc:
        raise ClusterUnavailable(f"cannot reach the scheduler at {address}{_cause(exc)}") from exc
    if security is None and address.startswith("tls://"):
        security = distributed.Security()  # the TLS settings of Dask's configuration
    cls = _bounded_client_class(distributed)
    left = _remaining(deadline)
    _deadlines.deadline, _deadlines.started = deadline, None
    try:
        # The client's own retries end a little before the deadline, so that
        # the error they end with (a refusal, say) is what gets reported.
        client: Client = cls(address, timeout=max(left - min(1.0, left / 4), 0.001),
                             set_as_default=False, security=security)
    except Exception as exc:  # an endpoint that is no scheduler fails in many ways
        _discard(_deadlines.started)
        raise ClusterUnavailable(f"{failure}{_cause(exc) or _socket_cause(host, port)}") from exc
    finally:
        _deadlines.deadline = _deadlines.started = None
    return client


def _socket_cause(host: str, port: int) -> str:
    """Why a plain connection to the scheduler's port fails, where the deadline
    ended the client's attempts before they said (a loaded machine): one
    short try, in the operating system's words."""
    try:
        with socket.create_connection((host, port), timeout=0.2):
            return ""  # something listens, and did not answer in time
    except OSError as exc:
        return f" ({exc.strerror})" if exc.strerror else ""


def _discard(client: Any) -> None:
    """Tear down a client whose start failed, quietly: left to the garbage
    collector, it would print its own failure at exit."""
    if client is None:
        return
    with contextlib.suppress(Exception):
        client.close(timeout=0.5)
    with contextlib.suppress(Exception):
        client.status = "closed"


def _cause(exc: BaseException) -> str:
    """The root cause worth a person's reading, as " (Connection refused)", in
    the words of the library that raised it.

    The client retries until its timeout and then reports only that it timed
    out; the refusal or the name lookup failure lies deeper in the chain.
    """
    seen: list[BaseException] = []
    cause: BaseException | None = exc
    while cause is not None and cause not in seen:
        seen.append(cause)
        cause = cause.__cause__ or cause.__context__
    # A cancellation is how the deadline ended the wait: the time-out, already said.
    causes = [cause for cause in seen if type(cause).__name__ != "CancelledError"]
    root = causes[-1] if causes else exc
    if isinstance(root, OSError) and root.strerror:
        text = root.strerror
    elif isinstance(root, TimeoutError) and not str(root).strip(" ."):
        return ""  # the time-out itself, already said
    elif isinstance(root, (TimeoutError, OSError)) and "timed out" in str(root).lower():
        return ""
    else:
        text = str(root) or type(root).__name__
        if not isinstance(root, OSError):
            # Something that is no scheduler answered: say what broke.
            text = f"{type(root).__name__}: {text}"
    text = " ".join(text.split())
    return f" ({text})" if text else ""
