import importlib.util
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture(scope="session")
def search_variants():
    """The test-only twins of quorlin._native that always take one search
    path: (direct, fast). Built from this checkout on first use."""
    if not (ROOT / "CMakeLists.txt").exists() or shutil.which("cmake") is None:
        pytest.skip("needs the source checkout and cmake")
    build = ROOT / "build-variants"
    configure = [
        "cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
        "-DQUORLIN_BUILD_SEARCH_VARIANTS=ON", f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    for command in (configure, ["cmake", "--build", str(build), "--target", "_native_direct", "_native_fast"]):
        done = subprocess.run(command, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    modules = []
    for name in ("_native_direct", "_native_fast"):
        path = next(build.glob(f"{name}.*.so"))
        spec = importlib.util.spec_from_file_location(f"quorlin.{name}", path)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        modules.append(module)
    return tuple(modules)
