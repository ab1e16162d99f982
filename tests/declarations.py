"""The compiled functions' parameters as declared, once, in the rows of
src/boundary/functions.hpp: for the tests that check another face (the stubs)
or draw arguments by kind (the hostile inputs) against that declaration
instead of restating it."""

import ast
import re
from pathlib import Path

ROWS = Path(__file__).resolve().parents[1] / "src" / "boundary" / "functions.hpp"

_TABLE = re.compile(
    r"Parameter parameters\[\] = \{(?P<rows>.*?)\};\s*"
    r"static constexpr ParameterTable table\{\"(?P<function>\w+)\", parameters\};",
    re.S,
)
_ROW = re.compile(r'\{"(?P<name>\w+)", Kind::(?P<kind>\w+)(?:, "(?P<default>(?:[^"\\]|\\.)*)")?\}')


def declarations():
    """{function: [(parameter, kind, default)]} in registration order; the
    default is the Python value of the text the signature shows, or
    REQUIRED."""
    found = {}
    for table in _TABLE.finditer(ROWS.read_text()):
        rows = []
        for row in _ROW.finditer(table["rows"]):
            text = row["default"]
            default = REQUIRED if text is None else ast.literal_eval(text.replace('\\"', '"'))
            rows.append((row["name"], row["kind"], default))
        found[table["function"]] = rows
    return found


class _Required:
    def __repr__(self):
        return "REQUIRED"


REQUIRED = _Required()
