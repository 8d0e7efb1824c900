"""Dask deployments for the cluster suites, started as users start them: a
`dask scheduler` and `dask worker` processes from the command line, on the
loopback interface and free ports. Each process leads a process group of its
own, which `stop()` kills by id (a nanny's worker with it)."""
import contextlib
import os
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

from support import PYTHON

DASK = str(Path(PYTHON).with_name("dask"))
# The same command line, from an interpreter that cannot import velkora.
WITHOUT_VELKORA = ("import sys; sys.modules['velkora'] = None; "
                   "from distributed.cli.dask_{0} import main; sys.argv[0] = 'dask {0}'; main()")


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def wait_for_port(port, timeout=60, host="127.0.0.1"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with contextlib.suppress(OSError), socket.create_connection((host, port), timeout=1):
            return
        time.sleep(0.1)
    raise TimeoutError(f"nothing listens on {host}:{port} after {timeout} s")


class Deployment:
    """A scheduler and its workers, each a command-line process."""

    def __init__(self, tmp, velkora_scheduler=True):
        self.tmp = Path(tmp)
        self.port = free_port()
        self.address = f"tcp://127.0.0.1:{self.port}"
        self.scheduler_file = str(self.tmp / "scheduler.json")
        self.processes = []
        command = ([DASK, "scheduler"] if velkora_scheduler else
                   [PYTHON, "-c", WITHOUT_VELKORA.format("scheduler")])
        self.scheduler = self._start(
            command + ["--host", "127.0.0.1", "--port", str(self.port), "--dashboard-address", ":0",
                       "--scheduler-file", self.scheduler_file], "scheduler")
        wait_for_port(self.port)

    def _start(self, command, name):
        log = open(self.tmp / f"{name}-{len(self.processes)}.log", "wb")
        # A task that killed a worker runs once more, then fails: those cases stay short.
        env = dict(os.environ, DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES="1")
        with log:
            process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, env=env,
                                       start_new_session=True, cwd=self.tmp)
        self.processes.append(process)
        return process

    def worker(self, *options, velkora=True, host="127.0.0.1"):
        """Start a `dask worker` with `options`; velkora=False: from an
        interpreter without velkora."""
        command = [DASK, "worker"] if velkora else [PYTHON, "-c", WITHOUT_VELKORA.format("worker")]
        return self._start(command + [self.address, "--host", host, "--no-dashboard", *options],
                           "worker")

    def stop(self):
        for process in reversed(self.processes):
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGCONT)
                os.killpg(process.pid, signal.SIGKILL)
        for process in self.processes:
            with contextlib.suppress(subprocess.TimeoutExpired):
                process.wait(timeout=30)


def wait_for(condition, timeout=60, what="the condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise TimeoutError(f"{what} did not hold within {timeout} s")


class StalledEndpoint:
    """A TCP server that accepts and then never answers (`reply` None), or
    answers each connection with `reply` and closes it."""

    def __init__(self, reply=None):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(16)
        self.address = f"tcp://127.0.0.1:{self.sock.getsockname()[1]}"
        self.reply = reply
        self.held = []
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            if self.reply is None:
                self.held.append(conn)
                continue
            with conn, contextlib.suppress(OSError):
                conn.settimeout(5)
                conn.recv(65536)
                conn.sendall(self.reply)

    def close(self):
        self.sock.close()
        for conn in self.held:
            conn.close()


def run_cli(*args, env=None):
    """`python -m velkora probe ARGS` as a process, started now."""
    return subprocess.Popen([PYTHON, "-m", "velkora", "probe", *args], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, **(env or {})))


