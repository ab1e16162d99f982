"""quorlin: fast, exact primitives for nonlinear time-series analysis.

The functions live in the compiled module ``quorlin._native`` and are
re-exported here. Importing quorlin does not import NumPy; the first call
that needs NumPy does.
"""

from quorlin import _native
from quorlin._native import *  # noqa: F401,F403

__version__ = "0.1.0"

__all__ = list(_native.__all__)
