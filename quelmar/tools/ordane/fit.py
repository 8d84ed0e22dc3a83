"""The epoch loop of a training run.

`fit` trains epoch by epoch with a `Trainer` (the compiled epoch bound to the
run's rows).  Every `validation_period` epochs, after the last epoch and once
the training loss is below ``stopping_loss_train`` it checks the model: the
training and validation metrics, one progress line, and the best model by
validation score so far kept.  It stops after the last epoch, on
``patience`` checks in a row without a better model, or on a low training
loss, and raises ValueError once an epoch loss is not finite or
`DIVERGENCE_FACTOR` times the untrained model's.  After every epoch it calls
``on_epoch(epochs_done, epochs_total)``.
"""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from typing import Callable

import numpy as np

from . import compiled
from .models import ModelSpec, adapt, adapt_due
from .settings import Settings

DIVERGENCE_FACTOR = 1.0e4
"""An epoch loss this many times the untrained model's ends the run as diverged."""


@dataclass
class Trainer:
    """The compiled epoch of one run, bound to its rows: `x` (the padded
    inputs, or their parameter-free features with ``plan.split``) and `y`
    (padded outputs in the model's units) of which the first `n` are real."""

    spec: ModelSpec
    static: compiled.Static
    plan: compiled.Plan
    lo: np.ndarray
    hi: np.ndarray
    x: object
    y: object
    n: int
    x_model: np.ndarray  # the training inputs in the model's units
    learning_rate: float
    epochs: int
    shuffle_key: object
    place: object = None  # the devices (`devices.Placement`); None: the default device

    def epoch(self, params, opt_state, ep: int):
        """(parameters, optimiser state, mean training loss) after epoch `ep`."""
        params, opt_state, loss = compiled.epoch(
            self.static, self.plan, self.lo, self.hi, params, opt_state, self.learning_rate,
            self.shuffle_key, ep, self.x, self.y, self.n, self.place)
        return self.adapted(params, ep), opt_state, float(loss)

    def adapted(self, params, ep: int):
        """`params` after epoch `ep` (0: at initialisation) for a model that
        follows its data (KAN's grids); otherwise `params` themselves."""
        if not adapt_due(self.spec, ep, self.epochs):
            return params
        return compiled.layout(self.static).ravel(adapt(self.spec, self.unravel(params),
                                                        self.x_model))

    def unravel(self, flat) -> dict:
        """The model's parameter arrays (NumPy) of the flat vector `flat`."""
        return compiled.layout(self.static).unravel(np.asarray(flat))


@dataclass
class Fitted:
    """The outcome of the loop: the histories of the checks, the kept model
    (`best`: parameters, epoch and train/validation metrics), how and when
    the loop ended, and the lowest and last epoch losses (with their epochs;
    epoch 0 is the untrained model)."""

    errors_train: list[float] = field(default_factory=list)
    errors_val: list[float] = field(default_factory=list)
    check_epochs: list[int] = field(default_factory=list)
    best_key: tuple | None = None
    best_params: object = None
    best_epoch: int = 0
    best_metrics: tuple[dict, dict] | None = None
    since_best: int = 0
    epochs_run: int = 0
    stop_reason: str = "epochs"
    seconds: float = 0.0
    lowest: tuple[float, int] = (math.inf, 0)
    last: tuple[float, int] = (math.inf, 0)

    def check(self, ep: int, params, m_train: dict, m_val: dict) -> bool:
        """Record the check of epoch `ep`; keep its model when it is the best
        by validation score.  Returns whether it was kept."""
        self.errors_train.append(m_train["_error"])
        self.errors_val.append(m_val["_error"])
        self.check_epochs.append(ep)
        if self.best_key is None or m_val["_key"] < self.best_key:
            self.best_key, self.best_params, self.best_epoch = m_val["_key"], params, ep
            self.best_metrics, self.since_best = (m_train, m_val), 0
            return True
        self.since_best += 1
        return False


def fit(trainer: Trainer, params, opt_state, score: Callable, start_loss: float, s: Settings,
        error_name: str, on_epoch: Callable[[int, int], None],
        say: Callable[..., None]) -> Fitted:
    """Train from `params`, `opt_state`; `score(split, params)` gives a
    split's metrics, `start_loss` is the untrained model's loss."""
    run = Fitted(lowest=(start_loss, 0))
    loss, ep = start_loss, 0
    start = time.perf_counter()
    for ep in range(1, s.num_epochs + 1):
        params, opt_state, loss = trainer.epoch(params, opt_state, ep)
        on_epoch(ep, s.num_epochs)
        run.lowest = min(run.lowest, (loss, ep))
        _check_diverged(loss, ep, start_loss, s.learning_rate)
        low_loss = loss < s.stopping_loss_train
        if ep % s.validation_period and not low_loss and ep != s.num_epochs:
            continue
        kept = run.check(ep, params, score("train", params), score("validation", params))
        say(f"epoch {ep:6d}  elapsed {time.perf_counter() - start:8.2f} s  loss {loss:.4e}  "
            f"train {error_name} {run.errors_train[-1]:.4e}  val {error_name} "
            f"{run.errors_val[-1]:.4e}" + ("  *" if kept else ""))
        if low_loss:
            run.stop_reason = "stopping_loss_train"
            say(f"Stopping: training loss {loss:.3e} < stopping_loss_train "
                f"{s.stopping_loss_train:g}")
            break
        if run.since_best >= s.patience:
            run.stop_reason = "patience"
            say(f"Stopping early: no better validation error in {s.patience} checks")
            break
    run.seconds = time.perf_counter() - start
    run.epochs_run, run.last = ep, (loss, ep)
    return run


def _check_diverged(loss: float, ep: int, start_loss: float, learning_rate: float) -> None:
    if not math.isfinite(loss) or loss > DIVERGENCE_FACTOR * max(start_loss, 1e-12):
        raise ValueError(f"training diverged: the loss is {loss:.4g} at epoch {ep} "
                         f"(before training: {start_loss:.4g}); lower "
                         f"TRAIN_PARAM.learning_rate (now {learning_rate:g})")
