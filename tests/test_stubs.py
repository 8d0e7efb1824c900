"""The shipped type stubs match the runtime functions."""
import ast
import importlib
import inspect
import unittest
from pathlib import Path

PACKAGE = Path(__file__).resolve().parent.parent / "python" / "velkora"
MODULES = {
    "velkora.gpu.accelplan": PACKAGE / "gpu" / "accelplan.pyi",
    "velkora.plugins.analyzer.adaptlogic": PACKAGE / "plugins" / "analyzer" / "adaptlogic.pyi",
    "velkora.native.hostprobe": PACKAGE / "native" / "hostprobe.pyi",
}


def stub_signatures(path):
    """(name, [(parameter, default or inspect.Parameter.empty)]) for each stub function."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    result = []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            args = node.args.args
            defaults = [inspect.Parameter.empty] * (len(args) - len(node.args.defaults))
            defaults += [ast.literal_eval(d) for d in node.args.defaults]
            result.append((node.name, [(a.arg, d) for a, d in zip(args, defaults)]))
    return result


class StubTest(unittest.TestCase):
    def test_stubs_match_runtime_signatures(self):
        for name, path in MODULES.items():
            module = importlib.import_module(name)
            stubbed = stub_signatures(path)
            runtime = [n for n, f in vars(module).items() if hasattr(f, "__signature__")]
            with self.subTest(module=name):
                # Same functions, in the module's definition order.
                self.assertEqual([n for n, _ in stubbed], runtime)
            for func_name, params in stubbed:
                with self.subTest(function=func_name):
                    sig = inspect.signature(getattr(module, func_name))
                    actual = [(p.name, p.default) for p in sig.parameters.values()]
                    self.assertEqual(params, actual)
                    for (_, stub_default), (_, real_default) in zip(params, actual):
                        self.assertIs(type(stub_default), type(real_default))

    def test_package_is_marked_typed(self):
        self.assertTrue((PACKAGE / "py.typed").is_file())


if __name__ == "__main__":
    unittest.main()
