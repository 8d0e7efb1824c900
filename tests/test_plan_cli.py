"""`python -m velkora plan`, run as a user runs it."""
import json
import subprocess
import unittest

from support import PYTHON


def velkora(*args):
    return subprocess.run([PYTHON, "-m", "velkora", *args], capture_output=True, text=True,
                          timeout=60)


class PlanCommandTest(unittest.TestCase):
    def plan_json(self, *args):
        result = velkora("plan", *args, "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        return json.loads(result.stdout)

    def test_plans(self):
        rows = [
            # args, strategy, chunk groups, headroom
            (["100000,1000", "--dtype", "float32", "--free", "2000000000"],
             "gpu_direct", None, 0.4),
            (["1000000,1000", "--dtype", "float64", "--free", "2e9", "--used", "6e9",
              "--total", "8e9"], "gpu_chunked", [[10, [93750, 1000]], [1, [62500, 1000]]], 0.625),
            (["50000,50000", "--dtype", "float64", "--op", "matmul", "--free", "8e9"],
             "cpu_fallback", None, 0.4),
            (["10", "--dtype", "2", "--free", "0"], "cpu_fallback", None, 0.4),
            (["4000", "--dtype", "int8", "--free", "1000", "--headroom", "0.0"],
             "gpu_chunked", [[4, [1000]]], 0.0),
        ]
        for args, strategy, chunks, headroom in rows:
            with self.subTest(args=args):
                plan = self.plan_json(*args)
                self.assertEqual(plan["strategy"], strategy)
                self.assertEqual(plan["chunks"], chunks)
                self.assertEqual(plan["headroom"], headroom)

    def test_plan_figures_come_from_the_planner(self):
        plan = self.plan_json("100000,1000", "--dtype", "float32", "--free", "2000000000")
        self.assertEqual(plan["bytes_needed"], 400_000_000)
        self.assertEqual(plan["safe_limit"], 1_200_000_000)
        self.assertEqual(plan["message"], "Allocation fits in GPU memory")
        self.assertEqual(plan["gpu_suitability"], 0.375)

    def test_huge_first_axis_is_summarised_not_listed(self):
        plan = self.plan_json("2000000000,4096", "--dtype", "float64", "--free", "10000",
                              "--headroom", "0.0")
        self.assertEqual(plan["chunks"], [[2000000000, [1, 4096]]])

    def test_readable_output(self):
        result = velkora("plan", "1000000,1000", "--dtype", "float64", "--free", "2e9")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("gpu_chunked: Chunking into 7 GPU passes", result.stdout)
        self.assertIn("chunks", result.stdout)

    def test_bad_input_is_one_line_and_status_2(self):
        rows = [
            (["10,x", "--dtype", "float32", "--free", "1"], "invalid shape '10,x'"),
            (["10,-1", "--dtype", "float32", "--free", "1"], "invalid shape"),
            (["", "--dtype", "float32", "--free", "1"], "invalid shape"),
            (["10", "--dtype", "floaty", "--free", "1"], "unknown dtype 'floaty'"),
            (["10", "--dtype", "float32", "--free", "-5"], "must not be negative"),
            (["10", "--dtype", "float32", "--free", "1", "--used", "5"], "go together"),
            (["10", "--dtype", "float32", "--free", "1", "--headroom", "nan"], "--headroom"),
            (["10", "--dtype", "float32"], "no GPU detected: pass --free BYTES"),
            (["10"], "required: --dtype"),
        ]
        for args, fragment in rows:
            with self.subTest(args=args):
                result = velkora("plan", *args)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, "")
                lines = result.stderr.strip().splitlines()
                self.assertEqual(len(lines), 1, result.stderr)
                self.assertIn(fragment, lines[0])
                self.assertNotIn("Traceback", result.stderr)

    def test_help_has_examples(self):
        for args in (["--help"], ["plan", "--help"]):
            with self.subTest(args=args):
                result = velkora(*args)
                self.assertEqual(result.returncode, 0)
                self.assertIn("python -m velkora plan 100000,1000 --dtype float32", result.stdout)


if __name__ == "__main__":
    unittest.main()
