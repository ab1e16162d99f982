"""Types: the stub of quorlin._native agrees with the compiled functions, the
top-level functions carry their own annotations, and mypy --strict accepts
typed use of both (the README's examples included) and rejects misuse."""

import ast
import importlib.util
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import quorlin
from declarations import declarations
from quorlin import _native, _parallel

HERE = Path(__file__).resolve().parent
PACKAGE = Path(quorlin.__file__).resolve().parent
STUB = PACKAGE / "_native.pyi"


def stub_functions(stub=STUB):
    tree = ast.parse(stub.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stub_ships_with_the_package():
    assert STUB.is_file() and (PACKAGE / "py.typed").is_file()
    # A stub without __all__ exports its public names: the functions, in order.
    assert list(stub_functions()) == _native.__all__


# The stubs' annotation of each kind of parameter the modules declare.
ANNOTATIONS = {
    "signal": "_Signal", "trajectory": "NDArray[np.float64]", "unsigned_integer": "_Integer",
    "optional_unsigned_integer": "Union[_Integer, None]", "real": "_Real",
    "optional_real": "Union[_Real, None]", "text": "str", "boolean": "Union[bool, np.bool_]",
}
THREADED_ANNOTATIONS = {"anchors": "_Anchors", "workers": "_Integer", "progress": "_Progress"}


@pytest.mark.parametrize("name", _native.__all__)
def test_stub_signature_matches_the_function(name):
    node = stub_functions()[name]
    declared = node.args.args
    defaults = [None] * (len(declared) - len(node.args.defaults)) + node.args.defaults
    runtime = inspect.signature(getattr(_native, name)).parameters.values()
    assert [(a.arg, None if d is None else ast.literal_eval(d)) for a, d in zip(declared, defaults)] == \
        [(p.name, None if p.default is inspect.Parameter.empty else p.default) for p in runtime]
    assert not (node.args.kwonlyargs or node.args.vararg or node.args.kwarg or node.args.posonlyargs)
    # The kinds, which the runtime signature does not show, against the declaration.
    assert [(a.arg, ast.unparse(a.annotation)) for a in declared] == \
        [(parameter, ANNOTATIONS[kind]) for parameter, kind, _ in declarations()[name]]


def test_threaded_stub_matches_the_functions():
    stub = PACKAGE / "_parallel.pyi"
    nodes = stub_functions(stub)
    assert list(nodes) == _parallel.__all__ == _native.__all__
    rows = declarations()
    for name, node in nodes.items():
        runtime = inspect.signature(getattr(_parallel, name)).parameters.values()
        assert [a.arg for a in node.args.posonlyargs] == [p.name for p in runtime], name
        assert not (node.args.args or node.args.kwonlyargs or node.args.defaults)
        assert all(p.kind is p.POSITIONAL_ONLY and p.default is p.empty for p in runtime)
        # The engine's parameters, then the threaded module's own.
        engine = [(parameter, ANNOTATIONS[kind]) for parameter, kind, _ in rows[name]]
        annotated = [(a.arg, ast.unparse(a.annotation)) for a in node.args.posonlyargs]
        assert annotated[:len(engine)] == engine, name
        assert all(THREADED_ANNOTATIONS.get(arg) == text for arg, text in annotated[len(engine):]), name


def test_typed_example_runs():
    done = subprocess.run([sys.executable, str(HERE / "typing_example.py")], capture_output=True,
                          text=True, timeout=120, env=child_env())
    assert done.returncode == 0, done.stderr


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE.parent), env.get("PYTHONPATH")]))
    return env


def mypy(tmp_path, *files):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    env = dict(os.environ)
    # An installed quorlin is found through its py.typed; a source tree or a
    # staged copy through MYPYPATH (which must not name site-packages).
    if PACKAGE.parent.name not in ("site-packages", "dist-packages"):
        env["MYPYPATH"] = str(PACKAGE.parent)
    command = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
               "--cache-dir", str(tmp_path / "mypy-cache"), *map(str, files)]
    return subprocess.run(command, capture_output=True, text=True, timeout=600, env=env, cwd=tmp_path)


def readme_examples(tmp_path):
    """The README's worked examples (one script, as they build on each other)
    and its process-pool recipe, as files."""
    readme = HERE.parent / "README.md"
    if not readme.is_file():
        return []
    text = readme.read_text()
    worked = text[text.index("## Worked examples"):text.index("## Many series at once")]
    pool = text[text.index("### Your own function on a process pool or Dask"):]
    scripts = {"readme_worked.py": re.findall(r"```python\n(.*?)```", worked, re.S),
               "readme_pool.py": re.findall(r"```python\n(.*?)```", pool, re.S)[:1]}
    paths = []
    for name, blocks in scripts.items():
        paths.append(tmp_path / name)
        paths[-1].write_text("\n".join(blocks))
    return paths


def test_mypy_strict_accepts_the_typed_example_and_the_readme(tmp_path):
    done = mypy(tmp_path, HERE / "typing_example.py", *readme_examples(tmp_path))
    assert done.returncode == 0, done.stdout + done.stderr


MISUSE = [
    # The engine takes float64 arrays only; the top-level functions take any array-like.
    ("_native.hurst_exponent([1.0, 2.0])", 'Argument 1 to "hurst_exponent" has incompatible type'),
    ("quorlin.hurst_exponent(x, nan_policy='ignore')", 'argument "nan_policy"'),
    ("quorlin.ftle_local_linearization(x, 10, 10, None, 'omit')", "Too many positional arguments"),
    ("quorlin.optimal_delay(x) + ''", 'Unsupported operand types for + ("int" and "str")'),
    ("quorlin.sample_entropy(x, m=2.5)", 'argument "m"'),
    ("quorlin.lyapunov_kantz(x, dim=3)", 'Unexpected keyword argument "dim"'),
    ("a, b, c = quorlin.lyapunov_kantz(x)", "values to unpack"),
    ("quorlin.permutation_entropy(x, normalize='yes')", 'argument "normalize"'),
    ("s: str = quorlin.time_delay_embedding(x)", "Incompatible types in assignment"),
    ("quorlin.hurst_exponent(x, workers='all')", 'argument "workers"'),
]


def test_mypy_strict_rejects_misuse(tmp_path):
    """Each misuse sits in its own function, so every line must draw its own error."""
    header = ["import numpy as np", "import quorlin", "from quorlin import _native", "x = np.zeros(10)"]
    lines = list(header)
    for i, (code, _) in enumerate(MISUSE):
        lines += [f"def case_{i}() -> None:", f"    {code}"]
    path = tmp_path / "misuse.py"
    path.write_text("\n".join(lines) + "\n")
    done = mypy(tmp_path, path)
    for i, (_, message) in enumerate(MISUSE):
        line = len(header) + 2 + 2 * i
        reported = [row for row in done.stdout.splitlines() if row.startswith(f"misuse.py:{line}:")]
        assert any(message.lower() in row.lower() for row in reported), (MISUSE[i], done.stdout)
