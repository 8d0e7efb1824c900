"""The container limits read from cgroup files: the CPU quota, and the memory
limit the pool's pressure check uses, on made-up file trees."""
import os

import pytest

from velkora._cpuquota import _quota_under, cpu_quota, usable_workers
from velkora.pool._memory import memory_usage

V2 = {"/proc/self/cgroup": "0::/kube/pod/c1\n",
      "/proc/self/mountinfo": "30 25 0:26 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n"}
V1 = {"/proc/self/cgroup": "5:cpu,cpuacct:/docker/abc\n4:memory:/docker/abc\n0::/\n",
      "/proc/self/mountinfo":
          "32 31 0:29 /docker /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
          "35 31 0:32 /docker /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"}
MEMINFO = {"/proc/meminfo": "MemTotal:  8000000 kB\nMemAvailable:  6000000 kB\n"}


def tree(tmp_path, files):
    for path, text in files.items():
        target = tmp_path / path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(text)
    return str(tmp_path)


@pytest.mark.parametrize("files, quota", [
    ({}, None),
    ({**V2, "/sys/fs/cgroup/kube/pod/c1/cpu.max": "max 100000\n"}, None),
    # The tightest level wins, wherever it sits among the ancestors.
    ({**V2, "/sys/fs/cgroup/kube/pod/c1/cpu.max": "max 100000\n",
      "/sys/fs/cgroup/kube/pod/cpu.max": "150000 100000\n",
      "/sys/fs/cgroup/kube/cpu.max": "400000 100000\n"}, 1.5),
    # A namespaced container sees its own cgroup as the root.
    ({"/proc/self/cgroup": "0::/\n", "/sys/fs/cgroup/cpu.max": "50000 100000\n"}, 0.5),
    ({**V2, "/sys/fs/cgroup/kube/pod/c1/cpu.max": "0 100000\n"}, None),
    ({**V2, "/sys/fs/cgroup/kube/pod/c1/cpu.max": "lots\n"}, None),
    # v1: the mount's root (/docker) is stripped from the cgroup path.
    ({**V1, "/sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_quota_us": "250000\n",
      "/sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_period_us": "100000\n"}, 2.5),
    ({**V1, "/sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_quota_us": "-1\n",
      "/sys/fs/cgroup/cpu,cpuacct/abc/cpu.cfs_period_us": "100000\n"}, None),
])
def test_cpu_quota(tmp_path, files, quota):
    assert _quota_under(tree(tmp_path, files)) == quota


@pytest.mark.parametrize("files, usage", [
    ({}, None),
    (MEMINFO, (2048e6, 8192e6)),
    # A container limit below the host's memory is the reference; reclaimable
    # page cache does not count as used.
    ({**MEMINFO, **V2, "/sys/fs/cgroup/kube/pod/memory.max": "1000\n",
      "/sys/fs/cgroup/kube/pod/memory.current": "900\n",
      "/sys/fs/cgroup/kube/pod/memory.stat": "anon 600\ninactive_file 300\n"}, (600.0, 1000.0)),
    ({**MEMINFO, **V1, "/sys/fs/cgroup/memory/abc/memory.limit_in_bytes": "9223372036854771712\n",
      "/sys/fs/cgroup/memory/abc/memory.usage_in_bytes": "5\n"}, (2048e6, 8192e6)),
])
def test_memory_usage(tmp_path, files, usage):
    assert memory_usage(tree(tmp_path, files)) == usage


def test_this_host():
    quota = cpu_quota()
    assert quota is None or quota > 0
    assert 1 <= usable_workers(os.cpu_count() or 1) <= (os.cpu_count() or 1)
