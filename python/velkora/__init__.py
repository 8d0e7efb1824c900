"""Velkora: runtime acceleration for Python."""
