"""Child processes for test_changing_input.py: one keeps rewriting the values
of a file of doubles in place, the other calls the module's functions on
those values meanwhile, through a shared mapping of the file.

    python live_input.py write PATH N
    python live_input.py call MODULE PATH N

The caller maps the file as a plain writeable array (memory shared with the
writer) and runs every case of cases() through MODULE (the path of an
extension module, or "quorlin._native"), then the cases of memmap_cases()
on a read-only np.memmap of the same file. It prints one line per case: "ok
CASE" when every call gave a result of the documented type or a ValueError,
else "bad CASE: ...". A crash ends the output early."""

import importlib
import importlib.util
import sys
import time

import numpy as np

# Long enough for sample entropy's grouped two-sample counting (2^17 templates).
N = 140_000


def patterns(n):
    """Values that break every order the kernels could build on the input:
    fresh noise, the same reversed, sorted runs, ties, NaN and infinities."""
    rng = np.random.default_rng(0)
    noise = rng.standard_normal(n)
    holes = noise.copy()
    holes[rng.integers(0, n, 12)] = np.nan
    holes[rng.integers(0, n, 4)] = np.inf
    return [noise, np.sort(noise), holes, noise[::-1].copy(), np.round(noise), -np.sort(noise),
            np.full(n, 0.5), rng.standard_normal(n) * 1e300]


def write(path, n):
    x = np.memmap(path, np.float64, mode="r+", shape=(n,))
    values = patterns(n)
    print("writing", flush=True)
    k = 0
    while True:
        np.copyto(x, values[k % len(values)])
        # Single samples too, so that the input also changes between the
        # reads of one pass.
        x[k % n] = np.nan
        k += 1


def trajectory(x, rows, d, strided=False):
    if strided:
        return x[: 2 * rows * d].reshape(rows, 2 * d)[:, ::2]
    return x[: rows * d].reshape(rows, d)


def cases(x):
    """(case name, function name, args, kwargs) reaching every path that the
    shipped module picks by size: trees, tiled divergence sums, ranked and
    swept pair counting, each pattern counter, both delay and dimension
    methods."""
    small = x[:2500]
    return [
        ("hurst rs", "hurst_exponent", (x[:40000],), {}),
        ("hurst dfa", "hurst_exponent", (x[:40000], "dfa"), {}),
        *[(f"permutation order {order}", "permutation_entropy", (x[:30000], order, delay), {})
          for order, delay in [(3, 1), (6, 2), (12, 1), (40, 3), (100, 3)]],
        ("sample entropy m=1", "sample_entropy", (x, 1, 0.3), {}),
        ("sample entropy m=2", "sample_entropy", (x, 2, 0.3), {}),
        ("sample entropy m=4", "sample_entropy", (x[:20000], 4), {}),
        ("sample entropy scan", "sample_entropy", (x[:300],), {}),
        ("rosenstein", "lyapunov_rosenstein", (small,), {}),
        ("rosenstein 40-d", "lyapunov_rosenstein", (x[:600], 40), {}),
        ("kantz", "lyapunov_kantz", (x[:1500],), {"epsilon": 0.3, "max_iter": 20}),
        ("kantz default radius", "lyapunov_kantz", (x[:1500],), {"max_iter": 20}),
        ("ftle local", "ftle_local_linearization", (trajectory(x, 1500, 3),), {}),
        ("ftle local strided", "ftle_local_linearization", (trajectory(x, 1500, 6, True),), {"epsilon": 1.0}),
        ("ftle direct", "ftle_direct_perturbation", (small,), {}),
        ("delay mutual information", "optimal_delay", (x[:20000],), {}),
        ("delay autocorrelation", "optimal_delay", (x[:20000], 200, "autocorr"), {}),
        ("embedding", "time_delay_embedding", (x[:5000], 4, 3), {}),
        ("dimension fnn", "optimal_dimension", (small,), {}),
        ("dimension cao", "optimal_dimension", (small, 2, 6, "cao"), {}),
        ("dimension cao delay 0", "optimal_dimension", (x[:600], 0, 5, "cao", 1e-6), {}),
    ]


def memmap_cases(x):
    return [
        ("memmap permutation", "permutation_entropy", (x, 100, 3), {}),
        ("memmap sample entropy", "sample_entropy", (x, 2, 0.3), {}),
        ("memmap ftle local", "ftle_local_linearization", (trajectory(x, 1500, 3),), {}),
    ]


def documented(name, result):
    """Whether a result has the documented type (arrays 1-D float64)."""

    def vector(v):
        return isinstance(v, np.ndarray) and v.dtype == np.float64 and v.ndim == 1

    if name in ("hurst_exponent", "permutation_entropy", "sample_entropy"):
        return isinstance(result, float)
    if name in ("optimal_delay", "optimal_dimension"):
        return isinstance(result, int)
    if name == "time_delay_embedding":
        return isinstance(result, np.ndarray) and result.dtype == np.float64 and result.ndim == 2
    if name == "lyapunov_rosenstein":
        return len(result) == 3 and isinstance(result[0], float) and all(map(vector, result[1:]))
    if name == "lyapunov_kantz":
        return len(result) == 2 and isinstance(result[0], float) and vector(result[1])
    return len(result) == 2 and all(map(vector, result))  # the two FTLE functions


def load(module):
    if module == "quorlin._native":
        return importlib.import_module(module)
    name = module.rsplit("/", 1)[-1].split(".")[0]
    spec = importlib.util.spec_from_file_location(f"quorlin.{name}", module)
    loaded = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(loaded)
    return loaded


def run(module, listed, seconds):
    for case, name, args, kwargs in listed:
        print("calling", case, flush=True)
        function = getattr(module, name)
        problem = None
        started = time.monotonic()
        while problem is None and time.monotonic() - started < seconds:
            try:
                result = function(*args, **kwargs)
            except ValueError:
                continue
            except BaseException as failure:  # noqa: BLE001 -- InternalFailure is one
                problem = f"{type(failure).__qualname__}: {failure}"
            else:
                if not documented(name, result):
                    problem = f"undocumented result {result!r:.200}"
        print(f"ok {case}" if problem is None else f"bad {case}: {problem}", flush=True)
        print(f"{case}: {time.monotonic() - started:.2f} s", file=sys.stderr, flush=True)


def call(module, path, n, seconds=0.1):
    module = load(module)
    shared = np.asarray(np.memmap(path, np.float64, mode="r+", shape=(n,)))
    run(module, cases(shared), seconds)
    run(module, memmap_cases(np.memmap(path, np.float64, mode="r", shape=(n,))), seconds)


if __name__ == "__main__":
    if sys.argv[1] == "write":
        write(sys.argv[2], int(sys.argv[3]))
    else:
        call(sys.argv[2], sys.argv[3], int(sys.argv[4]))
