"""``python -m quorlin``: a report on one time series (see quorlin.cli);
``python -m quorlin batch …``: many series, one row each (see quorlin.batch_cli)."""

import sys

if __name__ == "__main__":
    if sys.argv[1:2] == ["batch"]:
        from quorlin.batch_cli import main as batch_main

        sys.exit(batch_main(sys.argv[2:]))
    from quorlin.cli import main

    sys.exit(main())
