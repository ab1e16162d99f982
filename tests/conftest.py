import os

import pytest
from hypothesis import HealthCheck, settings

from variants import Unavailable, load_search_variants

# Property-based tests: a modest, reproducible run by default (CI), and a long
# exploratory one on request:  HYPOTHESIS_PROFILE=long python -m pytest tests/test_hostile_inputs.py
settings.register_profile(
    "ci",
    max_examples=100,
    derandomize=True,
    database=None,
    deadline=None,  # each call is timed by the tests themselves
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile(
    "long",
    max_examples=4000,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


@pytest.fixture(scope="session")
def search_variants():
    """(direct, fast): twins of quorlin._native that always take one search path."""
    try:
        return load_search_variants()
    except Unavailable as reason:
        pytest.skip(str(reason))
