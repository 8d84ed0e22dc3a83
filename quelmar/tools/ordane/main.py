"""ordane: the training pipeline behind the ``fitrun`` tool.

``train_model(config=..., run_type=..., gpu_idx=...)`` reads the data, trains
one model with Adam and returns a `TrainResult`; ``load_model(path)`` reads a
saved model back.  Progress goes to ``sys.stdout`` through ``print``.  Every
bad setting or data problem raises ``TypeError``/``ValueError`` (or
``FileNotFoundError`` for a missing file) with a message naming the setting,
file or column.

Configuration
=============
`config` is a dictionary of sections.  A missing or null setting takes the
default shown (the same as in ``quelmar/tools/config/config_ref.yaml``).

DATA_PARAM
  data_filenames        List of 1 to 3 CSV paths [train, validation?, test?]
                        (``data_train`` alone is accepted too).  Relative paths
                        are relative to the current directory.  The first row
                        is always the header (also a row of numbers); the
                        names are used in the log, plots, saved model and
                        predictions.  One file: split by ``split_ratio``.
                        Two files: train and test; validation rows are split
                        from the training file in the ratio of the first two
                        ``split_ratio`` shares (the test file never takes
                        part in choosing the model).
                        Three files: train, validation, test.  A null or
                        empty entry stands for an absent file: trailing ones
                        are dropped, and [train, null, test] splits the
                        training file into training and validation rows in
                        the ratio of the first two ``split_ratio`` shares.
                        The training file needs at least 10 data rows.
  input_col, output_col Lists of 0-based column indices of the training file
                        (required).  The validation and test files are read
                        by the header names of those columns, in any column
                        order; a file lacking one is refused, naming it.  The
                        selected columns must be numeric with no missing
                        values.
  split_ratio           [train, validation, test] fractions, non-negative,
                        summing to 1, train > 0.  Default [0.7, 0.15, 0.15].
                        Row counts are rounded (a positive validation share
                        gives at least one row); with a validation share of
                        0 the training set stands in for validation; with no
                        test rows ``error_test`` is None.
  bool_shuffle          Shuffle the rows (with ``random_seed``) before
                        splitting a single file.  Default true.
  bool_normalize        Scale inputs to [0, 1] by the training minimum and
                        range, and (regression) standardise outputs by the
                        training mean and standard deviation, each column on
                        its own (FNO's function head: one shared scale for
                        all inputs, one for all outputs).  Default true.
  bool_data_generation  When the training file does not exist, first write
                        the synthetic data set there (see
                        `data.generate_dataset`: inputs uniform on [0, 1],
                        y_j = mean_i sin(2 pi x_i + j pi/4) + prod_i x_i; for
                        classification three classes cut from y_0).  An
                        existing file is never replaced.  Default false.
  data_size             Rows of the synthetic data set.  Default 1000.

MODEL_PARAM
  interp_method         The model: "linear", "nonlinear" or "gaussian" (CP
                        interpolation: each output is
                        sum_{m<nmode} prod_d f_{m,d}(x_d), the 1-D functions f
                        given by their values at nseg+1 equally spaced nodes
                        over the training range of input d: piecewise linear,
                        convolution patch, or normalised Gaussian), "MLP",
                        "KAN" (Kolmogorov-Arnold network) or "FNO" (Fourier
                        neural operator over the row's columns read as a
                        function on a regular grid; suits rows that sample one
                        function, not unrelated features).  The formulas are in
                        the docstrings of quelmar.tools.ordane.models.<method>.
                        Default "linear".
  The settings of the methods (only the chosen method's are read and
  checked; settings of other methods that a configuration sets to a value
  other than their default are named in one "Ignored settings" line):
{model_settings}
TRAIN_PARAM
  num_epochs_INN        Epochs for ``linear``, ``nonlinear`` and ``gaussian``
                        (default 300).
  num_epochs_MLP        Epochs for ``MLP`` (default 300).
  num_epochs_KAN        Epochs for ``KAN`` (default 300).
  num_epochs_FNO        Epochs for ``FNO`` (default 300).
  batch_size            Mini-batch size; larger than the training set means
                        one full batch.  Default 32.
  learning_rate         Adam step size.  Default 0.003.
  validation_period     Epochs between checks.  At each check (and after the
                        last epoch) the training and validation errors are
                        appended to ``errors_train``/``errors_val`` and one
                        progress line is printed.  Default 10.
  patience              Stop after this many checks in a row without a new
                        best validation error.  Default 10.
  stopping_loss_train   Stop once an epoch's mean training loss (the loss
                        minimised: mean squared error in the model's units, or
                        cross-entropy) is below this; 0 disables.  Default 1e-6.
  bool_denormalize      Report regression errors in the data's units (true) or
                        in the normalised units (false).  Default true.
  bool_save_model       Save the model into OUTPUT.model_save_dir as
                        ``ordane_<method>_<run_type>_<stamp>[_n].npz`` (the
                        parameters) and ``.json`` (method, settings, scaling,
                        columns and their names, classes); never overwrites.
                        <stamp> is that of OUTPUT.log_file when given, else
                        the time.  Default true.
  random_seed           Seed of the shuffle, the initial parameters and the
                        mini-batch order.  Same seed and data, same result.
                        Default 0.

PLOT
  bool_plot             Write PNG plots into OUTPUT.plots_dir: the error
                        history, predicted against actual values on the test
                        set (else the validation set), and the response plot.
                        Default false.
  plot_out_axis         Positions (0-based) in ``output_col`` of the outputs
                        to plot; null means all.
  plot_in_axis          Positions (0-based) in ``input_col`` of the inputs
                        along which the response plot sweeps (over the
                        training range); null means all.
  plot_params_number    Number of parameter sets (rows of the evaluation set)
                        at which the other inputs are held in the response
                        plot; one curve each.  0 skips the plot.  Default 3.

OUTPUT
  model_save_dir, plots_dir, logs_dir
                        Directories (created when needed).  The pipeline
                        writes nothing into logs_dir itself: its log is what
                        it prints.
  log_file              (optional) The run's log file; the model file and
                        plots take its time stamp.
  After the run the pipeline adds: model_file (saved JSON file or None),
  plot_files, best_epoch, epochs_run, stop_reason ("epochs", "patience" or
  "stopping_loss_train"), device (the devices used: "cpu:0",
  "gpu:0,gpu:1"), and metrics: per split ("train",
  "validation", "test") the kept model's RMSE, MAE and R2 per output name
  (regression) or accuracy and cross_entropy (classification).

run_type is "regression" (errors are RMSE over all outputs; the model is
chosen by the RMSE of each output divided by its training standard
deviation, averaged over the outputs, so outputs of different scales count
alike) or "classification" (any method, one output logit per class; one
output column of integer labels; the classes are the labels of the training
rows, in sorted order; softmax cross-entropy; the model is chosen by the
validation cross-entropy, ties broken by the misclassification rate; errors
are misclassification rates, and a validation or test label that is not a
class counts as an error, is left out of the cross-entropy and is counted in
the log).

gpu_idx picks ``jax.devices('gpu')[gpu_idx]`` when GPUs exist (out of range is
a ValueError); without a GPU the run uses the CPU and says so.  With several
devices (GPUs, or forced CPU devices) the run is data-parallel over all of
them, gpu_idx's GPU first; ``QUELMAR_DEVICES=1`` keeps it to gpu_idx's GPU
alone (N: the N devices from gpu_idx's on).  ``QUELMAR_COORDINATOR``,
``QUELMAR_NUM_PROCESSES`` and ``QUELMAR_PROCESS_ID`` train over several
processes; only process 0 saves the model and plots (see
`quelmar.tools.ordane.devices`).

The model reported, saved and plotted is the one with the best validation
score among the checks; every error reported is that model's, computed in
float64 from the outputs of the saved model's own prediction code, so that
``predict`` on a split's file gives the same figures.  A run raises
ValueError when an epoch loss becomes non-finite or 1e4 times the untrained
model's ("training diverged"), or when the kept model's validation score is
not at least 5% (``LEARN_MARGIN``) below that of predicting the training mean
(or the training rows' class shares): "the model did not learn", with the
figures, or "training diverged" when the training loss ended above 1.5 times
its lowest.  Without bool_normalize, outputs beyond 1e18 in magnitude are
refused (float32 overflow).

``quelmar.tools.ordane.predict(model_file, data)`` predicts with a saved
model (CSV path, DataFrame matched by column name, or array).
"""

from __future__ import annotations

import math
import os
import time
from dataclasses import dataclass, field

import numpy as np

from . import devices, jax_cache, progress
from .data import Scaling, generate_dataset, load_split
from .model_io import TrainedModel, load_model, model_inputs, predict
from .models import describe_settings
from .settings import Settings, parse_settings

__doc__ = __doc__.replace("{model_settings}", describe_settings())

# Trainings of shapes compiled before, in any process, load their programs.
jax_cache.enable()

__all__ = ["TrainResult", "TrainedModel", "load_model", "predict", "train_model"]

DIVERGENCE_FACTOR = 1.0e4
"""An epoch loss this many times the untrained model's ends the run as diverged."""

GROWTH_FACTOR = 1.5
"""A run whose kept model did not learn diverged when its last epoch loss is
this many times its lowest loss (the untrained model's included)."""

LEARN_MARGIN = 0.05
"""The kept model's validation score (the mean over the outputs of RMSE over
the training standard deviation, or the cross-entropy) must be at least this
share below the trivial predictor's (the training mean, or the training
rows' class shares), or the run raises ValueError: the model did not learn."""

UNSCALED_LIMIT = 1.0e18
"""Largest output magnitude trained without DATA_PARAM.bool_normalize (the
square of an error beyond about 1.8e19 overflows float32)."""

FEATURE_LIMIT = 1 << 25
"""Most values of the training rows' parameter-free model part kept for all
epochs (128 MiB of float32); beyond, each step computes it for its batch."""


@dataclass
class TrainResult:
    """What a training run returns.

    errors_train, errors_val  error at each check, in order, then (last element)
                              the error of the kept model
    error_test                error on the test set of the kept model, or None
    error_name                "RMSE" or "misclassification rate"
    check_epochs              epoch of each check
    epochs_run                epochs trained
    best_epoch                epoch of the check whose model was kept
    stop_reason               "epochs", "patience" or "stopping_loss_train"
    model                     the TrainedModel (``.predict``)
    model_path                saved JSON file, or None
    plot_paths                PNG files written
    train_seconds             wall time of the training loop (compile included)
    metrics                   the kept model's metrics per split ("train",
                              "validation", "test"): regression {"RMSE", "MAE",
                              "R2"} each {output name: value}; classification
                              {"accuracy", "cross_entropy"}
    """

    errors_train: list[float]
    errors_val: list[float]
    error_test: float | None
    error_name: str
    check_epochs: list[int]
    epochs_run: int
    best_epoch: int
    stop_reason: str
    model: TrainedModel
    model_path: str | None = None
    plot_paths: list[str] = field(default_factory=list)
    train_seconds: float = 0.0
    metrics: dict = field(default_factory=dict)


def _say(*args) -> None:
    print(*args, flush=True)  # print() looks sys.stdout up at each call


def _class_labels(split, files) -> np.ndarray:
    """Sorted distinct integer labels of the training rows (refuses
    non-integer labels in any split)."""
    parts = [split.y_train, split.y_val]
    if split.x_test is not None:
        parts.append(split.y_test)
    labels = np.concatenate([p[:, 0] for p in parts])
    bad = labels[labels != np.round(labels)]
    if bad.size:
        raise ValueError(f"classification labels must be integers; output column in "
                         f"{', '.join(files)} holds {bad[0]!r}")
    classes = np.unique(split.y_train[:, 0].astype(np.int64))
    if classes.size < 2:
        raise ValueError(f"classification needs at least two classes in the training rows; "
                         f"they have only label {classes[0]}")
    return classes


def _known_labels(classes: np.ndarray, labels: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(class index of each label, whether the label is one of `classes`)."""
    index = np.minimum(np.searchsorted(classes, labels), len(classes) - 1)
    return index, classes[index] == labels


def _regression_metrics(pred: np.ndarray, y: np.ndarray, unit: np.ndarray, names,
                        train_var: np.ndarray) -> dict:
    """Per-output RMSE, MAE and R2 of `pred` against `y` (data units, float64),
    errors measured in `unit`s; "_error" is the RMSE over all outputs, "_key"
    the selection score: each output's RMSE over its training standard
    deviation, averaged over the outputs."""
    n = y.shape[0]
    diff = (pred - y) / unit
    sse = np.sum(diff ** 2, axis=0)
    sst = np.sum(((y - y.mean(axis=0)) / unit) ** 2, axis=0)
    return {
        "RMSE": dict(zip(names, (float(v) for v in np.sqrt(sse / n)))),
        "MAE": dict(zip(names, (float(v) for v in np.sum(np.abs(diff), axis=0) / n))),
        "R2": dict(zip(names, (float(1 - a / b) if b > 0 else None for a, b in zip(sse, sst)))),
        "_error": float(np.sqrt(sse.sum() / diff.size)),
        "_key": (float(np.sqrt(np.mean(sse / n / train_var))),),
    }


def _classification_metrics(logits: np.ndarray, pred: np.ndarray, labels: np.ndarray,
                            classes: np.ndarray) -> dict:
    """Accuracy of the predicted labels `pred` (a label outside `classes` is
    always an error) and cross-entropy of the float64 `logits` over the rows
    whose label is a class (None when none is); "_error" is the
    misclassification rate, "_key" the selection score."""
    index, known = _known_labels(classes, labels)
    right = pred == labels
    ce = None
    if known.any():
        rows = logits[known]
        top = rows.max(axis=1)
        lse = top + np.log(np.sum(np.exp(rows - top[:, None]), axis=1))
        ce = float(np.mean(lse - rows[np.arange(rows.shape[0]), index[known]]))
    error = float(np.mean(~right))
    return {"accuracy": float(np.mean(right)), "cross_entropy": ce, "_error": error,
            "_key": (ce, error)}


def train_model(*, config, run_type, gpu_idx=0) -> TrainResult:
    """Train one model as `config` says and return a `TrainResult`.

    Keyword arguments only.  See the module docstring for the settings.  What
    the run produced is also written into ``config["OUTPUT"]``.
    """
    s = parse_settings(config, run_type, gpu_idx)
    import jax

    place = devices.select(s.gpu_idx, _say)
    with jax.default_device(place.device):
        result = _run(s, place, _run_stamp(config, s.interp_method))
    output = config.setdefault("OUTPUT", {})
    output.update(model_file=result.model_path, plot_files=list(result.plot_paths),
                  best_epoch=result.best_epoch, epochs_run=result.epochs_run,
                  stop_reason=result.stop_reason, device=place.name, metrics=result.metrics)
    return result


def _shown_path(path):
    """The path a reader knows: a file handed over as an open descriptor
    (`/proc/self/fd/N/...`) is named by where it lies."""
    if path and str(path).startswith("/proc/self/fd/"):
        return os.path.realpath(path)
    return path


def _run_stamp(config, method: str) -> str:
    """The time stamp of the run: that of ``OUTPUT.log_file`` when given, else now."""
    log_file = (config.get("OUTPUT") or {}).get("log_file")
    if isinstance(log_file, str) and log_file:
        stem = os.path.splitext(os.path.basename(log_file))[0]
        stem = stem.removeprefix("training_")
        return stem.removeprefix(f"{method}_") or stem
    return time.strftime("%Y%m%d_%H%M%S")


def _format_metrics(split_metrics: dict) -> str:
    if "accuracy" in split_metrics:
        ce = split_metrics["cross_entropy"]
        return (f"accuracy {split_metrics['accuracy']:.4f}, cross-entropy "
                + ("n/a" if ce is None else f"{ce:.4e}"))
    parts = []
    for name in split_metrics["RMSE"]:
        r2 = split_metrics["R2"][name]
        parts.append(f"{name}: RMSE {split_metrics['RMSE'][name]:.4e}, MAE "
                     f"{split_metrics['MAE'][name]:.4e}, R2 "
                     + ("n/a" if r2 is None else f"{r2:.4f}"))
    return "; ".join(parts)


def _run(s: Settings, place, stamp: str) -> TrainResult:
    import jax

    from . import compiled
    from .models import (ModelSpec, adapt, adapt_due, check_size, describe_model, grid_function,
                         has_split, make_split)

    classify = s.run_type == "classification"
    train_file = s.data_filenames[0]
    if s.bool_data_generation and not os.path.exists(train_file):
        _say(f"Generating {s.data_size} rows of synthetic data into {_shown_path(train_file)}")
        generate_dataset(train_file, s.data_size, s.input_col, s.output_col, s.run_type,
                         s.random_seed)

    split = load_split(s)
    in_names, out_names = list(split.input_names), list(split.output_names)
    classes = (_class_labels(split, [f for f in s.data_filenames if f]) if classify
               else None)
    if not classify and not s.bool_normalize:
        _check_magnitude(split.y_train, out_names)

    # A function on a grid mapped to one on the same grid: one shared scale.
    shared = grid_function(ModelSpec(s.interp_method, len(s.input_col),
                                     len(classes) if classify else len(s.output_col),
                                     s.model_settings(), classify=classify))
    scaling = (Scaling.fit(split.x_train, split.y_train, scale_outputs=not classify,
                           shared=shared)
               if s.bool_normalize else
               Scaling.identity(*((1, 1) if shared else (len(s.input_col), len(s.output_col)))))

    def model_y(y):
        if classify:
            return np.searchsorted(classes, y[:, 0].astype(np.int64)).astype(np.int32)
        return scaling.y(y).astype(np.float32)

    has_test = split.x_test is not None
    data = {"train": (split.x_train, split.y_train), "validation": (split.x_val, split.y_val)}
    if has_test:
        data["test"] = (split.x_test, split.y_test)
    notes = _unseen_label_notes(classes, data) if classify else []
    # Every split in the model's units, exactly as `predict` maps its inputs.
    model_in = {k: model_inputs(scaling, x) for k, (x, _) in data.items()}
    xt, yt = model_in["train"], model_y(split.y_train)
    n_train = int(xt.shape[0])

    x_np = np.asarray(xt)
    spec = ModelSpec(
        method=s.interp_method,
        n_in=len(s.input_col),
        n_out=len(classes) if classify else len(s.output_col),
        settings=s.model_settings(),
        grid_lo=x_np.min(axis=0).tolist(),
        grid_hi=x_np.max(axis=0).tolist(),
        classify=classify,
    )
    model_note = describe_model(spec)
    check_size(spec)
    # Training sees the parameters as one flat vector: the optimizer updates
    # it in one piece (Adam is elementwise) instead of array by array.
    static, (lo, hi) = compiled.Static.of(spec), compiled.grid_arrays(spec)
    layout = compiled.layout(static)
    unravel = layout.unravel
    params, opt_state, shuffle_key = compiled.initial_state(
        static, lo, hi, compiled.seed_key(s.random_seed), s.learning_rate)

    def adapted(params, ep):  # a model that follows its data (KAN's grids)
        if not adapt_due(spec, ep, s.num_epochs):
            return params
        return layout.ravel(adapt(spec, unravel(np.asarray(params)), xt))
    params = adapted(params, 0)

    # The model that is kept, saved and returned; every figure of the run is
    # computed through its prediction code, as `predict` computes it later.
    model = TrainedModel(spec, unravel(np.asarray(params)), scaling, s.run_type, s.input_col,
                         s.output_col, classes, input_names=in_names, output_names=out_names)

    # The rows of an epoch, padded to whole mini-batches (a power of two of
    # them, so that nearby row counts share the compiled epoch).
    batch = min(s.batch_size, compiled.bucket(n_train))
    plan_batches = compiled.bucket(-(-n_train // batch))
    rows = plan_batches * batch
    x_pad, y_pad = place.rows(x_np, yt, rows=rows)  # sharded over several devices
    # The training steps see the rows through the model's parameter-free
    # part, computed once for the training set when it is not too large.
    split_features = (has_split(spec) and
                      math.prod(jax.eval_shape(make_split(spec)[0], x_pad).shape)
                      <= FEATURE_LIMIT)
    plan = compiled.Plan(batch, plan_batches, split_features, place.width(batch), place.mesh)
    if place.mesh is not None:
        _say(place.describe(batch))
    ft = compiled.features(static, lo, hi, x_pad) if split_features else x_pad

    # ---------------------------------------------------------- loss & metrics
    n_out = len(s.output_col)
    if classify:
        error_name = "misclassification rate"
        counts = np.bincount(np.searchsorted(classes, split.y_train[:, 0].astype(np.int64)),
                             minlength=len(classes))
        trivial_logits = np.log(counts / counts.sum())

        def measure(name, out):
            return _classification_metrics(out, model.predict_from(out), data[name][1][:, 0],
                                           classes)

        def baseline(name):
            n = data[name][1].shape[0]
            return measure(name, np.broadcast_to(trivial_logits, (n, len(classes))))
    else:
        error_name = "RMSE"
        # Errors in the data's units (bool_denormalize) or the model's.
        unit = np.ones(n_out) if s.bool_denormalize else np.asarray(scaling.y_std, np.float64)
        train_var = split.y_train.var(axis=0) / unit ** 2
        train_var = np.where(train_var > 0, train_var, 1.0)
        train_mean = split.y_train.mean(axis=0)

        def measure(name, out):
            return _regression_metrics(model.predict_from(out), data[name][1], unit, out_names,
                                       train_var)

        def baseline(name):
            y = data[name][1]
            return _regression_metrics(np.broadcast_to(train_mean, y.shape), y, unit, out_names,
                                       train_var)

    def metrics_of(name, flat):
        return measure(name, model.output_of(model_in[name], unravel(np.asarray(flat)), place))

    # The loss of the untrained model over the training rows (float64): the
    # reference for "the loss grew".
    out = model.output_of(xt, unravel(np.asarray(params)))
    if classify:
        start_loss = measure("train", out)["cross_entropy"]
    else:
        start_loss = float(np.mean((out - np.asarray(yt, np.float64)) ** 2))
    del out

    n_val = int(model_in["validation"].shape[0])
    sizes = f"{n_train} train / {n_val} validation"
    sizes += f" / {split.x_test.shape[0]} test rows" if has_test else " rows, no test set"
    _say(f"Training {s.interp_method} ({s.run_type}) on {sizes}; "
         f"{spec.n_in} inputs, {n_out} output(s); "
         f"{s.num_epochs} epochs, batch {min(s.batch_size, n_train)}, learning rate {s.learning_rate:g}")
    _say(f"Inputs: {', '.join(in_names)}; output(s): {', '.join(out_names)}")
    if model_note:
        _say(model_note)
    if s.ignored:
        _say(f"Ignored settings (they belong to other methods than {s.interp_method}): "
             f"{', '.join(s.ignored)}")
    if split.val_is_train:
        _say("No validation rows: the training set stands in for validation.")
    for note in notes:
        _say(note)

    errors_train: list[float] = []
    errors_val: list[float] = []
    check_epochs: list[int] = []
    best = None  # (key, params, epoch, train metrics, validation metrics)
    since_best = 0
    stop_reason = "epochs"
    lowest = (start_loss, 0)  # the lowest loss and its epoch (0: before training)
    ep = 0
    start = time.perf_counter()
    for ep in range(1, s.num_epochs + 1):
        params, opt_state, loss = compiled.epoch(static, plan, lo, hi, params, opt_state,
                                                 s.learning_rate, shuffle_key, ep, ft, y_pad,
                                                 n_train, place)
        params = adapted(params, ep)
        loss = float(loss)
        progress.report(ep, s.num_epochs)
        lowest = min(lowest, (loss, ep))
        if not math.isfinite(loss) or loss > DIVERGENCE_FACTOR * max(start_loss, 1e-12):
            raise ValueError(f"training diverged: the loss is {loss:.4g} at epoch {ep} "
                             f"(before training: {start_loss:.4g}); lower "
                             f"TRAIN_PARAM.learning_rate (now {s.learning_rate:g})")
        low_loss = loss < s.stopping_loss_train
        if ep % s.validation_period and not low_loss and ep != s.num_epochs:
            continue
        m_train, m_val = metrics_of("train", params), metrics_of("validation", params)
        errors_train.append(m_train["_error"])
        errors_val.append(m_val["_error"])
        check_epochs.append(ep)
        key = m_val["_key"]
        if best is None or key < best[0]:
            best, since_best = (key, params, ep, m_train, m_val), 0
        else:
            since_best += 1
        _say(f"epoch {ep:6d}  elapsed {time.perf_counter() - start:8.2f} s  loss {loss:.4e}  "
             f"train {error_name} {errors_train[-1]:.4e}  val {error_name} {errors_val[-1]:.4e}"
             + ("  *" if since_best == 0 else ""))
        if low_loss:
            stop_reason = "stopping_loss_train"
            _say(f"Stopping: training loss {loss:.3e} < stopping_loss_train "
                 f"{s.stopping_loss_train:g}")
            break
        if since_best >= s.patience:
            stop_reason = "patience"
            _say(f"Stopping early: no better validation error in {s.patience} checks")
            break
    seconds = time.perf_counter() - start
    _, params, best_epoch, m_train, m_val = best
    metrics = {"train": m_train, "validation": m_val}
    if has_test:
        metrics["test"] = metrics_of("test", params)
    _check_learned(classify, m_val, baseline("validation"), s, (lowest, (loss, ep)))

    kept_train, kept_val = m_train["_error"], m_val["_error"]
    error_test = metrics["test"]["_error"] if has_test else None
    what = (f"RMSE over all outputs, in the {'data' if s.bool_denormalize else 'model'}'s units"
            if not classify else "misclassification rate: the share of rows given a wrong class")
    _say(f"Finished after {ep} epochs in {seconds:.2f} s ({stop_reason}); kept the model of "
         f"epoch {best_epoch}; its errors reported as train_rmse, val_rmse and test_rmse are "
         f"the {what}: train {kept_train:.4e}, validation {kept_val:.4e}"
         + (f", test {error_test:.4e}" if has_test else "; no test set"))
    for name, m in metrics.items():
        _say(f"  {name}: {_format_metrics(m)}")
    for m in metrics.values():  # helpers of the run only
        del m["_error"], m["_key"]

    model.params = unravel(np.asarray(params))
    model.info = {"data_filenames": [_shown_path(f) for f in s.data_filenames],
                  "bool_normalize": s.bool_normalize,
                  "learning_rate": s.learning_rate, "batch_size": s.batch_size,
                  "epochs_run": ep, "best_epoch": best_epoch, "random_seed": s.random_seed,
                  "error_name": error_name, "error_test": error_test, "metrics": metrics}
    # The histories end with the kept model's errors.
    result = TrainResult(errors_train + [kept_train], errors_val + [kept_val],
                         error_test, error_name, check_epochs, ep, best_epoch, stop_reason,
                         model, train_seconds=seconds, metrics=metrics)

    if s.bool_save_model and place.is_main:
        result.model_path = str(model.save(s.model_save_dir, stamp))
        _say(f"Saved the model to {result.model_path}")
    if s.bool_plot and place.is_main:
        from .plots import make_plots

        x_eval, y_eval, eval_name = ((split.x_test, split.y_test, "test") if has_test else
                                     (split.x_val, split.y_val, "validation"))
        result.plot_paths = make_plots(
            s.plots_dir, model=model, result=result, x_eval=x_eval, y_eval=y_eval,
            eval_name=eval_name, x_train=split.x_train, out_axis=s.plot_out_axis,
            in_axis=s.plot_in_axis, params_number=s.plot_params_number, seed=s.random_seed,
            stamp=stamp)
        _say(f"Wrote {len(result.plot_paths)} plot(s) to {s.plots_dir}")
    return result


def _check_magnitude(y: np.ndarray, names) -> None:
    """Refuse outputs too large for the model's float32 units without scaling."""
    top = np.abs(y).max(axis=0)
    if (top > UNSCALED_LIMIT).any():
        j = int(np.argmax(top))
        raise ValueError(f"output {names[j]!r} reaches {top[j]:.3g} and DATA_PARAM.bool_normalize "
                         f"is false: the model computes in float32, where errors this large "
                         f"overflow when squared; set DATA_PARAM.bool_normalize true")


def _unseen_label_notes(classes: np.ndarray, data: dict) -> list[str]:
    """Log lines on validation and test rows whose label is not a class of the
    training rows (each counts as misclassified).  Refuses a validation set
    without any label of the training rows: it could not rank the models."""
    notes = []
    for name in ("validation", "test"):
        if name not in data:
            continue
        labels = data[name][1][:, 0]
        known = _known_labels(classes, labels)[1]
        if known.all():
            continue
        unseen = np.unique(labels[~known]).astype(np.int64)
        if name == "validation" and not known.any():
            raise ValueError(f"no validation row has a label of the training rows (classes "
                             f"{', '.join(map(str, classes))}; validation labels "
                             f"{', '.join(map(str, unseen))})")
        notes.append(f"{name}: {int((~known).sum())} of {labels.size} rows have a label that no "
                     f"training row has ({', '.join(map(str, unseen[:10]))}"
                     f"{', ...' if unseen.size > 10 else ''}); each counts as misclassified, "
                     f"and the cross-entropy is over the other rows")
    return notes


def _check_learned(classify: bool, m_val: dict, base: dict, s: Settings, losses) -> None:
    """Refuse a kept model that does not beat the trivial predictor on the
    validation set by `LEARN_MARGIN`.

    `losses` is ((lowest epoch loss, its epoch), (last epoch loss, last
    epoch)): when the loss ended well above its lowest (`GROWTH_FACTOR`), the
    run diverged; otherwise the model did not learn.  A trivial predictor that
    is already exact (constant outputs) proves nothing.
    """
    score, trivial = m_val["_key"][0], base["_key"][0]
    if trivial <= 1e-9 or score <= (1.0 - LEARN_MARGIN) * trivial:
        return
    if classify:
        what = "cross-entropy"
        figures = (f"{score:.4g} (accuracy {m_val['accuracy']:.4g}) against {trivial:.4g} "
                   f"(accuracy {base['accuracy']:.4g}) for predicting the training rows' class "
                   f"shares (their majority class)")
    else:
        what = ("error (each output's RMSE over its training standard deviation, averaged over "
                "the outputs)")
        r2 = ", ".join(f"{k} {'n/a' if v is None else f'{v:.3g}'}" for k, v in m_val["R2"].items())
        figures = (f"{score:.4g} (R2 {r2}) against {trivial:.4g} for predicting the training "
                   f"mean")
    (low, low_epoch), (last, last_epoch) = losses
    when = f"epoch {low_epoch}" if low_epoch else "before training"
    if last > GROWTH_FACTOR * low:
        raise ValueError(f"training diverged: the training loss grew from {low:.4g} ({when}) "
                         f"to {last:.4g} at epoch {last_epoch}, and the kept model's "
                         f"validation {what} is {figures}; lower TRAIN_PARAM.learning_rate (now "
                         f"{s.learning_rate:g})")
    raise ValueError(f"the model did not learn: its validation {what} is {figures}; a kept "
                     f"model must be at least {LEARN_MARGIN:.0%} below that (training loss "
                     f"{low:.4g} at its lowest, {when}).  Train longer, change "
                     f"TRAIN_PARAM.learning_rate (now {s.learning_rate:g}) or the method's "
                     f"settings, or check that the inputs determine the outputs")
