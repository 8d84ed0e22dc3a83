"""The host's ``predict`` tool: predictions of a saved training model.

A plain Python tool (not a compiled module), run in the quick tools' worker
processes like the others. The host's file-access policy checks
``model_file`` and ``file_path`` before a call reaches a worker (a bare model
name stands for a model saved in the host's output home); the worker
opens the model's folder, and the model's description and parameters are read
in that folder without following a link (the parameters must be a file beside
the description).
"""

from __future__ import annotations

import io
import math
from typing import Any

__all__ = ["predict"]


def predict(model_file: str, file_path: str | None = None, csv_content: str | None = None) -> dict[str, Any]:
    """Predict with a model saved by a training run (execute_fitrun), from a CSV file or CSV text.

    The first row of the CSV data is its header; the model's input columns are
    found by their names (a model saved without names reads them by index).
    Give exactly one of file_path and csv_content.

    Args:
        model_file: Path to the saved model (.json file, as in the training result's config.OUTPUT.model_file), or the bare name of a model saved by this host (the file name, .json optional)
        file_path: Path to the CSV file with the input columns (optional)
        csv_content: CSV content as a string (optional)

    Returns:
        columns: the prediction columns (the output column names; for
        classification the label column and one "P(<label>)" per class);
        rows: one object per data row, column name to value.
    """
    import pandas as pd

    from quelmar.tools.ordane import predict as ordane_predict
    from quelmar.tools.ordane.model_io import load_model

    if not isinstance(model_file, str) or not model_file:
        raise TypeError("model_file must be a non-empty path string")
    if (file_path is None) == (csv_content is None):
        raise ValueError("give exactly one of file_path and csv_content")
    for name, value in (("file_path", file_path), ("csv_content", csv_content)):
        if value is not None and not isinstance(value, str):
            raise TypeError(f"{name} must be a string, got {type(value).__name__}")
    if file_path is not None:
        data: Any = file_path
    else:
        try:
            data = pd.read_csv(io.StringIO(csv_content), header=0)
        except pd.errors.EmptyDataError:
            raise ValueError("csv_content is empty") from None
        except pd.errors.ParserError as exc:
            raise ValueError(f"csv_content is not readable CSV: {exc}") from None
    frame = ordane_predict(load_model(model_file, follow_links=False), data)
    rows = [{k: _plain(v) for k, v in row.items()} for row in frame.to_dict(orient="records")]
    return {"columns": [str(c) for c in frame.columns], "rows": rows}


def _plain(value: Any) -> Any:
    """A JSON value: Python int/float (None for a non-finite float)."""
    if hasattr(value, "item"):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value
