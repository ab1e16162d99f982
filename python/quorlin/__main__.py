"""``python -m quorlin``: a report on one time series (see quorlin.cli)."""

import sys

from quorlin.cli import main

if __name__ == "__main__":
    sys.exit(main())
