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
                        is the header unless all its fields are numbers.
                        One file: split by ``split_ratio``.  Two files: the
                        second is the held-out set, used for validation and
                        reported as the test error (``split_ratio`` unused).
                        Three files: train, validation, test.  A null or
                        empty entry stands for an absent file: trailing ones
                        are dropped, and [train, null, test] splits the
                        training file into training and validation rows in
                        the ratio of the first two ``split_ratio`` shares.
  input_col, output_col Lists of 0-based column indices (required).  The
                        selected columns must be numeric with no missing
                        values; an index must exist in every file.
  split_ratio           [train, validation, test] fractions, non-negative,
                        summing to 1, train > 0.  Default [0.7, 0.15, 0.15].
                        Row counts are rounded; with no validation rows the
                        training set stands in for validation; with no test
                        rows ``error_test`` is None.
  bool_shuffle          Shuffle the rows (with ``random_seed``) before
                        splitting a single file.  Default true.
  bool_normalize        Scale inputs to [0, 1] by the training minimum and
                        range, and (regression) standardise outputs by the
                        training mean and standard deviation.  Default true.
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
                        ``ordane_<method>_<run_type>_<time>[_n].npz`` (the
                        parameters) and ``.json`` (method, settings, scaling,
                        columns, classes); never overwrites.  Default true.
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

run_type is "regression" (errors are RMSE over all outputs) or
"classification" (any method, one output logit per class; one output column of integer labels, mapped in
sorted order to classes 0..K-1 over all the data files; softmax
cross-entropy; errors are misclassification rates).

gpu_idx picks ``jax.devices('gpu')[gpu_idx]`` when GPUs exist (out of range is
a ValueError); without a GPU the run uses the CPU and says so.

The model reported, saved and plotted is the one with the best validation
error among the checks.
"""

from __future__ import annotations

import math
import os
import time
from dataclasses import dataclass, field

import numpy as np

from . import progress
from .data import Scaling, generate_dataset, load_split
from .model_io import TrainedModel, load_model
from .models import describe_settings
from .settings import Settings, parse_settings

__doc__ = __doc__.replace("{model_settings}", describe_settings())

__all__ = ["TrainResult", "TrainedModel", "load_model", "train_model"]


@dataclass
class TrainResult:
    """What a training run returns.

    errors_train, errors_val  error at each check, in order
    error_test                error on the test set of the final model, or None
    error_name                "RMSE" or "misclassification rate"
    check_epochs              epoch of each check
    epochs_run                epochs trained
    best_epoch                epoch of the check whose model was kept
    stop_reason               "epochs", "patience" or "stopping_loss_train"
    model                     the TrainedModel (``.predict``)
    model_path                saved JSON file, or None
    plot_paths                PNG files written
    train_seconds             wall time of the training loop (compile included)
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


def _say(*args) -> None:
    print(*args, flush=True)  # print() looks sys.stdout up at each call


def _select_device(gpu_idx: int):
    import jax

    try:
        gpus = jax.devices("gpu")
    except RuntimeError:
        gpus = []
    if gpus:
        if gpu_idx >= len(gpus):
            raise ValueError(f"gpu_idx {gpu_idx} is out of range: this machine has "
                             f"{len(gpus)} GPU(s) (0..{len(gpus) - 1})")
        return gpus[gpu_idx]
    device = jax.devices("cpu")[0]
    _say(f"No GPU found; running on the CPU ({device}).")
    return device


def _class_labels(split, files) -> np.ndarray:
    """Sorted distinct integer labels over all splits (refuses non-integers)."""
    parts = [split.y_train, split.y_val]
    if split.x_test is not None:
        parts.append(split.y_test)
    labels = np.concatenate([p[:, 0] for p in parts])
    bad = labels[labels != np.round(labels)]
    if bad.size:
        raise ValueError(f"classification labels must be integers; output column in "
                         f"{', '.join(files)} holds {bad[0]!r}")
    classes = np.unique(labels.astype(np.int64))
    if classes.size < 2:
        raise ValueError(f"classification needs at least two classes; the data has only "
                         f"label {classes[0]}")
    return classes


def train_model(*, config, run_type, gpu_idx=0) -> TrainResult:
    """Train one model as `config` says and return a `TrainResult`.

    Keyword arguments only.  See the module docstring for the settings.
    """
    s = parse_settings(config, run_type, gpu_idx)
    import jax

    device = _select_device(s.gpu_idx)
    with jax.default_device(device):
        return _run(s, device)


def _run(s: Settings, device) -> TrainResult:
    import jax
    import jax.numpy as jnp
    import optax

    from .models import ModelSpec, init_params, make_apply

    classify = s.run_type == "classification"
    train_file = s.data_filenames[0]
    if s.bool_data_generation and not os.path.exists(train_file):
        _say(f"Generating {s.data_size} rows of synthetic data into {train_file}")
        generate_dataset(train_file, s.data_size, s.input_col, s.output_col, s.run_type,
                         s.random_seed)

    split = load_split(s)
    classes = (_class_labels(split, [f for f in s.data_filenames if f]) if classify
               else None)

    scaling = (Scaling.fit(split.x_train, split.y_train, scale_outputs=not classify)
               if s.bool_normalize else
               Scaling.identity(len(s.input_col), len(s.output_col)))

    def model_x(x):
        return jnp.asarray(scaling.x(x), dtype=jnp.float32)

    def model_y(y):
        if classify:
            return jnp.asarray(np.searchsorted(classes, y[:, 0].astype(np.int64)),
                               dtype=jnp.int32)
        return jnp.asarray(scaling.y(y), dtype=jnp.float32)

    xt, yt = model_x(split.x_train), model_y(split.y_train)
    xv, yv = model_x(split.x_val), model_y(split.y_val)
    has_test = split.x_test is not None
    xs, ys = (model_x(split.x_test), model_y(split.y_test)) if has_test else (None, None)
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
    apply = make_apply(spec)

    # ---------------------------------------------------------- loss & error
    if classify:
        def sample_loss(pred, y):
            return optax.softmax_cross_entropy_with_integer_labels(pred, y)

        @jax.jit
        def error(params, x, y):
            return jnp.mean(jnp.argmax(apply(params, x), axis=1) != y)
        error_name = "misclassification rate"
    else:
        def sample_loss(pred, y):
            return jnp.mean((pred - y) ** 2, axis=1)

        unit = (np.asarray(scaling.y_std, dtype=np.float32)
                if s.bool_denormalize else np.ones(len(s.output_col), np.float32))

        @jax.jit
        def error(params, x, y):
            return jnp.sqrt(jnp.mean(((apply(params, x) - y) * unit) ** 2))
        error_name = "RMSE"

    # ---------------------------------------------------------- one epoch
    batch = min(s.batch_size, n_train)
    n_batches = math.ceil(n_train / batch)
    pad = n_batches * batch - n_train
    mask = (jnp.arange(n_batches * batch) < n_train).astype(jnp.float32)
    mask = mask.reshape(n_batches, batch)
    optimizer = optax.adam(s.learning_rate)

    @jax.jit
    def epoch(params, opt_state, key, x, y):
        order = jnp.concatenate([jax.random.permutation(key, n_train),
                                 jnp.zeros(pad, dtype=jnp.int32)])
        order = order.reshape(n_batches, batch)

        def step(carry, batch_in):
            params, opt_state = carry
            idx, m = batch_in

            def loss_fn(p):
                return jnp.sum(sample_loss(apply(p, x[idx]), y[idx]) * m) / jnp.sum(m)

            loss, grads = jax.value_and_grad(loss_fn)(params)
            updates, opt_state = optimizer.update(grads, opt_state, params)
            return (optax.apply_updates(params, updates), opt_state), loss * jnp.sum(m)

        (params, opt_state), losses = jax.lax.scan(step, (params, opt_state), (order, mask))
        return params, opt_state, jnp.sum(losses) / n_train

    # ---------------------------------------------------------- training loop
    init_key, shuffle_key = jax.random.split(jax.random.PRNGKey(s.random_seed))
    params = init_params(spec, init_key)
    opt_state = optimizer.init(params)

    sizes = f"{n_train} train / {xv.shape[0]} validation"
    sizes += f" / {xs.shape[0]} test rows" if has_test else " rows, no test set"
    _say(f"Training {s.interp_method} ({s.run_type}) on {sizes}; "
         f"{spec.n_in} inputs, {len(s.output_col)} output(s); "
         f"{s.num_epochs} epochs, batch {batch}, learning rate {s.learning_rate:g}")
    if s.ignored:
        _say(f"Ignored settings (they belong to other methods than {s.interp_method}): "
             f"{', '.join(s.ignored)}")
    if split.val_is_train:
        _say("No validation rows: the training set stands in for validation.")
    if split.test_is_val:
        _say("Two data files: the second is used for validation and as the test set.")

    errors_train: list[float] = []
    errors_val: list[float] = []
    check_epochs: list[int] = []
    best = (math.inf, params, 0)
    since_best = 0
    stop_reason = "epochs"
    ep = 0
    start = time.perf_counter()
    for ep in range(1, s.num_epochs + 1):
        params, opt_state, loss = epoch(params, opt_state,
                                        jax.random.fold_in(shuffle_key, ep), xt, yt)
        loss = float(loss)
        progress.report(ep, s.num_epochs)
        if not math.isfinite(loss):
            raise ValueError(f"training diverged: the loss is {loss} at epoch {ep}; lower "
                             f"TRAIN_PARAM.learning_rate (now {s.learning_rate:g})")
        low_loss = loss < s.stopping_loss_train
        if ep % s.validation_period and not low_loss and ep != s.num_epochs:
            continue
        e_train = float(error(params, xt, yt))
        e_val = float(error(params, xv, yv))
        errors_train.append(e_train)
        errors_val.append(e_val)
        check_epochs.append(ep)
        if e_val < best[0]:
            best, since_best = (e_val, params, ep), 0
        else:
            since_best += 1
        _say(f"epoch {ep:6d}  loss {loss:.4e}  train {error_name} {e_train:.4e}  "
             f"val {error_name} {e_val:.4e}" + ("  *" if since_best == 0 else ""))
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
    best_error, params, best_epoch = best

    error_test = float(error(params, xs, ys)) if has_test else None
    _say(f"Finished after {ep} epochs in {seconds:.2f} s; best validation {error_name} "
         f"{best_error:.4e} at epoch {best_epoch}"
         + (f"; test {error_name} {error_test:.4e}" if has_test else "; no test set"))

    model = TrainedModel(spec, jax.device_get(params), scaling, s.run_type, s.input_col,
                         s.output_col, classes,
                         info={"data_filenames": list(s.data_filenames),
                               "bool_normalize": s.bool_normalize,
                               "learning_rate": s.learning_rate, "batch_size": s.batch_size,
                               "epochs_run": ep, "best_epoch": best_epoch,
                               "random_seed": s.random_seed, "error_name": error_name,
                               "error_test": error_test})
    result = TrainResult(errors_train, errors_val, error_test, error_name, check_epochs, ep,
                         best_epoch, stop_reason, model, train_seconds=seconds)

    if s.bool_save_model:
        result.model_path = str(model.save(s.model_save_dir))
        _say(f"Saved the model to {result.model_path}")
    if s.bool_plot:
        from .plots import make_plots

        x_eval, y_eval, eval_name = ((split.x_test, split.y_test, "test") if has_test else
                                     (split.x_val, split.y_val, "validation"))
        result.plot_paths = make_plots(
            s.plots_dir, model=model, result=result, x_eval=x_eval, y_eval=y_eval,
            eval_name=eval_name, x_train=split.x_train, out_axis=s.plot_out_axis,
            in_axis=s.plot_in_axis, params_number=s.plot_params_number, seed=s.random_seed)
        _say(f"Wrote {len(result.plot_paths)} plot(s) to {s.plots_dir}")
    return result
