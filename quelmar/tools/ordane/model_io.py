"""A trained model with its scaling: prediction in data units, saving, loading."""

from __future__ import annotations

import json
import os
import time
from pathlib import Path

import jax
import numpy as np

from .data import Scaling
from .models import ModelSpec, init_params, make_apply, upgrade_params

FORMAT_VERSION = 1


class TrainedModel:
    """A trained model that predicts from inputs in the data's own units.

    `predict(x)` takes an array of shape (N, n_in) (the input columns, in the
    order of ``input_col``) and returns, for regression, an (N, n_out) array
    in the data's units, and for classification the (N,) predicted class
    labels (the original labels of the data).  `predict_proba(x)` gives the
    class probabilities, columns in the order of `classes`.
    """

    def __init__(self, spec: ModelSpec, params: dict, scaling: Scaling, run_type: str,
                 input_col, output_col, classes=None, info: dict | None = None,
                 input_names=None, output_names=None):
        self.spec = spec
        self.params = {k: np.asarray(v) for k, v in params.items()}
        self.scaling = scaling
        self.run_type = run_type
        self.input_col = list(input_col)
        self.output_col = list(output_col)
        self.classes = None if classes is None else np.asarray(classes)
        self.info = dict(info or {})
        # Header names of the columns (models saved before names were kept
        # have none: they are then called by their column index).
        self.input_names = ([str(n) for n in input_names] if input_names
                            else [f"column {c}" for c in self.input_col])
        self.output_names = ([str(n) for n in output_names] if output_names
                             else [f"column {c}" for c in self.output_col])
        self.has_names = bool(input_names)
        self._apply = jax.jit(make_apply(spec))

    @property
    def method(self) -> str:
        return self.spec.method

    def raw_output(self, x) -> np.ndarray:
        """The network's output (scaled units / logits) for inputs in data units."""
        x = np.asarray(x, dtype=np.float64)
        if x.ndim == 1:
            x = x.reshape(-1, self.spec.n_in) if self.spec.n_in > 1 else x[:, None]
        if x.ndim != 2 or x.shape[1] != self.spec.n_in:
            raise ValueError(f"expected inputs of shape (N, {self.spec.n_in}), got {x.shape}")
        xs = self.scaling.x(x).astype(np.float32)
        return np.asarray(self._apply(self.params, xs), dtype=np.float64)

    def predict(self, x) -> np.ndarray:
        out = self.raw_output(x)
        if self.run_type == "classification":
            return self.classes[np.argmax(out, axis=1)]
        return self.scaling.y_back(out)

    def predict_proba(self, x) -> np.ndarray:
        if self.run_type != "classification":
            raise ValueError("predict_proba is only for classification models")
        return np.asarray(jax.nn.softmax(self.raw_output(x), axis=1))

    # ------------------------------------------------------------ files

    def save(self, directory: str | os.PathLike, stamp: str | None = None) -> Path:
        """Write ``<name>.npz`` and ``<name>.json`` into `directory`.

        Args:
            directory: where to write (created when missing).
            stamp: the run's time stamp (default: now, as ``%Y%m%d_%H%M%S``).

        The name is ``ordane_<method>_<run_type>_<stamp>``, with ``_1``, ``_2``
        ... added when that name is taken, so earlier runs are never
        overwritten.  Returns the path of the JSON file.
        """
        directory = Path(directory)
        directory.mkdir(parents=True, exist_ok=True)
        stamp = stamp or time.strftime("%Y%m%d_%H%M%S")
        stem = f"ordane_{self.method}_{self.run_type}_{stamp}"
        meta = {
            "format_version": FORMAT_VERSION,
            "run_type": self.run_type,
            "model": self.spec.to_json(),
            "scaling": self.scaling.to_json(),
            "input_col": self.input_col,
            "output_col": self.output_col,
            "input_names": self.input_names if self.has_names else None,
            "output_names": self.output_names if self.has_names else None,
            "classes": None if self.classes is None else self.classes.tolist(),
            "info": self.info,
        }
        for i in range(10000):
            name = stem if i == 0 else f"{stem}_{i}"
            json_path = directory / f"{name}.json"
            try:
                fh = open(json_path, "x")  # claims the name atomically
            except FileExistsError:
                continue
            npz_path = directory / f"{name}.npz"
            if npz_path.exists():
                fh.close()
                json_path.unlink()
                continue
            meta["params_file"] = npz_path.name
            with fh:
                json.dump(meta, fh, indent=2)
            np.savez(npz_path, **self.params)
            return json_path
        raise RuntimeError(f"could not find a free file name for {stem} in {directory}")


def load_model(path: str | os.PathLike) -> TrainedModel:
    """Load a model saved by a training run.

    `path` is the saved ``.json`` file, its ``.npz`` file, or their common
    path without a suffix.  Returns a `TrainedModel`; call ``.predict(x)``.
    """
    path = Path(path)
    json_path = path if path.suffix == ".json" else path.with_suffix(".json")
    if path.suffix not in (".json", ".npz"):
        json_path = path.parent / (path.name + ".json")
    if not json_path.is_file():
        raise FileNotFoundError(f"saved model description not found: {json_path}")
    try:
        meta = json.loads(json_path.read_text())
        spec = ModelSpec.from_json(meta["model"])
        scaling = Scaling.from_json(meta["scaling"])
        npz_path = json_path.parent / meta.get("params_file", json_path.stem + ".npz")
    except (ValueError, KeyError, TypeError) as exc:
        raise ValueError(f"{json_path} is not a saved model description: {exc}") from None
    if not npz_path.is_file():
        raise FileNotFoundError(f"saved model parameters not found: {npz_path}")
    with np.load(npz_path) as npz:
        params = upgrade_params(spec, {k: npz[k] for k in npz.files})
    _check_params(params, spec, npz_path)
    return TrainedModel(spec, params, scaling, meta["run_type"], meta["input_col"],
                        meta["output_col"], meta.get("classes"), meta.get("info"),
                        meta.get("input_names"), meta.get("output_names"))


def _check_params(params: dict, spec: ModelSpec, npz_path: Path) -> None:
    """Refuse parameters whose names or shapes are not those of `spec`'s model
    (a file saved with another parameter layout, or a damaged one)."""
    want = jax.eval_shape(lambda: init_params(spec, jax.random.PRNGKey(0)))
    if params.keys() == want.keys() and all(params[k].shape == want[k].shape for k in want):
        return
    got = ", ".join(f"{k} {tuple(v.shape)}" for k, v in params.items())
    expected = ", ".join(f"{k} {tuple(v.shape)}" for k, v in want.items())
    raise ValueError(f"{npz_path} does not hold the parameters of a {spec.method} model with "
                     f"these settings (saved by another version?): it has {got}; "
                     f"expected {expected}")


def _inputs_of(model: TrainedModel, data) -> np.ndarray:
    """The model's input columns out of a CSV path, a DataFrame or an array."""
    import pandas as pd

    from .data import read_frame

    if isinstance(data, (str, os.PathLike)):
        data = read_frame(os.fspath(data))
    if not isinstance(data, pd.DataFrame):
        return np.asarray(data, dtype=np.float64)
    columns = [str(c) for c in data.columns]
    missing = [n for n in model.input_names if n not in columns]
    if not missing:
        frame = data.set_axis(columns, axis=1)[model.input_names]
    elif not model.has_names:  # an older model: the columns by index
        bad = [c for c in model.input_col if c >= data.shape[1]]
        if bad:
            raise ValueError(f"the data has {data.shape[1]} columns; the model reads column "
                             f"{bad[0]}")
        frame = data.iloc[:, model.input_col]
    else:
        raise ValueError(f"the data lacks the model's input column(s) "
                         f"{', '.join(map(repr, missing))}; it has {', '.join(map(repr, columns))}")
    values = frame.apply(pd.to_numeric, errors="coerce")
    bad = values.isna().to_numpy()
    if bad.any():
        row, col = map(int, np.argwhere(bad)[0])
        raise ValueError(f"input column {frame.columns[col]!r}: missing or non-numeric value "
                         f"{frame.iloc[row, col]!r} in data row {row + 1}")
    return values.to_numpy(dtype=np.float64)


def predict(model_file, data):
    """Predict with a saved model.

    Args:
        model_file: the saved model (its ``.json`` or ``.npz`` file, or a
            loaded `TrainedModel`).
        data: a CSV file path (first row: the header), a pandas DataFrame
            (the input columns are matched by name), or an array of shape
            (N, n_inputs) with the input columns in the model's order.

    Returns a pandas DataFrame with one row per data row: for regression one
    column per output, named like the training data's output columns; for
    classification the predicted label (under the output column's name) and
    the probability of each class (``P(<label>)``).
    """
    import pandas as pd

    model = model_file if isinstance(model_file, TrainedModel) else load_model(model_file)
    x = _inputs_of(model, data)
    if model.run_type != "classification":
        return pd.DataFrame(model.predict(x), columns=model.output_names)
    proba = model.predict_proba(x)
    frame = pd.DataFrame({model.output_names[0]: model.classes[np.argmax(proba, axis=1)]})
    for k, label in enumerate(model.classes):
        frame[f"P({label})"] = proba[:, k]
    return frame
