"""AdaptivePool: decisions replayed with a made-up clock and measurements, then the
executor's contract (exactly once, errors, cancel, shutdown, dead workers) on real pools."""
import concurrent.futures as cf
import json
import multiprocessing
import os
import signal
import sys
import threading
import time
import types

import pytest

from velkora.pool import AdaptivePool, WorkerLostError
from velkora.pool._controller import Controller
from velkora.pool._patterns import task_pattern

# -- tasks: module level, so that worker processes find them by name ----------


def echo(x):
    return x


def fail(x):
    raise ValueError(f"bad {x}")


def nap(seconds, x=None):
    time.sleep(seconds)
    return x


def die():
    os.kill(os.getpid(), signal.SIGKILL)


def record(path, i):
    with open(path, "a") as f:
        f.write(f"{i}\n")
    return i


# -- decisions ------------------------------------------------------------------

# (wall, cpu, page faults, tasks sharing the interpreter)
WORKLOADS = {
    "cpu": (0.005, 0.0025, 0, 2),   # two threads taking turns on the lock
    "io": (0.005, 0.00003, 0, 2),
    "noop": (2e-6, 2e-6, 0, 1),
    # A busy host: one CPU second of waiting for every CPU second run.
    "cpu_crowded": (0.005, 0.00125, 0, 2),
}
RULES = {"detect_performance_degradation", "calculate_performance_trend",
         "detect_workload_characteristics_change", "detect_dominant_pattern",
         "score_pool_recommendation", "is_adaptation_beneficial", "should_skip_adaptation",
         "detect_memory_pressure", "detect_fragmentation_threshold",
         "calculate_adaptation_urgency", "predict_resource_requirements"}


def replay(phases, *, kinds=("thread", "process"), initial="thread", memory=None, blocked=None,
           cooldown=5.0, step=0.25, per_step=20, cpu_wait=None, pickling=None):
    """Steps a controller through (workload, seconds) phases; returns its decisions."""
    controller = Controller(kinds=kinds, kind=initial, width=2, cooldown=cooldown, window=30.0,
                            check_interval=0.5, now=0.0)
    if blocked:
        controller.block_pickling(blocked)
    now, decisions = 0.0, []
    for workload, seconds in phases:
        wall, cpu, faults, sharing = WORKLOADS[workload]
        for _ in range(round(seconds / step)):
            now += step
            samples = [(controller.kind, (now, wall, cpu, faults, sharing, 0))] * per_step
            decisions.append(controller.step(now, samples, per_step, True, memory, 0.0, cpu_wait,
                                             pickling))
    return decisions


@pytest.mark.timeout(30)
@pytest.mark.parametrize("phases, options, changes, last_reason", [
    ([("cpu", 3)], {}, [("switch", "process", 2)], "process is the kind for the dominant pattern"),
    ([("io", 3)], {}, [], "thread is the kind for the dominant pattern io_bound"),
    ([("noop", 3)], {}, [], "not worth switching to process"),
    ([("cpu_crowded", 3)], {}, [], "thread is the kind for the dominant pattern mixed"),
    ([("cpu_crowded", 3)], {"cpu_wait": {"thread": 1.0, "process": 1.0}},
     [("switch", "process", 2)], "process is the kind"),
    ([("cpu", 3)], {"blocked": "PicklingError: x"}, [], "tasks cannot be pickled (PicklingError"),
    ([("cpu", 3)], {"pickling": lambda: "PicklingError: y"}, [], "cannot be pickled (PicklingError: y"),
    ([("cpu", 3)], {"kinds": ("thread",)}, [], "thread is the kind"),
    ([("io", 3)], {"initial": "process"}, [("switch", "thread", 2)], "thread is the kind"),
    ([("io", 3)], {"memory": (90.0, 100.0)}, [("resize", "thread", 1)], "thread is the kind"),
    # Phases longer than the cooldown: one switch per phase change.
    ([("io", 6), ("cpu", 6), ("io", 6)], {}, [("switch", "process", 2), ("switch", "thread", 2)],
     "thread is the kind"),
    # Phases shorter than it: the move back waits out the cooldown.
    ([("cpu", 2), ("io", 2), ("cpu", 2), ("io", 4)], {},
     [("switch", "process", 2), ("switch", "thread", 2)], "thread is the kind"),
])
def test_decisions(phases, options, changes, last_reason):
    decisions = replay(phases, **options)
    moves = [d for d in decisions if d.action != "stay"]
    assert [(d.action, d.kind, d.width) for d in moves] == changes
    assert last_reason in decisions[-1].reason
    # Never two moves within the cooldown; each move comes within 2 s of the start
    # of its phase, or as soon as the cooldown allows.
    starts = [sum(seconds for _, seconds in phases[:i]) for i in range(len(phases))]
    for previous, move in zip([None, *moves], moves):
        since_phase = move.time - max(s for s in starts if s < move.time)
        since_move = move.time - previous.time if previous else float("inf")
        assert since_move >= 5.0 and (since_phase <= 2.0 or since_move <= 5.25)
    record = json.loads(json.dumps(decisions[-1].to_dict()))
    assert set(record["rules"]) == RULES


@pytest.mark.parametrize("sample, name", [
    ((0.01, 0.005, 0.0, 0, 2), "cpu_bound"),      # the other half went to the lock's other holder
    ((0.01, 0.005, 0.0, 0, 1), "mixed"),
    ((0.01, 0.004, 0.006, 0, 1), "cpu_bound"),    # the rest of the time another process had the CPU
    ((0.005, 0.00003, 0.0, 0, 8), "io_bound"),
    ((0.01, 0.01, 0.0, 2000, 1), "memory_bound"),  # 2000 fresh pages in 10 ms
    # Two threads each busy the whole time: the work ran outside the lock, and
    # threads scale; one at a time full, or a little over by the clocks' noise, queues.
    ((0.01, 0.0095, 0.0, 0, 2), "mixed"),
    ((0.01, 0.0055, 0.0, 0, 2), "cpu_bound"),
    ((0.01, 0.01, 0.0, 0, 1), "cpu_bound"),
])
def test_task_pattern(sample, name):
    pattern, got = task_pattern(*sample)
    assert got == name
    assert all(0.0 <= value <= 1.0 for value in pattern.values())


# -- the executor ---------------------------------------------------------------


@pytest.fixture(autouse=True)
def nothing_left_running():
    """Every pool test must leave no worker thread or process behind."""
    before = set(threading.enumerate())
    yield
    assert set(threading.enumerate()) - before == set()
    assert multiprocessing.active_children() == []


@pytest.mark.timeout(300)
def test_exactly_once_across_switches(tmp_path):
    path = tmp_path / "runs"
    # (kind, width, at once): otherwise the work moves when the new workers answer,
    # which may come after later switches.
    switches = {1500: ("process", 2, True), 4000: ("thread", 2, True), 6000: ("thread", 1, True),
                7000: ("process", 1, True), 8000: ("thread", 2, True), 9000: ("process", 2, False)}
    with AdaptivePool(2, cooldown=1e9) as pool:
        futures = []
        for i in range(10_000):
            futures.append(pool.submit(record, str(path), i))
            if i in switches:
                kind, width, at_once = switches[i]
                pool._force(kind, width, "test", at_once=at_once)
        assert [f.result(timeout=60) for f in futures] == list(range(10_000))
        # The last switch waits for its workers to start: generous on a loaded machine.
        deadline = time.monotonic() + 150
        while pool.kind != "process" and time.monotonic() < deadline:
            time.sleep(0.05)
        assert (pool.kind, pool.width) == ("process", 2)
        stats = pool.stats()
    assert sorted(map(int, path.read_text().split())) == list(range(10_000))
    assert (stats.completed, stats.failed, stats.lost, stats.pending) == (10_000, 0, 0, 0)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("kind", ["thread", "process"])
def test_results_errors_and_map(kind):
    with AdaptivePool(2, kinds=(kind,)) as pool:
        assert pool.submit(echo, [1, "x"]).result(timeout=30) == [1, "x"]
        with pytest.raises(ValueError, match="bad 3"):
            pool.submit(fail, 3).result(timeout=30)
        assert list(pool.map(echo, range(7), chunksize=3)) == list(range(7))
        assert list(pool.map(nap, [0.0] * 4, range(4), timeout=30)) == list(range(4))
        with pytest.raises(TimeoutError):
            next(pool.map(nap, [0.5], timeout=0.05))
        with pytest.raises(ValueError, match="chunksize"):
            pool.map(echo, [1], chunksize=0)
    with pytest.raises(RuntimeError, match="after shutdown"):
        pool.submit(echo, 1)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("kind, cancel_futures", [
    ("thread", False), ("thread", True), ("process", False), ("process", True)])
def test_cancel_and_shutdown(kind, cancel_futures):
    pool = AdaptivePool(1, kinds=(kind,))
    running = pool.submit(nap, 0.5, "slow")
    queued = [pool.submit(echo, i) for i in range(8)]
    # The last ones wait in the pool itself, never handed to a worker yet.
    assert queued[-1].cancel() and queued[-1].cancelled()
    pool.shutdown(wait=True, cancel_futures=cancel_futures)
    assert running.result() == "slow" and not running.cancel()
    # Cancelled futures are announced too: wait() would hang on one that is not.
    assert len(cf.wait(queued, timeout=10).done) == len(queued)
    cancelled = [f.cancelled() for f in queued[:-1]]
    assert any(cancelled) == cancel_futures
    assert [f.result() for f, c in zip(queued, cancelled) if not c] == \
        [i for i, c in enumerate(cancelled) if not c]


@pytest.mark.timeout(90)
def test_killed_worker():
    with AdaptivePool(2, kinds=("process",)) as pool:
        pool.submit(echo, 0).result(timeout=60)  # workers up
        futures = [pool.submit(nap, 0.05, i) for i in range(3)] + [pool.submit(die)] + \
            [pool.submit(nap, 0.01, i) for i in range(20)]
        outcomes = [f.exception(timeout=60) for f in futures]
        with pytest.raises(WorkerLostError, match="killed by signal SIGKILL"):
            futures[3].result()
        lost = [o for o in outcomes if o is not None]
        assert all(isinstance(o, WorkerLostError) for o in lost)
        # Only what the workers held is lost: the queued tasks ran on fresh workers.
        assert len(lost) <= 2 * pool.width + 1
        assert pool.submit(echo, "after").result(timeout=60) == "after"
        assert pool.stats().lost == len(lost)
        assert any(d.action == "replace" and "SIGKILL" in d.reason for d in pool.decisions)


@pytest.mark.timeout(90)
@pytest.mark.parametrize("make_task", [
    lambda: (lambda x: x * 2),  # refused by pickle in this process
    # Pickled by name, but its module exists only here: the worker cannot load it.
    lambda: _ephemeral_function(),
], ids=["unpicklable", "unloadable"])
def test_unpicklable_work_stays_on_threads(make_task):
    fn = make_task()
    with AdaptivePool(2, initial="process") as pool:
        assert [f.result(timeout=60) for f in [pool.submit(fn, i) for i in range(5)]] == \
            [0, 2, 4, 6, 8]
        assert pool.kind == "thread"
        assert pool.stats().pickling_blocked
        assert any("cannot be pickled" in d.reason for d in pool.decisions)


def _ephemeral_function():
    module = types.ModuleType("velkora_ephemeral_tasks")
    exec("def double(x):\n    return x * 2\n", module.__dict__)
    sys.modules[module.__name__] = module
    return module.double
