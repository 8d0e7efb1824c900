"""The Executor contract, held by AdaptivePool as the standard executors hold it, in
three configurations: free to adapt, threads only, processes only."""
import concurrent.futures as cf
import gc
import os
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

from velkora.pool import AdaptivePool

CONFIGS = {"default": {}, "threads": {"kinds": ("thread",)}, "processes": {"kinds": ("process",)}}
pytestmark = pytest.mark.timeout(120)


def echo(x, *, plus=0):
    return x + plus


def fail(x):
    raise ZeroDivisionError(x)


def nap(seconds, x=None):
    time.sleep(seconds)
    return x


def wait_for(path, seconds=60.0):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path):
        assert time.monotonic() < deadline, f"{path} never appeared"
        time.sleep(0.01)


def block_until(path, x=None):
    # The test holds the worker until it creates `path`.
    wait_for(path)
    return x


class Holder:
    def method(self):
        return 1


@pytest.fixture(params=list(CONFIGS))
def pool(request):
    pool = AdaptivePool(2, **CONFIGS[request.param])
    yield pool
    pool.shutdown(wait=True)


def test_submit_map_and_errors(pool):
    assert pool.submit(echo, 1, plus=2).result(timeout=60) == 3
    assert pool.submit(pow, 2, 8).result(timeout=60) == 256
    with pytest.raises(ZeroDivisionError):
        pool.submit(fail, 5).result(timeout=60)
    assert list(pool.map(echo, range(10), timeout=60)) == list(range(10))
    assert list(pool.map(echo, range(10), chunksize=4)) == list(range(10))
    results = pool.map(fail, [1, 2])
    with pytest.raises(ZeroDivisionError):
        next(results)
    with pytest.raises(TimeoutError):
        pool.submit(nap, 5.0).result(timeout=0.01)


def test_wait_and_as_completed(pool, tmp_path):
    gate = str(tmp_path / "gate")
    held = pool.submit(block_until, gate, "held")
    quick = pool.submit(echo, 1)
    failing = pool.submit(fail, 0)
    done, not_done = cf.wait([held, quick, failing], timeout=60,
                             return_when=cf.FIRST_EXCEPTION)
    assert failing in done and held in not_done
    assert set(cf.as_completed([quick, failing], timeout=60)) == {quick, failing}
    open(gate, "w").close()
    done, not_done = cf.wait([held, quick, failing], timeout=60)
    assert not not_done and held.result() == "held"


def test_shutdown_cancels_or_runs_what_waits(pool, tmp_path):
    gate = str(tmp_path / "gate")
    blockers = [pool.submit(block_until, gate) for _ in range(2)]
    queued = [pool.submit(echo, i) for i in range(20)]
    threading.Timer(0.5, lambda: open(gate, "w").close()).start()
    pool.shutdown(wait=True, cancel_futures=True)
    assert all(f.done() for f in blockers + queued)
    assert any(f.cancelled() for f in queued)
    # The cancelled ones are announced: wait() and as_completed() see them.
    assert not cf.wait(queued, timeout=10).not_done
    with pytest.raises(RuntimeError, match="after shutdown"):
        pool.submit(echo, 1)
    pool.shutdown()  # twice is fine


def test_no_stale_references(pool):
    # The pool keeps no reference to a task's callable once the task is done.
    holder = Holder()
    collected = threading.Event()
    ref = weakref.ref(holder, lambda _: collected.set())
    assert pool.submit(holder.method).result(timeout=60) == 1
    del holder
    for _ in range(100):
        gc.collect()
        if collected.wait(0.05):
            break
    assert ref() is None


@pytest.mark.parametrize("config", list(CONFIGS))
def test_submit_at_exit_is_refused_at_once(tmp_path, config):
    script = tmp_path / "late.py"
    script.write_text(textwrap.dedent(f"""
        import atexit
        from velkora.pool import AdaptivePool

        def late():
            try:
                pool.submit(print, "ran")
            except RuntimeError as exc:
                print("refused:", exc)

        if __name__ == "__main__":
            pool = AdaptivePool(2, **{CONFIGS[config]!r})
            print(pool.submit(pow, 2, 5).result(timeout=60))
            atexit.register(late)
    """))
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                            timeout=90)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == [
        "32", "refused: cannot schedule new futures after interpreter shutdown"]
    assert result.stderr == ""
