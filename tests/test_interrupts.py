"""Ctrl-C stops every long call: SIGINT during a call that would run for
minutes raises KeyboardInterrupt within moments, frees what the call held,
and leaves the process as it was (the next call gives the same bits as in a
fresh process, and repeated interruptions do not grow its memory).

Every long case runs in a child process of its own (interrupted_calls.py),
all at once; each is interrupted once after about a second and then a few
times more in quick succession. Some also run in quorlin._parallel with
threads, where the calling thread watches for signals while others compute."""

import os
import queue
import signal
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

import interrupted_calls
from quorlin import _native

CHILD = str(Path(__file__).with_name("interrupted_calls.py"))
# ASan and TSan both keep freed memory and slow every call down.
UNDER_SANITIZER = any(name in os.environ.get("LD_PRELOAD", "") for name in ("libasan", "libtsan"))
ROUNDS = 5
# Generous for a loaded machine: the calls check for signals every few
# milliseconds of their work.
LATENCY_BOUND = 5.0


# Long cases that also run with threads, and how many.
THREADED = ["kantz, defaults", "local-linearization FTLE, large embedding", "cao, tiny threshold",
            "sample entropy, pair scan"]
WORKERS = 3


def interrupt(case, workers=0):
    """Runs one case in a child, interrupting each of its rounds; returns
    (latencies, resident bytes after each round, small digest, its output)."""
    errors = tempfile.TemporaryFile("w+")
    child = subprocess.Popen([sys.executable, CHILD, case, str(ROUNDS), str(workers)],
                             stdout=subprocess.PIPE, stderr=errors, text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in child.stdout], daemon=True).start()
    seen = []

    def next_line(timeout):
        try:
            seen.append(lines.get(timeout=timeout))
        except queue.Empty:
            seen.append("(nothing)\n")
        return seen[-1].split()

    latencies, resident = [], []
    try:
        for k in range(ROUNDS):
            if next_line(120) != ["ready", str(k)]:
                break
            time.sleep(1.0 if k == 0 else 0.2)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            words = next_line(LATENCY_BOUND)
            if words[:2] != ["interrupted", str(k)]:
                break
            latencies.append(float(words[2]) - sent)
            resident.append(int(words[3]))
        words = next_line(120) if len(latencies) == ROUNDS else []
    finally:
        child.kill()
        child.wait()
    errors.seek(0)
    small = words[1] if words[:1] == ["small"] else None
    return latencies, resident, small, "".join(seen) + errors.read()[-3000:]


RUNS = [(case, 0) for case in interrupted_calls.CASES] + [(case, WORKERS) for case in THREADED]


@pytest.fixture(scope="module")
def interrupted():
    with ThreadPoolExecutor(max_workers=len(RUNS)) as pool:
        return dict(zip(RUNS, pool.map(lambda run: interrupt(*run), RUNS)))


@pytest.mark.parametrize("case, workers", RUNS,
                         ids=[case + (f", {workers} workers" if workers else "") for case, workers in RUNS])
def test_sigint_stops_a_long_call(interrupted, case, workers):
    latencies, resident, small, output = interrupted[case, workers]
    assert len(latencies) == ROUNDS, output
    assert max(latencies) < LATENCY_BOUND, (latencies, output)
    # The process is as before: a small call gives the bits it gives here.
    assert small == interrupted_calls.digest(interrupted_calls.small_call(case)), output
    if not UNDER_SANITIZER:  # its allocator keeps freed memory on purpose
        assert resident[-1] - resident[1] < 4 << 20, resident


# ---------------------------------------------------------------------------
# In this process: what a signal handler does is what the call does.


def test_a_handler_that_returns_lets_the_call_finish_unchanged():
    """A handler that runs (every millisecond) and returns: the call goes on,
    and its result has the bits of an undisturbed call."""
    x = interrupted_calls.walk(3000)
    expected = interrupted_calls.digest(_native.lyapunov_kantz(x, max_iter=200))
    runs = []
    previous = signal.signal(signal.SIGALRM, lambda *_: runs.append(1))
    signal.setitimer(signal.ITIMER_REAL, 1e-3, 1e-3)
    try:
        result = _native.lyapunov_kantz(x, max_iter=200)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert len(runs) >= 5  # the handler did run during the call
    assert interrupted_calls.digest(result) == expected


def test_the_handlers_own_exception_ends_the_call():
    def give_up(*_):
        raise TimeoutError("enough")

    previous = signal.signal(signal.SIGALRM, give_up)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
    started = time.monotonic()
    try:
        with pytest.raises(TimeoutError, match="enough"):
            _native.sample_entropy(interrupted_calls.walk(500_000), 12)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert time.monotonic() - started < 0.3 + LATENCY_BOUND
