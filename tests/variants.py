"""Builds and loads the test-only twins of quorlin._native that always take
one neighbour-search path (the exhaustive scan, or the fast exact search).

Used by the tests (the `search_variants` fixture) and by the benchmarks."""

import importlib.util
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
NAMES = ("_native_direct", "_native_fast")
CHECK = "search_check"


class Unavailable(RuntimeError):
    pass


def _build(targets, build):
    if not (ROOT / "CMakeLists.txt").exists() or shutil.which("cmake") is None:
        raise Unavailable("needs the source checkout and cmake")
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
        "-DQUORLIN_BUILD_SEARCH_VARIANTS=ON", f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    for command in (configure, ["cmake", "--build", str(build), "--target", *targets]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(done.stdout + done.stderr)


def build_search_check(build=ROOT / "build-variants"):
    """Path of the native program that checks the searches directly."""
    _build([CHECK], build)
    return Path(build) / CHECK


def build_counting_check(build=ROOT / "build-variants"):
    """Path of the native program that checks sample entropy's counting
    paths against the pair scan and records which path ran."""
    _build(["counting_check"], build)
    return Path(build) / "counting_check"


def load_search_variants(build=ROOT / "build-variants"):
    """Returns the modules (direct, fast), building them from this checkout."""
    _build(NAMES, build)
    modules = []
    for name in NAMES:
        path = next(Path(build).glob(f"{name}.*.so"))
        spec = importlib.util.spec_from_file_location(f"quorlin.{name}", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        modules.append(module)
    return tuple(modules)
