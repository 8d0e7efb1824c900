"""AdaptivePool under the faults that once lost, hung or misreported futures, and at
the points where it changes pools: each case resolves every future exactly once."""
import concurrent.futures as cf
import logging
import multiprocessing
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures.process import BrokenProcessPool

import pytest

from velkora.pool import AdaptivePool, WorkerLostError
from velkora.pool._controller import Controller
from velkora.pool._fleet import Fleet
from velkora.pool._kinds import Backend
from velkora.pool._tasks import Tally, Task

pytestmark = pytest.mark.timeout(180)
PYTHON = sys.executable


def echo(x):
    return x


def nap(seconds, x=None):
    time.sleep(seconds)
    return x


def die():
    os.kill(os.getpid(), signal.SIGKILL)


def pid():
    return os.getpid()


def record(path, i):
    with open(path, "a") as f:
        f.write(f"{i}\n")
    return i


class ExitsWhenLoaded:
    """Pickles fine; unpickling it raises SystemExit."""

    def __reduce__(self):
        return sys.exit, ("unpickled",)


def returns_exiter():
    return ExitsWhenLoaded()


class TwoArgError(Exception):
    def __init__(self, a, b):
        super().__init__(f"{a}/{b}")


def raise_two_arg():
    raise TwoArgError(1, 2)


def raise_broken():
    raise BrokenProcessPool("from a nested executor")


class CountsPickles:
    pickled = 0

    def __reduce__(self):
        CountsPickles.pickled += 1
        return bytes, (b"x" * 1024,)


def size(data):
    return len(data)


def run_script(tmp_path, source, timeout=150):
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    return subprocess.run([PYTHON, str(script)], capture_output=True, text=True,
                          timeout=timeout, cwd=tmp_path)


# -- the main module is never run again by the pool's own choice ---------------

CPU_SCRIPT = """
    import time
    from velkora.pool import AdaptivePool

    def spin(n):
        return sum(i * i % 7 for i in range(n))

    def work(want):
        pool = AdaptivePool(2, cooldown=0.0, check_interval=0.05)
        deadline = time.monotonic() + 100
        while time.monotonic() < deadline and not want(pool):
            list(pool.map(spin, [20000] * 40))
        print("kind", pool.kind)
        print("reasons", " | ".join(d.reason for d in pool.decisions[-3:]))
        pool.shutdown()
"""


def test_unguarded_script_stays_on_threads_and_runs_once(tmp_path):
    result = run_script(tmp_path, CPU_SCRIPT + """
    print("top level")
    work(lambda pool: any("outside" in d.reason for d in pool.decisions))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("top level") == 1
    assert "kind thread" in result.stdout
    assert "every worker process would run again" in result.stdout
    assert result.stderr.count("AdaptivePool stays on threads") == 1, result.stderr
    assert "bootstrapping" not in result.stderr


def test_guarded_script_moves_to_processes(tmp_path):
    result = run_script(tmp_path, CPU_SCRIPT + """
    if __name__ == "__main__":
        print("top level")
        work(lambda pool: pool.kind == "process")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("top level") == 1
    assert "kind process" in result.stdout


def test_processes_asked_for_in_an_unguarded_script_fail_like_a_process_pool(tmp_path):
    # Its workers run the script again and die starting up, as ProcessPoolExecutor's
    # would: every future fails, nothing hangs, the pool stops replacing them.
    result = run_script(tmp_path, """
    from concurrent.futures.process import BrokenProcessPool
    from velkora.pool import AdaptivePool
    pool = AdaptivePool(1, kinds=("process",))
    futures = [pool.submit(abs, -i) for i in range(3)]
    print("broken", sum(isinstance(f.exception(timeout=120), BrokenProcessPool)
                        for f in futures))
    try:
        while True:
            pool.submit(abs, 1).exception(timeout=120)
    except BrokenProcessPool as exc:
        print("refused", "in a row" in str(exc))
    pool.shutdown()
    """)
    assert "broken 3" in result.stdout and "refused True" in result.stdout, result.stderr


# -- every future resolves -----------------------------------------------------


def test_results_and_exceptions_that_cannot_be_rebuilt_fail_alone():
    with AdaptivePool(2, kinds=("process",)) as pool:
        futures = [pool.submit(returns_exiter), pool.submit(raise_two_arg),
                   pool.submit(raise_broken), pool.submit(nap, 0.2, "healthy")]
        assert isinstance(futures[0].exception(timeout=60), pickle.UnpicklingError)
        error = futures[1].exception(timeout=60)
        assert isinstance(error, TypeError) and "TwoArgError" in str(error)
        error = futures[2].exception(timeout=60)
        assert type(error) is BrokenProcessPool and "nested" in str(error)
        assert futures[3].result(timeout=60) == "healthy"
        assert pool.submit(echo, "after").result(timeout=60) == "after"
        assert pool.stats().lost == 0
        assert not any(d.action == "replace" for d in pool.decisions)


def test_unpicklable_task_fails_alone_where_only_processes_are_allowed():
    with AdaptivePool(2, kinds=("process",)) as pool:
        bad = pool.submit(id, threading.Lock())
        with pytest.raises(TypeError, match="pickle"):
            bad.result(timeout=60)
        assert pool.submit(pid).result(timeout=60) != os.getpid()
        assert pool.kind == "process" and pool.stats().pickling_blocked is None


def test_arguments_are_pickled_when_a_worker_takes_them(tmp_path):
    gate = tmp_path / "gate"
    CountsPickles.pickled = 0
    with AdaptivePool(1, kinds=("process",)) as pool:
        pool.submit(echo, 0).result(timeout=60)
        first = pool.submit(nap, 0.5)
        futures = [pool.submit(size, CountsPickles()) for _ in range(50)]
        # The executor keeps its one worker's next call or two pickled, no more.
        assert CountsPickles.pickled <= 3
        first.result(timeout=60)
        assert [f.result(timeout=60) for f in futures] == [1024] * 50
    assert CountsPickles.pickled == 50
    assert not gate.exists()


@pytest.mark.parametrize("callback_does", ["resubmit", "stats", "shutdown"])
def test_callbacks_of_lost_tasks_may_use_the_pool(callback_does):
    pool = AdaptivePool(2, kinds=("process",))
    pool.submit(echo, 0).result(timeout=60)
    retries, seen = [], threading.Event()

    def callback(future):
        if isinstance(future.exception(), WorkerLostError):
            if callback_does == "resubmit":
                retries.append(pool.submit(echo, "retried"))
            elif callback_does == "stats":
                pool.stats()
            else:
                pool.shutdown(wait=False)
            seen.set()

    stop = threading.Event()

    def submitter():  # another thread keeps the pool's lock busy meanwhile
        while not stop.is_set():
            try:
                pool.submit(echo, 1).result(timeout=60)
            except (RuntimeError, cf.BrokenExecutor):
                return

    other = threading.Thread(target=submitter)
    other.start()
    futures = [pool.submit(nap, 0.05, i) for i in range(10)]
    killer = pool.submit(die)
    killer.add_done_callback(callback)
    futures += [pool.submit(nap, 0.01, i) for i in range(10)]
    assert not cf.wait(futures + [killer], timeout=120).not_done
    assert seen.wait(60)
    stop.set()
    other.join(timeout=120)
    assert not other.is_alive()
    if callback_does == "resubmit":
        assert retries[0].result(timeout=60) == "retried"
    pool.shutdown(wait=True)


def test_killed_worker_loses_only_what_the_workers_held():
    with AdaptivePool(2, kinds=("process",)) as pool:
        pool.submit(echo, 0).result(timeout=60)
        futures = [pool.submit(nap, 0.05, i) for i in range(3)] + [pool.submit(die)] + \
            [pool.submit(nap, 0.01, i) for i in range(30)]
        outcomes = [f.exception(timeout=60) for f in futures]
        lost = [o for o in outcomes if o is not None]
        assert all(isinstance(o, WorkerLostError) for o in lost)
        # At most the tasks running or handed to the workers' queue.
        assert len(lost) <= 2 * pool.width + 1
        assert pool.stats().lost == len(lost)


# -- the backend set: a switch that breaks half-way ------------------------------


class FakeBackend(Backend):
    kind = "process"

    def __init__(self, width=2, breaks_after=None):
        super().__init__(width)
        self.queue, self.breaks_after = [], breaks_after

    def submit(self, task):
        if self.breaks_after is not None and len(self.queue) >= self.breaks_after:
            raise BrokenProcessPool("a new worker died")
        task.backend = self
        self.queue.append(task)
        return None

    def withdraw(self, task):
        return True

    def take_queued(self):
        tasks, self.queue = self.queue, []
        return tasks

    def in_flight(self):
        return len(self.queue)

    def close(self):
        self.closed = True

    def join(self):
        pass


class FakeOwner:
    def __init__(self, lock):
        self._lock, self.tally = lock, Tally()

    def _on_done(self, task, inner):
        pass


@pytest.mark.parametrize("breaks_after", [0, 3, None])
def test_work_moving_to_workers_that_break_is_kept(breaks_after):
    controller = Controller(kinds=("thread", "process"), kind="thread", width=2, cooldown=1.0,
                            window=10.0, check_interval=0.5, now=0.0)
    old = FakeBackend()
    fleet = Fleet(controller, lambda kind, width: old, time.perf_counter, "thread", 2)
    owner = FakeOwner(fleet.lock)
    tasks = [Task(owner, echo, (i,), {}) for i in range(10)]
    with fleet.lock:
        for task in tasks:
            fleet.dispatch_locked(task)
    tasks[4].outer.cancel()
    with fleet.lock:
        fresh = FakeBackend(breaks_after=breaks_after)
        fleet.install_locked(fresh)
    placed = fresh.queue + list(fleet.orphans)
    assert sorted(id(t) for t in placed) == sorted(id(t) for t in tasks if t is not tasks[4])
    assert tasks[4].outer.cancelled()
    assert fresh.broken == (breaks_after is not None)


# -- accounting and refusals -----------------------------------------------------


def test_decisions_are_counted_past_those_kept():
    controller = Controller(kinds=("thread",), kind="thread", width=2, cooldown=1.0,
                            window=10.0, check_interval=0.5, now=0.0)
    for step in range(1500):
        controller.step(float(step), [], 0, False, None, 0.0)
    assert controller.decision_count() == 1500 and len(controller.decisions()) == 1000


def test_thread_counts():
    with AdaptivePool(2, kinds=("thread",)) as pool:
        futures = [pool.submit(echo, 1), pool.submit(int, "x"), pool.submit(echo, 2)]
        cf.wait(futures, timeout=60)
    stats = pool.stats()
    assert (stats.submitted, stats.completed, stats.failed) == (3, 2, 1)
    assert pool.tally._threads == []  # each thread's counts folded in as it ended


def test_shutdown_from_inside_a_task_raises():
    with AdaptivePool(2, kinds=("thread",)) as pool:
        future = pool.submit(lambda: pool.shutdown(wait=True))
        with pytest.raises(RuntimeError, match="cannot join current thread"):
            future.result(timeout=60)


def test_fork_is_warned_of():
    with pytest.warns(RuntimeWarning, match="fork"):
        pool = AdaptivePool(1, kinds=("process",), mp_context=multiprocessing.get_context("fork"))
    pool.shutdown()


def test_workers_that_fail_to_start_leave_the_pool_where_it_was(monkeypatch, caplog):
    with AdaptivePool(2, cooldown=1e9) as pool:
        pool.submit(echo, 1).result(timeout=60)

        def no_more_files(kind, width):
            raise OSError(24, "Too many open files")

        monkeypatch.setattr(pool._fleet, "_make", no_more_files)
        with caplog.at_level(logging.WARNING, logger="velkora.pool"):
            pool._force("process", 2, "test", at_once=False)
        assert pool.kind == "thread" and pool._controller.kind == "thread"
        assert "failed to start" in pool.decisions[-1].reason
        monkeypatch.undo()
        pool._force("process", 2, "again", at_once=False)
        deadline = time.monotonic() + 120
        while pool.kind != "process" and time.monotonic() < deadline:
            time.sleep(0.02)
        assert pool.submit(pid).result(timeout=60) != os.getpid()


# -- the switch points -----------------------------------------------------------


def test_exit_during_a_switch_runs_everything(tmp_path):
    out = tmp_path / "runs"
    result = run_script(tmp_path, f"""
    import sys
    sys.path.insert(0, {os.path.dirname(__file__)!r})
    from test_pool_faults import record
    from velkora.pool import AdaptivePool

    if __name__ == "__main__":
        pool = AdaptivePool(2, cooldown=1e9)
        for i in range(400):
            pool.submit(record, {str(out)!r}, i)
            if i == 50:
                pool._force("process", 2, "test", at_once=False)
    """)
    assert result.returncode == 0, result.stderr
    assert sorted(map(int, out.read_text().split())) == list(range(400))
    assert "Traceback" not in result.stderr


def test_submitting_threads_cancels_and_switches(tmp_path):
    path = str(tmp_path / "runs")
    pool = AdaptivePool(2, cooldown=1e9)
    futures, lock = [], threading.Lock()

    def submitter(base):
        for i in range(base, base + 300):
            future = pool.submit(record, path, i)
            with lock:
                futures.append(future)
            if i % 7 == 0:
                future.cancel()

    def own_pool_task(i):  # a task that submits to its own pool, during switches
        return pool.submit(echo, i).result(timeout=120)

    threads = [threading.Thread(target=submitter, args=(k * 1000,)) for k in range(6)]
    for thread in threads:
        thread.start()
    nested = [pool.submit(own_pool_task, i) for i in range(2)]
    for kind, at_once in [("process", False), ("thread", True), ("process", True)]:
        pool._force(kind, 2, "test", at_once=at_once)
        time.sleep(0.05)
    for thread in threads:
        thread.join(timeout=120)
    assert not cf.wait(futures + nested, timeout=120).not_done
    assert [f.result() for f in nested] == [0, 1]
    pool.shutdown(wait=False, cancel_futures=True)
    pool.shutdown(wait=True)
    ran = list(map(int, open(path).read().split())) if os.path.exists(path) else []
    assert len(ran) == len(set(ran))  # nothing ran twice
    done = {f.result() for f in futures if not f.cancelled()}
    assert done == set(ran)


def record_slowly(path, i):
    time.sleep(0.005)
    return record(path, i)


def exit_in_worker(parent):
    if os.getpid() != parent:  # never the test's own process
        os._exit(3)


@pytest.mark.parametrize("how", ["sigkill", "exit"])
def test_worker_killed_during_a_switch(tmp_path, how):
    path = str(tmp_path / "runs")
    with AdaptivePool(2, cooldown=1e9) as pool:
        futures = [pool.submit(record_slowly, path, i) for i in range(300)]
        pool._force("process", 2, "test", at_once=False)
        deadline = time.monotonic() + 120
        while pool.kind != "process" and time.monotonic() < deadline:
            time.sleep(0.001)
        # The new workers took over while the work moves to them: one dies now.
        if how == "sigkill":
            os.kill(next(iter(pool._fleet.current._executor._processes)), signal.SIGKILL)
        else:
            futures.append(pool.submit(exit_in_worker, os.getpid()))
        futures += [pool.submit(record, path, i) for i in range(300, 400)]
        assert not cf.wait(futures, timeout=120).not_done
    ran = list(map(int, open(path).read().split()))
    assert len(ran) == len(set(ran))
    results = {f.result() for f in futures if f.exception() is None} - {None}
    lost = [f for f in futures if f.exception() is not None]
    assert all(isinstance(f.exception(), WorkerLostError) for f in lost)
    assert len(lost) <= 2 * 2 + 2  # at most what the workers held
    # Every task ran once, except the lost ones, which ran at most once.
    assert results <= set(ran) and len(set(ran) - results) <= len(lost)


# -- a cluster that offers no cores yet --------------------------------------------


class FakeLink:
    address = "tcp://fake:8786"
    lost = None
    threads = 3

    def __init__(self):
        self.cores = None
        self.rescue = None
        self.backends = []

    def offer(self, now):
        return None if self.cores is None else (self.cores, self.threads)

    def close(self):
        pass


def test_cluster_first_starts_locally_until_the_cluster_offers_cores(monkeypatch):
    import velkora.pool._cluster as cluster_kind

    link = FakeLink()
    monkeypatch.setattr(cluster_kind, "open_link", lambda cluster, timeout: link)
    with AdaptivePool(2, kinds=("cluster", "thread"), cluster="tcp://fake:8786",
                      check_interval=0.05) as pool:
        assert pool.kind == "thread"
        assert "offers no cores yet" in pool.decisions[-1].reason
        assert pool.submit(echo, 1).result(timeout=60) == 1
        link.cores = 8
        deadline = time.monotonic() + 60
        while pool.kind != "cluster" and time.monotonic() < deadline:
            time.sleep(0.01)
        assert (pool.kind, pool.width) == ("cluster", 3)


@pytest.mark.parametrize("source, safe", [
    ('"""doc"""\nimport os\nX = 3\ndef f():\n    print(1)\nif __name__ == "__main__":\n'
     '    f()\n', True),
    ("try:\n    import numpy\nexcept ImportError:\n    numpy = None\n", True),
    ("@dataclass\nclass A:\n    x: int = 0\n", True),
    ("print('top')\n", False),
    ("data = load()\nif __name__ == '__main__':\n    pass\n", False),
    ("if flag():\n    import os\n", False),
    ("def f(:\n", False),
])
def test_what_a_worker_would_run_again(tmp_path, source, safe):
    from velkora.pool import _mainguard

    path = tmp_path / "main.py"
    path.write_text(source)
    assert (_mainguard._verdict(str(path), None) is None) == safe
