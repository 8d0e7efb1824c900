"""Whether worker processes would run the main module's top-level code again.

A spawned (or forkserver) worker imports the main module before it runs any
task, so that functions defined there can be found by name. A script whose
top-level code is not under ``if __name__ == "__main__":`` then runs again in
every worker: its output, its side effects, any pool it starts. The pool moves
work to processes of its own accord only where that cannot happen.
"""

from __future__ import annotations

import ast
import importlib.util
from functools import lru_cache
from typing import Any


def rerun_problem(context: Any) -> str | None:
    """Why workers started with ``context`` would run the main module again, or
    None where they would not (fork, no main module to import, a guarded one)."""
    if context.get_start_method() == "fork":
        return None
    from multiprocessing import spawn

    data = spawn.get_preparation_data("velkora-pool")
    path = data.get("init_main_from_path")
    name = data.get("init_main_from_name")
    if name is not None and (name == "__main__" or name.endswith(".__main__")):
        name = None  # a package's __main__ is never imported again
    if path is None and name is None:
        return None  # an interactive session, -c or stdin: nothing is imported again
    return _verdict(path, name)


@lru_cache(maxsize=8)
def _verdict(path: str | None, name: str | None) -> str | None:
    what = path or name
    source = _source(path, name)
    if source is None:
        return f"the source of the main module {what} cannot be read"
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return f"the main module {what} cannot be parsed"
    if all(_definition(node) for node in tree.body):
        return None
    return (f"the main module {what} runs code outside `if __name__ == \"__main__\":`, which "
            f"every worker process would run again")


def _source(path: str | None, name: str | None) -> str | None:
    try:
        if path is None and name is not None:
            spec = importlib.util.find_spec(name)
            path = spec.origin if spec is not None else None
        if path is None:
            return None
        with open(path, encoding="utf-8") as f:
            return f.read()
    except (OSError, ImportError, ValueError, UnicodeDecodeError):
        return None


def _calls(node: ast.AST | None) -> bool:
    return node is not None and any(
        isinstance(n, (ast.Call, ast.Await, ast.Yield, ast.YieldFrom)) for n in ast.walk(node))


def _main_guard(test: ast.expr) -> bool:
    if not (isinstance(test, ast.Compare) and len(test.ops) == 1
            and isinstance(test.ops[0], ast.Eq)):
        return False
    sides = [test.left, test.comparators[0]]
    return (any(isinstance(s, ast.Name) and s.id == "__name__" for s in sides)
            and any(isinstance(s, ast.Constant) and s.value == "__main__" for s in sides))


def _definition(node: ast.stmt) -> bool:
    """True for a statement that only defines things when the module is imported."""
    if isinstance(node, (ast.Import, ast.ImportFrom, ast.FunctionDef, ast.AsyncFunctionDef,
                         ast.ClassDef, ast.Pass, ast.Global)):
        return True
    if isinstance(node, ast.Expr):
        return isinstance(node.value, ast.Constant)  # a docstring
    if isinstance(node, (ast.Assign, ast.AnnAssign, ast.AugAssign)):
        return not _calls(node.value)
    if isinstance(node, ast.If):
        if _main_guard(node.test):
            return True
        return not _calls(node.test) and all(map(_definition, node.body + node.orelse))
    if isinstance(node, ast.Try):
        return all(map(_definition, node.body + node.orelse + node.finalbody)) and all(
            _definition(s) for handler in node.handlers for s in handler.body)
    return False
