"""The JSON schemas of the tools that the host offers (``quelmar.host.registry`` lists the tools).

The tool functions are compiled built-ins: they expose no signature, no
defaults and no annotations, so the input schema of each tool is written out
here by hand, parameter by parameter, in the function's own parameter order.
Each property's description is the one-line meaning that the function's
docstring gives under "Args:" (the tests check that the two agree).

The training parameters' defaults are read from the pipeline's reference
configuration (``quelmar/tools/config/config_ref.yaml``), the one place that
lists them; their allowed values are those of the method registry
(``quelmar.tools.ordane.models``), written out in ``FITRUN_CHOICES`` because
the registry cannot be imported without JAX (the tests check that the two
agree).

Nothing in this module imports a tool module.
"""

from __future__ import annotations

from functools import cache
from importlib import resources
from typing import Any

import yaml

__all__ = ["SCHEMAS"]


def _prop(json_type: str | list[str], description: str, **extra: Any) -> dict[str, Any]:
    return {"type": json_type, "description": description, **extra}


def _int_list(description: str) -> dict[str, Any]:
    return _prop("array", description, items={"type": "integer"})


def _object(properties: dict[str, Any], required: list[str] | None = None) -> dict[str, Any]:
    schema: dict[str, Any] = {"type": "object", "properties": properties}
    if required:
        schema["required"] = required
    schema["additionalProperties"] = False
    return schema


def _arithmetic(a: str, b: str, result: str) -> tuple[dict[str, Any], dict[str, Any]]:
    return (
        _object({"a": _prop("number", a), "b": _prop("number", b)}, ["a", "b"]),
        {"type": "object", "properties": {"result": _prop("number", result)}, "required": ["result"]},
    )


_PLUSOR = _arithmetic("First floating-point operand", "Second floating-point operand", "Sum of a and b (computed in float32)")
_TIMESOR = _arithmetic(
    "First floating-point operand", "Second floating-point operand", "Product of a and b (computed in float32)"
)
_MINUSOR = _arithmetic(
    "First floating-point operand (minuend)",
    "Second floating-point operand (subtrahend)",
    "Difference of a and b (computed in float32)",
)

_TABEXTENT = (
    _object(
        {
            "file_path": _prop("string", "Path to the CSV file on disk (optional)"),
            "csv_content": _prop("string", "CSV content as a string (optional)"),
        }
    ),
    {
        "type": "object",
        "properties": {
            "rows": _prop("integer", "Number of data rows (the header line is not counted)"),
            "columns": _prop("integer", "Number of columns"),
            "column_names": _prop("array", "Column labels in table order", items={"type": "string"}),
        },
        "required": ["rows", "columns", "column_names"],
    },
)
_TABEXTENT[0]["oneOf"] = [{"required": ["file_path"]}, {"required": ["csv_content"]}]

# execute_fitrun's 43 parameters in signature order: (name, JSON type, meaning).
# Lists of column indices and axes hold integers; split_ratio holds numbers.
_FITRUN_PARAMS: list[tuple[str, str, str]] = [
    ("input_col", "int_list", "(REQUIRED) List of integers. Input columns of the data."),
    ("output_col", "int_list", "(REQUIRED) List of integers. Output columns of the data."),
    ("data_train", "string", "(REQUIRED) Full file path to training data CSV file."),
    ("data_val", "string", "(Optional) Full file path to validation data CSV file."),
    ("data_test", "string", "(Optional) Full file path to test data CSV file."),
    (
        "interp_method",
        "string",
        'Interpolation method ("linear", "nonlinear", "gaussian", "MLP", "KAN", "FNO")',
    ),
    ("nmode", "integer", "Number of CP tensor decomposition modes"),
    ("nseg", "integer", "Number of segments in each dimension"),
    ("s_patch", "integer", "Size of patch for nonlinear INN"),
    ("alpha_dil", "number", "Dilatation factor for nonlinear INN"),
    ("p_order", "integer", "Polynomial order for nonlinear INN"),
    ("radial_basis", "string", "Radial basis function for nonlinear INN"),
    ("INNactivation", "string", "Activation function for nonlinear INN"),
    ("sigma_factor", "number", "Sigma factor for Gaussian INN"),
    ("nlayers", "integer", "Number of layers for MLP"),
    ("nneurons", "integer", "Number of neurons for MLP"),
    ("activation", "string", "Activation function for MLP"),
    ("hidden_dim", "integer", "Hidden dimensions for KAN"),
    ("grid_size", "integer", "Grid size for KAN"),
    ("spline_order", "integer", "B-spline order for KAN"),
    ("num_layers", "integer", "Number of layers for FNO"),
    ("modes", "integer", "Number of modes for FNO"),
    ("split_ratio", "number_list", "Train/val/test split ratio"),
    ("bool_data_generation", "boolean", "Whether to generate data"),
    ("bool_normalize", "boolean", "Whether to normalize training data"),
    ("bool_shuffle", "boolean", "Whether to shuffle training data"),
    ("num_epochs_INN", "integer", "Number of epochs for INN"),
    ("num_epochs_MLP", "integer", "Number of epochs for MLP"),
    ("num_epochs_KAN", "integer", "Number of epochs for KAN"),
    ("num_epochs_FNO", "integer", "Number of epochs for FNO"),
    ("batch_size", "integer", "Batch size for training"),
    ("learning_rate", "number", "Learning rate"),
    ("validation_period", "integer", "Period for validation"),
    ("bool_denormalize", "boolean", "Whether to denormalize predictions"),
    ("patience", "integer", "Training patience"),
    ("stopping_loss_train", "number", "Stopping loss threshold"),
    ("bool_save_model", "boolean", "Whether to save the model"),
    ("bool_plot", "boolean", "Whether to plot results"),
    ("plot_in_axis", "int_list", "Input variable types for plotting"),
    ("plot_out_axis", "int_list", "Output variable indices for plotting"),
    ("plot_params_number", "integer", "Number of parameter sets to plot"),
    ("run_type", "string", "Problem type - 'regression' or 'classification'"),
    ("gpu_idx", "integer", "GPU device index (default: 0)"),
]

FITRUN_CHOICES: dict[str, tuple[str, ...]] = {
    "interp_method": ("linear", "nonlinear", "gaussian", "MLP", "KAN", "FNO"),
    "radial_basis": ("gaussian", "multiquadric", "inverse_multiquadric", "cubic_spline"),
    "INNactivation": ("identity", "relu", "tanh", "sigmoid", "gelu", "silu", "elu", "softplus", "leaky_relu"),
    "activation": ("relu", "tanh", "sigmoid", "gelu", "silu", "elu", "softplus", "leaky_relu"),
    "run_type": ("regression", "classification"),
}
"""The allowed values of the training tool's string parameters: the method registry's methods and
setting choices, and the pipeline's problem types."""

FUNCTION_DEFAULTS: dict[str, Any] = {"run_type": "regression", "gpu_idx": 0}
"""Defaults of the training function's own parameters (not settings of the configuration)."""

_FITRUN_REQUIRED = ["input_col", "output_col", "data_train"]
_CONFIG_SECTIONS = ("DATA_PARAM", "MODEL_PARAM", "TRAIN_PARAM", "PLOT")


@cache
def reference_defaults() -> dict[str, Any]:
    """Each setting of the reference configuration with a value (null ones are left out), by name."""
    text = (resources.files("quelmar.tools") / "config" / "config_ref.yaml").read_text(encoding="utf-8")
    config = yaml.safe_load(text)
    return {
        key: value
        for section in _CONFIG_SECTIONS
        for key, value in (config.get(section) or {}).items()
        if value is not None
    }


def fitrun_defaults() -> dict[str, Any]:
    """The default of each training parameter that has one: the reference configuration's, then the function's."""
    defaults = reference_defaults()
    names = [name for name, _, _ in _FITRUN_PARAMS]
    out = {name: defaults[name] for name in names if name in defaults}
    out.update(FUNCTION_DEFAULTS)
    return out


def _fitrun_property(name: str, kind: str, meaning: str, default: Any) -> dict[str, Any]:
    if kind == "int_list":
        prop = _int_list(meaning)
    elif kind == "number_list":
        prop = _prop("array", meaning, items={"type": "number"})
    else:
        prop = _prop(kind, meaning)
    if name in FITRUN_CHOICES:
        prop["enum"] = list(FITRUN_CHOICES[name])
    if default is not None:
        prop["default"] = default
    return prop


_FITRUN = (
    _object(
        {
            name: _fitrun_property(name, kind, meaning, fitrun_defaults().get(name))
            for name, kind, meaning in _FITRUN_PARAMS
        },
        _FITRUN_REQUIRED,
    ),
    {
        "type": "object",
        "properties": {
            "config": _prop("object", "The complete configuration used"),
            "model_save_path": _prop(["string", "null"], "Directory of the saved model (when bool_save_model)"),
            "plots_path": _prop(["string", "null"], "Directory of the plots (when bool_plot)"),
            "log_path": _prop("string", "Log file of the run"),
            "training_completed": _prop("boolean", "Whether training completed"),
            "interp_method": {"description": "Interpolation method used"},
            "run_type": _prop("string", "Problem type"),
            "train_rmse": {"description": "Last training error"},
            "val_rmse": {"description": "Last validation error"},
            "test_rmse": {"description": "Test error"},
            "training_time_seconds": _prop("number", "Wall-clock time of the training itself"),
        },
        "required": [
            "config",
            "model_save_path",
            "plots_path",
            "log_path",
            "training_completed",
            "interp_method",
            "run_type",
            "train_rmse",
            "val_rmse",
            "test_rmse",
            "training_time_seconds",
        ],
    },
)

_PREDICT = (
    _object(
        {
            "model_file": _prop(
                "string",
                "Path to the saved model (.json file, as in the training result's config.OUTPUT.model_file), "
                "or the bare name of a model saved by this host (the file name, .json optional)",
            ),
            "file_path": _prop("string", "Path to the CSV file with the input columns (optional)"),
            "csv_content": _prop("string", "CSV content as a string (optional)"),
        },
        ["model_file"],
    ),
    {
        "type": "object",
        "properties": {
            "columns": _prop(
                "array",
                "Prediction columns: the output names, or label and class probabilities",
                items={"type": "string"},
            ),
            "rows": _prop("array", "One object per data row: column name to predicted value", items={"type": "object"}),
        },
        "required": ["columns", "rows"],
    },
)
_PREDICT[0]["oneOf"] = [{"required": ["file_path"]}, {"required": ["csv_content"]}]

_LIST_MODELS = (
    _object({}),
    {
        "type": "object",
        "properties": {
            "models": _prop(
                "array",
                "One object per saved model, newest first: model_file (for predict), uri, method, run_type, "
                "input_columns, output_columns, error_name, error_test, metrics, epochs_run, saved (UTC date)",
                items={"type": "object"},
            ),
            "count": _prop("integer", "Number of saved models"),
            "folder": _prop("string", "Folder of the saved models"),
        },
        "required": ["models", "count", "folder"],
    },
)

SCHEMAS: dict[str, tuple[dict[str, Any], dict[str, Any]]] = {
    "execute_plusor": _PLUSOR,
    "execute_timesor": _TIMESOR,
    "execute_minusor": _MINUSOR,
    "execute_tabextent": _TABEXTENT,
    "execute_fitrun": _FITRUN,
    "predict": _PREDICT,
    "list_models": _LIST_MODELS,
}
"""Each tool's (input schema, output schema)."""


def __getattr__(name: str) -> Any:
    """The tool list kept here before the registry (``TOOLS``, ``ToolEntry``, ``tool_entry``)."""
    if name in ("TOOLS", "ToolEntry", "tool_entry"):
        from quelmar.host import registry

        return getattr(registry, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
