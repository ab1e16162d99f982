"""Builds and loads the test-only twins of quorlin._native that always take
one neighbour-search path (the exhaustive scan, or the fast exact search).

Used by the tests (the `search_variants` fixture) and by the benchmarks."""

import importlib.machinery
import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
NAMES = ("_native_direct", "_native_fast")
CHECK = "search_check"
# A build directory given by the caller (.ci/compiler builds the twins with
# the compiler under test), else one per interpreter ABI shared by the tests
# and the benchmarks, so that runs under several Pythons never mix modules.
BUILD = Path(os.environ.get("QUORLIN_VARIANTS_BUILD")
             or ROOT / "build-variants" / (sysconfig.get_config_var("SOABI") or "default"))


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


def build_search_check(build=BUILD):
    """Path of the native program that checks the searches directly."""
    _build([CHECK], build)
    return Path(build) / CHECK


def build_libm_check(build=BUILD):
    """Path of the native program that compares log, log2 and pow as the
    module links them (old glibc symbol versions) with the current ones."""
    _build(["libm_check"], build)
    return Path(build) / "libm_check"


def build_counting_check(build=BUILD):
    """Path of the native program that checks sample entropy's counting
    paths against the pair scan and records which path ran."""
    _build(["counting_check"], build)
    return Path(build) / "counting_check"


def load_search_variants(build=BUILD):
    """Returns the modules (direct, fast), building them from this checkout."""
    _build(NAMES, build)
    modules = []
    for name in NAMES:
        path = Path(build) / (name + importlib.machinery.EXTENSION_SUFFIXES[0])
        spec = importlib.util.spec_from_file_location(f"quorlin.{name}", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        modules.append(module)
    return tuple(modules)
