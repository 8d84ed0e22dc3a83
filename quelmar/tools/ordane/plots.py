"""PNG plots of a training run (matplotlib, Agg canvas, imported only here).

The figures are drawn on `matplotlib.figure.Figure` with an Agg canvas, so no
pyplot state and no GUI backend are touched.
"""

from __future__ import annotations

import time
from pathlib import Path

import numpy as np


def _figure(nrows: int, ncols: int, size=(4.0, 3.4)):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(size[0] * ncols, size[1] * nrows), layout="constrained")
    FigureCanvasAgg(fig)
    axes = fig.subplots(nrows, ncols, squeeze=False)
    return fig, axes


def _free_stem(directory: Path, stem: str, suffixes) -> str:
    for i in range(10000):
        name = stem if i == 0 else f"{stem}_{i}"
        if not any((directory / f"{name}{s}").exists() for s in suffixes):
            return name
    raise RuntimeError(f"could not find a free file name for {stem} in {directory}")


def make_plots(directory, *, model, result, x_eval, y_eval, eval_name, x_train,
               out_axis, in_axis, params_number, seed, stamp=None) -> list[str]:
    """Write the run's plots into `directory`; return their paths.

    * ``*_errors.png``: training and validation error at each check.
    * ``*_pred_vs_actual.png``: predicted against actual values on the
      evaluation set for the outputs `out_axis` (a confusion matrix for
      classification).
    * ``*_response.png`` (when `params_number` > 0): the model's response
      along each input of `in_axis`, the other inputs held at the values of
      `params_number` rows drawn from the evaluation set (named in the legend).

    The files are named ``ordane_<method>_<run_type>_<stamp>_*.png`` (`stamp`:
    the run's time stamp, default now).
    """
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    suffixes = ("_errors.png", "_pred_vs_actual.png", "_response.png")
    stem = _free_stem(directory, f"ordane_{model.method}_{model.run_type}_"
                                 f"{stamp or time.strftime('%Y%m%d_%H%M%S')}", suffixes)
    paths = [
        _plot_errors(directory / f"{stem}_errors.png", result),
        _plot_pred_vs_actual(directory / f"{stem}_pred_vs_actual.png", model, x_eval, y_eval,
                             eval_name, out_axis),
    ]
    if params_number > 0:
        paths.append(_plot_response(directory / f"{stem}_response.png", model, x_eval, x_train,
                                    in_axis, out_axis, params_number, seed))
    return [str(p) for p in paths]


def _plot_errors(path: Path, result) -> Path:
    fig, axes = _figure(1, 1, size=(5.5, 3.8))
    ax = axes[0, 0]
    n = len(result.check_epochs)  # the histories end with the kept model's errors
    ax.plot(result.check_epochs, result.errors_train[:n], "o-", ms=3, label="training")
    ax.plot(result.check_epochs, result.errors_val[:n], "s-", ms=3, label="validation")
    ax.axvline(result.best_epoch, color="k", lw=0.8, ls=":", label="kept model")
    if result.error_name == "RMSE" and min(result.errors_train + result.errors_val) > 0:
        ax.set_yscale("log")
    ax.set_xlabel("epoch")
    ax.set_ylabel(result.error_name)
    ax.set_title("error history")
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.savefig(path, dpi=100)
    return path


def _plot_pred_vs_actual(path: Path, model, x, y, eval_name: str, out_axis) -> Path:
    if model.run_type == "classification":
        classes = list(model.classes)
        pred = model.predict(x)
        k = len(classes)
        matrix = np.zeros((k, k), dtype=int)
        index = {c: i for i, c in enumerate(classes)}
        for a, p in zip(y[:, 0], pred):
            matrix[index[a], index[p]] += 1
        fig, axes = _figure(1, 1, size=(4.5, 4.0))
        ax = axes[0, 0]
        ax.imshow(matrix, cmap="Blues")
        for i in range(k):
            for j in range(k):
                ax.text(j, i, str(matrix[i, j]), ha="center", va="center")
        ax.set_xticks(range(k), [str(c) for c in classes])
        ax.set_yticks(range(k), [str(c) for c in classes])
        ax.set_xlabel(f"predicted {model.output_names[0]}")
        ax.set_ylabel(f"actual {model.output_names[0]}")
        ax.set_title(f"confusion matrix ({eval_name} set)")
        fig.savefig(path, dpi=100)
        return path

    pred = model.predict(x)
    outs = list(out_axis) if out_axis is not None else list(range(y.shape[1]))
    fig, axes = _figure(1, len(outs))
    for ax, j in zip(axes[0], outs):
        lo = min(y[:, j].min(), pred[:, j].min())
        hi = max(y[:, j].max(), pred[:, j].max())
        rmse = float(np.sqrt(np.mean((pred[:, j] - y[:, j]) ** 2)))
        ax.plot([lo, hi], [lo, hi], "k--", lw=1)
        ax.scatter(y[:, j], pred[:, j], s=8, alpha=0.6)
        ax.set_xlabel(f"actual {model.output_names[j]}")
        ax.set_ylabel(f"predicted {model.output_names[j]}")
        ax.set_title(f"{model.output_names[j]} ({eval_name}), RMSE {rmse:.3g}")
        ax.grid(True, alpha=0.3)
    fig.savefig(path, dpi=100)
    return path


def _plot_response(path: Path, model, x_eval, x_train, in_axis, out_axis, params_number,
                   seed) -> Path:
    ins = list(in_axis) if in_axis is not None else list(range(x_train.shape[1]))
    if model.run_type == "classification":
        outs = [0]
    else:
        outs = list(out_axis) if out_axis is not None else list(range(len(model.output_col)))
    rng = np.random.default_rng(seed)
    rows = rng.choice(len(x_eval), size=min(params_number, len(x_eval)), replace=False)
    base = x_eval[np.sort(rows)]
    grid_n = 200
    fig, axes = _figure(len(ins), len(outs))
    for r, i in enumerate(ins):
        grid = np.linspace(x_train[:, i].min(), x_train[:, i].max(), grid_n)
        for b, point in enumerate(base):
            xs = np.repeat(point[None, :], grid_n, axis=0)
            xs[:, i] = grid
            pred = model.predict(xs)
            for c, j in enumerate(outs):
                values = pred if model.run_type == "classification" else pred[:, j]
                others = [k for k in range(len(point)) if k != i]
                held = ", ".join(f"{model.input_names[k]}={point[k]:.3g}" for k in others[:4])
                held += ", ..." if len(others) > 4 else ""
                axes[r, c].plot(grid, values, lw=1.2, label=held or f"set {b + 1}")
        for c, j in enumerate(outs):
            ax = axes[r, c]
            ax.set_xlabel(model.input_names[i])
            ax.set_ylabel(f"predicted {model.output_names[j]}")
            if model.run_type == "classification":
                ax.set_yticks(list(model.classes))
            ax.grid(True, alpha=0.3)
            if c == 0:
                ax.legend(fontsize=6, title="held fixed", title_fontsize=6)
    fig.suptitle("model response; other inputs held at each set", fontsize=10)
    fig.savefig(path, dpi=100)
    return path
