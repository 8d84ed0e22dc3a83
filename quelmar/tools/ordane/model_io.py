"""A trained model with its scaling: prediction in data units, saving, loading."""

from __future__ import annotations

import json
import os
import time
from pathlib import Path

import jax
import numpy as np

from .data import Scaling
from .models import ModelSpec, make_apply

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
                 input_col, output_col, classes=None, info: dict | None = None):
        self.spec = spec
        self.params = {k: np.asarray(v) for k, v in params.items()}
        self.scaling = scaling
        self.run_type = run_type
        self.input_col = list(input_col)
        self.output_col = list(output_col)
        self.classes = None if classes is None else np.asarray(classes)
        self.info = dict(info or {})
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

    def save(self, directory: str | os.PathLike) -> Path:
        """Write ``<name>.npz`` and ``<name>.json`` into `directory`.

        The name is ``ordane_<method>_<run_type>_<time>``, with ``_1``, ``_2``
        ... added when that name is taken, so earlier runs are never
        overwritten.  Returns the path of the JSON file.
        """
        directory = Path(directory)
        directory.mkdir(parents=True, exist_ok=True)
        stem = f"ordane_{self.method}_{self.run_type}_{time.strftime('%Y%m%d-%H%M%S')}"
        meta = {
            "format_version": FORMAT_VERSION,
            "run_type": self.run_type,
            "model": self.spec.to_json(),
            "scaling": self.scaling.to_json(),
            "input_col": self.input_col,
            "output_col": self.output_col,
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
        params = {k: npz[k] for k in npz.files}
    return TrainedModel(spec, params, scaling, meta["run_type"], meta["input_col"],
                        meta["output_col"], meta.get("classes"), meta.get("info"))
