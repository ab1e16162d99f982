"""An input that another process rewrites while a call reads it (shared
memory, a file mapped by np.memmap) may give any result, but never a crash,
a corrupted heap, an InternalFailure or a sanitizer report: every call
returns a result of the documented type or raises ValueError.

The calls run in a child process (live_input.py) so that a crash fails these
tests instead of ending the run; a second child keeps rewriting the values
meanwhile. The shipped module is called at sizes where it takes its fast
paths, the twin that always takes them at the same sizes."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import live_input

HELPER = str(Path(__file__).with_name("live_input.py"))
N = live_input.N
# Case names by function, and the memmap cases under "np.memmap".
CASES = {}
for case, name, _, _ in live_input.cases(np.zeros(N)):
    CASES.setdefault(name, []).append(case)
CASES["np.memmap"] = [case for case, *_ in live_input.memmap_cases(np.zeros(N))]


def call_beside_writer(module, folder):
    path = folder / "samples.f64"
    live_input.patterns(N)[0].tofile(path)
    writer = subprocess.Popen([sys.executable, HELPER, "write", str(path), str(N)],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert writer.stdout.readline() == "writing\n"
        return subprocess.run([sys.executable, HELPER, "call", module, str(path), str(N)],
                              capture_output=True, text=True, timeout=600)
    finally:
        writer.kill()
        writer.wait()


@pytest.fixture(scope="module")
def outcomes(request, tmp_path_factory):
    """The caller's run (a CompletedProcess) per module, made once."""
    runs = {}

    def outcome(module):
        if module not in runs:
            path = "quorlin._native"
            if module == "fast twin":
                path = request.getfixturevalue("search_variants")[1].__file__
            runs[module] = call_beside_writer(path, tmp_path_factory.mktemp("live"))
        return runs[module]

    return outcome


@pytest.mark.parametrize("module", ["shipped", "fast twin"])
@pytest.mark.parametrize("function", CASES)
def test_calls_survive_a_writer(outcomes, module, function):
    run = outcomes(module)
    lines = run.stdout.splitlines()
    missing = [case for case in CASES[function] if f"ok {case}" not in lines]
    last = [line for line in lines if line.startswith("calling")][-1:]
    assert not missing, (missing, [line for line in lines if line.startswith("bad")], last,
                         run.returncode, run.stderr[-3000:])
