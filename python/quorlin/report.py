"""One-page report on a scalar series: the command behind ``python -m quorlin``.

The report chains the library's functions the way an analysis usually does:
estimate the embedding delay and dimension, then compute the complexity
measures and the Lyapunov exponents with that embedding, judge each fit, and
optionally test the nonlinear statistics against surrogate data. It is also
usable from Python::

    from quorlin.report import analyse, format_report, load_series
    result = analyse(x, sampling_interval=0.01, surrogates=99)
    print(format_report(result))
    result.summary()        # the same numbers as a JSON-ready dict

This module gathers the report's public names; the work is done by the
modules it imports, each with one role: `quorlin.reading` (files),
`quorlin.analysis` and `quorlin.model` (the analysis and its data model),
`quorlin.surrogates`, `quorlin.costs` (expected run times),
`quorlin.output` (text and JSON), `quorlin.plotting` (figures) and
`quorlin.cli` (the command line).
"""

from quorlin.analysis import (
    Observer, analyse, autocorrelation_curve, example_series, mutual_information_curve,
)
from quorlin.cli import Progress, main
from quorlin.engine_rules import MIN_SAMPLES, rosenstein_embedding
from quorlin.model import Analysis, Divergence, Ftle
from quorlin.output import format_json, format_report, json_ready
from quorlin.reading import InputError, Series, load_series
from quorlin.settings import Settings

__all__ = [
    "Analysis", "Divergence", "Ftle", "InputError", "MIN_SAMPLES", "Observer", "Progress",
    "Series", "Settings", "analyse", "autocorrelation_curve", "example_series", "format_json",
    "format_report", "json_ready", "load_series", "main", "mutual_information_curve",
    "rosenstein_embedding",
]
