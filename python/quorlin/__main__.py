"""``python -m quorlin``: a report on one time series (see quorlin.report)."""

import sys

from quorlin.report import main

if __name__ == "__main__":
    sys.exit(main())
