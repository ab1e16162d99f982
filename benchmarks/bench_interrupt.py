"""How promptly the long calls notice a signal: the interval between their
signal checks, and the latency from SIGINT to KeyboardInterrupt.

Run by hand from the repository root after building the extension in-tree:

    PYTHONPATH=python python benchmarks/bench_interrupt.py [--seconds S] [--interrupts K]

The cases are the long calls of tests/interrupted_calls.py, each of which
would run for well over 30 s. For each case, in a child process of its own:

* check interval: an interval timer delivers SIGALRM every 100 us; the
  Python handler only runs when the call checks for signals, so the gaps
  between its runs are the intervals between checks (as long as the timer is
  faster than the checks). They are measured in processor time of the
  calling thread, the work done between checks, which a busy machine does
  not stretch. The handler returns normally, so the call goes on, until
  after S seconds it raises and ends the call. Reported: the number of
  checks seen, the median and the largest gap.
* latency: K times, SIGINT from this process at a random moment 0.3 to 1 s
  into the call, and the time until the child has caught KeyboardInterrupt
  (both stamps from the system-wide monotonic clock). Reported: the median
  and the largest.

Latencies are wall-clock times: on a shared machine they include time the
child waited for a processor. One case runs at a time.
"""

import argparse
import random
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

import interrupted_calls  # noqa: E402

CHILD = str(ROOT / "tests" / "interrupted_calls.py")

INTERVAL_CHILD = r"""
import signal, sys, time
sys.path.insert(0, {tests!r})
import interrupted_calls
from quorlin import _native

name, long_arguments, _ = interrupted_calls.CASES[{case!r}]
arguments = long_arguments()
runs = []
deadline = time.monotonic() + {seconds!r}

def handler(signum, frame):
    now = time.monotonic()
    runs.append(time.thread_time())
    if now > deadline:
        signal.setitimer(signal.ITIMER_REAL, 0)
        raise TimeoutError

signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 1e-4, 1e-4)
try:
    getattr(_native, name)(*arguments)
except TimeoutError:
    pass
gaps = [b - a for a, b in zip(runs[1:], runs[2:])]
print(len(gaps), *sorted(gaps)[len(gaps) // 2 : len(gaps) // 2 + 1], max(gaps))
"""


def check_interval(case, seconds):
    code = INTERVAL_CHILD.format(tests=str(ROOT / "tests"), case=case, seconds=seconds)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    if done.returncode != 0:
        return None
    count, median, largest = done.stdout.split()
    return int(count), float(median), float(largest)


def latencies(case, interrupts):
    child = subprocess.Popen([sys.executable, CHILD, case, str(interrupts)],
                             stdout=subprocess.PIPE, text=True)
    found = []
    for k in range(interrupts):
        assert child.stdout.readline() == f"ready {k}\n"
        time.sleep(random.uniform(0.3, 1.0))
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        words = child.stdout.readline().split()
        assert words[:2] == ["interrupted", str(k)], words
        found.append(float(words[2]) - sent)
    child.stdout.readline()
    child.wait()
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--interrupts", type=int, default=10)
    options = parser.parse_args()
    print(f"{'case':<45}{'checks':>8}{'median gap':>12}{'max gap':>10}"
          f"{'median latency':>16}{'max latency':>13}")
    for case in interrupted_calls.CASES:
        interval = check_interval(case, options.seconds)
        found = latencies(case, options.interrupts)
        checks = "failed" if interval is None else f"{interval[0]:>8}{interval[1] * 1e3:>10.2f}ms{interval[2] * 1e3:>8.1f}ms"
        print(f"{case:<45}{checks}{np.median(found) * 1e3:>14.1f}ms{max(found) * 1e3:>11.1f}ms",
              flush=True)


if __name__ == "__main__":
    main()
