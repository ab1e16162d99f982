"""The package as users get it: installed metadata, functions that travel to
worker processes, and the README's recipe for many series."""

import os
import pickle
import platform
import re
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import quorlin
from quorlin import _native, _parallel
from variants import Unavailable, build_libm_check

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = Path(quorlin.__file__).resolve().parent


def installed_distribution():
    """The installed distribution that quorlin was imported from, or a skip
    (a source tree or a staged copy on PYTHONPATH carries no metadata)."""
    try:
        dist = metadata.distribution("quorlin")
    except metadata.PackageNotFoundError:
        pytest.skip("quorlin is not installed")
    init = Path(dist.locate_file("quorlin/__init__.py")).resolve()
    if init != PACKAGE / "__init__.py":
        pytest.skip("quorlin is imported from a source tree, not from the installed distribution")
    return dist


def test_installed_metadata():
    dist = installed_distribution()
    meta = dist.metadata
    assert dist.version == quorlin.__version__
    assert "MIT" in (meta.get("License-Expression") or meta.get("License") or "")
    classifiers = meta.get_all("Classifier")
    for expected in ("License :: OSI Approved :: MIT License", "Typing :: Typed",
                     "Intended Audience :: Science/Research", "Programming Language :: Python :: 3"):
        assert expected in classifiers
    requirements = [r for r in dist.requires if "extra ==" not in r]
    assert any(re.fullmatch(r"numpy\s*>=\s*1\.23", r) for r in requirements), requirements
    extras = meta.get_all("Provides-Extra")
    assert {"plot", "test", "dev"} <= set(extras)
    shipped = {str(f) for f in dist.files}
    assert {"quorlin/py.typed", "quorlin/_native.pyi", "quorlin/_parallel.pyi",
            "quorlin/report.py"} <= shipped


@pytest.mark.parametrize("module", [quorlin, _native, _parallel], ids=["quorlin", "_native", "_parallel"])
@pytest.mark.parametrize("name", _native.__all__)
def test_functions_pickle_by_reference(module, name):
    function = getattr(module, name)
    payload = pickle.dumps(function)
    assert pickle.loads(payload) is function
    assert module.__name__.encode() in payload and name.encode() in payload and len(payload) < 100


def readme_block(heading):
    """The first python code block after a heading of the README."""
    text = (ROOT / "README.md").read_text()
    start = text.index(heading)
    return re.search(r"```python\n(.*?)```", text[start:], re.S).group(1)


def test_readme_process_pool_recipe_runs(tmp_path):
    if not (ROOT / "README.md").is_file():
        pytest.skip("needs the source checkout")
    script = tmp_path / "many_series.py"
    script.write_text(readme_block("### Your own function on a process pool or Dask"))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE.parent), env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300,
                          env=env, cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("16 series; first: {'delay': ")



@pytest.mark.skipif(platform.libc_ver()[0] != "glibc" or platform.machine() not in ("x86_64", "aarch64"),
                    reason="log, log2 and pow are bound to old symbol versions only on glibc")
def test_old_libm_symbol_versions_give_the_current_bits():
    """The module calls log, log2 and pow through glibc's oldest symbol
    versions so that it loads on older systems; where glibc also has the
    current versions (2.29 and later), they must answer bit for bit alike."""
    try:
        program = build_libm_check()
    except Unavailable as reason:
        pytest.skip(str(reason))
    done = subprocess.run([str(program), "3", "300000"], capture_output=True, text=True, timeout=300)
    if done.returncode == 3:
        pytest.skip(done.stdout.strip())
    assert done.returncode == 0, done.stdout + done.stderr
