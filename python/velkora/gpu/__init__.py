"""GPU support: backend detection (`backend_registry`), memory planning
(`accelplan`), and each device's memory as it is now (`memory()`).

`memory` and `DeviceMemory` load on first use: the host probe imports this
package within its few-millisecond budget and must not pay for them.
"""
TYPE_CHECKING = False
if TYPE_CHECKING:
    from velkora.gpu._memory import DeviceMemory, memory

__all__ = ["DeviceMemory", "memory"]


def __getattr__(name: str) -> object:
    if name in __all__:
        from velkora.gpu import _memory

        return getattr(_memory, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
