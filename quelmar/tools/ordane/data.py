"""Data handling: reading CSV files, the synthetic data set, splits and scaling."""

from __future__ import annotations

import os
import re
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pandas as pd


# ---------------------------------------------------------------- synthetic data

def synthetic_function(x: np.ndarray, n_out: int) -> np.ndarray:
    """The smooth test function of the synthetic data set.

    For inputs ``x`` of shape (N, d) in [0, 1]^d, output j (0-based) is

        y_j = (1/d) * sum_i sin(2*pi*x_i + j*pi/4) + prod_i x_i

    """
    x = np.asarray(x, dtype=np.float64)
    d = x.shape[1]
    cols = [np.sin(2 * np.pi * x + j * np.pi / 4).sum(axis=1) / d + np.prod(x, axis=1)
            for j in range(n_out)]
    return np.stack(cols, axis=1)


def generate_dataset(path: str | os.PathLike, size: int, input_col, output_col,
                     run_type: str = "regression", seed: int = 0) -> None:
    """Write the synthetic data set of `size` rows to the CSV file `path`.

    The inputs, at the positions `input_col`, are drawn uniformly from [0, 1].
    For regression the outputs, at `output_col`, follow `synthetic_function`.
    For classification the single output column holds the class label 0, 1
    or 2: 0 where the first output of `synthetic_function` is below 0.1, 1
    where it is below 0.5, and 2 elsewhere.  Columns that are neither inputs
    nor outputs are filled with uniform noise on [0, 1].  An existing file is never replaced.
    """
    path = Path(path)
    rng = np.random.default_rng(seed)
    ncols = max(max(input_col), max(output_col)) + 1
    table = rng.uniform(0.0, 1.0, size=(size, ncols))
    x = table[:, list(input_col)]
    y = synthetic_function(x, len(output_col))
    if run_type == "classification":
        y = np.digitize(y[:, :1], [0.1, 0.5]).astype(np.float64)
    table[:, list(output_col)] = y
    columns = [f"c{i}" for i in range(ncols)]
    for k, c in enumerate(input_col):
        columns[c] = f"x{k + 1}"
    for k, c in enumerate(output_col):
        columns[c] = ("label" if run_type == "classification"
                      else "y" if len(output_col) == 1 else f"y{k + 1}")
    frame = pd.DataFrame(table, columns=columns)
    if run_type == "classification":
        frame[columns[output_col[0]]] = frame[columns[output_col[0]]].astype(int)
    if path.parent and not path.parent.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "x", newline="") as fh:  # "x": never overwrite
        frame.to_csv(fh, index=False, float_format="%.6g")


# ---------------------------------------------------------------- reading

_IN_OPEN_FOLDER = re.compile(r"/proc/self/fd/[0-9]+/[^/]+\Z")


def read_frame(path: str) -> pd.DataFrame:
    """Read a CSV file whose first row is its header (also a row of numbers).

    A file named inside an open folder (``/proc/self/fd/N/name``, as the tool
    host hands over the folder of a file it lets the pipeline write) is read
    without following a link at its name, so it is the file in that folder.
    """
    if not os.path.exists(path):
        raise FileNotFoundError(f"data file not found: {path}")
    if os.path.isdir(path):
        raise ValueError(f"data file {path} is a directory")
    source = path
    if _IN_OPEN_FOLDER.match(path):
        try:
            flags = os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
            source = open(os.open(path, flags), "rb")
        except OSError as exc:
            raise ValueError(f"data file {path} cannot be opened: {exc.strerror}") from None
    try:
        frame = pd.read_csv(source, header=0)
    except pd.errors.EmptyDataError:
        raise ValueError(f"data file {path} is empty") from None
    except (pd.errors.ParserError, UnicodeDecodeError) as exc:
        raise ValueError(f"data file {path} is not a readable CSV file: {exc}") from None
    finally:
        if source is not path:
            source.close()
    frame.columns = [str(c) for c in frame.columns]
    return frame


def read_table(path: str, input_col, output_col, names=None
               ) -> tuple[np.ndarray, np.ndarray, list[str], list[str]]:
    """Read the input and output columns of one CSV file as float64 arrays.

    The first row is always the header.  The columns are the positions
    `input_col` and `output_col`, or, when `names` (input names, output names)
    is given, the columns of those header names, in any order (the other
    files of a run are read by the training file's names).  Returns the
    inputs, the outputs and the header names of the input and output columns.
    Raises FileNotFoundError or ValueError naming the file (and column).
    """
    frame = read_frame(path)
    if len(frame) == 0:
        raise ValueError(f"data file {path} has no data rows")
    ncols = frame.shape[1]
    if names is not None:
        columns = list(frame.columns)
        missing = [n for n in (*names[0], *names[1]) if n not in columns]
        if missing:
            raise ValueError(
                f"data file {path} lacks the column(s) {', '.join(map(repr, missing))} of the "
                f"training file (its columns are matched by the training file's header "
                f"names); it has {', '.join(map(repr, columns))}")
        input_col = [columns.index(n) for n in names[0]]
        output_col = [columns.index(n) for n in names[1]]
    arrays = []
    for role, cols in (("input_col", input_col), ("output_col", output_col)):
        bad = [c for c in cols if c >= ncols]
        if bad:
            raise ValueError(f"DATA_PARAM.{role} index {bad[0]} is out of range for data file "
                             f"{path}, which has {ncols} columns (0..{ncols - 1})")
        block = []
        for c in cols:
            column = frame.iloc[:, c]
            name = frame.columns[c]
            values = pd.to_numeric(column, errors="coerce")
            missing = column.isna()
            if missing.any():
                row = int(np.argmax(missing.to_numpy()))
                raise ValueError(f"data file {path}, column {c} ({name!r}): missing value in "
                                 f"data row {row + 1}")
            bad_rows = values.isna().to_numpy()
            if bad_rows.any():
                row = int(np.argmax(bad_rows))
                raise ValueError(f"data file {path}, column {c} ({name!r}): non-numeric value "
                                 f"{column.iloc[row]!r} in data row {row + 1}")
            values = values.to_numpy(dtype=np.float64)
            if not np.isfinite(values).all():
                row = int(np.argmax(~np.isfinite(values)))
                raise ValueError(f"data file {path}, column {c} ({name!r}): non-finite value "
                                 f"{values[row]} in data row {row + 1}")
            block.append(values)
        arrays.append(np.stack(block, axis=1))
    names = [frame.columns[c] for c in input_col], [frame.columns[c] for c in output_col]
    return arrays[0], arrays[1], *names


# ---------------------------------------------------------------- splits

@dataclass
class Split:
    """Train, validation and test arrays (inputs x, outputs y) in data units."""

    x_train: np.ndarray
    y_train: np.ndarray
    x_val: np.ndarray
    y_val: np.ndarray
    x_test: np.ndarray | None
    y_test: np.ndarray | None
    input_names: tuple[str, ...] = ()   # header names of the input columns
    output_names: tuple[str, ...] = ()  # header names of the output columns
    val_is_train: bool = False   # no validation rows: the training set stands in


MIN_TRAIN_ROWS = 10
"""Fewest data rows of the training file: fewer leave too few rows to fit a
model and to check it on validation rows split from them."""


def load_split(settings) -> Split:
    """Read the configured files and split them into train/validation/test.

    The training file's columns are the positions ``input_col`` and
    ``output_col``; the validation and test files are read by the training
    file's header names of those columns.  A training file of fewer than
    `MIN_TRAIN_ROWS` rows is refused.
    """
    files = settings.data_filenames
    first = read_table(files[0], settings.input_col, settings.output_col)
    if len(first[0]) < MIN_TRAIN_ROWS:
        raise ValueError(f"data file {files[0]} has {len(first[0])} data row(s); training needs "
                         f"at least {MIN_TRAIN_ROWS} rows (to fit a model and check it on "
                         f"validation rows)")
    tables = [first] + [None if f is None else read_table(f, (), (), names=first[2:])
                        for f in files[1:]]
    names = {"input_names": tuple(first[2]), "output_names": tuple(first[3])}
    if len(files) == 3 and files[1] is not None:
        (xt, yt, *_), (xv, yv, *_), (xs, ys, *_) = tables
        return Split(xt, yt, xv, yv, xs, ys, **names)

    # One file split three ways; or [train, test] and [train, None, test]: the
    # training file is split into training and validation rows in the ratio
    # of the first two shares, and the test set is the last file (never used
    # for validation).
    x, y = tables[0][:2]
    n = len(x)
    order = np.arange(n)
    if settings.bool_shuffle:
        order = np.random.default_rng(settings.random_seed).permutation(n)
    r_train, r_val, r_test = settings.split_ratio
    if len(files) > 1:
        r_val, r_test = r_val / (r_train + r_val), 0.0
    n_val = int(round(n * r_val))
    if r_val > 0 and n_val == 0:  # a validation share always gives a validation row
        n_val = 1
    n_test = int(round(n * r_test))
    n_train = n - n_val - n_test
    if n_train < 1:
        raise ValueError(f"data file {files[0]} has {n} rows: too few to keep a training row "
                         f"with DATA_PARAM.split_ratio {list(settings.split_ratio)}")
    tr, va, te = np.split(order, [n_train, n_train + n_val])
    split = Split(x[tr], y[tr], x[va], y[va],
                  x[te] if n_test else None, y[te] if n_test else None, **names)
    if len(files) > 1:
        split.x_test, split.y_test = tables[-1][:2]
    if n_val == 0:
        split.x_val, split.y_val, split.val_is_train = split.x_train, split.y_train, True
    return split


# ---------------------------------------------------------------- scaling

@dataclass
class Scaling:
    """Affine maps between data units and the model's units.

    Inputs: ``(x - x_min) / x_range`` maps the training range to [0, 1].
    Outputs: ``(y - y_mean) / y_std`` (regression only).  Constant columns get
    a scale of 1.  With normalization off the maps are the identity.
    Shared (a function sampled on a grid): one scale for all the inputs and
    one for all the outputs, kept as arrays of one value that apply to rows
    of any length.
    """

    x_min: np.ndarray
    x_range: np.ndarray
    y_mean: np.ndarray
    y_std: np.ndarray

    @classmethod
    def identity(cls, n_in: int, n_out: int) -> "Scaling":
        return cls(np.zeros(n_in), np.ones(n_in), np.zeros(n_out), np.ones(n_out))

    @classmethod
    def fit(cls, x: np.ndarray, y: np.ndarray, scale_outputs: bool,
            shared: bool = False) -> "Scaling":
        if shared:
            x, y = x.reshape(-1, 1), y.reshape(-1, 1)
        x_min = x.min(axis=0)
        x_range = x.max(axis=0) - x_min
        x_range = np.where(x_range > 0, x_range, 1.0)
        if scale_outputs:
            y_mean = y.mean(axis=0)
            y_std = y.std(axis=0)
            y_std = np.where(y_std > 0, y_std, 1.0)
        else:
            y_mean, y_std = np.zeros(y.shape[1]), np.ones(y.shape[1])
        return cls(x_min, x_range, y_mean, y_std)

    def x(self, x: np.ndarray) -> np.ndarray:
        return (x - self.x_min) / self.x_range

    def y(self, y: np.ndarray) -> np.ndarray:
        return (y - self.y_mean) / self.y_std

    def y_back(self, y: np.ndarray) -> np.ndarray:
        return y * self.y_std + self.y_mean

    def to_json(self) -> dict:
        return {k: getattr(self, k).tolist() for k in ("x_min", "x_range", "y_mean", "y_std")}

    @classmethod
    def from_json(cls, d: dict) -> "Scaling":
        return cls(*(np.asarray(d[k], dtype=np.float64)
                     for k in ("x_min", "x_range", "y_mean", "y_std")))
