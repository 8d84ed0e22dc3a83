"""The host's ``list_models`` tool: the models that the trainings have saved.

A plain Python tool run in the quick workers. It reads the description
(``.json``) of each saved model in the output home's model folder
(``quelmar.host.resources.output_home``), without following a link, and
tells its method, problem type, columns, errors and date; a description that
cannot be read is listed with the reason.
"""

from __future__ import annotations

import json
import os
from datetime import UTC, datetime
from typing import Any

__all__ = ["list_models"]

MAX_DESCRIPTION_BYTES = 4 * 1024 * 1024
"""Largest model description read (a larger one is listed as unreadable)."""


def list_models() -> dict[str, Any]:
    """List the models saved by training runs (execute_fitrun), newest first.

    Each entry gives the model file to pass to predict, its resource URI, the
    method and problem type, the input and output columns, the errors and
    metrics of the run, and the date it was saved.

    Returns:
        models: one object per saved model; count: how many; folder: where they are.
    """
    from quelmar.host.resources import ResourceError, _read_in, output_home

    folder = output_home().models
    try:
        with os.scandir(folder) as listing:
            names = [e.name for e in listing if e.name.endswith(".json") and not e.name.startswith(".")]
    except OSError:
        names = []
    models = []
    for name in names:
        path = folder / name
        try:
            info = os.stat(path, follow_symlinks=False)
            meta = json.loads(_read_in(folder, name, MAX_DESCRIPTION_BYTES, name))
            if not isinstance(meta, dict):
                raise ValueError("not a JSON object")
        except (OSError, ResourceError, ValueError) as exc:
            models.append({"name": name[:-5], "model_file": str(path), "error": f"unreadable description: {exc}"})
            continue
        models.append(_entry(name, str(path), meta, info.st_mtime))
    models.sort(key=lambda m: m.get("saved", ""), reverse=True)
    return {"models": models, "count": len(models), "folder": str(folder)}


def _entry(name: str, path: str, meta: dict[str, Any], mtime: float) -> dict[str, Any]:
    model = meta.get("model") if isinstance(meta.get("model"), dict) else {}
    info = meta.get("info") if isinstance(meta.get("info"), dict) else {}
    return {
        "name": name[:-5],
        "model_file": path,
        "uri": f"quelmar://models/{name}",
        "method": model.get("method"),
        "run_type": meta.get("run_type"),
        "input_columns": meta.get("input_names") or meta.get("input_col"),
        "output_columns": meta.get("output_names") or meta.get("output_col"),
        "classes": meta.get("classes"),
        "settings": model.get("settings"),
        "error_name": info.get("error_name"),
        "error_test": info.get("error_test"),
        "metrics": info.get("metrics"),
        "epochs_run": info.get("epochs_run"),
        "data_files": info.get("data_filenames"),
        "saved": datetime.fromtimestamp(mtime, UTC).isoformat(timespec="seconds").replace("+00:00", "Z"),
    }
