import numpy as np
import pytest

import quorlin


@pytest.mark.parametrize(
    "signal, dimension, delay, expected",
    [
        (np.arange(6.0), 3, 1, [[0, 1, 2], [1, 2, 3], [2, 3, 4], [3, 4, 5]]),
        (np.arange(10.0), 3, 2, [[0, 2, 4], [1, 3, 5], [2, 4, 6], [3, 5, 7], [4, 6, 8], [5, 7, 9]]),
        (np.arange(5.0), 3, 2, [[0, 2, 4]]),
        (np.arange(3.0), 1, 7, [[0], [1], [2]]),
        (np.arange(3.0), 2, 0, [[0, 0], [1, 1], [2, 2]]),
    ],
)
def test_embedding_rows(signal, dimension, delay, expected):
    result = quorlin.time_delay_embedding(signal, dimension, delay)
    np.testing.assert_array_equal(result, np.array(expected, dtype=float))
    assert result.flags.c_contiguous and result.flags.owndata
