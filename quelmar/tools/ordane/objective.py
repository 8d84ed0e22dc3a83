"""What a training run measures: regression or classification.

Each objective scores a model's outputs on a split (its metrics, including
the run's error and the selection score), scores the trivial predictor (the
training mean, or the training rows' class shares), gives the loss of the
untrained model, and words how far a model that did not learn fell short.

Every metric is computed in float64 from the model's raw outputs through the
saved model's own prediction code (`predict_from`), as ``predict`` computes
it later.  Besides the figures reported, a metrics dict holds "_error" (the
error of the run's history) and "_key" (the selection score, lower is
better); the run removes both before reporting.
"""

from __future__ import annotations

from typing import Callable

import numpy as np


def known_labels(classes: np.ndarray, labels: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(class index of each label, whether the label is one of `classes`)."""
    index = np.minimum(np.searchsorted(classes, labels), len(classes) - 1)
    return index, classes[index] == labels


def regression_metrics(pred: np.ndarray, y: np.ndarray, unit: np.ndarray, names,
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


def classification_metrics(logits: np.ndarray, pred: np.ndarray, labels: np.ndarray,
                           classes: np.ndarray) -> dict:
    """Accuracy of the predicted labels `pred` (a label outside `classes` is
    always an error) and cross-entropy of the float64 `logits` over the rows
    whose label is a class (None when none is); "_error" is the
    misclassification rate, "_key" the selection score."""
    index, known = known_labels(classes, labels)
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


def format_metrics(split_metrics: dict) -> str:
    """One split's metrics as the run's log shows them."""
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


class Regression:
    """Mean squared error in the model's units; errors are RMSE in the data's
    units (`denormalize`) or the model's (`y_std`: the output scale)."""

    error_name = "RMSE"

    def __init__(self, targets: dict, train_y_model: np.ndarray, names,
                 predict_from: Callable, y_std, denormalize: bool):
        """`targets`: each split's outputs in data units; `train_y_model`:
        the training outputs in the model's units."""
        self.targets, self.names, self.predict_from = targets, list(names), predict_from
        self.train_y_model = np.asarray(train_y_model, np.float64)
        y_train = targets["train"]
        self.unit = np.ones(y_train.shape[1]) if denormalize else np.asarray(y_std, np.float64)
        train_var = y_train.var(axis=0) / self.unit ** 2
        self.train_var = np.where(train_var > 0, train_var, 1.0)
        self.train_mean = y_train.mean(axis=0)
        self.meaning = (f"RMSE over all outputs, in the {'data' if denormalize else 'model'}'s "
                        f"units")

    def metrics(self, split: str, out: np.ndarray) -> dict:
        """The metrics of the model outputs `out` on `split`'s rows."""
        return regression_metrics(self.predict_from(out), self.targets[split], self.unit,
                                  self.names, self.train_var)

    def baseline(self, split: str) -> dict:
        """The metrics of predicting the training mean on `split`'s rows."""
        y = self.targets[split]
        return regression_metrics(np.broadcast_to(self.train_mean, y.shape), y, self.unit,
                                  self.names, self.train_var)

    def start_loss(self, out: np.ndarray) -> float:
        """The loss minimised, of the outputs `out` on the training rows."""
        return float(np.mean((out - self.train_y_model) ** 2))

    @staticmethod
    def shortfall(m_val: dict, base: dict) -> tuple[str, str]:
        """(what is compared, the figures) of a kept model against the trivial one."""
        score, trivial = m_val["_key"][0], base["_key"][0]
        r2 = ", ".join(f"{k} {'n/a' if v is None else f'{v:.3g}'}" for k, v in m_val["R2"].items())
        return ("error (each output's RMSE over its training standard deviation, averaged over "
                "the outputs)",
                f"{score:.4g} (R2 {r2}) against {trivial:.4g} for predicting the training mean")


class Classification:
    """Softmax cross-entropy over one logit per class; errors are
    misclassification rates."""

    error_name = "misclassification rate"
    meaning = "misclassification rate: the share of rows given a wrong class"

    def __init__(self, targets: dict, classes: np.ndarray, predict_from: Callable):
        """`targets`: each split's label column (data units); `classes`: the
        sorted labels of the training rows."""
        self.labels = {k: y[:, 0] for k, y in targets.items()}
        self.classes, self.predict_from = classes, predict_from
        counts = np.bincount(np.searchsorted(classes, self.labels["train"].astype(np.int64)),
                             minlength=len(classes))
        self.trivial_logits = np.log(counts / counts.sum())

    def metrics(self, split: str, out: np.ndarray) -> dict:
        """The metrics of the logits `out` on `split`'s rows."""
        return classification_metrics(out, self.predict_from(out), self.labels[split],
                                      self.classes)

    def baseline(self, split: str) -> dict:
        """The metrics of predicting the training rows' class shares on `split`'s rows."""
        n = self.labels[split].shape[0]
        return self.metrics(split, np.broadcast_to(self.trivial_logits, (n, len(self.classes))))

    def start_loss(self, out: np.ndarray) -> float:
        """The loss minimised (cross-entropy), of the logits `out` on the training rows."""
        return self.metrics("train", out)["cross_entropy"]

    @staticmethod
    def shortfall(m_val: dict, base: dict) -> tuple[str, str]:
        """(what is compared, the figures) of a kept model against the trivial one."""
        score, trivial = m_val["_key"][0], base["_key"][0]
        return ("cross-entropy",
                f"{score:.4g} (accuracy {m_val['accuracy']:.4g}) against {trivial:.4g} "
                f"(accuracy {base['accuracy']:.4g}) for predicting the training rows' class "
                f"shares (their majority class)")


Objective = Regression | Classification
