"""Epoch time of one training on 1 and on N forced CPU devices.

Each device count runs in a fresh process (``XLA_FLAGS=
--xla_force_host_platform_device_count=N`` set before JAX starts); the
training's epochs are timed one by one (each waited for), the first
(compiling) left out, and the median reported with the machine's load.

    nice -n 10 .venv/bin/python -P bench/devices.py [--devices 1 2] [--rows 4096]
        [--method MLP] [--batch 256] [--epochs 12]
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


def child(args) -> None:
    import contextlib
    import io

    import jax
    import numpy as np

    from quelmar.tools.ordane import compiled
    from quelmar.tools.ordane.main import train_model

    rng = np.random.default_rng(0)
    x = rng.uniform(size=(args.rows, args.inputs))
    y = np.sin(3 * x[:, :1]) + x[:, 1:2] * x[:, 2:3]
    work = Path(tempfile.mkdtemp())
    np.savetxt(work / "d.csv", np.hstack([x, y]), delimiter=",",
               header=",".join(f"c{i}" for i in range(args.inputs + 1)), comments="")
    times = []
    epoch = compiled.epoch

    def timed(*a, **k):
        start = time.perf_counter()
        out = jax.block_until_ready(epoch(*a, **k))
        times.append(time.perf_counter() - start)
        return out

    compiled.epoch = timed
    compiled.QUICK_WORK = 0   # the fully optimised epoch, as a long training runs it
    config = {
        "DATA_PARAM": {"data_filenames": [str(work / "d.csv")],
                       "input_col": list(range(args.inputs)), "output_col": [args.inputs]},
        "MODEL_PARAM": {"interp_method": args.method},
        "TRAIN_PARAM": {f"num_epochs_{k}": args.epochs for k in ("INN", "MLP", "KAN", "FNO")}
        | {"batch_size": args.batch, "validation_period": args.epochs, "bool_save_model": False},
        "PLOT": {"bool_plot": False},
        "OUTPUT": {k: str(work / k) for k in ("model_save_dir", "plots_dir", "logs_dir")},
    }
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            train_model(config=config, run_type="regression", gpu_idx=0)
        except ValueError as exc:  # the epochs ran; the figure is their time
            if "did not learn" not in str(exc):
                raise
    print(json.dumps({"device": config["OUTPUT"].get("device", jax.device_count()),
                      "first": times[0], "epoch": statistics.median(times[1:])}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--devices", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--rows", type=int, default=4096)
    parser.add_argument("--inputs", type=int, default=3)
    parser.add_argument("--method", default="MLP")
    parser.add_argument("--batch", type=int, default=256)
    parser.add_argument("--epochs", type=int, default=12)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args)
    print(f"{args.method}, {args.rows} rows x {args.inputs} inputs, batch {args.batch}, "
          f"{args.epochs} epochs; load average {os.getloadavg()[0]:.1f}")
    for n in args.devices:
        env = dict(os.environ, XLA_FLAGS=f"--xla_force_host_platform_device_count={n}",
                   QUELMAR_JAX_CACHE="0")
        out = subprocess.run([sys.executable, "-P", __file__, "--child", *sys.argv[1:]],
                             env=env, capture_output=True, text=True, check=True)
        r = json.loads(out.stdout.strip().splitlines()[-1])
        print(f"{n} device(s) ({r['device']}): epoch {r['epoch'] * 1e3:.1f} ms median, "
              f"first epoch (compiling) {r['first']:.2f} s")
    print(f"load average after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
