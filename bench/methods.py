"""Benchmark of the training methods against scikit-learn on the same splits.

Every method of the pipeline (`quelmar.tools.ordane`) and scikit-learn's
MLPRegressor/MLPClassifier and HistGradientBoostingRegressor/Classifier are
trained on the same 70/15/15 splits of: scikit-learn's bundled data sets
(diabetes; breast_cancer, iris, wine, digits), Friedman #1 (2,000 rows), two
smooth functions (2 and 3 inputs) and a heat-equation operator (32 inputs ->
32 outputs, see `heat`; scikit-learn's models are not run on it).
Reported: test RMSE (regression, data units; for several outputs the
smallest R^2 over the outputs) or accuracy (classification), fit time, and
time per epoch.  The pipeline runs
with the reference configuration; scikit-learn's MLP gets the same hidden
layers, batch size, learning rate and epoch budget as the pipeline's MLP.

Time per epoch is then compared in rotated rounds on the 3-input smooth
function: each method's median epoch time over the rounds as a ratio to
linear's and to MLP's (min and median over the rounds).

scikit-learn is installed into the running environment when missing (it is a
benchmark-only package).  Run with `make bench-methods`; options
``--sets a,b`` and ``--methods m,n`` restrict the quality table to those data
sets and methods (``sklearn`` among the methods: scikit-learn's models) and
skip the epoch rounds and targets, as does ``--quality-only``.  ``--seeds
0,1,2`` trains each of the pipeline's methods once per `random_seed` and
reports the mean score (the split stays the same): single runs of the
smaller sets vary with the seed by more than the differences between two
versions of a method.
"""
import argparse
import copy
import io
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import yaml

import quelmar.tools
from quelmar.tools.ordane import progress
from quelmar.tools.ordane.main import train_model
from quelmar.tools.ordane.settings import SUPPORTED_METHODS

try:
    import sklearn  # noqa: F401
except ImportError:
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "scikit-learn"], check=True)
from sklearn import datasets  # noqa: E402
from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor  # noqa: E402
from sklearn.exceptions import ConvergenceWarning  # noqa: E402
from sklearn.neural_network import MLPClassifier, MLPRegressor  # noqa: E402

REF = yaml.safe_load((Path(quelmar.tools.__file__).parent / "config" / "config_ref.yaml")
                     .read_text(encoding="utf-8"))
CP_METHODS = ("linear", "nonlinear", "gaussian")
SEED = 0


def smooth2(n, rng):
    x = rng.uniform(-1, 1, size=(n, 2))
    return x, np.exp(-(x[:, 0] ** 2 + x[:, 1] ** 2)) + 0.5 * np.sin(3 * x[:, 0])


def smooth3(n, rng):
    x = rng.uniform(0, 1, size=(n, 3))
    return x, np.sin(2 * x[:, 0]) + x[:, 1] ** 2 + np.exp(-x[:, 2])


def heat(n, rng, points=32, diffusivity_time=0.002):
    """The heat equation u_t = kappa u_xx on the periodic interval (0, 1): the
    map from u(., 0) to u(., t) on `points` grid points, kappa t =
    `diffusivity_time`, solved exactly in Fourier space.  Initial conditions
    are Gaussian random fields with spectrum (1 + (2 pi k / 10)^2)^-2."""
    k = np.fft.rfftfreq(points, d=1.0 / points)
    amplitude = (1.0 + (2 * np.pi * k / 10.0) ** 2) ** -1.0
    coef = (rng.standard_normal((n, k.size)) + 1j * rng.standard_normal((n, k.size))) * amplitude
    coef[:, 0] = coef[:, 0].real
    u0 = np.fft.irfft(coef, n=points, axis=1) * points / 4
    decay = np.exp(-diffusivity_time * (2 * np.pi * k) ** 2)
    return u0, np.fft.irfft(coef * decay, n=points, axis=1) * points / 4


def data_sets():
    """name -> (x, y, run_type); y of shape (N,) or (N, outputs)."""
    rng = np.random.default_rng(SEED)
    out = {}
    d = datasets.load_diabetes()
    out["diabetes"] = (d.data, d.target, "regression")
    x, y = datasets.make_friedman1(n_samples=2000, noise=1.0, random_state=SEED)
    out["friedman1"] = (x, y, "regression")
    out["smooth2"] = (*smooth2(2000, rng), "regression")
    out["smooth3"] = (*smooth3(5000, rng), "regression")
    for name in ("breast_cancer", "iris", "wine", "digits"):
        d = getattr(datasets, f"load_{name}")()
        out[name] = (d.data, d.target, "classification")
    out["heat"] = (*heat(1000, rng), "regression")
    return out


def split(x, y, seed=SEED):
    order = np.random.default_rng(seed).permutation(len(x))
    n_train, n_val = int(0.7 * len(x)), int(0.15 * len(x))
    parts = np.split(order, [n_train, n_train + n_val])
    return [(x[p], y[p]) for p in parts]


def write_csvs(directory, parts):
    Path(directory).mkdir(exist_ok=True)
    paths = []
    for name, (x, y) in zip(("train", "val", "test"), parts):
        frame = pd.DataFrame(x, columns=[f"x{i}" for i in range(x.shape[1])])
        if y.ndim == 1:
            frame["y"] = y
        else:
            for j in range(y.shape[1]):
                frame[f"y{j}"] = y[:, j]
        path = Path(directory) / f"{name}.csv"
        frame.to_csv(path, index=False)
        paths.append(str(path))
    return paths


def score(run_type, truth, pred):
    if run_type == "regression" and truth.ndim == 2:
        r2 = 1 - ((pred - truth) ** 2).sum(axis=0) / ((truth - truth.mean(axis=0)) ** 2).sum(axis=0)
        return float(r2.min())
    if run_type == "regression":
        return float(np.sqrt(np.mean((np.ravel(pred) - truth) ** 2)))
    return float(np.mean(np.ravel(pred) == truth))


def ordane_run(method, files, n_in, run_type, workdir, epochs=None, n_out=1, seed=None):
    """(test score, fit seconds, median seconds per epoch)."""
    config = copy.deepcopy(REF)
    if seed is not None:
        config["TRAIN_PARAM"]["random_seed"] = seed
    config["DATA_PARAM"].update(data_filenames=files, input_col=list(range(n_in)),
                                output_col=list(range(n_in, n_in + n_out)))
    config["MODEL_PARAM"]["interp_method"] = method
    config["TRAIN_PARAM"]["bool_save_model"] = False
    if epochs is not None:
        for key in list(config["TRAIN_PARAM"]):
            if key.startswith("num_epochs_"):
                config["TRAIN_PARAM"][key] = epochs
        config["TRAIN_PARAM"]["validation_period"] = epochs
    config["OUTPUT"] = {k: str(Path(workdir) / k) for k in
                        ("model_save_dir", "plots_dir", "logs_dir")}
    stamps = []
    progress.set_callback(lambda done, total: stamps.append(time.perf_counter()))
    saved, sys.stdout = sys.stdout, io.StringIO()
    try:
        start = time.perf_counter()
        result = train_model(config=config, run_type=run_type, gpu_idx=0)
        seconds = time.perf_counter() - start
    finally:
        sys.stdout = saved
        progress.set_callback(None)
    # The first epoch includes compiling; later intervals include the checks.
    per_epoch = float(np.median(np.diff(stamps[1:]))) if len(stamps) > 2 else float("nan")
    test = pd.read_csv(files[2]).to_numpy()
    pred = result.model.predict(test[:, :n_in])
    truth = test[:, n_in] if n_out == 1 else test[:, n_in:]
    return score(run_type, truth, pred), seconds, per_epoch


def sklearn_runs(parts, run_type):
    """{name: (test score, fit seconds, seconds per epoch or None)}."""
    (xt, yt), _, (xs, ys) = parts
    lo, span = xt.min(axis=0), np.ptp(xt, axis=0)
    span = np.where(span > 0, span, 1.0)
    xt, xs = (xt - lo) / span, (xs - lo) / span
    train = REF["TRAIN_PARAM"]
    mlp_args = dict(hidden_layer_sizes=(REF["MODEL_PARAM"]["nneurons"],)
                    * REF["MODEL_PARAM"]["nlayers"], activation=REF["MODEL_PARAM"]["activation"],
                    batch_size=train["batch_size"], learning_rate_init=train["learning_rate"],
                    max_iter=train["num_epochs_MLP"], early_stopping=True,
                    n_iter_no_change=train["patience"] * 2, random_state=SEED)
    if run_type == "regression":
        models = {"sklearn MLP": MLPRegressor(**mlp_args),
                  "sklearn HistGB": HistGradientBoostingRegressor(random_state=SEED)}
        mean, std = yt.mean(), yt.std()
    else:
        models = {"sklearn MLP": MLPClassifier(**mlp_args),
                  "sklearn HistGB": HistGradientBoostingClassifier(random_state=SEED)}
    out = {}
    for name, model in models.items():
        target = (yt - mean) / std if run_type == "regression" else yt
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ConvergenceWarning)
            model.fit(xt, target)
        seconds = time.perf_counter() - start
        pred = model.predict(xs)
        if run_type == "regression":
            pred = pred * std + mean
        per_epoch = seconds / model.n_iter_ if name == "sklearn MLP" else None
        out[name] = (score(run_type, ys, pred), seconds, per_epoch)
    return out


def quality_table(sets, workdir, methods=SUPPORTED_METHODS, with_sklearn=True, seeds=(None,)):
    """Rows (set, run type, method, score, fit seconds, seconds per epoch); with
    several `seeds` the pipeline's score and fit time are means over them."""
    rows = []
    for name, (x, y, run_type) in sets.items():
        parts = split(x, y)
        files = write_csvs(Path(workdir) / name, parts)
        n_out = 1 if y.ndim == 1 else y.shape[1]
        for method in methods:
            runs = [ordane_run(method, files, x.shape[1], run_type, workdir, n_out=n_out,
                               seed=seed) for seed in seeds]
            value, seconds = (statistics.fmean(r[i] for r in runs) for i in (0, 1))
            per_epoch = statistics.median(r[2] for r in runs)
            rows.append((name, run_type, method, value, seconds, per_epoch))
            each = f" ({' '.join(f'{r[0]:.4g}' for r in runs)})" if len(runs) > 1 else ""
            print(f"  {name:14s} {method:16s} {value:.4g}{each}  fit {seconds:6.2f} s  "
                  f"{per_epoch * 1e3:7.2f} ms/epoch", flush=True)
        if not with_sklearn or n_out > 1:
            continue
        for method, (value, seconds, per_epoch) in sklearn_runs(parts, run_type).items():
            rows.append((name, run_type, method, value, seconds, per_epoch))
            print(f"  {name:14s} {method:16s} {value:.4g}  fit {seconds:6.2f} s", flush=True)
    return rows


def epoch_rounds(sets, workdir, rounds=3, epochs=25):
    """Median epoch seconds of each method per round, methods in rotated order."""
    x, y, run_type = sets["smooth3"]
    files = write_csvs(Path(workdir) / "smooth3", split(x, y))
    methods = list(SUPPORTED_METHODS)
    times = {m: [] for m in methods}
    for r in range(rounds):
        for method in methods[r % len(methods):] + methods[:r % len(methods)]:
            times[method].append(ordane_run(method, files, 3, run_type, workdir, epochs)[2])
    return times


def markdown(rows):
    """Three tables (score, fit time, time per epoch): data sets x methods."""
    methods = list(dict.fromkeys(r[2] for r in rows))
    names = list(dict.fromkeys(r[0] for r in rows))
    cell = {(r[0], r[2]): r for r in rows}
    formats = [
        ("test RMSE (regression, data units) / accuracy (classification)",
         lambda r: f"{r[3]:.4g}"),
        ("fit time (s, compiling included)", lambda r: f"{r[4]:.2f}"),
        ("time per epoch (ms)", lambda r: "-" if r[5] is None else f"{r[5] * 1e3:.2f}"),
    ]
    out = []
    cell.update({(n, m): (n, None, m, float("nan"), float("nan"), None)
                 for n in names for m in methods if (n, m) not in cell})
    for title, fmt in formats:
        out += [f"{title}:", "", "| data set | " + " | ".join(methods) + " |",
                "|---" * (len(methods) + 1) + "|"]
        out += [f"| {name} | " + " | ".join(fmt(cell[(name, m)]) for m in methods) + " |"
                for name in names]
        out.append("")
    return "\n".join(out)


def check_targets(rows, times):
    by = {(r[0], r[2]): r[3] for r in rows}
    notes = []
    for method in CP_METHODS:
        ok = by[("digits", method)] >= 0.9
        notes.append(f"digits: {method} accuracy {by[('digits', method)]:.4g} "
                     f"{'>=' if ok else '<'} 0.9")
    best = max(CP_METHODS, key=lambda m: by[("heat", m)])
    notes.append(f"heat: best interpolation method {best}, smallest R^2 over the 32 outputs "
                 f"{by[('heat', best)]:.4g} {'>=' if by[('heat', best)] >= 0.9 else '<'} 0.9")
    for name in ("smooth2", "smooth3"):
        best_sklearn = min(by[(name, "sklearn MLP")], by[(name, "sklearn HistGB")])
        for method in (*CP_METHODS, "KAN"):
            ok = by[(name, method)] <= best_sklearn
            notes.append(f"{name}: {method} RMSE {by[(name, method)]:.4g} "
                         f"{'<=' if ok else '>'} scikit-learn's best {best_sklearn:.4g}")
        for method in ("nonlinear", "gaussian"):
            ok = by[(name, method)] <= by[(name, "linear")]
            notes.append(f"{name}: {method} RMSE {by[(name, method)]:.4g} "
                         f"{'<=' if ok else '>'} linear's {by[(name, 'linear')]:.4g}")
    for method, series in times.items():
        vs_lin = [t / l for t, l in zip(series, times["linear"])]
        vs_mlp = [t / m for t, m in zip(series, times["MLP"])]
        notes.append(f"epoch time {method}: {statistics.median(series) * 1e3:.2f} ms; ratio to "
                     f"linear min {min(vs_lin):.2f} median {statistics.median(vs_lin):.2f}; "
                     f"to MLP min {min(vs_mlp):.2f} median {statistics.median(vs_mlp):.2f}")
    return notes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sets", help="comma-separated data sets (default: all)")
    parser.add_argument("--methods", help="comma-separated methods (default: all)")
    parser.add_argument("--quality-only", action="store_true")
    parser.add_argument("--seeds", help="comma-separated random seeds of the pipeline's runs "
                                        "(default: the reference configuration's)")
    args = parser.parse_args()
    start = time.perf_counter()
    sets = data_sets()
    if args.sets:
        sets = {k: sets[k] for k in args.sets.split(",")}
    methods = args.methods.split(",") if args.methods else list(SUPPORTED_METHODS) + ["sklearn"]
    with_sklearn = "sklearn" in methods
    methods = [m for m in methods if m != "sklearn"]
    with tempfile.TemporaryDirectory() as workdir:
        print("Quality and fit time (reference configuration, one 70/15/15 split):")
        seeds = [int(s) for s in args.seeds.split(",")] if args.seeds else [None]
        rows = quality_table(sets, workdir, methods, with_sklearn, seeds)
        if args.quality_only or args.sets or args.methods:
            print("\n" + markdown(rows))
            print(f"\nTotal {time.perf_counter() - start:.0f} s")
            return
        print("\nTime per epoch, rotated rounds on smooth3 (5,000 rows, 3 inputs):")
        times = epoch_rounds(sets, workdir)
    print("\n" + markdown(rows) + "\n")
    for note in check_targets(rows, times):
        print(note)
    print(f"\nTotal {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
