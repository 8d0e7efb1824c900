"""The shared extension frame: binding, conversion, function objects, lifecycle."""
import ctypes
import inspect
import pydoc
import shutil
import subprocess
import sys
import unittest
import warnings

import velkora.gpu.accelplan as accelplan
import velkora.native.hostprobe as hostprobe
import velkora.plugins.analyzer.adaptlogic as adaptlogic

from support import FloatLike, run_python

MODULES = ("velkora.native.hostprobe", "velkora.gpu.accelplan",
           "velkora.plugins.analyzer.adaptlogic")


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IntSubclass(int):
    pass


class Raising:
    def __float__(self):
        raise ZeroDivisionError("float hook")

    def __int__(self):
        raise ZeroDivisionError("int hook")

    def __bool__(self):
        raise ZeroDivisionError("bool hook")


class BindingTest(unittest.TestCase):
    def check_rows(self, rows):
        for func, args, kwargs, exc, text in rows:
            with self.subTest(func=func.__name__, args=args, kwargs=kwargs):
                with self.assertRaises(exc) as caught:
                    func(*args, **kwargs)
                self.assertEqual(str(caught.exception), text)

    def test_positional_counts(self):
        skip = adaptlogic.should_skip_adaptation
        est = accelplan.estimate_allocation_bytes
        rec = accelplan.recommend_headroom
        self.check_rows([
            (skip, (1, 2), {}, TypeError,
             "should_skip_adaptation() takes exactly 3 positional arguments (2 given)"),
            (skip, (1, 2, 3, 4), {}, TypeError,
             "should_skip_adaptation() takes exactly 3 positional arguments (4 given)"),
            (est, (), {}, TypeError,
             "estimate_allocation_bytes() takes at least 2 positional arguments (0 given)"),
            (est, ((), 1, 1.0, 4), {}, TypeError,
             "estimate_allocation_bytes() takes at most 3 positional arguments (4 given)"),
            (rec, (), {}, TypeError,
             "recommend_headroom() takes at least 1 positional argument (0 given)"),
            (rec, (1, 2, 3), {}, TypeError,
             "recommend_headroom() takes at most 2 positional arguments (3 given)"),
        ])

    def test_unfilled_after_keywords_counts_parameters_before_the_gap(self):
        est = accelplan.estimate_allocation_bytes
        self.check_rows([
            (est, (), {"element_size": 4}, TypeError,
             "estimate_allocation_bytes() takes at least 2 positional arguments (0 given)"),
            (est, ((),), {"overhead_factor": 2.0}, TypeError,
             "estimate_allocation_bytes() takes at least 2 positional arguments (1 given)"),
            (adaptlogic.should_skip_adaptation, (), {"current_time": 1, "min_interval": 2},
             TypeError, "should_skip_adaptation() takes exactly 3 positional arguments (0 given)"),
        ])

    def test_keyword_errors_come_before_missing_parameters(self):
        safe = accelplan.calculate_safe_limit
        self.check_rows([
            (safe, (), {"bogus": 1}, TypeError,
             "calculate_safe_limit() got an unexpected keyword argument 'bogus'"),
            (safe, (1,), {"available_bytes": 2}, TypeError,
             "calculate_safe_limit() got multiple values for keyword argument 'available_bytes'"),
            (safe, (1, 2, 3), {"bogus": 1}, TypeError,
             "calculate_safe_limit() takes exactly 2 positional arguments (3 given)"),
        ])

    def test_functions_without_parameters(self):
        caps = hostprobe.detect_capabilities
        self.check_rows([
            (caps, (1,), {}, TypeError, "detect_capabilities() takes no arguments (1 given)"),
            (caps, (1, 2), {}, TypeError, "detect_capabilities() takes no arguments (2 given)"),
            (caps, (), {"x": 1}, TypeError, "detect_capabilities() takes no keyword arguments"),
            (caps, (1,), {"x": 1}, TypeError, "detect_capabilities() takes no keyword arguments"),
        ])

    def test_keywords_by_value_and_any_order(self):
        name = "".join(["available", "_bytes"])  # not the interned object
        self.assertEqual(accelplan.calculate_safe_limit(**{name: 1000, "headroom_ratio": 0.2}), 800)
        self.assertEqual(accelplan.calculate_safe_limit(headroom_ratio=0.2, available_bytes=1000),
                         800)

    def test_non_string_keyword_from_c_callers(self):
        vectorcall = ctypes.pythonapi.PyObject_Vectorcall
        vectorcall.restype = ctypes.py_object
        vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object),
                               ctypes.c_size_t, ctypes.py_object]
        args = (ctypes.py_object * 2)(1000, 0.2)
        with self.assertRaises(TypeError) as caught:
            vectorcall(accelplan.calculate_safe_limit, args, 1, (42,))
        self.assertEqual(str(caught.exception), "calculate_safe_limit() keywords must be strings")


class ConversionTest(unittest.TestCase):
    def convert(self, rows, call):
        for value, expected in rows:
            with self.subTest(value=value):
                if isinstance(expected, tuple):
                    exc, text = expected
                    with self.assertRaises(exc) as caught:
                        call(value)
                    self.assertEqual(str(caught.exception), text)
                else:
                    self.assertEqual(call(value), expected)

    def test_c_double(self):
        # calculate_memory_pressure's threshold-free sibling: recommend_headroom's
        # base is returned unchanged for a moderate pressure.
        self.convert([
            (0.45, 0.45),
            (True, 0.8),
            (FloatLike(0.5), 0.5),
            (IndexLike(1), 0.8),
            ("0.5", (TypeError, "must be real number, not str")),
            (None, (TypeError, "must be real number, not NoneType")),
            (Raising(), (ZeroDivisionError, "float hook")),
            (FloatLike("x"), (TypeError, "FloatLike.__float__ returned non-float (type str)")),
        ], lambda v: accelplan.recommend_headroom(0.5, v))

    def test_signed_32_bit(self):
        pattern = ["a", "a", "b", "b", "b"]
        self.convert([
            (2, "b"),
            (2.9, "b"),
            (True, "b"),
            (IntLike(5), "b"),
            (2**31 - 1, "b"),
            (-2**31, "mixed"),
            (2**31, (OverflowError, "value too large to convert to int")),
            (-2**31 - 1, (OverflowError, "value too large to convert to int")),
            (2**64, (OverflowError, "Python int too large to convert to C long")),
            ("5", (TypeError, "an integer is required")),
            (IndexLike(2), (TypeError, "an integer is required")),
            (IntLike("x"), (TypeError, "__int__ returned non-int (type str)")),
            (IntLike(2**40), (OverflowError, "value too large to convert to int")),
            (float("nan"), (ValueError, "cannot convert float NaN to integer")),
            (float("inf"), (OverflowError, "cannot convert float infinity to integer")),
            (Raising(), (ZeroDivisionError, "int hook")),
        ], lambda v: adaptlogic.detect_dominant_pattern(pattern, v))

    def test_int_subclass_from_dunder_warns_and_continues(self):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            self.assertEqual(adaptlogic.detect_dominant_pattern(["a", "b"], IntLike(IntSubclass(1))),
                             "b")
        self.assertEqual(len(caught), 1)
        self.assertIs(caught[0].category, DeprecationWarning)
        self.assertEqual(str(caught[0].message),
                         "__int__ returned non-int (type IntSubclass).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be removed in "
                         "a future version of Python.")
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with self.assertRaises(DeprecationWarning):
                adaptlogic.detect_dominant_pattern(["a"], IntLike(IntSubclass(1)))

    def test_unsigned_64_bit(self):
        self.convert([
            (0, 0),
            (2**64 - 1, 2**64 - 1),
            (1000.9, 1000),
            (IntLike(10), 10),
            (-1, (OverflowError, "can't convert negative value to uint64_t")),
            (-2**70, (OverflowError, "can't convert negative value to uint64_t")),
            (2**64, (OverflowError, "int too big to convert")),
            (-0.5, 0),
            ("1", (TypeError, "an integer is required")),
        ], lambda v: accelplan.calculate_safe_limit(v, 0.0))

    def test_boolean_is_truth_value(self):
        decide = accelplan.decide_allocation_strategy
        for value, chunked in [(True, True), (1, True), ("x", True), ([0], True),
                               (False, False), (None, False), (0, False), ("", False), ([], False)]:
            with self.subTest(value=value):
                self.assertEqual(decide(1600, 1000, 0.2, value)[0], 1 if chunked else 2)
        with self.assertRaises(ZeroDivisionError):
            decide(1600, 1000, 0.2, Raising())

    def test_exact_types_and_pass_order(self):
        class ListSub(list):
            pass
        trend = adaptlogic.calculate_performance_trend
        rows = [
            ((ListSub(), 0.0), TypeError,
             "Argument 'performance_history' has incorrect type (expected list, got ListSub)"),
            (((), 0.0), TypeError,
             "Argument 'performance_history' has incorrect type (expected list, got tuple)"),
            # The number is converted before the list's type is checked.
            (((), "x"), TypeError, "must be real number, not str"),
        ]
        for args, exc, text in rows:
            with self.subTest(args=args):
                with self.assertRaises(exc) as caught:
                    trend(*args)
                self.assertEqual(str(caught.exception), text)
        self.assertEqual(trend(None, 0.0), 0.0)


class FunctionObjectTest(unittest.TestCase):
    def test_identity_attributes(self):
        for module in (accelplan, adaptlogic, hostprobe):
            for name, func in vars(module).items():
                if not callable(func) or name.startswith("_") or isinstance(func, type(sys)):
                    continue
                if not hasattr(func, "__vectorcalloffset__"):
                    continue
                with self.subTest(name=name):
                    self.assertEqual(func.__name__, name)
                    self.assertEqual(func.__qualname__, name)
                    self.assertEqual(func.__module__, module.__name__)
                    self.assertTrue(func.__doc__.startswith("\n"))
                    self.assertTrue(func.__doc__.endswith("\n    "))

    def test_defaults_are_reported_only(self):
        rec = accelplan.recommend_headroom
        self.assertEqual(rec.__defaults__, (0.5,))
        self.assertIsNone(adaptlogic.should_skip_adaptation.__defaults__)
        self.assertEqual(accelplan.calculate_optimal_chunks.__defaults__, (1, 1000))
        try:
            rec.__defaults__ = (0.75,)
            self.assertEqual(rec.__defaults__, (0.75,))
            self.assertEqual(rec(0.5), 0.5)  # the call keeps its own default
            del rec.__defaults__
            self.assertIsNone(rec.__defaults__)
            with self.assertRaises(TypeError):
                rec.__defaults__ = [0.5]
        finally:
            rec.__defaults__ = (0.5,)

    def test_signature_and_help(self):
        sig = inspect.signature(accelplan.calculate_optimal_chunks)
        self.assertEqual(str(sig),
                         "(total_bytes, available_bytes, headroom_ratio, min_chunks=1, "
                         "max_chunks=1000)")
        self.assertEqual(str(inspect.signature(hostprobe.detect_capabilities)), "()")
        text = pydoc.render_doc(accelplan.recommend_headroom, renderer=pydoc.plaintext)
        self.assertIn("recommend_headroom(current_pressure, base_headroom=0.5)", text)
        self.assertIn("Recommend headroom ratio based on current memory pressure.", text)

    def test_pickles_by_name_and_cannot_be_instantiated(self):
        import copy
        import pickle
        func = accelplan.calculate_safe_limit
        self.assertIs(pickle.loads(pickle.dumps(func)), func)
        self.assertIs(copy.deepcopy(func), func)
        with self.assertRaises(TypeError):
            type(func)()

    def test_behaves_as_a_plain_function_on_classes(self):
        class Holder:
            limit = accelplan.calculate_safe_limit
        self.assertEqual(Holder().limit(1000, 0.2), 800)


class LifecycleTest(unittest.TestCase):
    # Sub-interpreter scenarios run on the interpreter's own allocator even
    # under the sanitizers: a block freed into another interpreter's
    # allocator shows there, not in malloc.
    OWN_ALLOCATOR = {"PYTHONMALLOC": "pymalloc"}

    def run_ok(self, code):
        result = run_python(code)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def test_second_import_returns_the_cached_module_and_logs_once(self):
        result = self.run_ok(
            "import logging, sys, io\n"
            "stream = io.StringIO()\n"
            "logging.basicConfig(level=logging.INFO, stream=stream, format='%(name)s|%(message)s')\n"
            "import velkora.gpu.accelplan as a, velkora.plugins.analyzer.adaptlogic as b\n"
            "del sys.modules['velkora.gpu.accelplan']\n"
            "import velkora.gpu.accelplan as a2\n"
            "import importlib; importlib.reload(b)\n"
            "print(a is a2, a.logger.name)\n"
            "print(stream.getvalue(), end='')\n")
        self.assertEqual(result.stdout.splitlines(), [
            "True velkora.gpu.accelplan",
            "velkora.gpu.accelplan|Velkora Accelplan Cython module loaded - IP protected",
            "velkora.plugins.analyzer.adaptlogic|Velkora Adaptlogic Cython module loaded - IP protected",
        ])

    def run_per_module(self, code):
        """Runs `code` in a fresh interpreter for each module (sys.argv[1] is its
        name) and yields the module's name and the printed lines."""
        for name in MODULES:
            with self.subTest(module=name):
                yield name, self.run_ok(code % {"name": name}).stdout.splitlines()

    def test_the_first_interpreter_to_import_wins(self):
        refused = ("ImportError: Interpreter change detected - this module can only be loaded "
                   "into one interpreter per process.")
        # Each row: what the child does in order; "sub" imports in a fresh
        # sub-interpreter, "main" in the main one, "destroy" ends the sub-interpreter.
        rows = [
            (("main", "sub"), ["main ok", refused]),
            (("sub", "main"), ["sub ok", refused]),
            (("sub", "destroy", "main"), ["sub ok", refused]),
            (("sub", "sub"), ["sub ok", "sub ok"]),
        ]
        code = (
            "import importlib, sys, _xxsubinterpreters as si\n"
            "interp = None\n"
            "for step in sys.argv[1:]:\n"
            "    if step == 'destroy':\n"
            "        si.destroy(interp)\n"
            "        continue\n"
            "    try:\n"
            "        if step == 'main':\n"
            "            importlib.import_module('%(name)s')\n"
            "        else:\n"
            "            interp = interp or si.create()\n"
            "            si.run_string(interp, f'import sys; sys.path[:0] = {sys.path!r}\\n'\n"
            "                                  'import %(name)s')\n"
            "        print(step, 'ok')\n"
            "    except si.RunFailedError as e:\n"
            "        print(str(e).replace(\"<class 'ImportError'>\", 'ImportError'))\n"
            "    except ImportError as e:\n"
            "        print('ImportError:', e)\n")
        for name in MODULES:
            for steps, expected in rows:
                with self.subTest(module=name, steps=steps):
                    result = run_python(code % {"name": name}, *steps, env=self.OWN_ALLOCATOR)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(result.stdout.splitlines(), expected)

    def test_create_makes_one_object_and_exec_accepts_only_it(self):
        again = "Module '%s' has already been imported. Re-initialisation is not supported."
        code = (
            "import ctypes, importlib.util, sys, types\n"
            "api = ctypes.pythonapi\n"
            "api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]\n"
            "api.PyModule_GetDef.argtypes = [ctypes.py_object]\n"
            "api.PyModule_GetDef.restype = ctypes.c_void_p\n"
            "spec = importlib.util.find_spec('%(name)s')\n"
            "short = spec.name.rpartition('.')[2]\n"
            "init = getattr(ctypes.PyDLL(spec.origin), 'PyInit_' + short)\n"
            "init.restype = ctypes.c_void_p\n"
            "def exec_foreign(definition):\n"
            "    try:\n"
            "        api.PyModule_ExecDef(types.ModuleType('foreign'), definition)\n"
            "    except RuntimeError as e:\n"
            "        print(e)\n"
            "exec_foreign(init())\n"
            "first = importlib.util.module_from_spec(spec)\n"
            "second = importlib.util.module_from_spec(spec)\n"
            "spec.loader.exec_module(first)\n"
            "spec.loader.exec_module(second)\n"
            "print(first is second, sys.modules[spec.name] is first)\n"
            "exec_foreign(api.PyModule_GetDef(first))\n")
        for name, lines in self.run_per_module(code):
            short = name.rpartition(".")[2]
            self.assertEqual(lines, [again % short, "True True", again % short])

    def test_imports_go_through_a_replaced_import_function(self):
        # The spy records the statements made from the module's own namespace:
        # (name, locals is its globals, fromlist, level).
        code = (
            "import builtins, sys\n"
            "original, calls = builtins.__import__, []\n"
            "def spy(name, globals=None, locals=None, fromlist=(), level=0):\n"
            "    if globals is not None and globals.get('__name__') == '%(name)s':\n"
            "        calls.append((name, locals is globals, fromlist, level))\n"
            "        if name == 'velkora.gpu.backend_registry':\n"
            "            raise ImportError('refused by the spy')\n"
            "    return original(name, globals, locals, fromlist, level)\n"
            "builtins.__import__ = spy\n"
            "import %(name)s as m\n"
            "if hasattr(m, 'detect_gpu_backends'):\n"
            "    m.detect_gpu_backends(); m.detect_python_version()\n"
            "for call in calls:\n"
            "    print(*call)\n")
        registry = "velkora.gpu.backend_registry False ('GPUBackendRegistry', 'GPUBackendKind') 0"
        expected = {
            "velkora.native.hostprobe": ["sys True None 0", "os True None 0", "time True None 0",
                                         registry, "subprocess False None 0",
                                         "_xxsubinterpreters False None 0"],
            "velkora.gpu.accelplan": ["logging True None 0"],
            "velkora.plugins.analyzer.adaptlogic": ["logging True None 0"],
        }
        for name, lines in self.run_per_module(code):
            self.assertEqual(lines, expected[name])

    def test_failed_body_reports_init_entry_and_a_retry_starts_over(self):
        result = self.run_ok(
            "import sys, traceback\n"
            "sys.modules['logging'] = None\n"
            "try:\n"
            "    import velkora.gpu.accelplan\n"
            "except ImportError as e:\n"
            "    print(traceback.extract_tb(e.__traceback__)[-1].name)\n"
            "print('velkora.gpu.accelplan' in sys.modules)\n"
            "del sys.modules['logging']\n"
            "import velkora.gpu.accelplan as a\n"
            "print(a.calculate_safe_limit(1000, 0.2), hasattr(a, 'logger'))\n")
        self.assertEqual(result.stdout.splitlines(),
                         ["init velkora.gpu.accelplan", "False", "800 True"])

    # A body made to fail at its `import logging` after running `call` with
    # keywords from inside the import, in each module that imports logging.
    FAILED_BODY_CALLS = {
        "velkora.gpu.accelplan": ("is_chunkable_operation", "operation='zeros'", "True"),
        "velkora.plugins.analyzer.adaptlogic": (
            "detect_workload_characteristics_change",
            "pattern_history=[dict.fromkeys(('parallelization_potential', 'cpu_intensity', "
            "'memory_intensity'), 0.5)] * 6, change_threshold=0.3", "(False, 0.0, 0.0, 0.0)"),
    }
    FAIL_AT_LOGGING = (
        "import builtins\n"
        "original = builtins.__import__\n"
        "kept = []\n"
        "def spy(name, globals=None, locals=None, fromlist=(), level=0):\n"
        "    if name == 'logging' and globals and globals.get('__name__') == %(name)r:\n"
        "        kept.append(globals[%(func)r])\n"
        "        kept[0](%(kwargs)s)\n"
        "        raise ImportError('refused')\n"
        "    return original(name, globals, locals, fromlist, level)\n"
        "builtins.__import__ = spy\n"
        "try:\n"
        "    import %(name)s\n"
        "except ImportError as e:\n"
        "    print('failed:', e)\n"
        "builtins.__import__ = original\n")

    def test_failed_import_in_a_sub_interpreter_leaves_nothing_to_the_next(self):
        code = (
            "import sys, _xxsubinterpreters as si\n"
            "interp = si.create(isolated=True)\n"
            "si.run_string(interp, f'import sys; sys.path[:0] = {sys.path!r}\\n' + %(body)r)\n"
            "si.destroy(interp)\n"
            "import %(name)s as m\n"
            "print(m.%(func)s(%(kwargs)s), m.%(func)s(%(kwargs)s))\n")
        for name, (func, kwargs, result) in self.FAILED_BODY_CALLS.items():
            fields = {"name": name, "func": func, "kwargs": kwargs}
            with self.subTest(module=name):
                child = run_python(code % dict(fields, body=self.FAIL_AT_LOGGING % fields),
                                     env=self.OWN_ALLOCATOR)
                self.assertEqual(child.returncode, 0, child.stderr)
                self.assertEqual(child.stdout.splitlines(),
                                 ["failed: refused", f"{result} {result}"])

    def test_function_kept_from_a_failed_body_refuses_calls(self):
        code = (
            "def call(f):\n"
            "    try:\n"
            "        return f(%(kwargs)s)\n"
            "    except RuntimeError as e:\n"
            "        return e\n"
            "print(call(kept[0]))\n"
            "import %(name)s as m\n"
            "print(call(m.%(func)s), call(kept[0]), kept[0].__name__)\n")
        for name, (func, kwargs, result) in self.FAILED_BODY_CALLS.items():
            fields = {"name": name, "func": func, "kwargs": kwargs}
            refused = f"{func}() belongs to a failed import of its module and cannot be called"
            with self.subTest(module=name):
                out = run_python(self.FAIL_AT_LOGGING % fields + code % fields,
                                 env=self.OWN_ALLOCATOR)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual(out.stdout.splitlines(),
                                 ["failed: refused", refused, f"{result} {refused} {func}"])

    def test_module_namespace_after_import(self):
        self.assertIs(accelplan.__builtins__, __import__("builtins"))
        self.assertEqual(accelplan.__test__, {})
        self.assertNotIn("CHUNKABLE_OPERATIONS", vars(accelplan))
        self.assertIs(hostprobe.os, __import__("os"))

    @unittest.skipUnless(shutil.which("nm"), "needs nm")
    def test_each_library_exports_only_its_init_symbol(self):
        for module in (accelplan, adaptlogic, hostprobe):
            with self.subTest(module=module.__name__):
                out = subprocess.run(["nm", "-D", "--defined-only", module.__file__],
                                     capture_output=True, text=True, check=True).stdout
                symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
                short = module.__name__.rsplit(".", 1)[1]
                self.assertEqual(symbols, [f"PyInit_{short}"])


if __name__ == "__main__":
    unittest.main()
