"""ordane: the training pipeline behind the ``fitrun`` tool.

``train_model(config=..., run_type=..., gpu_idx=...)`` reads the data, trains
one model with Adam and returns a `TrainResult`; ``load_model(path)`` reads a
saved model back.  Progress goes to ``sys.stdout`` through ``print``, and
after every epoch to ``on_epoch(epochs_done, epochs_total)`` when the call
passes that keyword (else to the callback of `progress`, if one is set).  Every
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

from . import compiled, devices, jax_cache, progress
from .fit import DIVERGENCE_FACTOR, Fitted, Trainer, fit
from .model_io import TrainedModel, load_model, predict
from .models import describe_settings, has_split, make_split
from .objective import Classification, Objective, Regression, format_metrics
from .prepare import UNSCALED_LIMIT, Prepared, prepare
from .prepare import shown_path as _shown_path
from .settings import Settings, parse_settings

__doc__ = __doc__.replace("{model_settings}", describe_settings())

# Trainings of shapes compiled before, in any process, load their programs.
jax_cache.enable()

__all__ = ["TrainResult", "TrainedModel", "load_model", "predict", "train_model"]

# DIVERGENCE_FACTOR (an epoch loss this many times the untrained model's ends
# the run as diverged) and UNSCALED_LIMIT (the largest output magnitude
# trained without DATA_PARAM.bool_normalize) live with the steps using them.
__all__ += ["DIVERGENCE_FACTOR", "UNSCALED_LIMIT"]

GROWTH_FACTOR = 1.5
"""A run whose kept model did not learn diverged when its last epoch loss is
this many times its lowest loss (the untrained model's included)."""

LEARN_MARGIN = 0.05
"""The kept model's validation score (the mean over the outputs of RMSE over
the training standard deviation, or the cross-entropy) must be at least this
share below the trivial predictor's (the training mean, or the training
rows' class shares), or the run raises ValueError: the model did not learn."""

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


def _no_progress(epochs_done: int, epochs_total: int) -> None:
    pass


def train_model(*, config, run_type, gpu_idx=0, on_epoch=None) -> TrainResult:
    """Train one model as `config` says and return a `TrainResult`.

    Keyword arguments only.  See the module docstring for the settings.  What
    the run produced is also written into ``config["OUTPUT"]``.  After every
    epoch the run calls ``on_epoch(epochs_done, epochs_total)``; without
    `on_epoch`, the callback installed for this thread with
    ``progress.set_callback`` when the call starts (if any).
    """
    if on_epoch is None:
        on_epoch = progress.current() or _no_progress
    elif not callable(on_epoch):
        raise TypeError(f"on_epoch must be a callable (epochs_done, epochs_total) or None, "
                        f"not {type(on_epoch).__name__}")
    s = parse_settings(config, run_type, gpu_idx)
    import jax

    place = devices.select(s.gpu_idx, _say)
    with jax.default_device(place.device):
        result = _run(s, place, _run_stamp(config, s.interp_method), on_epoch)
    output = config.setdefault("OUTPUT", {})
    output.update(model_file=result.model_path, plot_files=list(result.plot_paths),
                  best_epoch=result.best_epoch, epochs_run=result.epochs_run,
                  stop_reason=result.stop_reason, device=place.name, metrics=result.metrics)
    return result


def _run(s: Settings, place, stamp: str, on_epoch) -> TrainResult:
    """The run in its steps: the data, the training set-up, the objective,
    the epoch loop, then the kept model's report, saved model and plots."""
    prep = prepare(s, _say)
    trainer, params, opt_state = _trainer(prep, s, place)
    # The model that is kept, saved and returned; every figure of the run is
    # computed through its prediction code, as `predict` computes it later.
    model = TrainedModel(prep.spec, trainer.unravel(params), prep.scaling, s.run_type,
                         s.input_col, s.output_col, prep.classes,
                         input_names=prep.input_names, output_names=prep.output_names)
    objective = _objective(prep, s, model)

    def score(split: str, flat) -> dict:
        return objective.metrics(split, model.output_of(prep.model_in[split],
                                                        trainer.unravel(flat), place))

    # The loss of the untrained model over the training rows (float64): the
    # reference for "the loss grew".
    start_loss = objective.start_loss(model.output_of(prep.model_in["train"],
                                                      trainer.unravel(params)))
    _announce(prep, s)
    fitted = fit(trainer, params, opt_state, score, start_loss, s, objective.error_name,
                 on_epoch, _say)
    model.params = trainer.unravel(fitted.best_params)  # the kept model
    result = _report(fitted, prep, s, model, objective, score)
    if place.is_main:  # one process of several writes the files
        _save(result, prep, s, stamp)
    return result


def _trainer(prep: Prepared, s: Settings, place):
    """(the compiled epoch bound to the training rows, the initial flat
    parameters, the optimiser state)."""
    # Training sees the parameters as one flat vector: the optimizer updates
    # it in one piece (Adam is elementwise) instead of array by array.
    spec = prep.spec
    static, (lo, hi) = compiled.Static.of(spec), compiled.grid_arrays(spec)
    params, opt_state, shuffle_key = compiled.initial_state(
        static, lo, hi, compiled.seed_key(s.random_seed), s.learning_rate)
    # The rows of an epoch, padded to whole mini-batches (a power of two of
    # them, so that nearby row counts share the compiled epoch).
    n = prep.n_train
    batch = min(s.batch_size, compiled.bucket(n))
    batches = compiled.bucket(-(-n // batch))
    x_model = np.asarray(prep.model_in["train"])
    x_pad, y_pad = place.rows(x_model, prep.y_model, rows=batches * batch)  # sharded over devices
    split = _split_features(prep, x_pad)
    quick = n * s.num_epochs <= compiled.QUICK_WORK  # compiles fast, runs slower
    plan = compiled.Plan(batch, batches, split, place.width(batch), place.mesh, quick)
    if place.mesh is not None:
        _say(place.describe(batch))
    x = compiled.features(static, lo, hi, x_pad) if split else x_pad
    trainer = Trainer(spec, static, plan, lo, hi, x, y_pad, n, x_model, s.learning_rate,
                      s.num_epochs, shuffle_key, place)
    return trainer, trainer.adapted(params, 0), opt_state


def _split_features(prep: Prepared, x_pad) -> bool:
    """Whether the training steps see the rows through the model's
    parameter-free part, computed once for the training set: when the model
    has one and it is not too large (`FEATURE_LIMIT`)."""
    import jax

    return (has_split(prep.spec) and
            math.prod(jax.eval_shape(make_split(prep.spec)[0], x_pad).shape) <= FEATURE_LIMIT)


def _objective(prep: Prepared, s: Settings, model: TrainedModel) -> Objective:
    """What the run measures, through the kept model's prediction code."""
    targets = {k: y for k, (_, y) in prep.data.items()}
    if prep.classes is not None:
        return Classification(targets, prep.classes, model.predict_from)
    return Regression(targets, prep.y_model, prep.output_names, model.predict_from,
                      prep.scaling.y_std, s.bool_denormalize)


def _announce(prep: Prepared, s: Settings) -> None:
    """The log lines that open the training."""
    n_train, n_val = prep.n_train, int(prep.model_in["validation"].shape[0])
    sizes = f"{n_train} train / {n_val} validation"
    sizes += (f" / {prep.data['test'][0].shape[0]} test rows" if prep.has_test else
              " rows, no test set")
    _say(f"Training {s.interp_method} ({s.run_type}) on {sizes}; "
         f"{prep.spec.n_in} inputs, {len(s.output_col)} output(s); "
         f"{s.num_epochs} epochs, batch {min(s.batch_size, n_train)}, learning rate {s.learning_rate:g}")
    _say(f"Inputs: {', '.join(prep.input_names)}; output(s): {', '.join(prep.output_names)}")
    if prep.model_note:
        _say(prep.model_note)
    if s.ignored:
        _say(f"Ignored settings (they belong to other methods than {s.interp_method}): "
             f"{', '.join(s.ignored)}")
    if prep.split.val_is_train:
        _say("No validation rows: the training set stands in for validation.")
    for note in prep.notes:
        _say(note)


def _report(fitted: Fitted, prep: Prepared, s: Settings, model: TrainedModel,
            objective: Objective, score) -> TrainResult:
    """Check and report the kept model (`model`, holding its parameters)."""
    params, (m_train, m_val) = fitted.best_params, fitted.best_metrics
    metrics = {"train": m_train, "validation": m_val}
    if prep.has_test:
        metrics["test"] = score("test", params)
    _check_learned(prep.classes is not None, m_val, objective.baseline("validation"), s,
                   (fitted.lowest, fitted.last))

    kept_train, kept_val = m_train["_error"], m_val["_error"]
    error_test = metrics["test"]["_error"] if prep.has_test else None
    _say(f"Finished after {fitted.epochs_run} epochs in {fitted.seconds:.2f} s "
         f"({fitted.stop_reason}); kept the model of epoch {fitted.best_epoch}; its errors "
         f"reported as train_rmse, val_rmse and test_rmse are the {objective.meaning}: train "
         f"{kept_train:.4e}, validation {kept_val:.4e}"
         + (f", test {error_test:.4e}" if prep.has_test else "; no test set"))
    for name, m in metrics.items():
        _say(f"  {name}: {format_metrics(m)}")
    for m in metrics.values():  # helpers of the run only
        del m["_error"], m["_key"]

    model.info = {"data_filenames": [_shown_path(f) for f in s.data_filenames],
                  "bool_normalize": s.bool_normalize,
                  "learning_rate": s.learning_rate, "batch_size": s.batch_size,
                  "epochs_run": fitted.epochs_run, "best_epoch": fitted.best_epoch,
                  "random_seed": s.random_seed, "error_name": objective.error_name,
                  "error_test": error_test, "metrics": metrics}
    # The histories end with the kept model's errors.
    return TrainResult(fitted.errors_train + [kept_train], fitted.errors_val + [kept_val],
                       error_test, objective.error_name, fitted.check_epochs, fitted.epochs_run,
                       fitted.best_epoch, fitted.stop_reason, model, train_seconds=fitted.seconds,
                       metrics=metrics)


def _save(result: TrainResult, prep: Prepared, s: Settings, stamp: str) -> None:
    """Save the kept model and write the plots, as the settings ask."""
    model = result.model
    if s.bool_save_model:
        result.model_path = str(model.save(s.model_save_dir, stamp))
        _say(f"Saved the model to {result.model_path}")
    if s.bool_plot:
        from .plots import make_plots

        split = prep.split
        x_eval, y_eval, eval_name = ((split.x_test, split.y_test, "test") if prep.has_test else
                                     (split.x_val, split.y_val, "validation"))
        result.plot_paths = make_plots(
            s.plots_dir, model=model, result=result, x_eval=x_eval, y_eval=y_eval,
            eval_name=eval_name, x_train=split.x_train, out_axis=s.plot_out_axis,
            in_axis=s.plot_in_axis, params_number=s.plot_params_number, seed=s.random_seed,
            stamp=stamp)
        _say(f"Wrote {len(result.plot_paths)} plot(s) to {s.plots_dir}")


def _run_stamp(config, method: str) -> str:
    """The time stamp of the run: that of ``OUTPUT.log_file`` when given, else now."""
    log_file = (config.get("OUTPUT") or {}).get("log_file")
    if isinstance(log_file, str) and log_file:
        stem = os.path.splitext(os.path.basename(log_file))[0]
        stem = stem.removeprefix("training_")
        return stem.removeprefix(f"{method}_") or stem
    return time.strftime("%Y%m%d_%H%M%S")


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
    what, figures = (Classification if classify else Regression).shortfall(m_val, base)
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
