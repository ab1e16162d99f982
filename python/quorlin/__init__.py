"""quorlin: fast, exact primitives for nonlinear time-series analysis.

The ten functions here are documented wrappers over the exact engine
``quorlin._native``: they accept any array-like of real numbers, check method
names, apply one rule for non-finite samples (``nan_policy``) and otherwise
return the engine's results bit for bit. Callers that need the engine's own
rules (no conversion, every method name accepted, each function's own NaN
handling) import ``quorlin._native`` directly.

Importing quorlin does not import NumPy; the first call does.
"""

from quorlin import _native
# The ten functions, listed once, in the engine's order, in functions.__all__.
from quorlin.functions import *  # noqa: F403
from quorlin.functions import __all__ as __all__

__version__ = "0.1.0"
