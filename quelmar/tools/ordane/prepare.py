"""The first step of a training run: its data in the model's units.

`prepare` reads (or first generates) the data, splits it, finds the classes,
fits the scaling, maps every split into the model's units exactly as
``predict`` maps its inputs, and describes the model (`ModelSpec`).
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Callable

import numpy as np

from .data import Scaling, Split, generate_dataset, load_split
from .model_io import model_inputs
from .models import ModelSpec, check_size, describe_model, grid_function
from .objective import known_labels
from .settings import Settings

UNSCALED_LIMIT = 1.0e18
"""Largest output magnitude trained without DATA_PARAM.bool_normalize (the
square of an error beyond about 1.8e19 overflows float32)."""


@dataclass
class Prepared:
    """A run's data, ready to train on.

    data        each split's (inputs, outputs) in data units: "train",
                "validation" and, when there is one, "test"
    model_in    each split's inputs in the model's units
    y_model     the training outputs in the model's units (class indices
                for classification)
    classes     the sorted labels of the training rows, or None (regression)
    notes       log lines about the data (labels no training row has)
    """

    split: Split
    scaling: Scaling
    classes: np.ndarray | None
    data: dict
    model_in: dict
    y_model: np.ndarray
    spec: ModelSpec
    model_note: str | None
    notes: list[str]

    @property
    def input_names(self) -> list[str]:
        return list(self.split.input_names)

    @property
    def output_names(self) -> list[str]:
        return list(self.split.output_names)

    @property
    def has_test(self) -> bool:
        return "test" in self.data

    @property
    def n_train(self) -> int:
        return int(self.model_in["train"].shape[0])


def shown_path(path):
    """The path a reader knows: a file handed over as an open descriptor
    (`/proc/self/fd/N/...`) is named by where it lies."""
    if path and str(path).startswith("/proc/self/fd/"):
        return os.path.realpath(path)
    return path


def prepare(s: Settings, say: Callable[..., None]) -> Prepared:
    """The data of the run `s` in the model's units, and the model's description."""
    classify = s.run_type == "classification"
    train_file = s.data_filenames[0]
    if s.bool_data_generation and not os.path.exists(train_file):
        say(f"Generating {s.data_size} rows of synthetic data into {shown_path(train_file)}")
        generate_dataset(train_file, s.data_size, s.input_col, s.output_col, s.run_type,
                         s.random_seed)

    split = load_split(s)
    classes = class_labels(split, [f for f in s.data_filenames if f]) if classify else None
    if not classify and not s.bool_normalize:
        check_magnitude(split.y_train, list(split.output_names))
    n_out = len(classes) if classify else len(s.output_col)
    scaling = _scaling(s, split, ModelSpec(s.interp_method, len(s.input_col), n_out,
                                           s.model_settings(), classify=classify))

    data = {"train": (split.x_train, split.y_train), "validation": (split.x_val, split.y_val)}
    if split.x_test is not None:
        data["test"] = (split.x_test, split.y_test)
    notes = unseen_label_notes(classes, data) if classify else []
    # Every split in the model's units, exactly as `predict` maps its inputs.
    model_in = {k: model_inputs(scaling, x) for k, (x, _) in data.items()}
    if classify:
        y_model = np.searchsorted(classes, split.y_train[:, 0].astype(np.int64)).astype(np.int32)
    else:
        y_model = scaling.y(split.y_train).astype(np.float32)

    x_train = np.asarray(model_in["train"])
    spec = ModelSpec(method=s.interp_method, n_in=len(s.input_col), n_out=n_out,
                     settings=s.model_settings(), grid_lo=x_train.min(axis=0).tolist(),
                     grid_hi=x_train.max(axis=0).tolist(), classify=classify)
    model_note = describe_model(spec)
    check_size(spec)
    return Prepared(split, scaling, classes, data, model_in, y_model, spec, model_note, notes)


def _scaling(s: Settings, split: Split, shape: ModelSpec) -> Scaling:
    """The maps into the model's units (the identity without bool_normalize).
    A function on a grid mapped to one on the same grid has one shared scale."""
    shared = grid_function(shape)
    if s.bool_normalize:
        return Scaling.fit(split.x_train, split.y_train, scale_outputs=not shape.classify,
                           shared=shared)
    return Scaling.identity(*((1, 1) if shared else (len(s.input_col), len(s.output_col))))


def class_labels(split: Split, files) -> np.ndarray:
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


def check_magnitude(y: np.ndarray, names) -> None:
    """Refuse outputs too large for the model's float32 units without scaling."""
    top = np.abs(y).max(axis=0)
    if (top > UNSCALED_LIMIT).any():
        j = int(np.argmax(top))
        raise ValueError(f"output {names[j]!r} reaches {top[j]:.3g} and DATA_PARAM.bool_normalize "
                         f"is false: the model computes in float32, where errors this large "
                         f"overflow when squared; set DATA_PARAM.bool_normalize true")


def unseen_label_notes(classes: np.ndarray, data: dict) -> list[str]:
    """Log lines on validation and test rows whose label is not a class of the
    training rows (each counts as misclassified).  Refuses a validation set
    without any label of the training rows: it could not rank the models."""
    notes = []
    for name in ("validation", "test"):
        if name not in data:
            continue
        labels = data[name][1][:, 0]
        known = known_labels(classes, labels)[1]
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
