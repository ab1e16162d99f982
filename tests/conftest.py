import pytest

from variants import Unavailable, load_search_variants


@pytest.fixture(scope="session")
def search_variants():
    """(direct, fast): twins of quorlin._native that always take one search path."""
    try:
        return load_search_variants()
    except Unavailable as reason:
        pytest.skip(str(reason))
