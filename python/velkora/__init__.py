"""velkora: runtime acceleration for Python.

The native core lives in three extension modules:
``velkora.native.hostprobe``, ``velkora.plugins.analyzer.adaptlogic`` and
``velkora.gpu.accelplan``. ``velkora.plan(shape, dtype, ...)`` plans an
array's placement in GPU memory.
"""

__version__ = "0.1.0"

# Importing velkora stays as cheap as an empty package: the public names load
# their modules on first use.
_LAZY = {"plan": "velkora.planning", "Plan": "velkora.planning", "PlanError": "velkora.planning"}
__all__ = ["__version__", *_LAZY]

TYPE_CHECKING = False
if TYPE_CHECKING:
    from velkora.planning import Plan as Plan, PlanError as PlanError, plan as plan


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'velkora' has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY})
