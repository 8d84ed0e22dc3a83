"""Time per epoch of the pipeline's FNO against a hand-written JAX FNO and against MLP.

The hand-written FNO has the same width (the pipeline's `fno.width`: 16
channels, 10 or fewer on grids of up to 8 points), modes, layers, lift (value and
grid position), GELU, heads, loss, Adam and mini-batch loop (one
permutation per epoch, a scan over contiguous batches), written directly
with ``jnp.fft.rfft``/``irfft`` and a complex ``einsum`` over the kept modes.
Cases:

* ``burgers``: 256-point grid, function to function, modes 16, 1,000 rows,
  batch 20 (the Burgers benchmark's shape; random data, the values do not
  change the time);
* ``grid<n>``: n = 2, 4, 8 columns, one output (pooled head), 2,000 rows,
  batch 32 (the reference batch), against the hand-written FNO and against
  the pipeline's MLP with its reference settings.

Each side's epochs are timed after a compiling epoch, in rotated rounds in
one process; reported: the medians and the ratios (min and median over the
rounds).  Targets: FNO within 1.2x of the hand-written FNO, and within 2x of
MLP on grids of up to 8 columns.

Run with ``.venv/bin/python -P bench/fno_peer.py`` (about half a minute).
"""
import io
import statistics
import sys
import tempfile
import time
from pathlib import Path

import jax
import jax.numpy as jnp
import numpy as np
import optax
import pandas as pd
import yaml

import quelmar.tools
from quelmar.tools.ordane import compiled, progress
from quelmar.tools.ordane.main import train_model
from quelmar.tools.ordane.models import ModelSpec, fno

LAYERS = 4
EPOCHS = 6
# The epoch timed is the one a training of full length runs.  A run of little
# work (rows x epochs up to `compiled.QUICK_WORK`, as these short runs are)
# compiles its epoch without backend optimisations: quicker to compile,
# slower to run.
compiled.QUICK_WORK = 0
ROUNDS = 3
LEARNING_RATE = 0.002
REF = yaml.safe_load((Path(quelmar.tools.__file__).parent / "config" / "config_ref.yaml")
                     .read_text(encoding="utf-8"))
CASES = {  # name: (grid points, outputs, modes, rows, batch)
    "burgers": (256, 256, 16, 1000, 20),
    "grid2": (2, 1, 8, 2000, 32),
    "grid4": (4, 1, 8, 2000, 32),
    "grid8": (8, 1, 8, 2000, 32),
}


def write_data(path, n, n_out, rows, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((rows, n)).cumsum(axis=1) / np.sqrt(n)
    y = np.sin(x) if n_out == n else np.sin(x).mean(axis=1, keepdims=True)
    columns = [f"a{j}" for j in range(n)] + [f"b{j}" for j in range(n_out)]
    pd.DataFrame(np.hstack([x, y]), columns=columns).to_csv(path, index=False,
                                                            float_format="%.6g")
    return x, y


def pipeline_epochs(path, method, case, workdir):
    """Epoch times of the pipeline (the first, compiling epoch dropped)."""
    n, n_out, modes, rows, batch = CASES[case]
    config = {k: dict(v) for k, v in REF.items()}
    config["DATA_PARAM"].update(data_filenames=[str(path)], input_col=list(range(n)),
                                output_col=list(range(n, n + n_out)), split_ratio=[1.0, 0, 0])
    config["MODEL_PARAM"].update(interp_method=method, modes=modes, num_layers=LAYERS)
    config["TRAIN_PARAM"].update(num_epochs_FNO=EPOCHS, num_epochs_MLP=EPOCHS, batch_size=batch,
                                 learning_rate=LEARNING_RATE, validation_period=10 ** 6,
                                 bool_save_model=False, patience=10 ** 6,
                                 stopping_loss_train=0.0)
    config["OUTPUT"] = {"model_save_dir": str(workdir), "plots_dir": str(workdir),
                        "logs_dir": str(workdir)}
    stamps = [time.perf_counter()]
    progress.set_callback(lambda done, total: stamps.append(time.perf_counter()))
    saved, sys.stdout = sys.stdout, io.StringIO()
    try:
        train_model(config=config, run_type="regression", gpu_idx=0)
    except ValueError:
        pass   # random data may "learn nothing" on validation; the epochs are timed
    finally:
        sys.stdout = saved
        progress.set_callback(None)
    return np.diff(stamps)[1:]


def hand_written_fno(n, n_out, modes):
    """init(key) and apply(params, x) of an FNO written with jnp.fft."""
    kmax = min(modes, n // 2 + 1)
    function_head = n_out == n
    WIDTH = fno.width(ModelSpec("FNO", n, n_out, {"modes": modes, "num_layers": LAYERS}))
    grid = jnp.arange(n, dtype=jnp.float32) / n

    def init(key):
        keys = jax.random.split(key, 8)
        glorot = jax.nn.initializers.glorot_uniform()
        scale = 1.0 / (WIDTH * WIDTH)
        params = {
            "lift_w": glorot(keys[0], (2, WIDTH)), "lift_b": jnp.zeros(WIDTH),
            "r_re": scale * jax.random.uniform(keys[1], (LAYERS, kmax, WIDTH, WIDTH)),
            "r_im": scale * jax.random.uniform(keys[2], (LAYERS, kmax, WIDTH, WIDTH)),
            "w": glorot(keys[3], (LAYERS, WIDTH, WIDTH)), "b": jnp.zeros((LAYERS, WIDTH)),
            "q1": glorot(keys[4], (WIDTH, WIDTH)), "q1b": jnp.zeros(WIDTH),
            "q2": glorot(keys[5], (WIDTH, 1 if function_head else n_out)),
            "q2b": jnp.zeros(1 if function_head else n_out),
        }
        if not function_head:
            params["pool"] = jnp.full((n, WIDTH), 1.0 / n)
        return params

    def apply(p, x):
        feats = jnp.stack([x, jnp.broadcast_to(grid, x.shape)], axis=-1)    # (B, n, 2)
        v = feats @ p["lift_w"] + p["lift_b"]                                # (B, n, C)
        for l in range(LAYERS):
            spectrum = jnp.fft.rfft(v, axis=1)[:, :kmax]                     # (B, k, C)
            weights = p["r_re"][l] + 1j * p["r_im"][l]
            mixed = jnp.einsum("bkc,kcd->bkd", spectrum, weights)
            v = jnp.fft.irfft(mixed, n=n, axis=1) + v @ p["w"][l] + p["b"][l]
            v = jax.nn.gelu(v) if l < LAYERS - 1 else v
        if not function_head:
            v = jnp.sum(v * p["pool"], axis=1)
        out = jax.nn.gelu(v @ p["q1"] + p["q1b"]) @ p["q2"] + p["q2b"]
        return out[..., 0] if function_head else out

    return init, apply


def hand_written_epochs(x, y, case):
    n, n_out, modes, rows, batch = CASES[case]
    init, apply = hand_written_fno(n, n_out, modes)
    optimizer = optax.adam(LEARNING_RATE)
    nb = rows // batch

    @jax.jit
    def epoch(params, state, key, x, y):
        order = jax.random.permutation(key, rows)[: nb * batch]
        xb, yb = x[order].reshape(nb, batch, -1), y[order].reshape(nb, batch, -1)

        def step(carry, b):
            params, state = carry
            loss, grads = jax.value_and_grad(
                lambda p: jnp.mean((apply(p, b[0]) - b[1]) ** 2))(params)
            updates, state = optimizer.update(grads, state, params)
            return (optax.apply_updates(params, updates), state), loss

        (params, state), losses = jax.lax.scan(step, (params, state), (xb, yb))
        return params, state, losses.mean()

    params = init(jax.random.PRNGKey(0))
    state = optimizer.init(params)
    x, y = jnp.asarray(x, jnp.float32), jnp.asarray(y, jnp.float32)
    times = []
    for e in range(EPOCHS):
        start = time.perf_counter()
        params, state, loss = epoch(params, state, jax.random.PRNGKey(e), x, y)
        float(loss)
        times.append(time.perf_counter() - start)
    return np.asarray(times[1:])


def main():
    cases = sys.argv[1:] or list(CASES)
    rows_out = []
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        for case in cases:
            n, n_out, modes, rows, batch = CASES[case]
            path = tmp / f"{case}.csv"
            x, y = write_data(path, n, n_out, rows)
            sides = {"FNO": lambda: pipeline_epochs(path, "FNO", case, tmp),
                     "hand": lambda: hand_written_epochs(x, y, case)}
            if n <= 8:
                sides["MLP"] = lambda: pipeline_epochs(path, "MLP", case, tmp)
            times = {k: [] for k in sides}
            names = list(sides)
            for r in range(ROUNDS):
                for name in names[r % len(names):] + names[:r % len(names)]:
                    times[name].append(float(np.median(sides[name]())))
            med = {k: statistics.median(v) for k, v in times.items()}
            hand = [f / h for f, h in zip(times["FNO"], times["hand"])]
            line = (f"| {case} | {med['FNO'] * 1e3:.1f} | {med['hand'] * 1e3:.1f} | "
                    f"{min(hand):.2f} / {statistics.median(hand):.2f} |")
            if "MLP" in times:
                mlp = [f / m for f, m in zip(times["FNO"], times["MLP"])]
                line += (f" {med['MLP'] * 1e3:.1f} | {min(mlp):.2f} / "
                         f"{statistics.median(mlp):.2f} |")
            else:
                line += " - | - |"
            rows_out.append(line)
            print(line, flush=True)
    print("\n| case | FNO epoch (ms) | hand-written (ms) | FNO / hand (min / median) "
          "| MLP epoch (ms) | FNO / MLP (min / median) |\n|---|---|---|---|---|---|")
    print("\n".join(rows_out))


if __name__ == "__main__":
    main()
