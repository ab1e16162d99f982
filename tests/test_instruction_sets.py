"""The unit compiled for AVX-512 shares only baseline code with the rest.

An inline function that a unit does not fully inline is emitted there as a
weak copy, and the linker keeps one copy for every caller in the module. In
the unit whose kernels are compiled for AVX-512, such a copy must still be
the baseline's code, or a processor without AVX-512 could be handed it and
stop on an illegal instruction."""

import re
import shutil
import subprocess

import pytest

from variants import BUILD

UNIT = "wide_lane_kernels.cpp.o"
# Beyond the baseline: a VEX or EVEX instruction (its mnemonic starts with
# v), a ymm or zmm register, a mask register.
BEYOND_BASELINE = re.compile(r"^\s*[0-9a-f]+:\s+v[a-z0-9]+\b|%[yz]mm\d|%k[0-7]\b")


def _run(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def _functions(disassembly):
    """{name: body} of every function of a disassembly."""
    found, name = {}, None
    for line in disassembly.splitlines():
        header = re.match(r"[0-9a-f]+ <(.+)>:$", line)
        if header:
            name = header.group(1)
            found[name] = []
        elif name and line.strip():
            found[name].append(line)
    return found


def test_weak_functions_of_the_wide_unit_are_baseline_code(search_variants):
    archive = BUILD / "lib_native_kernels.a"
    if shutil.which("objdump") is None or shutil.which("nm") is None or not archive.exists():
        pytest.skip("needs binutils and the kernels of the test build")
    work = BUILD / "instruction-sets"
    work.mkdir(exist_ok=True)
    members = _run("ar", "t", str(archive)).split()
    if UNIT not in members:
        pytest.skip("this build has no AVX-512 unit")
    subprocess.run(["ar", "x", str(archive.resolve()), UNIT], cwd=work, check=True)
    unit = str(work / UNIT)

    weak = {line.split(" ", 2)[2] for line in _run("nm", unit).splitlines()
            if line.split(" ")[1:2] in (["W"], ["V"])}
    bodies = _functions(_run("objdump", "-d", "--no-show-raw-insn", unit))
    entry_points = [name for name in bodies if re.search(r"(ball_rows|fit_group)_8", name)]
    # The check sees the wide code where it is: in the entry points.
    assert entry_points and any(BEYOND_BASELINE.search(line)
                                for name in entry_points for line in bodies[name])
    shared = {name: lines for name, lines in bodies.items() if name in weak}
    offending = [name for name, lines in shared.items()
                 if any(BEYOND_BASELINE.search(line) for line in lines)]
    assert offending == []
