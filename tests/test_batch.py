"""Many series at once: the same table from every executor, error rows,
interrupted and resumed runs, Ctrl-C on the command line."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from quorlin import batch_cli
from quorlin.batch import TIMING_PREFIXES, BatchInterrupted, batch, read_table, write_table
from quorlin.output import json_ready
from quorlin.reading import InputError, load_columns, load_series

PACKAGE_PARENT = Path(__import__("quorlin").__file__).parent.parent


def logistic(n, r, x=0.3):
    out = np.empty(n)
    for i in range(n):
        x = r * x * (1 - x)
        out[i] = x
    return out


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    """A dozen series in mixed files, one of them corrupt, one too short."""
    d = tmp_path_factory.mktemp("data")
    rng = np.random.default_rng(1)
    for i in range(4):
        np.savetxt(d / f"s{i}.csv", logistic(400, 3.8 + 0.05 * i), header="value", comments="")
    np.savetxt(d / "s4.txt", rng.standard_normal(300))
    np.save(d / "s5.npy", np.sin(np.arange(350) * 0.2) + 0.1 * rng.standard_normal(350))
    np.save(d / "pair.npy", np.column_stack([rng.standard_normal(300),
                                             np.cumsum(rng.standard_normal(300))]))
    with open(d / "table.csv", "w") as f:          # a label column; a missing cell
        f.write("label,a,b\n")
        for k in range(300):
            b = "" if k == 7 else repr(rng.standard_normal())
            f.write(f"{'xy'[k % 2]},{float(np.sin(k * 0.3) + 0.1 * rng.standard_normal())!r},{b}\n")
    (d / "bad.csv").write_text("value\n1\n2\noops\n")
    (d / "short.csv").write_text("x\n1\n2\n3\n")
    return d


def comparable(rows):
    """Rows without their timing columns, as text that compares NaN equal."""
    return [json.dumps(json_ready({k: v for k, v in row.items()
                                   if not k.startswith(TIMING_PREFIXES)}), sort_keys=True)
            for row in rows]


def written(rows, path):
    """The rows as a table of that type holds them (CSV cells are text)."""
    write_table(rows, str(path))
    return read_table(str(path))


def test_every_executor_gives_the_same_table_in_input_order(folder, tmp_path):
    inline = batch(str(folder / "*"), executor="inline")
    sources = [row["source"] for row in inline]
    assert sources == sorted(sources)
    assert len(inline) == 12
    assert [row["column"] for row in inline if row["source"].endswith(("pair.npy", "table.csv"))] \
        == ["column 0", "column 1", "a", "b"]
    errors = {Path(row["source"]).name: row["error"] for row in inline if row["error"]}
    assert errors == {
        "bad.csv": f"{folder / 'bad.csv'} has no numeric column: column 'value' holds 'oops' on line 4",
        "short.csv": f"too few samples in {folder / 'short.csv'}, x: 3 usable (finite) samples, "
                     "the report needs at least 50"}
    good = [row for row in inline if not row["error"]]
    assert all(row["platform.machine"] and row["quorlin_version"] for row in good)
    assert all(np.isfinite(row["hurst.dfa"]) and row["length"] >= 300 for row in good)

    # The command line on a process pool, as a user runs it.
    out = tmp_path / "pool.csv"
    assert batch_cli.main([str(folder / "*"), "--jobs", "2", "--out", str(out)]) == 0
    expected = comparable(written(inline, tmp_path / "inline.csv"))
    assert comparable(read_table(str(out))) == expected

    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        on_cluster = batch(str(folder / "*"), client=client)
    assert comparable(on_cluster) == comparable(inline)


def test_load_columns_gives_what_load_series_gives(folder, tmp_path):
    # The whole-file .npy read splits the columns itself: Fortran order and
    # a narrower dtype must give the same bits as the strided one-column read.
    np.save(tmp_path / "fortran.npy", np.asfortranarray(np.arange(60, dtype=">f4").reshape(20, 3)))
    for name, columns in (("table.csv", ["a", "b"]), ("pair.npy", ["0", "1"]), ("s0.csv", [None]),
                          ("s5.npy", [None]), (tmp_path / "fortran.npy", ["0", "1", "2"])):
        found = load_columns(str(folder / name))
        assert len(found) == len(columns)
        for series, column in zip(found, columns):
            single = load_series(str(folder / name), column)
            assert series.description == single.description
            np.testing.assert_array_equal(series.values, single.values)
    timed = tmp_path / "timed.csv"
    timed.write_text("day,x,y\n" + "".join(f"2020-01-{d:02d},{d % 3},{d % 5}\n" for d in range(1, 29)))
    x, y = load_columns(str(timed), time_column="day")
    assert (x.column, y.column, x.sampling_interval, x.time_unit) == ("x", "y", 1.0, "day")


@pytest.mark.parametrize("suffix", ["csv", "jsonl", "parquet", "killed"])
def test_an_interrupted_run_resumed_gives_the_whole_table(folder, tmp_path, suffix):
    if suffix == "parquet":
        pytest.importorskip("pyarrow")
    out = tmp_path / f"rows.{'jsonl' if suffix == 'killed' else suffix}"
    inputs = sorted(str(p) for p in folder.iterdir())
    full = batch(inputs, executor="inline")
    seen = []

    def stop_after_three(row):
        seen.append(row)
        if len(seen) == 3:
            raise KeyboardInterrupt

    with pytest.raises(BatchInterrupted) as interrupted:
        batch(inputs, out=str(out), executor="inline", on_row=stop_after_three)
    assert (interrupted.value.done, interrupted.value.total) == (2, 10)     # bad.csv, pair.npy (two rows)
    assert len(read_table(str(out))) == 3 and not os.path.exists(f"{out}.partial.jsonl")
    if suffix == "killed":
        # A run killed outright leaves only its journal, its last line cut short.
        os.rename(out, f"{out}.partial.jsonl")
        with open(f"{out}.partial.jsonl", "a") as f:
            f.write('{"source": "cut sh')
    with pytest.raises(InputError, match="delay"):
        batch(inputs, out=str(out), resume=True, delay=3)
    again = []
    batch(inputs, out=str(out), executor="inline", resume=True, on_row=again.append)
    assert len(again) == 12 - 2          # pair.npy kept; the error row of bad.csv tried again
    (tmp_path / "reference").mkdir()
    assert comparable(read_table(str(out))) == comparable(written(full, tmp_path / "reference" / out.name))


def default_sigint():
    # A shell without job control starts background commands with Ctrl-C
    # ignored, and an ignored signal stays ignored across exec: Python then
    # never installs its KeyboardInterrupt handler. The run under test gets
    # the terminal's default whatever started this suite.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def test_ctrl_c_keeps_the_finished_rows(tmp_path):
    # Enough series that the run cannot finish between the first journal line
    # and the signal, even on a loaded machine that stalls this poller.
    series = 60
    for i in range(series):
        np.save(tmp_path / f"walk{i}.npy", np.cumsum(np.random.default_rng(i).standard_normal(3000)))
    out = tmp_path / "out.csv"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(PACKAGE_PARENT),
                                                                    os.environ.get("PYTHONPATH")])))
    run = subprocess.Popen([sys.executable, "-m", "quorlin", "batch", str(tmp_path / "*.npy"),
                            "--jobs", "2", "--out", str(out)], stderr=subprocess.PIPE, text=True,
                           env=env, start_new_session=True, preexec_fn=default_sigint)
    journal = Path(f"{out}.partial.jsonl")
    deadline = time.monotonic() + 120
    while not (journal.exists() and journal.read_text().count("\n") >= 1):
        assert run.poll() is None and time.monotonic() < deadline, run.stderr.read()
        time.sleep(0.05)
    os.killpg(run.pid, signal.SIGINT)          # as a terminal does: parent and workers alike
    stderr = run.communicate(timeout=60)[1]
    assert run.returncode == 130, stderr
    lines = stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("quorlin: interrupted; "), stderr
    done = int(lines[0].split("; ")[1].split()[0])
    assert 1 <= done < series and len(read_table(str(out))) == done and not journal.exists()


def test_dask_and_pyarrow_stay_optional():
    code = ("import sys, quorlin, quorlin.batch, quorlin.batch_cli; "
            "print(sorted({m.split('.')[0] for m in sys.modules} & {'dask', 'distributed', 'pyarrow'}))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(PACKAGE_PARENT),
                                                                    os.environ.get("PYTHONPATH")])))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=60)
    assert done.stdout.strip() == "[]", done.stderr


def test_a_fifo_that_a_pattern_matches_is_not_read(tmp_path):
    os.mkfifo(tmp_path / "live.csv")      # opening it would wait for a writer forever
    np.savetxt(tmp_path / "two.csv", np.column_stack([np.arange(60.0), np.sin(np.arange(60.0))]))
    fifo, two = batch(str(tmp_path / "*.csv"), executor="inline", column="1", skip="ftle")
    assert fifo["error"].endswith("is a FIFO: name it on its own to read it")
    assert (two["error"], two["column"], two["length"]) == (None, "column 1", 60)


def test_the_batch_command_takes_the_reports_analysis_options(tmp_path):
    # One definition of the options serves both commands; the rows must
    # record every setting, the newer ones (anchor budget, surrogates) too.
    from quorlin import cli
    from quorlin.cli import settings_from

    options = ["--skip", "kantz,ftle-local", "--ftle-anchors", "7", "--surrogates", "3",
               "--surrogate-method", "phase", "--seed", "5", "--alpha", "0.2", "--max-samples", "0"]
    settings = settings_from(cli.build_parser().parse_args(options))
    assert settings_from(batch_cli.build_parser().parse_args(["x.csv", *options])) == settings
    np.save(tmp_path / "x.npy", logistic(300, 3.9))
    out = tmp_path / "rows.jsonl"
    assert batch_cli.main([str(tmp_path / "x.npy"), "--jobs", "1", "--out", str(out), *options]) == 0
    (row,) = read_table(str(out))
    assert row["error"] is None
    assert {k: row[f"settings.{k}"] for k in ("ftle_anchors", "surrogates", "surrogate_method",
                                              "seed", "alpha", "max_samples", "skip")} == {
        "ftle_anchors": 7, "surrogates": 3, "surrogate_method": "phase", "seed": 5, "alpha": 0.2,
        "max_samples": 0, "skip": ["kantz", "ftle-local"]}
