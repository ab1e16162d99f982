"""How many processor cores this process can use: the meaning of
``workers=-1``.

A process may run on fewer cores than the machine has: its CPU affinity
(``taskset``, a batch scheduler's allocation) names the cores it may run on,
and the control group of a container may cap its processor time with a quota
(``docker run --cpus 2``, a Kubernetes CPU limit). Threads beyond what the
quota pays for only wait for it: the usable count is the smaller of the two.
"""

from __future__ import annotations

import math
import os
from pathlib import Path
from typing import Callable, Iterator, List, Optional, Tuple

__all__ = ["usable_cores", "cgroup_cpu_limit"]

# Reads the CPU quota of one control group directory: cores, or None.
_Reader = Callable[[Path], Optional[float]]


def usable_cores() -> int:
    """The cores this process can use: those of its CPU affinity, no more than
    its control group's CPU quota allows (rounded up), and at least 1."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):  # no affinity on this platform
        cores = os.cpu_count() or 1
    limit = cgroup_cpu_limit()
    if limit is not None:
        cores = min(cores, math.ceil(limit))
    return max(cores, 1)


def cgroup_cpu_limit(proc_cgroup: str = "/proc/self/cgroup",
                     mount: str = "/sys/fs/cgroup") -> Optional[float]:
    """The CPU time, in cores, that this process's control group and every
    group above it allow (the smallest of their quotas), or None when none
    sets one. Reads cgroup v2's ``cpu.max`` ("max 100000" or "QUOTA PERIOD"),
    else cgroup v1's ``cpu.cfs_quota_us`` over ``cpu.cfs_period_us`` (a quota
    of -1 is none). Levels that are not visible (another mount namespace) are
    skipped."""
    try:
        lines = Path(proc_cgroup).read_text().splitlines()
    except OSError:
        return None
    limits = [limit for directory, reader in _cpu_groups(lines, Path(mount))
              for limit in [reader(directory)] if limit is not None]
    return min(limits) if limits else None


def _cpu_groups(lines: List[str], mount: Path) -> Iterator[Tuple[Path, _Reader]]:
    """The directories of the process's group and of the groups above it, each
    with the reader of its quota files."""
    for line in lines:
        # hierarchy-id:controllers:path
        parts = line.split(":", 2)
        if len(parts) != 3:
            continue
        hierarchy, controllers, path = parts
        if "cpu" in controllers.split(","):
            # cgroup v1: the cpu controller, mounted under its own name or
            # together with cpuacct.
            roots = [mount / controllers, mount / "cpu", mount / "cpu,cpuacct"]
            reader: _Reader = _v1_limit
        elif hierarchy == "0" and controllers == "":
            roots = [mount]
            reader = _v2_limit
        else:
            continue
        for root in dict.fromkeys(roots):
            if root.is_dir():
                for directory in _up_from(root, path):
                    yield directory, reader
                break


def _up_from(root: Path, path: str) -> Iterator[Path]:
    parts = [part for part in path.split("/") if part and part not in (".", "..")]
    for depth in range(len(parts), -1, -1):
        yield root.joinpath(*parts[:depth])


def _read_words(path: Path) -> List[str]:
    try:
        return path.read_text().split()
    except (OSError, UnicodeDecodeError):
        return []


def _v2_limit(directory: Path) -> Optional[float]:
    words = _read_words(directory / "cpu.max")
    if len(words) != 2 or words[0] == "max":
        return None
    return _ratio(words[0], words[1])


def _v1_limit(directory: Path) -> Optional[float]:
    quota = _read_words(directory / "cpu.cfs_quota_us")
    period = _read_words(directory / "cpu.cfs_period_us")
    if len(quota) != 1 or len(period) != 1:
        return None
    return _ratio(quota[0], period[0])


def _ratio(quota: str, period: str) -> Optional[float]:
    try:
        q, p = int(quota), int(period)
    except ValueError:
        return None
    return q / p if q > 0 and p > 0 else None

