"""Latency of a small training: each method on 60 rows x 3 inputs.

For each method and each of --repeats rounds, with a new, empty persistent
compilation cache:

  first    a fresh process's first training (empty cache)
  second   the identical training again in that process
  warm     a fresh process's first training, the cache filled by `first`

Reported: the median wall time of each case, the backend compiles
(`jax.monitoring`'s backend-compile events less persistent-cache hits) and
the time they took, and the machine's load average.

    .venv/bin/python -P bench/latency.py [--methods linear MLP] [--repeats 3]
    .venv/bin/python -P bench/latency.py --tools-dir /tmp/old/quelmar/tools

--tools-dir imports the training pipeline from another copy of
``quelmar/tools`` (to measure an earlier version against this one).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

EPOCHS = {"linear": 300, "gaussian": 300, "nonlinear": 300, "MLP": 20, "KAN": 20, "FNO": 20}
COMPILE = "/jax/core/compile/backend_compile_duration"
HIT = "/jax/compilation_cache/cache_hits"


def child(method: str, calls: int, tools_dir: str | None, workdir: str) -> None:
    """Run `calls` identical trainings; print one JSON line per call."""
    import contextlib
    import io

    import jax.monitoring as monitoring

    seen = {"compiles": 0, "seconds": 0.0, "hits": 0}

    def on_duration(event, duration, **_):
        if event == COMPILE:
            seen["compiles"] += 1
            seen["seconds"] += duration

    def on_event(event, **_):
        if event == HIT:
            seen["hits"] += 1

    monitoring.register_event_duration_secs_listener(on_duration)
    monitoring.register_event_listener(on_event)
    if tools_dir:
        import quelmar.tools

        quelmar.tools.__path__.insert(0, tools_dir)
    from quelmar.tools.ordane.data import generate_dataset
    from quelmar.tools.ordane.main import train_model

    data = Path(workdir) / "rows.csv"
    if not data.exists():
        generate_dataset(str(data), 60, [0, 1, 2], [3], "regression", 0)
    for _ in range(calls):
        seen.update(compiles=0, seconds=0.0, hits=0)
        config = {
            "DATA_PARAM": {"data_filenames": [str(data)], "input_col": [0, 1, 2],
                           "output_col": [3]},
            "MODEL_PARAM": {"interp_method": method},
            "TRAIN_PARAM": {f"num_epochs_{k}": EPOCHS[method]
                            for k in ("INN", "MLP", "KAN", "FNO")} | {"bool_save_model": False},
            "PLOT": {"bool_plot": False},
            "OUTPUT": {"model_save_dir": workdir, "plots_dir": workdir, "logs_dir": workdir},
        }
        start = time.perf_counter()
        note = ""
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                train_model(config=config, run_type="regression", gpu_idx=0)
        except ValueError as exc:  # a model that did not learn still timed the work
            note = str(exc).split(":")[0]
        print(json.dumps({"seconds": time.perf_counter() - start,
                          "compiles": seen["compiles"] - seen["hits"],
                          "compile_seconds": seen["seconds"], "hits": seen["hits"],
                          "note": note}), flush=True)


def spawn(method: str, calls: int, cache: str, workdir: str, tools_dir: str | None) -> list:
    env = dict(os.environ, QUELMAR_JAX_CACHE_DIR=cache, JAX_PLATFORMS="cpu")
    env.pop("QUELMAR_JAX_CACHE", None)
    cmd = [sys.executable, "-P", __file__, "--child", method, "--calls", str(calls),
           "--workdir", workdir] + (["--tools-dir", tools_dir] if tools_dir else [])
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True).stdout
    return [json.loads(line) for line in out.splitlines() if line.startswith("{")]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--methods", nargs="+", default=list(EPOCHS))
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--tools-dir")
    parser.add_argument("--child")
    parser.add_argument("--calls", type=int, default=1)
    parser.add_argument("--workdir")
    args = parser.parse_args()
    if args.child:
        child(args.child, args.calls, args.tools_dir, args.workdir)
        return
    print(f"load average before: {' '.join(f'{v:.2f}' for v in os.getloadavg())}; "
          f"{os.cpu_count()} CPUs")
    print("| method (epochs) | first call | compiles (time) | identical second call | "
          "compiles (time) | fresh process, warm cache | compiles (time) |")
    print("|---|---|---|---|---|---|---|")
    for method in args.methods:
        rounds = {"first": [], "second": [], "warm": []}
        notes = set()
        for _ in range(args.repeats):
            with tempfile.TemporaryDirectory() as tmp:
                cache = os.path.join(tmp, "cache")
                first, second = spawn(method, 2, cache, tmp, args.tools_dir)
                (warm,) = spawn(method, 1, cache, tmp, args.tools_dir)
            for name, r in (("first", first), ("second", second), ("warm", warm)):
                rounds[name].append(r)
                if r["note"]:
                    notes.add(r["note"])

        def cell(name):
            rs = rounds[name]
            return (f"{statistics.median(r['seconds'] for r in rs):.2f} s | "
                    f"{statistics.median(r['compiles'] for r in rs):g} "
                    f"({statistics.median(r['compile_seconds'] for r in rs):.2f} s)")

        print(f"| {method} ({EPOCHS[method]}) | {cell('first')} | {cell('second')} | "
              f"{cell('warm')} |" + (f" {'; '.join(sorted(notes))}" if notes else ""),
              flush=True)
    print(f"load average after: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()
