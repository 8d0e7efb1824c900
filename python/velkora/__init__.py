"""velkora: runtime acceleration for Python.

The native core lives in three extension modules:
``velkora.native.hostprobe``, ``velkora.plugins.analyzer.adaptlogic`` and
``velkora.gpu.accelplan``.
"""

__version__ = "0.1.0"
