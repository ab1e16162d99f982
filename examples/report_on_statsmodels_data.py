"""Runs ``python -m quorlin`` on the real series statsmodels ships offline, the
way a new user would: each written to a CSV file, read back with its time
column, tested against IAAFT surrogates, and drawn.

    python examples/report_on_statsmodels_data.py [OUTPUT_DIRECTORY] [--surrogates N]

Needs statsmodels (and matplotlib for the figures). The series:

- sunspots: yearly sunspot numbers 1700-2008 (309 samples), known to reject
  a linear Gaussian null (the cycles rise faster than they fall);
- nile: yearly Nile flow at Aswan 1871-1970 (100 samples): too short for a
  Lyapunov exponent to mean anything;
- co2: weekly Mauna Loa CO2 1958-2001 (2284 samples, some missing): a trend
  with a yearly cycle;
- elnino: monthly sea surface temperatures 1950-2010 as a wide table (one
  column per month); the January column (61 samples) is analysed, and the
  table is first read without a column to show the message a user gets.

Prints each report (the notes say what not to trust) and writes the JSON
reports and figures into OUTPUT_DIRECTORY (default ./statsmodels-reports).
"""

import argparse
import contextlib
import io
import os
import sys

import statsmodels.api as sm

from quorlin.cli import main


def write_tables(directory):
    """(name, csv path, options) of each series."""
    data = sm.datasets
    tables = []
    sunspots = data.sunspots.load_pandas().data
    path = os.path.join(directory, "sunspots.csv")
    sunspots.to_csv(path, index=False)
    tables.append(("sunspots", path, ["--column", "SUNACTIVITY", "--time-column", "YEAR",
                                      "--time-unit", "year"]))
    nile = data.nile.load_pandas().data
    path = os.path.join(directory, "nile.csv")
    nile.to_csv(path, index=False)
    tables.append(("nile", path, ["--column", "volume", "--time-column", "year",
                                  "--time-unit", "year"]))
    co2 = data.co2.load_pandas().data
    path = os.path.join(directory, "co2.csv")
    co2.rename_axis("date").reset_index().assign(
        date=lambda t: t["date"].dt.strftime("%Y-%m-%d")).to_csv(path, index=False)
    tables.append(("co2", path, ["--column", "co2", "--time-column", "date"]))
    elnino = data.elnino.load_pandas().data
    path = os.path.join(directory, "elnino.csv")
    elnino.to_csv(path, index=False)
    tables.append(("elnino-january", path, ["--column", "JAN", "--time-column", "YEAR",
                                            "--time-unit", "year"]))
    return tables


def run(arguments):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main([str(a) for a in arguments], stdout=out, stderr=err)
    return status, out.getvalue(), err.getvalue()


def main_script(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("directory", nargs="?", default="statsmodels-reports")
    parser.add_argument("--surrogates", type=int, default=99)
    args = parser.parse_args(argv)
    os.makedirs(args.directory, exist_ok=True)
    tables = write_tables(args.directory)
    status, _, err = run([tables[-1][1], "--quiet"])
    print(f"# elnino.csv without --column: exit status {status}\n{err}")
    for name, path, options in tables:
        common = [path, *options, "--surrogates", args.surrogates, "--quiet"]
        status, text, err = run(common + ["--plot", os.path.join(args.directory, f"{name}.png")])
        print(f"# {name}: exit status {status}\n{text}{err}")
        status, report, err = run(common + ["--json"])
        with open(os.path.join(args.directory, f"{name}.json"), "w", encoding="utf-8") as f:
            f.write(report)
    return 0


if __name__ == "__main__":
    sys.exit(main_script())
