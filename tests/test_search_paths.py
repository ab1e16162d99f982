"""The fast exact neighbour searches answer exactly as the exhaustive scans."""

import numpy as np
import pytest


def same_bits(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same_bits(u, v) for u, v in zip(a, b))
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def test_variants_are_complete_twins(search_variants):
    import quorlin

    for module in search_variants:
        assert module.__all__ == quorlin.__all__


@pytest.mark.parametrize("seed", range(5))
def test_lorenz_like_noise_all_functions(search_variants, seed):
    direct, fast = search_variants
    x = np.cumsum(np.random.default_rng(seed).standard_normal(400))
    calls = [
        ("sample_entropy", (x,), {}),
        ("lyapunov_rosenstein", (x,), {}),
        ("lyapunov_kantz", (x,), {}),
        ("ftle_direct_perturbation", (x,), {}),
        ("ftle_local_linearization", (direct.time_delay_embedding(x, 3, 2),), {}),
        ("optimal_dimension", (x,), {}),
        ("optimal_dimension", (x,), {"method": "cao"}),
    ]
    for name, args, kwargs in calls:
        assert same_bits(getattr(direct, name)(*args, **kwargs), getattr(fast, name)(*args, **kwargs)), name
