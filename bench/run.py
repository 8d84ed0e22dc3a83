"""Benchmarks: what each tool costs beyond the library calls it makes.

Each tool call is timed against the same library calls made directly from
Python; the difference is the tool's own cost (binding, lookups, traceback
entries, result building). Memory: the resident size must not grow over many
calls, failing ones included. Run with `make bench`.
"""
import gc
import io
import os
import resource
import statistics
import sys
import tempfile
import timeit
import tracemalloc
from pathlib import Path

import jax.numpy as jnp
import pandas as pd

import quelmar.tools.fitrun as fitrun
import quelmar.tools.plusor as plusor
import quelmar.tools.tabextent as tabextent


def per_call(fn, number, repeat=7):
    """Median seconds per call."""
    fn()  # warm-up (JAX compiles on first use)
    return statistics.median(t / number for t in timeit.repeat(fn, number=number, repeat=repeat))


def raising(fn, exc):
    def call():
        try:
            fn()
        except exc:
            pass
    return call


def direct_add(a, b):
    x = jnp.array(float(a), dtype=jnp.float32)
    y = jnp.array(float(b), dtype=jnp.float32)
    r = x + y
    if jnp.isnan(r).item() or jnp.isinf(r).item():
        raise ValueError
    return float(r)


def direct_extent(text):
    table = pd.read_csv(io.StringIO(text))
    rows, cols = table.shape
    return {"rows": rows, "columns": cols, "column_names": table.columns.tolist()}


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def row(name, tool, direct=None, unit=1e6, suffix="us"):
    extra = "" if direct is None else f"{direct * unit:12.1f} {suffix}{(tool - direct) * unit:+12.1f} {suffix}"
    print(f"  {name:<44}{tool * unit:12.1f} {suffix}{extra}")


def main():
    print(f"Python {sys.version.split()[0]}, {os.cpu_count()} cores\n")
    print(f"  {'call':<44}{'tool':>15}{'direct':>15}{'tool - direct':>16}")

    add = plusor.execute_plusor
    row("execute_plusor(10.5, 3.2)", per_call(lambda: add(10.5, 3.2), 2000), per_call(lambda: direct_add(10.5, 3.2), 2000))
    row("execute_plusor(a=10.5, b=3.2) by keyword", per_call(lambda: add(a=10.5, b=3.2), 2000))
    row("execute_plusor(3e38, 3e38) -> ValueError", per_call(raising(lambda: add(3e38, 3e38), ValueError), 2000),
        per_call(raising(lambda: direct_add(3e38, 3e38), ValueError), 2000))
    row("execute_plusor(1) -> binding TypeError", per_call(raising(lambda: add(1), TypeError), 20000))

    small = "a,b,c\n" + "".join(f"{i},{i * 2},{i * 3}\n" for i in range(100))
    large = "a,b,c\n" + "".join(f"{i},{i * 2},{i * 3}\n" for i in range(200_000))
    extent = tabextent.execute_tabextent
    row("execute_tabextent(csv_content=100 rows)", per_call(lambda: extent(csv_content=small), 200),
        per_call(lambda: direct_extent(small), 200))
    row("execute_tabextent(csv_content=200,000 rows)", per_call(lambda: extent(csv_content=large), 1, 5),
        per_call(lambda: direct_extent(large), 1, 5), unit=1e3, suffix="ms")
    row("execute_tabextent() -> ValueError", per_call(raising(extent, ValueError), 20000))

    for label, fn in (("tool", lambda: extent(csv_content=large)), ("direct", lambda: direct_extent(large))):
        gc.collect()
        tracemalloc.start()
        fn()
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        print(f"  peak traced memory, 200,000 rows, {label:<17}{peak / 2**20:12.1f} MiB")

    with tempfile.TemporaryDirectory() as tmp:
        tools = Path(tmp)
        (tools / "config").mkdir()
        (tools / "config" / "config_ref.yaml").write_text(
            (Path(fitrun.__spec__.origin).parent / "config" / "config_ref.yaml").read_text())
        fitrun.__file__ = str(tools / "fitrun.so")
        real_pipeline = fitrun.train_model
        fitrun.train_model = lambda **kw: None
        try:
            run = fitrun.execute_fitrun
            row("execute_fitrun() -> missing fields (reads YAML)", per_call(raising(run, ValueError), 200))
            row("execute_fitrun(nmode='x') -> TypeError", per_call(raising(lambda: run(nmode="x"), TypeError), 20000))
            row("execute_fitrun, no-op pipeline (dirs, log)",
                per_call(lambda: run(input_col=[0], output_col=[1], data_train="x.csv"), 100))
            print(f"  log files written: {len(list((tools / 'logs').iterdir()))}")
        finally:
            fitrun.train_model = real_pipeline

    print()
    gc.collect()
    before = rss_kib()
    for _ in range(100_000):
        add(1.5, 2.5)
        for call in (lambda: add(1), lambda: add("x", 1), lambda: add(float("nan"), 1), lambda: extent()):
            try:
                call()
            except (TypeError, ValueError):
                pass
    gc.collect()
    print(f"  resident size change over 500,000 calls (100,000 successful): {rss_kib() - before:+d} KiB")


if __name__ == "__main__":
    main()
