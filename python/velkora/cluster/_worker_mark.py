"""What the pool's cluster kind installs on a cluster: a mark on the workers
that can run its tasks, and the entry point of those tasks.

Both go by value (the client registers this module with cloudpickle), so
that a scheduler or worker without velkora can unpickle them: the scheduler
unpickles every task it is given, and stores the plugin for workers to come.
Nothing here imports velkora at module level.
"""
import importlib
import pickle
import sys
from typing import Any

from distributed.diagnostics.plugin import WorkerPlugin

#: The worker resource that marks a worker able to run the pool's tasks; each
#: task asks for one unit of it. A resource, unlike an address, survives a
#: worker's restart: the plugin marks the new worker as it joins.
RESOURCE = "velkora"
PLUGIN_NAME = "velkora-worker-mark"


class VelkoraWorkerMark(WorkerPlugin):
    """Gives every worker that can import velkora's task runner the resource
    ``velkora`` (one unit per thread), on the workers there now and on every
    worker that joins later."""

    name = PLUGIN_NAME

    async def setup(self, worker: Any) -> None:
        try:
            importlib.import_module("velkora.pool._remote")
        except Exception:  # velkora missing or broken here: the pool's tasks stay off this worker
            return
        await worker.set_resources(**{RESOURCE: worker.state.nthreads})
        # The scheduler looks again at tasks that found no worker only when a
        # worker starts running; a worker that restarted registered before
        # this mark was set, so tasks waiting for it would wait forever. Say
        # so once more, in the order the scheduler acts on.
        if worker.status.name == "running":
            for status in ("paused", "running"):
                worker.batched_send({"op": "worker-status-change", "status": status,
                                     "stimulus_id": f"velkora-worker-mark-{status}"})


def run_pool_task(payload: bytes) -> Any:
    """Runs one of the pool's tasks on a marked worker: velkora is there."""
    return importlib.import_module("velkora.pool._remote").run_remote(payload)


class ShippedTask:
    """The task entry point as the client submits it: it pickles as a call to
    ``pickle.loads`` of the entry point pickled by value, which the scheduler
    unpickles without velkora whatever pickler Dask picks for the graph."""

    __slots__ = ("_blob", "__name__")

    def __init__(self) -> None:
        cloudpickle = importlib.import_module("cloudpickle")
        cloudpickle.register_pickle_by_value(sys.modules[__name__])
        self._blob = cloudpickle.dumps(run_pool_task)
        self.__name__ = "velkora-task"

    def __call__(self, payload: bytes) -> Any:
        return run_pool_task(payload)

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        return pickle.loads, (self._blob,)
