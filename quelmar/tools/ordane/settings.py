"""Reading and checking the configuration dictionary of a training run.

`parse_settings` turns the plain configuration mapping (sections DATA_PARAM,
MODEL_PARAM, TRAIN_PARAM, PLOT and OUTPUT) into a frozen `Settings` object.
Every missing or null setting takes its value from `DEFAULTS` (for the model
settings: the field defaults of the methods' settings dataclasses), which
``quelmar/tools/config/config_ref.yaml`` shows too; every other value is
checked for type and range (the model settings of the chosen method only), and a bad one raises ``TypeError`` or ``ValueError`` whose
message names the setting as ``SECTION.key``.
"""

from __future__ import annotations

import dataclasses
import math
import os
from dataclasses import dataclass
from typing import Any

from .models import METHODS, method_settings, setting_fields, setting_owners

SUPPORTED_METHODS = tuple(METHODS)
RUN_TYPES = ("regression", "classification")

# Defaults for every setting the pipeline reads (null in a configuration means
# "use this default").  The model settings come from the methods' settings
# dataclasses.  config/config_ref.yaml shows the same values (a test keeps
# them in step).
DEFAULTS: dict[str, dict[str, Any]] = {
    "DATA_PARAM": {
        "split_ratio": [0.7, 0.15, 0.15],
        "bool_data_generation": False,
        "data_size": 1000,
        "bool_normalize": True,
        "bool_shuffle": True,
    },
    "MODEL_PARAM": {
        "interp_method": "linear",
        **{key: f.default for key, f in setting_fields().items()},
    },
    "TRAIN_PARAM": {
        **{f"num_epochs_{family}": 300
           for family in dict.fromkeys(m.FAMILY for m in METHODS.values())},
        "batch_size": 32,
        "learning_rate": 0.003,
        "validation_period": 10,
        "bool_denormalize": True,
        "patience": 10,
        "stopping_loss_train": 1.0e-6,
        "bool_save_model": True,
        "random_seed": 0,
    },
    "PLOT": {
        "bool_plot": False,
        "plot_in_axis": None,
        "plot_out_axis": None,
        "plot_params_number": 3,
    },
}


@dataclass(frozen=True)
class Settings:
    """The checked settings of one run (see the module docstring of main.py)."""

    run_type: str
    gpu_idx: int
    # data
    data_filenames: tuple[str | None, ...]  # [train, validation or None, test]
    input_col: tuple[int, ...]
    output_col: tuple[int, ...]
    split_ratio: tuple[float, float, float]
    bool_data_generation: bool
    data_size: int
    bool_normalize: bool
    bool_shuffle: bool
    # model
    interp_method: str
    model: Any                 # the method's settings dataclass
    ignored: tuple[str, ...]   # given settings of other methods ("SECTION.key")
    # training
    num_epochs: int
    batch_size: int
    learning_rate: float
    validation_period: int
    bool_denormalize: bool
    patience: int
    stopping_loss_train: float
    bool_save_model: bool
    random_seed: int
    # plots
    bool_plot: bool
    plot_in_axis: tuple[int, ...] | None
    plot_out_axis: tuple[int, ...] | None
    plot_params_number: int
    # output directories
    model_save_dir: str
    plots_dir: str
    logs_dir: str

    def model_settings(self) -> dict[str, Any]:
        """The settings that define the model's shape (saved with it)."""
        return dataclasses.asdict(self.model)


class _Reader:
    """Looks settings up in one section, falling back to DEFAULTS."""

    def __init__(self, config: dict, section: str):
        raw = config.get(section)
        if raw is None:
            raw = {}
        if not isinstance(raw, dict):
            raise TypeError(f"configuration section {section} must be a mapping, "
                            f"got {type(raw).__name__}")
        self.section = section
        self.raw = raw

    def name(self, key: str) -> str:
        return f"{self.section}.{key}"

    def get(self, key: str) -> Any:
        value = self.raw.get(key)
        if value is None:
            value = DEFAULTS.get(self.section, {}).get(key)
        return value

    def boolean(self, key: str) -> bool:
        value = self.get(key)
        if isinstance(value, bool):
            return value
        if isinstance(value, int) and value in (0, 1):
            return bool(value)
        raise TypeError(f"{self.name(key)} must be true or false, got {value!r}")

    def integer(self, key: str, minimum: int | None = None) -> int:
        value = _as_int(self.get(key), self.name(key))
        if minimum is not None and value < minimum:
            raise ValueError(f"{self.name(key)} must be >= {minimum}, got {value}")
        return value

    def number(self, key: str, minimum: float | None = None, positive: bool = False) -> float:
        value = self.get(key)
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise TypeError(f"{self.name(key)} must be a number, got {value!r}")
        value = float(value)
        if not math.isfinite(value):
            raise ValueError(f"{self.name(key)} must be finite, got {value}")
        if positive and value <= 0:
            raise ValueError(f"{self.name(key)} must be > 0, got {value}")
        if minimum is not None and value < minimum:
            raise ValueError(f"{self.name(key)} must be >= {minimum}, got {value}")
        return value


def _as_int(value: Any, name: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    if isinstance(value, int):
        return value
    if isinstance(value, float) and value.is_integer():
        return int(value)
    raise TypeError(f"{name} must be an integer, got {value!r}")


def _int_list(value: Any, name: str, allow_none: bool = False) -> tuple[int, ...] | None:
    """A non-empty list of distinct non-negative integers (a lone int is accepted)."""
    if value is None:
        if allow_none:
            return None
        raise ValueError(f"{name} is required: a list of 0-based column indices")
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        value = [value]
    if isinstance(value, (str, bytes)) or not isinstance(value, (list, tuple)):
        raise TypeError(f"{name} must be a list of integers, got {value!r}")
    if not value:
        raise ValueError(f"{name} must not be empty")
    out = tuple(_as_int(v, f"{name}[{i}]") for i, v in enumerate(value))
    negative = [v for v in out if v < 0]
    if negative:
        raise ValueError(f"{name} must hold 0-based indices (>= 0), got {negative[0]}")
    if len(set(out)) != len(out):
        raise ValueError(f"{name} lists an index more than once: {list(out)}")
    return out


def _method_error(method: Any) -> ValueError:
    supported = ", ".join(repr(m) for m in SUPPORTED_METHODS)
    return ValueError(f"unknown MODEL_PARAM.interp_method {method!r}; supported methods: "
                      f"{supported}")


def _ignored(method: str, model: _Reader, train: _Reader) -> tuple[str, ...]:
    """Settings of other methods that the configuration sets to a value other
    than their default (so the caller most likely meant them)."""
    mdef, tdef = DEFAULTS["MODEL_PARAM"], DEFAULTS["TRAIN_PARAM"]
    out = [f"MODEL_PARAM.{key}" for key, owners in setting_owners().items()
           if method not in owners and model.raw.get(key) is not None
           and model.raw[key] != mdef[key]]
    own = f"num_epochs_{METHODS[method].FAMILY}"
    out += [f"TRAIN_PARAM.{key}" for key in tdef
            if key.startswith("num_epochs_") and key != own
            and train.raw.get(key) is not None and train.raw[key] != tdef[key]]
    return tuple(out)


def parse_settings(config: Any, run_type: Any, gpu_idx: Any) -> Settings:
    """Check `config`, `run_type` and `gpu_idx`; return the run's Settings."""
    if not isinstance(config, dict):
        raise TypeError(f"config must be a dictionary, got {type(config).__name__}")

    if run_type not in RUN_TYPES:
        raise ValueError(f"run_type must be 'regression' or 'classification', got {run_type!r}")
    gpu_idx = 0 if gpu_idx is None else _as_int(gpu_idx, "gpu_idx")
    if gpu_idx < 0:
        raise ValueError(f"gpu_idx must be >= 0, got {gpu_idx}")

    data = _Reader(config, "DATA_PARAM")
    model = _Reader(config, "MODEL_PARAM")
    train = _Reader(config, "TRAIN_PARAM")
    plot = _Reader(config, "PLOT")

    # --- method first: an unsupported one is the clearest message to give.
    method = model.get("interp_method")
    if method not in SUPPORTED_METHODS:
        raise _method_error(method)

    # --- data
    files = data.get("data_filenames")
    if files is None:
        files = data.get("data_train")
    if files is None:
        raise ValueError("DATA_PARAM.data_filenames is required: a list of 1 to 3 CSV paths "
                         "[train, validation?, test?]")
    if isinstance(files, (str, os.PathLike)):
        files = [files]
    if not isinstance(files, (list, tuple)) or not 1 <= len(files) <= 3:
        raise ValueError(f"DATA_PARAM.data_filenames must be a list of 1 to 3 CSV paths, "
                         f"got {files!r}")
    # Absent files may be given as null or "": trailing ones are dropped, and
    # [train, null, test] means "validation split from the training file".
    files = [None if f is None or f == "" else f for f in files]
    while files and files[-1] is None:
        files.pop()
    if not files or files[0] is None:
        raise ValueError("DATA_PARAM.data_filenames needs the training file first, got "
                         f"{files!r}")
    for i, f in enumerate(files):
        if f is not None and not isinstance(f, (str, os.PathLike)):
            raise TypeError(f"DATA_PARAM.data_filenames[{i}] must be a file path, got {f!r}")
    files = tuple(None if f is None else str(f) for f in files)

    input_col = _int_list(data.raw.get("input_col"), "DATA_PARAM.input_col")
    output_col = _int_list(data.raw.get("output_col"), "DATA_PARAM.output_col")
    overlap = sorted(set(input_col) & set(output_col))
    if overlap:
        raise ValueError(f"column {overlap[0]} is in both DATA_PARAM.input_col and "
                         f"DATA_PARAM.output_col")
    if run_type == "classification" and len(output_col) != 1:
        raise ValueError(f"classification needs exactly one output column of class labels, "
                         f"DATA_PARAM.output_col has {len(output_col)}")

    split = data.get("split_ratio")
    if isinstance(split, (str, bytes)) or not isinstance(split, (list, tuple)) or len(split) != 3:
        raise ValueError(f"DATA_PARAM.split_ratio must be three fractions [train, validation, "
                         f"test], got {split!r}")
    for i, r in enumerate(split):
        if isinstance(r, bool) or not isinstance(r, (int, float)) or not math.isfinite(r):
            raise TypeError(f"DATA_PARAM.split_ratio[{i}] must be a number, got {r!r}")
        if r < 0:
            raise ValueError(f"DATA_PARAM.split_ratio[{i}] must be >= 0, got {r}")
    if abs(sum(split) - 1.0) > 1e-6:
        raise ValueError(f"DATA_PARAM.split_ratio must sum to 1, got {list(split)} "
                         f"(sum {sum(split):g})")
    if split[0] <= 0:
        raise ValueError(f"DATA_PARAM.split_ratio needs a positive training share, got "
                         f"{list(split)}")

    # --- model: the chosen method's settings only are checked.
    model_settings = method_settings(method, model.raw, len(input_col))

    # --- training
    epochs_key = f"num_epochs_{METHODS[method].FAMILY}"

    plot_in = _int_list(plot.raw.get("plot_in_axis"), "PLOT.plot_in_axis", allow_none=True)
    plot_out = _int_list(plot.raw.get("plot_out_axis"), "PLOT.plot_out_axis", allow_none=True)
    for name, axis, n in (("plot_in_axis", plot_in, len(input_col)),
                          ("plot_out_axis", plot_out, len(output_col))):
        if axis is not None and max(axis) >= n:
            raise ValueError(f"PLOT.{name} holds positions in the list of "
                             f"{'input' if name == 'plot_in_axis' else 'output'} columns "
                             f"(0..{n - 1}), got {max(axis)}")

    output = config.get("OUTPUT") or {}
    if not isinstance(output, dict):
        raise TypeError(f"configuration section OUTPUT must be a mapping, got "
                        f"{type(output).__name__}")
    dirs = {}
    for key, default in (("model_save_dir", "model_saved"), ("plots_dir", "plots"),
                         ("logs_dir", "logs")):
        value = output.get(key)
        if value is None:
            value = default
        if not isinstance(value, (str, os.PathLike)) or not str(value):
            raise TypeError(f"OUTPUT.{key} must be a directory path, got {value!r}")
        dirs[key] = str(value)

    return Settings(
        run_type=run_type,
        gpu_idx=gpu_idx,
        data_filenames=files,
        input_col=input_col,
        output_col=output_col,
        split_ratio=tuple(float(r) for r in split),
        bool_data_generation=data.boolean("bool_data_generation"),
        data_size=data.integer("data_size", 2),
        bool_normalize=data.boolean("bool_normalize"),
        bool_shuffle=data.boolean("bool_shuffle"),
        interp_method=method,
        model=model_settings,
        ignored=_ignored(method, model, train),
        num_epochs=train.integer(epochs_key, 1),
        batch_size=train.integer("batch_size", 1),
        learning_rate=train.number("learning_rate", positive=True),
        validation_period=train.integer("validation_period", 1),
        bool_denormalize=train.boolean("bool_denormalize"),
        patience=train.integer("patience", 1),
        stopping_loss_train=train.number("stopping_loss_train", minimum=0.0),
        bool_save_model=train.boolean("bool_save_model"),
        random_seed=train.integer("random_seed", 0),
        bool_plot=plot.boolean("bool_plot"),
        plot_in_axis=plot_in,
        plot_out_axis=plot_out,
        plot_params_number=plot.integer("plot_params_number", 0),
        **dirs,
    )
