"""Benchmark of the training loop at 1,000,000 rows.

* Time per epoch of the pipeline (`linear`, 8 inputs) against a hand-written
  jitted loop that permutes the data once per epoch and scans contiguous
  mini-batches with the same model, loss and optimizer.  The two are measured
  in the same process in rotated rounds; reported: each side's median epoch
  time and the ratio pipeline / hand-written loop (min and median over the
  rounds).  Target: within 1.1x.
* Peak resident memory of a whole `linear` run with 32 inputs, measured in a
  fresh process (``ru_maxrss``).  Target: under 1.3 GB.

Run with `make bench-epochs`.  ROWS can be lowered with the environment
variable QUELMAR_BENCH_ROWS.
"""
import dataclasses
import io
import math
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd
import yaml

import quelmar.tools
from quelmar.tools.ordane import progress
from quelmar.tools.ordane.main import train_model

ROWS = int(os.environ.get("QUELMAR_BENCH_ROWS", 1_000_000))
BATCH = 256
EPOCHS = 3
ROUNDS = 3
LEARNING_RATE = 0.02
REF = yaml.safe_load((Path(quelmar.tools.__file__).parent / "config" / "config_ref.yaml")
                     .read_text(encoding="utf-8"))


def write_data(path, n_in, rows=ROWS, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 1, size=(rows, n_in)).astype(np.float32)
    y = np.sin(2 * x[:, 0]) + x[:, 1:].mean(axis=1)
    frame = pd.DataFrame(x, columns=[f"x{i}" for i in range(n_in)])
    frame["y"] = y
    frame.to_csv(path, index=False, float_format="%.5g")


def config_for(path, n_in, workdir, epochs=EPOCHS):
    config = {k: dict(v) for k, v in REF.items()}
    config["DATA_PARAM"].update(data_filenames=[str(path)], input_col=list(range(n_in)),
                                output_col=[n_in], split_ratio=[0.8, 0.1, 0.1])
    config["MODEL_PARAM"]["interp_method"] = "linear"
    config["TRAIN_PARAM"].update(num_epochs_INN=epochs, batch_size=BATCH, learning_rate=LEARNING_RATE, validation_period=10**6,
                                 bool_save_model=False, patience=10**6, stopping_loss_train=0.0)
    config["PLOT"]["bool_plot"] = False
    config["OUTPUT"] = {"model_save_dir": str(workdir), "plots_dir": str(workdir),
                        "logs_dir": str(workdir)}
    return config


def pipeline_epochs(path, n_in, workdir):
    """Epoch times of the pipeline (the first, compiling epoch dropped)."""
    stamps = [time.perf_counter()]
    progress.set_callback(lambda done, total: stamps.append(time.perf_counter()))
    saved, sys.stdout = sys.stdout, io.StringIO()
    try:
        train_model(config=config_for(path, n_in, workdir), run_type="regression", gpu_idx=0)
    finally:
        sys.stdout = saved
        progress.set_callback(None)
    return np.diff(stamps)[1:]


def hand_written_epochs(x, y, n_in):
    """A plain jitted loop: permute once per epoch, scan contiguous batches."""
    import jax
    import jax.numpy as jnp
    import optax

    from quelmar.tools.ordane.models import METHODS, ModelSpec, init_params, make_apply

    spec = ModelSpec(method="linear", n_in=n_in, n_out=1,
                     settings=dataclasses.asdict(METHODS["linear"].Settings()), grid_lo=[0.0] * n_in,
                     grid_hi=[1.0] * n_in, classify=False)
    apply = make_apply(spec)
    optimizer = optax.adam(LEARNING_RATE)
    n = x.shape[0]
    nb = n // BATCH

    @jax.jit
    def epoch(params, state, key, x, y):
        order = jax.random.permutation(key, n)[: nb * BATCH]
        xb, yb = x[order].reshape(nb, BATCH, -1), y[order].reshape(nb, BATCH, -1)

        def step(carry, b):
            params, state = carry
            loss, grads = jax.value_and_grad(lambda p: jnp.mean((apply(p, b[0]) - b[1]) ** 2))(params)
            updates, state = optimizer.update(grads, state, params)
            return (optax.apply_updates(params, updates), state), loss

        (params, state), losses = jax.lax.scan(step, (params, state), (xb, yb))
        return params, state, losses.mean()

    params = init_params(spec, jax.random.PRNGKey(0))
    state = optimizer.init(params)
    x, y = jnp.asarray(x), jnp.asarray(y)
    times = []
    for e in range(EPOCHS):
        start = time.perf_counter()
        params, state, loss = epoch(params, state, jax.random.PRNGKey(e), x, y)
        float(loss)
        times.append(time.perf_counter() - start)
    return np.asarray(times[1:])


def peak_memory(path, n_in):
    """Peak RSS (bytes) of a whole run in a fresh process."""
    code = (
        "import io, resource, sys, tempfile\n"
        "sys.path.insert(0, %r)\n"
        "from epochs import config_for\n"
        "from quelmar.tools.ordane.main import train_model\n"
        "sys.stdout = io.StringIO()\n"
        "with tempfile.TemporaryDirectory() as d:\n"
        "    train_model(config=config_for(%r, %d, d, epochs=2), run_type='regression', gpu_idx=0)\n"
        "sys.stdout = sys.__stdout__\n"
        "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)\n"
    ) % (str(Path(__file__).parent), str(path), n_in)
    out = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True)
    if out.returncode:
        raise RuntimeError(out.stderr[-2000:])
    return int(out.stdout.strip().splitlines()[-1])


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        n_in = 8
        path = tmp / "speed.csv"
        write_data(path, n_in)
        frame = pd.read_csv(path)
        n_train = int(round(ROWS * 0.8))
        order = np.random.default_rng(0).permutation(ROWS)[:n_train]
        x = ((frame.iloc[:, :n_in].to_numpy() - 0.0)).astype(np.float32)[order]
        y = frame.iloc[:, n_in:].to_numpy().astype(np.float32)[order]
        del frame
        print(f"time per epoch, linear, {n_in} inputs, {n_train} training rows, batch {BATCH}")
        ratios, ours, theirs = [], [], []
        for r in range(ROUNDS):
            sides = [("pipeline", lambda: pipeline_epochs(path, n_in, tmp)),
                     ("hand", lambda: hand_written_epochs(x, y, n_in))]
            if r % 2:
                sides.reverse()
            got = {name: float(np.median(fn())) for name, fn in sides}
            ours.append(got["pipeline"])
            theirs.append(got["hand"])
            ratios.append(got["pipeline"] / got["hand"])
            print(f"  round {r + 1}: pipeline {got['pipeline']:.3f} s, hand-written "
                  f"{got['hand']:.3f} s, ratio {ratios[-1]:.3f}", flush=True)
        print(f"  median: pipeline {statistics.median(ours):.3f} s, hand-written "
              f"{statistics.median(theirs):.3f} s; ratio min {min(ratios):.3f}, median "
              f"{statistics.median(ratios):.3f} (target <= 1.1)")
        del x, y
        path.unlink()
        mem_path = tmp / "memory.csv"
        write_data(mem_path, 32)
        peak = peak_memory(mem_path, 32)
        print(f"peak resident memory, linear, 32 inputs, {ROWS} rows: {peak / 1e9:.2f} GB "
              f"(target < 1.3 GB)")


if __name__ == "__main__":
    main()
