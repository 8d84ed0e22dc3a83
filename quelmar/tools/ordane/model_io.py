"""A trained model with its scaling: prediction in data units, saving, loading."""

from __future__ import annotations

import errno
import json
import os
import stat
import time
import zipfile
from pathlib import Path

import numpy as np

from .data import Scaling
from .compiled import Static, apply_rows, apply_spread, bucket, grid_arrays, pad_rows
from .models import ModelSpec, check_size, grid_function, upgrade_params

FORMAT_VERSION = 1

EVAL_CHUNK = 16384
"""Rows computed at once by `TrainedModel.raw_output` (bounds its memory)."""

EVAL_LEAST = 64
"""Fewest rows of a chunk: shorter ones are padded (chunks are padded to a
power of two, so that a handful of programs serve every row count)."""


def model_inputs(scaling: Scaling, x: np.ndarray) -> np.ndarray:
    """Inputs in data units mapped to the model's: scaled in float64, then float32."""
    return scaling.x(x).astype(np.float32)


def softmax(logits: np.ndarray) -> np.ndarray:
    """Class probabilities of float64 logits, rows summing to 1."""
    shifted = np.exp(logits - logits.max(axis=1, keepdims=True))
    return shifted / shifted.sum(axis=1, keepdims=True)


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
        self._static = Static.of(spec)
        self._grid = grid_arrays(spec)

    @property
    def method(self) -> str:
        return self.spec.method

    @property
    def any_grid(self) -> bool:
        """The model maps a function on a grid to one on the same grid, of any size."""
        return grid_function(self.spec)

    def output_names_for(self, n: int) -> list[str]:
        """Names of the outputs on an n-point grid: the training names on the
        training grid; on another, a name that ends in the point's index
        continues the training names' numbering (``u1_0`` ... ``u1_511``),
        else ``<first name>[j]``."""
        if n == len(self.output_names):
            return list(self.output_names)
        stem, first = _numbered(self.output_names)
        if stem is None:
            return [f"{self.output_names[0]}[{j}]" for j in range(n)]
        return [f"{stem}{first + j}" for j in range(n)]

    def raw_output(self, x, params=None) -> np.ndarray:
        """The network's output (scaled units / logits) for inputs in data units,
        as float64 (`params`: other parameters of the same layout, as the
        training run's checks use)."""
        x = np.asarray(x, dtype=np.float64)
        if x.ndim == 1:
            x = x.reshape(-1, self.spec.n_in) if self.spec.n_in > 1 else x[:, None]
        # A function-to-function model reads the function on a grid of any size.
        if x.ndim != 2 or (x.shape[1] != self.spec.n_in and not self.any_grid):
            raise ValueError(f"expected inputs of shape (N, {self.spec.n_in}), got {x.shape}")
        return self.output_of(model_inputs(self.scaling, x), params)

    def output_of(self, xs, params=None, place=None) -> np.ndarray:
        """`raw_output` for inputs already in the model's units (`model_inputs`).

        The rows go through the network in chunks of `EVAL_CHUNK`, so memory
        does not grow with their number.  The training run scores its checks
        and the kept model through here too, so `predict` on the same rows
        gives the very outputs that were scored.  With `place` (a
        `devices.Placement` over several devices) each chunk is sharded by
        rows over its devices (every process of a run must then call this
        alike).
        """
        params = self.params if params is None else params
        xs = np.asarray(xs, dtype=np.float32)
        lo, hi = self._grid
        mesh = None if place is None else place.mesh
        parts = []
        for i in range(0, xs.shape[0], EVAL_CHUNK):
            chunk = xs[i:i + EVAL_CHUNK]
            rows = min(bucket(chunk.shape[0], EVAL_LEAST), EVAL_CHUNK)
            if mesh is None:
                out = apply_rows(self._static, lo, hi, params, pad_rows(chunk, rows))
            else:
                out = apply_spread(self._static, mesh, lo, hi, place.replicated(params),
                                   place.rows(chunk, rows=rows))
            parts.append(np.asarray(out)[:chunk.shape[0]])
        if not parts:
            return np.zeros((0, self.spec.n_out))
        return np.concatenate(parts).astype(np.float64)

    def predict(self, x, params=None) -> np.ndarray:
        return self.predict_from(self.raw_output(x, params))

    def predict_from(self, out: np.ndarray) -> np.ndarray:
        """Predictions in data units from `raw_output`'s values: the outputs
        denormalised (float64), or the class of the largest logit (the first
        one on a tie)."""
        if self.run_type == "classification":
            return self.classes[np.argmax(out, axis=1)]
        return self.scaling.y_back(out)

    def predict_proba(self, x) -> np.ndarray:
        if self.run_type != "classification":
            raise ValueError("predict_proba is only for classification models")
        return softmax(self.raw_output(x))

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


def load_model(path: str | os.PathLike, *, follow_links: bool = True) -> TrainedModel:
    """Load a model saved by a training run.

    `path` is the saved ``.json`` file, its ``.npz`` file, or their common
    path without a suffix.  Returns a `TrainedModel`; call ``.predict(x)``.

    The parameters are read from the file the description names
    (``params_file``), which must be a plain file name: the file lies beside
    the description, in the same folder; any other name is refused before
    anything is opened.  A model with more than `models.MAX_PARAMETERS`
    parameters is refused before they are read.  With ``follow_links=False``
    (as the tool host asks) neither file may be a link.
    """
    path = Path(path)
    json_path = path if path.suffix == ".json" else path.with_suffix(".json")
    if path.suffix not in (".json", ".npz"):
        json_path = path.parent / (path.name + ".json")
    nofollow = 0 if follow_links else os.O_NOFOLLOW
    try:
        folder = os.open(json_path.parent, _FOLDER)
    except OSError:
        raise FileNotFoundError(f"saved model description not found: {json_path}") from None
    try:
        with _open_beside(folder, json_path.name, nofollow, "saved model description",
                          json_path) as fh:
            text = fh.read()
        try:
            meta = json.loads(text)
            spec = ModelSpec.from_json(meta["model"])
            scaling = Scaling.from_json(meta["scaling"])
            params_name = meta.get("params_file", json_path.stem + ".npz")
        except (ValueError, KeyError, TypeError, AttributeError) as exc:
            raise ValueError(f"{json_path} is not a saved model description: {exc}") from None
        if not _plain_name(params_name):
            raise ValueError(f"{json_path}: params_file {params_name!r} is not the name of a file "
                             f"beside the description; the parameters must lie in the same folder")
        npz_path = json_path.parent / params_name
        try:
            want = check_size(spec)
        except (KeyError, TypeError) as exc:
            raise ValueError(f"{json_path} is not a saved model description: {exc!r}") from None
        with _open_beside(folder, params_name, nofollow, "saved model parameters",
                          npz_path) as fh, np.load(fh) as npz:
            params = _read_params(npz, want, spec, npz_path)
    finally:
        os.close(folder)
    return TrainedModel(spec, params, scaling, meta["run_type"], meta["input_col"],
                        meta["output_col"], meta.get("classes"), meta.get("info"),
                        meta.get("input_names"), meta.get("output_names"))


_FOLDER = getattr(os, "O_PATH", os.O_RDONLY) | os.O_DIRECTORY | os.O_CLOEXEC


def _plain_name(name) -> bool:
    """A file name without a folder: no separator, not "." or "..", no NUL."""
    return (isinstance(name, str) and name not in ("", ".", "..") and "/" not in name
            and os.sep not in name and "\0" not in name)


def _open_beside(folder: int, name: str, nofollow: int, what: str, shown: Path):
    """The regular file `name` in the open `folder`, as a binary file object."""
    try:
        fd = os.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | nofollow, dir_fd=folder)
    except FileNotFoundError:
        raise FileNotFoundError(f"{what} not found: {shown}") from None
    except OSError as exc:
        if nofollow and exc.errno == errno.ELOOP:
            raise ValueError(f"{what} {shown} is a link, which is not followed") from None
        raise ValueError(f"{what} {shown} cannot be opened: {exc.strerror}") from None
    fh = os.fdopen(fd, "rb")
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        fh.close()
        raise ValueError(f"{what} {shown} is not a regular file")
    os.set_blocking(fd, True)
    return fh


_HEADER_READERS = {(1, 0): np.lib.format.read_array_header_1_0,
                   (2, 0): np.lib.format.read_array_header_2_0}


def _read_params(npz, want: dict, spec: ModelSpec, npz_path: Path) -> dict:
    """The arrays of `npz`, after checking from their headers (before reading
    them) that their names and shapes are those of `spec`'s model."""
    shapes = {}
    try:
        for name in npz.files:
            with npz.zip.open(name + ".npy") as member:
                reader = _HEADER_READERS.get(np.lib.format.read_magic(member))
                if reader is None:
                    raise ValueError("an unknown array format")
                shapes[name] = tuple(reader(member)[0])
    except (ValueError, KeyError, OSError, zipfile.BadZipFile) as exc:
        raise ValueError(f"{npz_path} is not a saved parameters file: {exc}") from None
    # Arrays that an earlier layout of the method did not save (KAN's grids)
    # are completed to today's layout.
    added = {k: np.shape(v) for k, v in upgrade_params(spec, dict.fromkeys(shapes)).items()
             if k not in shapes}
    _check_params({**shapes, **added}, spec, npz_path, want)
    return upgrade_params(spec, {k: npz[k] for k in npz.files})


def _check_params(shapes: dict, spec: ModelSpec, npz_path: Path, want: dict) -> None:
    """Refuse parameter shapes that are not those of `spec`'s model, `want`
    (a file saved with another parameter layout, or a damaged one)."""
    if shapes.keys() == want.keys() and all(shapes[k] == want[k].shape for k in want):
        return
    got = ", ".join(f"{k} {v}" for k, v in shapes.items())
    expected = ", ".join(f"{k} {tuple(v.shape)}" for k, v in want.items())
    raise ValueError(f"{npz_path} does not hold the parameters of a {spec.method} model with "
                     f"these settings (saved by another version?): it has {got}; "
                     f"expected {expected}")


def _numbered(names) -> tuple[str | None, int]:
    """(stem, first index) when `names` are stem + consecutive integers
    (``x0, x1, ...``), else (None, 0)."""
    import re

    parts = [re.fullmatch(r"(.*?)(\d+)", str(n)) for n in names]
    if not parts or not all(parts) or len({p.group(1) for p in parts}) != 1:
        return None, 0
    first = int(parts[0].group(2))
    if [int(p.group(2)) for p in parts] != list(range(first, first + len(parts))):
        return None, 0
    return parts[0].group(1), first


def _grid_columns(model: TrainedModel, columns: list[str]) -> list[str] | None:
    """The columns of a function sampled on another grid size: the training
    input names' numbering continued (or cut short) in `columns`, or None."""
    stem, first = _numbered(model.input_names)
    if stem is None or not model.any_grid:
        return None
    present = set(columns) - set(model.output_names)   # the numbering stops at an output
    out = []
    while f"{stem}{first + len(out)}" in present:
        out.append(f"{stem}{first + len(out)}")
    return out if out and len(out) != len(model.input_names) else None


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
    grid = _grid_columns(model, columns) if model.has_names else None
    if grid:   # the same function on a grid of another size
        frame = data.set_axis(columns, axis=1)[grid]
    elif not missing:
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
            A function-to-function model (FNO, function head) also reads
            the function sampled on a grid of another size: an array of
            shape (N, m), or a file or frame whose input names continue the
            training names' numbering (``u0_0`` ... ``u0_511``); its outputs
            are then the m values on that grid.

    Returns a pandas DataFrame with one row per data row: for regression one
    column per output, named like the training data's output columns; for
    classification the predicted label (under the output column's name) and
    the probability of each class (``P(<label>)``).
    """
    import pandas as pd

    model = model_file if isinstance(model_file, TrainedModel) else load_model(model_file)
    x = _inputs_of(model, data)
    if model.run_type != "classification":
        out = model.predict(x)
        return pd.DataFrame(out, columns=model.output_names_for(out.shape[1]))
    logits = model.raw_output(x)
    proba = softmax(logits)
    # The label is the largest logit's, as the training run scores it (two
    # logits a hair apart can round to the same probability).
    frame = pd.DataFrame({model.output_names[0]: model.predict_from(logits)})
    for k, label in enumerate(model.classes):
        frame[f"P({label})"] = proba[:, k]
    return frame
