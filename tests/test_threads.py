"""Eight threads calling every function get the single-threaded results."""
import threading
import unittest

import velkora.native.hostprobe as hp

from catalog import CALLS
from support import SANITIZED

ROUNDS = 20 if SANITIZED else 200
VOLATILE = {"detected_at", "detection_time_ms"}


def outcome(func, args):
    try:
        return ("ok", func(*args))
    except Exception as e:  # the same exception, with the same message
        return (type(e).__name__, str(e))


def probe_outcome():
    return {k: v for k, v in hp.detect_capabilities().items() if k not in VOLATILE}


class ThreadTest(unittest.TestCase):
    def test_concurrent_results_match_single_threaded(self):
        jobs = [(func, args) for func, typical, failing in CALLS for args in typical + failing]
        expected = [outcome(f, a) for f, a in jobs]
        expected_probe = probe_outcome()
        mismatches = []
        barrier = threading.Barrier(8)

        def worker(offset):
            barrier.wait()
            for r in range(ROUNDS):
                for i in range(len(jobs)):
                    j = (i + offset + r) % len(jobs)
                    got = outcome(*jobs[j])
                    if got != expected[j]:
                        mismatches.append((jobs[j][0].__name__, got, expected[j]))
                if r % 50 == 0 and probe_outcome() != expected_probe:
                    mismatches.append(("detect_capabilities", None, None))

        threads = [threading.Thread(target=worker, args=(i * 7,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(mismatches[:5], [])


if __name__ == "__main__":
    unittest.main()
