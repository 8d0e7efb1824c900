"""`velkora plan`, run as a user runs it."""
import json
import subprocess
import unittest

from support import PYTHON, run_python

import velkora
from velkora.native import hostprobe


def velkora_cli(*args):
    return subprocess.run([PYTHON, "-m", "velkora", *args], capture_output=True, text=True,
                          timeout=60)


class PlanCommandTest(unittest.TestCase):
    def test_json_in_any_position(self):
        rows = [
            ["plan", "1000000,1000", "--dtype", "f8", "--free", "2GB", "--used", "6e9",
             "--total", "8e9", "--json"],
            ["--json", "plan", "1000000,1000", "--dtype", "float64", "--free", "2_000_000_000",
             "--used", "6GB", "--total", "8e9"],
            ["plan", "--json", "1e6,1_000", "--dtype", "<f8", "--free=2e9", "--used=6e9",
             "--total=8e9"],
        ]
        for args in rows:
            with self.subTest(args=args):
                result = velkora_cli(*args)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(json.loads(result.stdout), velkora.plan(
                    (1000000, 1000), "f8", free=2e9, used=6e9, total=8e9).to_dict())

    def test_readable_output(self):
        rows = [
            (["1000000,1000", "--dtype", "float64", "--free", "2e9"],
             ["strategy         chunked: Chunking into 5 GPU passes",
              "chunks           4 x (225000, 1000), 1 x (100000, 1000)"]),
            (["7,3", "--dtype", "1", "--free", "5", "--headroom", "0"],
             ["GPU passes       7 (the allocation decision counts 5 by bytes alone)"]),
            (["100000,50000", "50000,100000", "--dtype", "f4", "--op", "matmul", "--free",
              "24GB"],
             ["operands         (100000, 50000) and (50000, 100000) of float32 (4 bytes each)",
              "chunks           6 x (29000, 50000), 2 x (13000, 50000)"]),
            (["100000,100000", "--dtype", "f4", "--op", "sum", "--axis", "1", "--free", "8GB"],
             ["working set      40,000,400,000 B (37.25 GiB): inputs 40,000,000,000 B "
              "(37.25 GiB), outputs 400,000 B (390.62 KiB)"]),
            (["60e9", "--dtype", "1", "--free", "80GB", "--used", "0", "--total", "80GB"],
             ["headroom         0.4 of the free memory (recommended for the pressure)"]),
            (["10", "--dtype", "f4", "--free", "1e9", "--op", "MATMUL"],
             ["warning          operation 'MATMUL' is not one the planner knows, so it counts as "
              "not chunkable; did you mean 'matmul'?"]),
        ]
        for args, lines in rows:
            with self.subTest(args=args):
                result = velkora_cli("plan", *args)
                self.assertEqual(result.returncode, 0, result.stderr)
                for line in lines:
                    self.assertIn(line, result.stdout.splitlines())

    def test_bad_input_is_one_line_and_status_2(self):
        rows = [
            (["10,x", "--dtype", "float32", "--free", "1"], "invalid shape '10,x': 'x' is not a"),
            (["-5,10", "--dtype", "float32", "--free", "1"], "dimension -5 is negative"),
            (["", "--dtype", "float32", "--free", "1"], "invalid shape"),
            (["10", "--dtype", "floaty", "--free", "1"], "unknown dtype 'floaty'"),
            (["10", "--dtype", "0", "--free", "1"],
             "--dtype '0': an element takes at least 1 byte"),
            (["10", "--dtype", "float32", "--free", "-1e9"], ": --free must not be negative"),
            (["10", "--dtype", "float32", "--free=-1"], ": --free must not be negative"),
            (["10", "--dtype", "float32", "--free", "1", "--used", "9e9", "--total", "8e9"],
             "--used (9,000,000,000 B) must not exceed --total (8,000,000,000 B)"),
            (["10", "--dtype", "float32", "--free", "1", "--used", "5"], "go together"),
            (["10", "--dtype", "float32", "--free", "1", "--headroom", "nan"], "--headroom"),
            (["10"], "required: --dtype"),
            (["10", "--dtype", "²", "--free", "1"], "unknown dtype '²'"),
            (["10", "--dtype", "f4", "--free", "①"], "--free: '①' is not a number"),
            (["10", "--dtype", "f4", "--free", "1", "--headroom", "²"], "--headroom: '²'"),
            (["10", "--dtype", "f4", "--free", "1", "--axis", "x"], "--axis: 'x'"),
            (["10", "--dtype", "f4", "--free", "1", "--device", "0"],
             "give --free or --device, not both"),
            (["10", "--dtype", "f4", "--free", "7e9", "--used", "6e9", "--total", "8e9"],
             "--free + --used (13,000,000,000 B) must not exceed --total"),
            (["3,4", "5,6", "--dtype", "f4", "--free", "1", "--op", "matmul"],
             "inner dimensions 4 and 5 differ"),
            (["10", "--dtype", "object", "--free", "1"], "cannot be planned for a GPU"),
        ]
        if not hostprobe.detect_gpu_backends()["has_gpu"]:
            rows.append((["10", "--dtype", "float32"], "no GPU detected: give --free"))
        for args, fragment in rows:
            with self.subTest(args=args):
                result = velkora_cli("plan", *args)
                self.assertEqual((result.returncode, result.stdout), (2, ""))
                lines = result.stderr.strip().splitlines()
                self.assertEqual(len(lines), 1, result.stderr)
                self.assertIn(fragment, lines[0])
                self.assertTrue(lines[0].startswith("python -m velkora plan: error: "), lines[0])
                self.assertLess(len(lines[0]), 160)

    def test_version_help_and_program_name(self):
        for args, out in [(["--version"], f"velkora {velkora.__version__}\n"),
                          (["--help"], "  python -m velkora plan 100000,1000 --dtype float32"),
                          (["plan", "--help"], "  python -m velkora plan 100000,1000 --dtype")]:
            with self.subTest(args=args):
                result = velkora_cli(*args)
                self.assertEqual(result.returncode, 0)
                self.assertIn(out, result.stdout)
        # As the console script: the `velkora` entry point calls main().
        result = run_python("import sys; from velkora.__main__ import main; "
                            "sys.exit(main(['plan', '10', '--dtype', 'f4', '--free', 'x']))")
        self.assertEqual(result.returncode, 2)
        self.assertTrue(result.stderr.startswith("velkora plan: error: --free: 'x'"),
                        result.stderr)


if __name__ == "__main__":
    unittest.main()
